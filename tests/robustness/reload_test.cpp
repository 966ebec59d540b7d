// Loading and unloading the library a thousand times, each time with sessions left open in a
// different way (open, opened twice, half open, a release whose close failed): every unload
// closes every resource manager the library opened, the library really goes away, and the next
// load binds VISA afresh.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "visa_double.h"

namespace vd = visa_double;

namespace {

using IntOfInt = int (*)(int);
using IntOfVoid = int (*)();
using IntOfDoublePointer = int (*)(double *);

template <typename Fn>
Fn lookUp(void *lib, const char *name) {
  return reinterpret_cast<Fn>(dlsym(lib, name));
}

int cycles() {
  const char *n = std::getenv("ZOLVANE_RELOAD_CYCLES");
  return n != nullptr ? std::atoi(n) : 1000;
}

TEST(Reload, ThousandLoadsWithSessionsOpenLeaveNoResourceManagerOpen) {
  vd::reset();
  const int total = cycles();
  int leftOpen = 0;
  for (int cycle = 0; cycle < total; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    void *lib = dlopen(ZOLVANE_FILE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto init = lookUp<IntOfInt>(lib, "Zolvane_InitTester");
    auto release = lookUp<IntOfVoid>(lib, "Zolvane_ReleaseTester");
    auto reset = lookUp<IntOfVoid>(lib, "Zolvane_ResetTester");
    auto measure = lookUp<IntOfDoublePointer>(lib, "Zolvane_2K_MeasMaxPower");
    ASSERT_TRUE(init && release && reset && measure);

    vd::restart();
    vd::answer("FETC:DAP?\n", "0,2.312E+01");
    vd::answer("SYST:ERR?\n", "+0,\"No error\"");
    std::size_t rms = 1;
    switch (cycle % 4) {
      case 0:  // open, and used
        ASSERT_EQ(init(5), 0);
        break;
      case 1:  // opened twice: the first pair is overwritten, not closed
        ASSERT_EQ(init(5), 0);
        ASSERT_EQ(init(6), 0);
        rms = 2;
        break;
      case 2:  // half open: the resource manager stays open after a failed open
        vd::failOn("GPIB0::7::INSTR", 1, kViErrorRsrcNfound);
        ASSERT_EQ(init(7), kViErrorRsrcNfound);
        break;
      case 3:  // a release whose first close fails leaves both sessions open in VISA
        ASSERT_EQ(init(5), 0);
        vd::failOn("viClose", 1, kViErrorIo);
        ASSERT_EQ(release(), kViErrorIo);
        break;
    }
    if (cycle % 4 == 0 || cycle % 4 == 1) {
      double power = 0;
      EXPECT_EQ(reset(), 0);
      EXPECT_EQ(measure(&power), 0);
      EXPECT_EQ(power, 23.12);
    }
    ASSERT_EQ(vd::openResourceManagers(), rms);
    leftOpen += static_cast<int>(vd::openResourceManagers());

    ASSERT_EQ(dlclose(lib), 0);
    ASSERT_EQ(dlopen(ZOLVANE_FILE, RTLD_NOW | RTLD_NOLOAD), nullptr)
        << "the library is still loaded, so its unload never ran";
    ASSERT_EQ(vd::openResourceManagers(), 0U);
    ASSERT_EQ(vd::openSessions(), 0U);
  }
  std::printf("reload: %d load and unload cycles, %d resource managers left open and closed by "
              "the unload, 0 left open after it\n",
              total, leftOpen);
}

}  // namespace
