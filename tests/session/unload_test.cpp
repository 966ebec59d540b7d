// Unloading the library closes every resource-manager session it still remembers, and releases
// VISA; loading it again binds afresh.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include "visa_double.h"

namespace vd = visa_double;

namespace {

using IntOfInt = int (*)(int);
using IntOfVoid = int (*)();

template <typename Fn>
Fn lookUp(void *lib, const char *name) {
  return reinterpret_cast<Fn>(dlsym(lib, name));
}

TEST(Unload, ClosesEveryRememberedResourceManager) {
  vd::reset();
  for (int cycle = 0; cycle < 3; ++cycle) {
    SCOPED_TRACE(cycle);
    void *lib = dlopen(ZOLVANE_FILE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto init = lookUp<IntOfInt>(lib, "Zolvane_InitTester");
    auto release = lookUp<IntOfVoid>(lib, "Zolvane_ReleaseTester");
    ASSERT_NE(init, nullptr);
    ASSERT_NE(release, nullptr);

    // Three opens without a release, one of them half open, and a release whose first close
    // fails: four resource managers are left open.
    ASSERT_EQ(init(5), 0);
    ASSERT_EQ(init(6), 0);
    vd::failOn("GPIB0::7::INSTR", 1, kViErrorRsrcNfound);
    ASSERT_EQ(init(7), kViErrorRsrcNfound);
    ASSERT_EQ(init(8), 0);
    vd::failOn("viClose", 1, kViErrorIo);
    ASSERT_EQ(release(), kViErrorIo);
    EXPECT_EQ(vd::openResourceManagers(), 4U);

    ASSERT_EQ(dlclose(lib), 0);
    EXPECT_EQ(vd::openResourceManagers(), 0U);
    EXPECT_EQ(vd::openSessions(), 0U);
    vd::restart();
  }
}

TEST(Unload, ForgetsResourceManagersThatWereClosed) {
  vd::reset();
  void *lib = dlopen(ZOLVANE_FILE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  ASSERT_EQ(lookUp<IntOfInt>(lib, "Zolvane_InitTester")(5), 0);
  ASSERT_EQ(lookUp<IntOfVoid>(lib, "Zolvane_ReleaseTester")(), 0);
  vd::restart();
  ASSERT_EQ(dlclose(lib), 0);
  // The released resource manager is not closed a second time.
  EXPECT_TRUE(vd::events().empty());
}

}  // namespace
