#include "real_visa.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#endif

namespace zolvane_trace {
namespace {

#define ZV_TRACE_NAME(name, params, args) #name,
#define ZV_TRACE_NAME_SKIP(name, params, last, vname, args)
constexpr const char *kEntryNames[] = {ZV_VISA_ENTRY_POINTS(ZV_TRACE_NAME, ZV_TRACE_NAME_SKIP)};
#undef ZV_TRACE_NAME
#undef ZV_TRACE_NAME_SKIP

// Every copy of the trace exports it; a library that does is never taken for the real VISA.
constexpr const char *kIdentity = "zolvane_trace_identity";

#if defined(_WIN32)

HMODULE self() {
  HMODULE h = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&RealVisa::now), &h);
  return h;
}

void *symbol(void *lib, const char *name) {
  return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(lib), name));
}

// The trace is visa32.dll in the program's folder, which a load by name finds first: the real
// router is the one VISA installs in the system folder.
void *load(std::string &error) {
  const char *forced = std::getenv("ZOLVANE_TRACE_VISA");
  HMODULE lib = nullptr;
  std::string what;
  if (forced && *forced) {
    what = std::string("ZOLVANE_TRACE_VISA=") + forced;
    lib = LoadLibraryA(forced);
  } else {
    what = "visa32.dll in the system folder";
    lib = LoadLibraryExA("visa32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  if (lib && (lib == self() || GetProcAddress(lib, kIdentity))) {
    FreeLibrary(lib);
    error = "no VISA library to forward to: " + what + " is a trace VISA";
    return nullptr;
  }
  if (!lib) error = "no VISA library to forward to: " + what + " cannot be loaded (error " +
                    std::to_string(GetLastError()) + ")";
  return lib;
}

#else

constexpr const char *kVisaNames[] = {ZV_TRACE_VISA_NAMES};

struct Self {
  std::string folder;  // canonical
  void *base = nullptr;
};

Self self() {
  Self s;
  Dl_info info{};
  if (dladdr(reinterpret_cast<void *>(&RealVisa::now), &info) && info.dli_fname) {
    std::error_code ec;
    s.folder = std::filesystem::canonical(info.dli_fname, ec).parent_path().string();
    s.base = info.dli_fbase;
  }
  return s;
}

bool isTrace(void *lib, const Self &me) {
  if (dlsym(lib, kIdentity)) return true;
  Dl_info info{};
  void *entry = dlsym(lib, "viOpenDefaultRM");
  return entry && dladdr(entry, &info) && info.dli_fbase == me.base;
}

bool sameFolder(const std::string &dir, const Self &me) {
  std::error_code ec;
  auto c = std::filesystem::canonical(dir.empty() ? "." : dir, ec);
  return !ec && c.string() == me.folder;
}

// The folders a load by name searches besides LD_LIBRARY_PATH: those the loader's cache is
// made from, and the default ones.
std::vector<std::string> systemFolders() {
  std::vector<std::string> dirs;
  std::error_code ec;
  for (const auto &e : std::filesystem::directory_iterator("/etc/ld.so.conf.d", ec)) {
    if (e.path().extension() != ".conf") continue;
    std::ifstream in(e.path());
    for (std::string line; std::getline(in, line);)
      if (!line.empty() && line[0] == '/') dirs.push_back(line.substr(0, line.find_first_of(" \t#")));
  }
#if defined(ZV_TRACE_MULTIARCH)
  dirs.push_back("/lib/" ZV_TRACE_MULTIARCH);
  dirs.push_back("/usr/lib/" ZV_TRACE_MULTIARCH);
#endif
  for (const char *d : {"/lib64", "/usr/lib64", "/lib", "/usr/lib"}) dirs.push_back(d);
  return dirs;
}

void *tryLoad(const std::string &name, const Self &me, bool &wasTrace) {
  void *lib = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (lib && isTrace(lib, me)) {
    dlclose(lib);
    wasTrace = true;
    return nullptr;
  }
  return lib;
}

void *load(std::string &error) {
  const Self me = self();
  bool wasTrace = false;
  if (const char *forced = std::getenv("ZOLVANE_TRACE_VISA"); forced && *forced) {
    void *lib = tryLoad(forced, me, wasTrace);
    if (!lib) {
      const char *why = dlerror();
      error = std::string("no VISA library to forward to: ZOLVANE_TRACE_VISA=") + forced +
              (wasTrace ? " is a trace VISA" : std::string(" cannot be loaded: ") + (why ? why : "?"));
    }
    return lib;
  }
  for (const char *name : kVisaNames)
    if (void *lib = tryLoad(name, me, wasTrace)) return lib;
  // A load by name found the trace: search again without its folder.
  std::vector<std::string> dirs;
  if (const char *path = std::getenv("LD_LIBRARY_PATH")) {
    std::string p = path;
    for (std::size_t start = 0; start <= p.size();) {
      std::size_t end = p.find(':', start);
      if (end == std::string::npos) end = p.size();
      dirs.push_back(p.substr(start, end - start));
      start = end + 1;
    }
  }
  for (std::string &d : systemFolders()) dirs.push_back(std::move(d));
  for (const std::string &dir : dirs) {
    if (dir.empty() || sameFolder(dir, me)) continue;
    for (const char *name : kVisaNames) {
      std::string file = dir + "/" + name;
      if (access(file.c_str(), F_OK) != 0) continue;
      if (void *lib = tryLoad(file, me, wasTrace)) return lib;
    }
  }
  error = "no VISA library to forward to: none of";
  for (const char *name : kVisaNames) error += std::string(" ") + name;
  error += " found outside the trace's folder " + me.folder +
           "; set ZOLVANE_TRACE_VISA to the VISA library's path";
  return nullptr;
}

void *symbol(void *lib, const char *name) { return dlsym(lib, name); }

#endif

std::string fileOf(void *entry) {
#if defined(_WIN32)
  HMODULE h = nullptr;
  char path[MAX_PATH] = "";
  if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         static_cast<LPCSTR>(entry), &h))
    GetModuleFileNameA(h, path, sizeof path);
  return path;
#else
  Dl_info info{};
  return entry && dladdr(entry, &info) && info.dli_fname ? info.dli_fname : "?";
#endif
}

}  // namespace

RealVisa::RealVisa(const std::function<void(char, std::string_view)> &note) {
  std::string error;
  library_ = load(error);
  if (!library_) {
    note('!', error);
    return;
  }
  for (int i = 0; i < static_cast<int>(Entry::count); ++i)
    entries_[i] = symbol(library_, kEntryNames[i]);
  void *first = entries_[static_cast<int>(Entry::viOpenDefaultRM)];
  note('#', "forwarding to " + (first ? fileOf(first) : std::string("a VISA without viOpenDefaultRM")) +
                     "; times in seconds since the trace started");
}

double RealVisa::now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace zolvane_trace
