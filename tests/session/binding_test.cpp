// Binding VISA at first use, in a process whose loader path is a folder of the test's own: no
// VISA at first, then one that lacks an entry point, then the double. A failed binding is tried
// again by the next call.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "Zolvane.h"
#include "conversation.h"
#include "visa_double.h"

namespace fs = std::filesystem;
namespace vd = visa_double;

namespace {

const char *kNames[] = {"libivivisa.so.7", "libvisa.so", "librsvisa.so", "libiovisa.so"};

fs::path folder() { return fs::path(std::getenv("ZOLVANE_BINDING_DIR")); }

void place(const char *name, const char *file) {
  fs::remove(folder() / name);
  fs::create_symlink(file, folder() / name);
}

bool someVisaIsInstalled() {
  for (const char *name : kNames) {
    if (void *lib = dlopen(name, RTLD_NOW | RTLD_LOCAL)) {
      dlclose(lib);
      return true;
    }
  }
  return false;
}

TEST(Binding, MissingThenIncompleteThenFound) {
  if (someVisaIsInstalled()) GTEST_SKIP() << "a VISA library is installed on this machine";
  vd::reset();

  // No VISA anywhere: every call says so, and the release has nothing to close.
  EXPECT_EQ(Zolvane_InitTester(5), ZOLVANE_ERROR_LIBRARY_NFOUND);
  EXPECT_EQ(Zolvane_ResetTester(), ZOLVANE_ERROR_LIBRARY_NFOUND);
  EXPECT_EQ(Zolvane_ReleaseTester(), 0);

  // The first name that loads decides, even when it lacks an entry point and a complete VISA
  // stands under the next name.
  place(kNames[0], VISA_INCOMPLETE_FILE);
  place(kNames[1], VISA_DOUBLE_FILE);
  EXPECT_EQ(Zolvane_InitTester(5), ZOLVANE_ERROR_SYSTEM_ERROR);
  EXPECT_EQ(Zolvane_ResetTester(), ZOLVANE_ERROR_SYSTEM_ERROR);
  EXPECT_TRUE(vd::events().empty());

  // Once a complete VISA stands under the first name, the next call binds it.
  place(kNames[0], VISA_DOUBLE_FILE);
  EXPECT_EQ(Zolvane_InitTester(5), 0);
  EXPECT_EQ(vd::transcript(), (std::vector<std::string>{
                                  "openDefaultRM", "open \"GPIB0::5::INSTR\" mode 0 timeout 0",
                                  "setAttribute 0x3FFF001A 20000", "write \"*CLS\\n\""}));
  EXPECT_EQ(Zolvane_ReleaseTester(), 0);
}

}  // namespace

// Runs the tests in a copy of this process whose loader path is a fresh, empty folder.
int main(int argc, char **argv) {
  if (std::getenv("ZOLVANE_BINDING_DIR") == nullptr) {
    char dir[] = "/tmp/zolvane-binding-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
      std::perror("mkdtemp");
      return 1;
    }
    setenv("ZOLVANE_BINDING_DIR", dir, 1);
    setenv("LD_LIBRARY_PATH", dir, 1);
    execv("/proc/self/exe", argv);
    std::perror("execv");
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  std::error_code ignored;
  fs::remove_all(folder(), ignored);
  return result;
}
