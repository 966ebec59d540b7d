// Windows: FreeLibrary of Zolvane.dll closes every resource-manager session it still remembers
// and releases visa32.dll; loading it again binds afresh. At process exit the DLL calls nothing
// in VISA: it runs under the loader lock then, and visa32 may already be gone.
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "visa_double.h"

namespace vd = visa_double;

namespace {

using IntOfInt = int(__cdecl *)(int);
using IntOfVoid = int(__cdecl *)();

template <typename Fn>
Fn lookUp(HMODULE lib, const char *name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(lib, name)));
}

// Whether a module of that name is loaded in this process.
bool loaded(const char *name) { return GetModuleHandleA(name) != nullptr; }

TEST(WindowsUnload, FreeLibraryClosesEveryRememberedResourceManager) {
  vd::reset();
  for (int cycle = 0; cycle < 3; ++cycle) {
    SCOPED_TRACE(cycle);
    HMODULE lib = LoadLibraryA("Zolvane.dll");
    ASSERT_NE(lib, nullptr) << GetLastError();
    auto init = lookUp<IntOfInt>(lib, "Zolvane_InitTester");
    auto release = lookUp<IntOfVoid>(lib, "Zolvane_ReleaseTester");
    ASSERT_NE(init, nullptr);
    ASSERT_NE(release, nullptr);

    // Two opens without a release and a half open: three resource managers are left open.
    ASSERT_EQ(init(5), 0);
    ASSERT_EQ(init(6), 0);
    vd::failOn("GPIB0::7::INSTR", 1, kViErrorRsrcNfound);
    ASSERT_EQ(init(7), kViErrorRsrcNfound);
    EXPECT_EQ(vd::openResourceManagers(), 3U);

    ASSERT_TRUE(FreeLibrary(lib));
    EXPECT_FALSE(loaded("Zolvane.dll"));
    EXPECT_EQ(vd::openResourceManagers(), 0U);
    EXPECT_EQ(vd::openSessions(), 0U);
    // This program's own import keeps visa32 loaded; the library's reference was given back.
    EXPECT_TRUE(loaded("visa32.dll"));
    vd::restart();
  }
}

TEST(WindowsUnload, ReleasedResourceManagersAreNotClosedAgain) {
  vd::reset();
  HMODULE lib = LoadLibraryA("Zolvane.dll");
  ASSERT_NE(lib, nullptr) << GetLastError();
  ASSERT_EQ(lookUp<IntOfInt>(lib, "Zolvane_InitTester")(5), 0);
  ASSERT_EQ(lookUp<IntOfVoid>(lib, "Zolvane_ReleaseTester")(), 0);
  vd::restart();
  ASSERT_TRUE(FreeLibrary(lib));
  EXPECT_TRUE(vd::events().empty());
}

// This program's folder, with a trailing backslash.
std::string ownFolder() {
  char self[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string path(self, length);
  return path.substr(0, path.find_last_of("\\/") + 1);
}

// Runs the exit probe (its own folder holds a visa32.dll that logs each call) and returns what
// reached VISA, one call a line; `code` gets the probe's exit code.
std::string runExitProbe(const char *mode, DWORD &code) {
  const std::string folder = ownFolder();
  const std::string log = folder + "exit_probe\\" + mode + ".log";
  DeleteFileA(log.c_str());
  SetEnvironmentVariableA("ZOLVANE_EXIT_PROBE_LOG", log.c_str());
  std::string command = "\"" + folder + "exit_probe\\exit_probe.exe\" \"" + folder +
                        "Zolvane.dll\" " + mode;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  code = 0xFFFFFFFF;
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &child)) {
    ADD_FAILURE() << "cannot start " << command << ": " << GetLastError();
    return {};
  }
  EXPECT_EQ(WaitForSingleObject(child.hProcess, 20000), WAIT_OBJECT_0);
  GetExitCodeProcess(child.hProcess, &code);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  std::string calls;
  HANDLE file = CreateFileA(log.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) calls.append(buffer, read);
    CloseHandle(file);
  }
  return calls;
}

constexpr const char *kOpened = "viOpenDefaultRM\nviOpen\nviSetAttribute\nviPrintf\n";

TEST(WindowsUnload, FreeLibraryInAnotherProcessClosesTheResourceManager) {
  DWORD code = 0;
  EXPECT_EQ(runExitProbe("free", code), std::string(kOpened) + "viClose\n");
  EXPECT_EQ(code, 7U);
}

TEST(WindowsUnload, ProcessExitCallsNothingInVisa) {
  DWORD code = 0;
  EXPECT_EQ(runExitProbe("keep", code), kOpened);
  EXPECT_EQ(code, 7U);
}

}  // namespace

