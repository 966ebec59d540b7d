#include "identity.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>
#endif

namespace phone_test {
namespace {

std::string_view trim(std::string_view s) {
  const char *blank = " \t\r";
  const std::size_t first = s.find_first_not_of(blank);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(blank) - first + 1);
}

// The simulator's grammar: items separated by ';' or line feeds, '#' opening a comment at the
// start of an item or after a blank.
void addItems(std::string_view text, std::map<std::string, std::string> &out) {
  while (!text.empty()) {
    const std::size_t end = text.find_first_of(";\n");
    std::string_view item = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    for (std::size_t i = 0; i < item.size(); ++i) {
      if (item[i] == '#' && (i == 0 || item[i - 1] == ' ' || item[i - 1] == '\t')) {
        item = item.substr(0, i);
        break;
      }
    }
    const std::size_t eq = item.find('=');
    if (eq == std::string_view::npos) continue;
    out[std::string(trim(item.substr(0, eq)))] = std::string(trim(item.substr(eq + 1)));
  }
}

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
