// The binding's first-use race, on a freshly loaded library each round: eight threads make
// their first VISA call at the same moment. Each must get VISA's own answer for session 0,
// never a half-made binding (a missing library, a missing entry point, a null function). Built
// under ThreadSanitizer by the CI, which also watches the binding's state for data races.
#include <dlfcn.h>

#include <barrier>
#include <cstdio>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "visa_double.h"

namespace vd = visa_double;

namespace {

using IntOfVoid = int (*)();

TEST(BindingRace, EveryFreshLoadIsBoundOnceUnderEightFirstCallsAtOnce) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 25;
  vd::reset();
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    void *lib = dlopen(ZOLVANE_FILE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto reset = reinterpret_cast<IntOfVoid>(dlsym(lib, "Zolvane_ResetTester"));
    ASSERT_NE(reset, nullptr);
    vd::restart();

    std::barrier start(kThreads);
    std::vector<int> results(kThreads, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        start.arrive_and_wait();
        results[static_cast<std::size_t>(i)] = reset();
      });
    }
    for (auto &t : threads) t.join();
    for (int r : results) EXPECT_EQ(r, kViErrorInvObject);
    EXPECT_EQ(vd::events().size(), static_cast<std::size_t>(kThreads));
    ASSERT_EQ(dlclose(lib), 0);
  }
  std::printf("binding race: %d fresh loads, %d threads each making the first call at once\n",
              kRounds, kThreads);
}

}  // namespace
