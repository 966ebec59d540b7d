// Eight threads make their first VISA call at the same moment: VISA is bound exactly once.
#include <dlfcn.h>

#include <atomic>
#include <barrier>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Zolvane.h"
#include "visa_double.h"

namespace {
std::atomic<int> visaLoads{0};
}

// Counts the library's attempts to load a VISA library; everything else passes through.
extern "C" void *dlopen(const char *file, int mode) {
  using Real = void *(*)(const char *, int);
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "dlopen"));
  if (file != nullptr && std::strcmp(file, "libivivisa.so.7") == 0) ++visaLoads;
  return real(file, mode);
}

namespace {

TEST(BindingRace, EightFirstCallsAtOnceBindOnce) {
  constexpr int kThreads = 8;
  ASSERT_EQ(visaLoads.load(), 0) << "VISA was bound before the race";
  std::barrier start(kThreads);
  std::vector<int> results(kThreads, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      results[static_cast<std::size_t>(i)] = Zolvane_ResetTester();
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(visaLoads.load(), 1);
  // Nothing is open: every write went to session 0 and failed there.
  for (int r : results) EXPECT_EQ(r, kViErrorInvObject);
  EXPECT_EQ(visa_double::events().size(), static_cast<std::size_t>(kThreads));
}

}  // namespace
