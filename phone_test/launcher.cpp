#include "launcher.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace phone_test {
namespace {

#if defined(_WIN32)
constexpr const char *kProbe = "visa32.dll";
constexpr char kSep = '\\';
#else
constexpr const char *kProbe = "libivivisa.so.7";
constexpr char kSep = '/';
#endif
// Set by the parent for the one run it starts, so that the child knows the environment is ready.
constexpr const char *kChildMarker = "ZOLVANE_PHONE_TEST_CHILD";
constexpr const char *kFolderVariable = "ZOLVANE_PHONE_TEST_SIMULATOR";

// The simulated test set, or the trace VISA in front of the machine's VISA.
struct VisaFolder {
  const char *what;
  const char *overrideVariable;
  const char *buildRelative, *installRelative;
};
constexpr VisaFolder kSimulator{"the simulated test set", "ZOLVANE_SIM_PATH", ZOLVANE_SIM_BUILD_REL,
                                ZOLVANE_SIM_INSTALL_REL};
constexpr VisaFolder kTrace{"the trace VISA", "ZOLVANE_TRACE_PATH", ZOLVANE_TRACE_BUILD_REL,
                            ZOLVANE_TRACE_INSTALL_REL};

bool exists(const std::string &path) {
#if defined(_WIN32)
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
  return access(path.c_str(), F_OK) == 0;
#endif
}

std::string executablePath() {
#if defined(_WIN32)
  char buf[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
  return std::string(buf, n);
#else
  std::vector<char> buf(4096);
  ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  return n > 0 ? std::string(buf.data(), static_cast<std::size_t>(n)) : std::string();
#endif
}

void setVariable(const char *name, const std::string &value) {
#if defined(_WIN32)
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

// The folder that holds the library: its variable if set, else the build tree's folder or the
// installed one, both found from this program's own location.
bool findFolder(const VisaFolder &which, std::string &folder, std::string &error) {
  if (const char *forced = std::getenv(which.overrideVariable); forced && *forced) {
    folder = forced;
    if (exists(folder + kSep + kProbe)) return true;
    error = std::string(which.overrideVariable) + "=" + folder + " holds no " + kProbe;
    return false;
  }
  std::string exe = executablePath();
  std::size_t slash = exe.find_last_of("/\\");
  if (slash == std::string::npos) {
    error = "cannot tell where this program is";
    return false;
  }
  std::string dir = exe.substr(0, slash);
  std::string tried;
  for (const char *relative : {which.buildRelative, which.installRelative}) {
    std::string candidate = dir + kSep + relative;
    if (exists(candidate + kSep + kProbe)) {
      folder = std::filesystem::path(candidate).lexically_normal().string();
      return true;
    }
    tried += "\n  " + candidate;
  }
  error = std::string(which.what) + " is not in" + tried + "\nset " + which.overrideVariable +
          " to its folder" + (&which == &kSimulator ? ", or use --real-visa" : "");
  return false;
}

void passSettings(const Options &o) {
  if (o.realVisa) {
    setVariable("ZOLVANE_TRACE", o.traceFile);
    return;
  }
  if (o.trace) setVariable("ZOLVANE_SIM_TRACE", o.traceFile.empty() ? "-" : o.traceFile);
  if (!o.simOptions.empty()) {
    const char *had = std::getenv("ZOLVANE_SIM_OPTIONS");
    setVariable("ZOLVANE_SIM_OPTIONS",
                had && *had ? std::string(had) + ";" + o.simOptions : o.simOptions);
  }
}

}  // namespace

bool useVisaFolder(char **argv, const Options &options, std::string &folder,
                   std::string &error) {
  const VisaFolder &which = options.realVisa ? kTrace : kSimulator;
#if defined(_WIN32)
  (void)argv;
  if (!findFolder(which, folder, error)) return false;
  passSettings(options);
  // Searched after the program's folder and before the system's, where the real VISA is.
  if (!SetDllDirectoryA(folder.c_str())) {
    error = "cannot add " + folder + " to the DLL search path";
    return false;
  }
  return true;
#else
  if (const char *child = std::getenv(kChildMarker); child && std::strcmp(child, "1") == 0) {
    unsetenv(kChildMarker);  // a program this one starts is a fresh parent again
    const char *f = std::getenv(kFolderVariable);
    folder = f ? f : "";
    return true;
  }
  if (!findFolder(which, folder, error)) return false;
  const char *had = std::getenv("LD_LIBRARY_PATH");
  setVariable("LD_LIBRARY_PATH", had && *had ? folder + ":" + had : folder);
  setVariable(kFolderVariable, folder);
  setVariable(kChildMarker, "1");
  passSettings(options);
  std::string self = executablePath();
  execv(self.c_str(), argv);
  error = "cannot run " + self + " again: " + std::strerror(errno);
  return false;
#endif
}

}  // namespace phone_test
