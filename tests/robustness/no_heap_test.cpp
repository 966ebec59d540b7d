// No heap: every allocation in the process is counted (an interposed malloc family, or the
// sanitizer's allocation hook in a sanitized build) while each of the 37 operations runs,
// successful, failing and answered with hostile text. VISA is a stub that allocates nothing, so
// every count is the library's. The first call, which binds VISA through the platform loader
// (and so allocates inside the C library's dlopen), runs before counting starts.
#include <dlfcn.h>

#include <atomic>
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Zolvane.h"
#include "operations.h"
#include "visa_stub.h"

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
void count() {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1);
}
}  // namespace

#if defined(__SANITIZE_ADDRESS__)
#define ZOLVANE_SANITIZED_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZOLVANE_SANITIZED_HEAP 1
#endif
#endif

#if defined(ZOLVANE_SANITIZED_HEAP)
// The sanitizer owns malloc; it calls this hook for every allocation instead.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void *, size_t),
                                                          void (*)(const volatile void *));
namespace {
void onAllocation(const volatile void *, size_t) { count(); }
void onRelease(const volatile void *) {}
const bool hooked = __sanitizer_install_malloc_and_free_hooks(onAllocation, onRelease) != 0;
}  // namespace
#else
// The C library's own allocator, under the names it exports for interposers like this one.
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);

void *malloc(size_t n) {
  count();
  return __libc_malloc(n);
}
void *calloc(size_t n, size_t size) {
  count();
  return __libc_calloc(n, size);
}
void *realloc(void *p, size_t n) {
  count();
  return __libc_realloc(p, n);
}
void free(void *p) { __libc_free(p); }
void *memalign(size_t alignment, size_t n) {
  count();
  return __libc_memalign(alignment, n);
}
void *aligned_alloc(size_t alignment, size_t n) {
  count();
  return __libc_memalign(alignment, n);
}
int posix_memalign(void **p, size_t alignment, size_t n) {
  count();
  *p = __libc_memalign(alignment, n);
  return *p != nullptr ? 0 : 12;  // ENOMEM
}
void *valloc(size_t n) {
  count();
  return __libc_memalign(4096, n);
}
void *pvalloc(size_t n) {
  count();
  return __libc_memalign(4096, (n + 4095) & ~static_cast<size_t>(4095));
}
}
namespace {
const bool hooked = true;
}  // namespace
#endif

namespace {

double value = 0.0;

struct OperationRun {
  const char *name;
  int (*op)();
};

// Every operation, with arguments that reach every branch between them.
const OperationRun kRuns[] = {
    {"Zolvane_InitTester", [] { return Zolvane_InitTester(5); }},
    {"Zolvane_InitTester INT_MIN", [] { return Zolvane_InitTester(INT_MIN); }},
    {"Zolvane_ResetTester", [] { return Zolvane_ResetTester(); }},
    {"Zolvane_ConfigCDMA2K", [] { return Zolvane_ConfigCDMA2K(2); }},
    {"Zolvane_ConfigCDMA2K refused", [] { return Zolvane_ConfigCDMA2K(-1); }},
    {"Zolvane_2K_SetBand", [] { return Zolvane_2K_SetBand(3); }},
    {"Zolvane_2K_SetLoss", [] { return Zolvane_2K_SetLoss(1.25); }},
    {"Zolvane_2K_SetLoss refused", [] { return Zolvane_2K_SetLoss(1e300); }},
    {"Zolvane_2K_SetRFPort", [] { return Zolvane_2K_SetRFPort(0); }},
    {"Zolvane_2K_SetRFPort OUT", [] { return Zolvane_2K_SetRFPort(INT_MIN); }},
    {"Zolvane_2K_OpenAct", [] { return Zolvane_2K_OpenAct(); }},
    {"Zolvane_2K_SetCellPower", [] { return Zolvane_2K_SetCellPower(-55.5); }},
    {"Zolvane_2K_SetCellPower 1e300", [] { return Zolvane_2K_SetCellPower(1e300); }},
    {"Zolvane_2K_SetNetwork", [] { return Zolvane_2K_SetNetwork(INT_MIN, INT_MAX); }},
    {"Zolvane_SetOperMode", [] { return Zolvane_SetOperMode(OPER_MODE_PBPT); }},
    {"Zolvane_SetOperMode outside", [] { return Zolvane_SetOperMode(static_cast<OperMode>(-1)); }},
    {"Zolvane_SetOperModeCALL", [] { return Zolvane_SetOperModeCALL(); }},
    {"Zolvane_SetOperModeCW", [] { return Zolvane_SetOperModeCW(); }},
    {"Zolvane_2K_SetChannel", [] { return Zolvane_2K_SetChannel(INT_MIN, 2); }},
    {"Zolvane_2K_SetChannel other mode", [] { return Zolvane_2K_SetChannel(1, 9); }},
    {"Zolvane_SetCarrierFrequency", [] { return Zolvane_SetCarrierFrequency(1e300); }},
    {"Zolvane_2K_SyncNetwork", [] { return Zolvane_2K_SyncNetwork(2); }},
    {"Zolvane_SetOrig", [] { return Zolvane_SetOrig(); }},
    {"Zolvane_CheckConnect", [] { return Zolvane_CheckConnect(1); }},
    {"Zolvane_2K_HandOff same band", [] { return Zolvane_2K_HandOff(3, 25); }},
    {"Zolvane_2K_HandOff other band", [] { return Zolvane_2K_HandOff(0, 1013); }},
    {"Zolvane_EndCall", [] { return Zolvane_EndCall(); }},
    {"Zolvane_2K_InitFER", [] { return Zolvane_2K_InitFER(); }},
    {"Zolvane_2K_MeasFER", [] { return Zolvane_2K_MeasFER(&value); }},
    {"Zolvane_2K_AbortFER", [] { return Zolvane_2K_AbortFER(); }},
    {"Zolvane_2K_InitMaxPower", [] { return Zolvane_2K_InitMaxPower(20); }},
    {"Zolvane_2K_MeasMaxPower", [] { return Zolvane_2K_MeasMaxPower(&value); }},
    {"Zolvane_2K_AbortMaxPower", [] { return Zolvane_2K_AbortMaxPower(); }},
    {"Zolvane_ConfigMeasDAP", [] { return Zolvane_ConfigMeasDAP(); }},
    {"Zolvane_InitDAPower", [] { return Zolvane_InitDAPower(); }},
    {"Zolvane_FetchDAPower", [] { return Zolvane_FetchDAPower(&value); }},
    {"Zolvane_FetchDAPower null", [] { return Zolvane_FetchDAPower(nullptr); }},
    {"Zolvane_2K_InitMinPower", [] { return Zolvane_2K_InitMinPower(); }},
    {"Zolvane_2K_MeasMinPower", [] { return Zolvane_2K_MeasMinPower(&value); }},
    {"Zolvane_2K_AbortMinPower", [] { return Zolvane_2K_AbortMinPower(); }},
    {"Zolvane_2K_InitRolop", [] { return Zolvane_2K_InitRolop(); }},
    {"Zolvane_2K_MeasRolop", [] { return Zolvane_2K_MeasRolop(&value); }},
    {"Zolvane_2K_AbortRolop", [] { return Zolvane_2K_AbortRolop(); }},
    {"Zolvane_InitCPower", [] { return Zolvane_InitCPower(); }},
    {"Zolvane_FetchCPower", [] { return Zolvane_FetchCPower(&value); }},
    {"Zolvane_ReleaseTester", [] { return Zolvane_ReleaseTester(); }},
    {"Zolvane_ReleaseTester closed", [] { return Zolvane_ReleaseTester(); }},
};

// What the test set answers in each pass: the answers of a working test set (a phone that
// registers and connects on the second poll and drops on the second), then hostile ones.
struct Answers {
  const char *name;
  const char *fetch;        // every measurement fetch
  const char *esn[2];       // the registration polls
  const char *connect[2];   // the connection polls of Zolvane_CheckConnect
  const char *release[2];   // the connection polls of Zolvane_EndCall
};

const std::string kLong = "0,-5" + std::string(9996, '0');
const std::string kLongDigits = "1" + std::string(9999, '9');

std::vector<Answers> passes() {
  return {
      {"working", "0,2.312E+01", {"12345", "A1B2C3D4"}, {"0", "1"}, {"1", "0"}},
      {"NAN", "NAN", {"NAN", "NAN"}, {"NAN", "NAN"}, {"NAN", "NAN"}},
      {"10000 characters", kLong.c_str(), {kLong.c_str(), kLong.c_str()},
       {kLongDigits.c_str(), "1"}, {kLongDigits.c_str(), "0"}},
      {"10000 digits", kLongDigits.c_str(), {"", ""}, {"", ""}, {"", ""}},
      {"out of range", "0,1E999", {"-1E999", "1E-999"}, {"4294967297", "1"}, {"-1", "0"}},
      {"below the normal range", "0,-4.9E-324", {"1E-320", "+"}, {"-", "+1"}, {".", "-0"}},
      {"commas", ",,,,,,,,,,,,,,,,,,,,", {",", "1,"}, {",,", "1,"}, {"1,", ","}},
      {"signs and words", "+0,+2.5E+01", {"0x10", "inf"}, {"-nan", "+1"}, {"++1", "INFINITY"}},
  };
}

void script(const Answers &a) {
  stub_reset();
  stub_answer("SYST:ERR?\n", "+0,\"No error\"");
  for (const char *query : {"FETC:CFER:RAT?\n", "FETC:DAP?\n", "FETC:CPOW?\n"}) {
    stub_answer(query, a.fetch);
  }
  stub_answer("CALL:MS:REP:ESN?\n", a.esn[0]);
  stub_answer("CALL:MS:REP:ESN?\n", a.esn[1]);
}

void scriptConnection(const char *const (&answers)[2]) {
  // The connection query is the one answer that differs between the two polling operations.
  stub_answer("CALL:CONN:STAT?\n", answers[0]);
  stub_answer("CALL:CONN:STAT?\n", answers[1]);
}

struct Tally {
  int runs = 0;
  long allocations = 0;
  unsigned long visaCalls = 0;
  std::vector<std::string> allocating;
};

// Runs every operation once with answers `a` (or with every VISA call failing), counting.
void runAll(const Answers &a, ViStatus failEveryCall, Tally &tally) {
  for (const OperationRun &run : kRuns) {
    script(a);
    const std::string name = run.name;
    if (name == "Zolvane_CheckConnect") scriptConnection(a.connect);
    if (name == "Zolvane_EndCall") scriptConnection(a.release);
    stub_fail_every_call(failEveryCall);
    allocations = 0;
    counting = true;
    (void)run.op();
    counting = false;
    const unsigned long calls = stub_calls();
    tally.allocations += allocations;
    if (allocations != 0) {
      tally.allocating.push_back(name + " (" + a.name + "): " + std::to_string(allocations.load()));
    }
    tally.visaCalls += calls;
    ++tally.runs;
  }
}

TEST(NoHeap, NoOperationAllocatesWhateverVisaAndTheTestSetDo) {
  ASSERT_TRUE(hooked) << "the allocation hook could not be installed";
  // Counting works: allocations made in the window are seen, directly and through new.
  // The pointers escape through volatile stores, so the compiler cannot drop the pair.
  static void *volatile probe = nullptr;
  static void *volatile object = nullptr;
  counting = true;
  probe = std::malloc(16);
  object = ::operator new(16);
  counting = false;
  std::free(probe);
  ::operator delete(object);
  ASSERT_EQ(allocations.load(), 2) << "the allocation count does not see allocations";

  // Every operation is covered.
  std::vector<std::string> names;
  for (const OperationRun &run : kRuns) {
    const std::string_view op = robustness::operationOf(run.name);
    EXPECT_TRUE(robustness::isExported(op)) << run.name;
    names.emplace_back(op);
  }
  for (std::string_view op : robustness::kExportedOperations) {
    EXPECT_NE(std::find(names.begin(), names.end(), op), names.end()) << op << " is not run";
  }

  // The first VISA call binds VISA through dlopen, which allocates in the C library.
  (void)Zolvane_ResetTester();

  Tally tally;
  for (const Answers &a : passes()) runAll(a, 0, tally);
  for (ViStatus status : {kViErrorIo, kViSuccessMaxCnt}) runAll(passes().front(), status, tally);
  EXPECT_TRUE(tally.allocating.empty()) << ::testing::PrintToString(tally.allocating);
  EXPECT_GT(tally.visaCalls, static_cast<unsigned long>(tally.runs)) << "the operations hardly ran";
  std::printf("no heap: %ld allocations by the library over %d operation runs (all 37 operations, "
              "%lu VISA calls)\n",
              tally.allocations, tally.runs, tally.visaCalls);
}

}  // namespace
