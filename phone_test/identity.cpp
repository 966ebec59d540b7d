#include "identity.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>

#if defined(ZOLVANE_HAVE_SIM_MODEL)
#include "config.h"
#endif

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>
#endif

namespace phone_test {
namespace {

#if defined(ZOLVANE_HAVE_SIM_MODEL)
// Read as the simulator reads its settings; an item that is not key=value is the simulator's to
// refuse.
void addItems(std::string_view text, std::map<std::string, std::string> &out) {
  zolvane_sim::forEachItem(text, [&out](std::string_view item) {
    const std::size_t eq = item.find('=');
    if (eq == std::string_view::npos) return true;
    std::string_view key = item.substr(0, eq), value = item.substr(eq + 1);
    const char *blank = " \t\r";
    key = key.substr(0, key.find_last_not_of(blank) + 1);
    value = value.substr(std::min(value.size(), value.find_first_not_of(blank)));
    out[std::string(key)] = std::string(value);
    return true;
  });
}
#else
void addItems(std::string_view, std::map<std::string, std::string> &) {}
#endif

#if !defined(_WIN32)
int findVisa(dl_phdr_info *info, std::size_t, void *data) {
  auto *found = static_cast<std::string *>(data);
  if (!found->empty() || !info->dlpi_name || !*info->dlpi_name) return 0;
  // RTLD_NOLOAD: only a module already loaded, whose reference is given back at once.
  if (void *h = dlopen(info->dlpi_name, RTLD_LAZY | RTLD_NOLOAD)) {
    if (dlsym(h, "viOpenDefaultRM")) *found = info->dlpi_name;
    dlclose(h);
  }
  return found->empty() ? 0 : 1;
}
#endif

}  // namespace

std::string hostName() {
#if defined(_WIN32)
  char name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = sizeof name;
  return GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
#else
  char name[256] = {};
  return gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string();
#endif
}

std::string boundVisa() {
#if defined(_WIN32)
  HMODULE visa = GetModuleHandleA("visa32.dll");
  if (!visa) return "";
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(visa, path, MAX_PATH);
  return std::string(path, n);
#else
  std::string found;
  dl_iterate_phdr(findVisa, &found);
  return found;
#endif
}

std::map<std::string, std::string> simulatorSettings(const std::string &options) {
  std::map<std::string, std::string> out;
  if (const char *file = std::getenv("ZOLVANE_SIM"); file && *file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    addItems(text.str(), out);
  }
  if (const char *env = std::getenv("ZOLVANE_SIM_OPTIONS"); env && *env) addItems(env, out);
  addItems(options, out);
  return out;
}

}  // namespace phone_test
