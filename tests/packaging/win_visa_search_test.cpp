// Windows: Zolvane.dll loads visa32.dll from the program's folder, the folders the program added
// and the system folder, never from the current folder, where a planted visa32.dll (here one that
// leaves visa32.mark when loaded) would run inside the station. This program lives in a folder
// with Zolvane.dll and no VISA; its subfolder "current" holds the planted DLL and is made the
// current folder. The simulated test set stands for a station's installed VISA when a row copies
// it into the system folder (under Wine: the prefix's system32, or syswow64 for 32-bit).
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "session/visa_api.h"
#include "session/visa_binding.h"

namespace {

std::wstring ownFolder() {
  wchar_t self[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self, length);
  return path.substr(0, path.find_last_of(L'\\') + 1);
}

std::wstring systemVisa() {
  wchar_t folder[MAX_PATH];
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  return std::wstring(folder, length) + L"\\visa32.dll";
}

std::wstring moduleFile(HMODULE module) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  return std::wstring(path, length);
}

std::string narrow(const std::wstring &w) { return std::string(w.begin(), w.end()); }

bool exists(const std::wstring &path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

const std::wstring kMark = ownFolder() + L"current\\visa32.mark";

// The simulated test set installed as the system's visa32.dll for the life of this object.
class SystemVisa {
 public:
  SystemVisa() {
    const std::wstring simulator = ownFolder() + L"" ZOLVANE_SIMULATOR_FROM_HERE;
    // Fails rather than overwrites: a VISA already there would make every row meaningless.
    installed_ = CopyFileW(simulator.c_str(), systemVisa().c_str(), TRUE) != 0;
    error_ = GetLastError();
  }
  ~SystemVisa() {
    if (installed_) DeleteFileW(systemVisa().c_str());
  }
  bool installed() const { return installed_; }
  DWORD error() const { return error_; }

 private:
  bool installed_;
  DWORD error_;
};

enum class Loader { ZolvaneDll, FullPaths };
struct Row {
  const char *name;
  Loader loader;
  bool systemVisa;
};

// What one search found: the status of Zolvane_InitTester (ZolvaneDll) and the file of the
// visa32.dll loaded then, empty for none.
struct Found {
  int status = 0;
  std::wstring visa;
};

Found search(Loader loader) {
  Found found;
  if (loader == Loader::FullPaths) {
    auto *lib = static_cast<HMODULE>(zolvane::visa::loadVisaByFullPaths());
    if (lib != nullptr) {
      found.visa = moduleFile(lib);
      FreeLibrary(lib);
    }
    return found;
  }
  HMODULE zolvane = LoadLibraryW((ownFolder() + L"Zolvane.dll").c_str());
  if (zolvane == nullptr) {
    ADD_FAILURE() << "cannot load Zolvane.dll: " << GetLastError();
    return found;
  }
  using Init = int(__cdecl *)(int);
  using Release = int(__cdecl *)();
  auto init = reinterpret_cast<Init>(reinterpret_cast<void *>(GetProcAddress(zolvane, "Zolvane_InitTester")));
  auto release = reinterpret_cast<Release>(
      reinterpret_cast<void *>(GetProcAddress(zolvane, "Zolvane_ReleaseTester")));
  found.status = init(14);
  if (HMODULE visa = GetModuleHandleW(L"visa32.dll")) found.visa = moduleFile(visa);
  release();
  FreeLibrary(zolvane);
  return found;
}

class VisaSearch : public testing::TestWithParam<Row> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SetCurrentDirectoryW((ownFolder() + L"current").c_str())) << GetLastError();
    DeleteFileW(kMark.c_str());
    ASSERT_FALSE(exists(kMark));
    ASSERT_EQ(GetModuleHandleW(L"visa32.dll"), nullptr) << "a visa32.dll is loaded already";
  }
};

TEST_P(VisaSearch, NeverLoadsTheCurrentFoldersVisa) {
  const Row &row = GetParam();
  Found found;
  if (row.systemVisa) {
    SystemVisa installed;
    ASSERT_TRUE(installed.installed())
        << "cannot put the simulator at " << narrow(systemVisa()) << ": " << installed.error();
    found = search(row.loader);
    if (row.loader == Loader::ZolvaneDll) {
      EXPECT_EQ(found.status, 0);
    }
    EXPECT_EQ(CompareStringOrdinal(found.visa.c_str(), -1, systemVisa().c_str(), -1, TRUE),
              CSTR_EQUAL)
        << "loaded " << narrow(found.visa) << ", expected " << narrow(systemVisa());
  } else {
    found = search(row.loader);
    if (row.loader == Loader::ZolvaneDll) {
      EXPECT_EQ(found.status, kViErrorLibraryNfound);
    }
    EXPECT_EQ(narrow(found.visa), "");
  }
  EXPECT_FALSE(exists(kMark)) << "the planted visa32.dll was loaded";
  EXPECT_EQ(GetModuleHandleW(L"visa32.dll"), nullptr) << "visa32.dll was not released";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, VisaSearch,
    testing::Values(Row{"FlagsNoVisa", Loader::ZolvaneDll, false},
                    Row{"FlagsSystemVisa", Loader::ZolvaneDll, true},
                    Row{"FullPathsNoVisa", Loader::FullPaths, false},
                    Row{"FullPathsSystemVisa", Loader::FullPaths, true}),
    [](const testing::TestParamInfo<Row> &row) { return std::string(row.param.name); });

// The probe itself: loaded on purpose, the planted DLL leaves its mark.
TEST(PlantedVisa, LeavesItsMarkWhenLoaded) {
  DeleteFileW(kMark.c_str());
  HMODULE planted = LoadLibraryW((ownFolder() + L"current\\visa32.dll").c_str());
  ASSERT_NE(planted, nullptr) << GetLastError();
  FreeLibrary(planted);
  EXPECT_TRUE(exists(kMark));
  DeleteFileW(kMark.c_str());
}

}  // namespace
