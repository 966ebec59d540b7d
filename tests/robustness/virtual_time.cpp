// The library's own sleeps cost no time in these programs: a nanosleep called from libZolvane
// returns at once and moves the library's monotonic clock on by what it asked for, so a poll
// that would wait 5 s or 49 days of real time runs its passes at full speed with the same
// arithmetic. Every other caller (GoogleTest, the double, libFuzzer) keeps the real clock.
#include <dlfcn.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <cstring>

namespace {

using ClockGetTime = int (*)(clockid_t, timespec *);
using NanoSleep = int (*)(const timespec *, timespec *);

// Nanoseconds the library has slept so far; its clock runs this far ahead of the real one.
std::atomic<std::int64_t> skipped{0};

bool fromTheLibrary(const void *returnAddress) {
  Dl_info info;
  if (dladdr(returnAddress, &info) == 0 || info.dli_fname == nullptr) return false;
  return std::strstr(info.dli_fname, "libZolvane") != nullptr;
}

ClockGetTime realClockGetTime() {
  static ClockGetTime real = reinterpret_cast<ClockGetTime>(dlsym(RTLD_NEXT, "clock_gettime"));
  return real;
}

NanoSleep realNanoSleep() {
  static NanoSleep real = reinterpret_cast<NanoSleep>(dlsym(RTLD_NEXT, "nanosleep"));
  return real;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int clock_gettime(clockid_t id, timespec *t) {
  const int result = realClockGetTime()(id, t);
  if (result != 0 || id != CLOCK_MONOTONIC || !fromTheLibrary(__builtin_return_address(0))) {
    return result;
  }
  const std::int64_t ns = static_cast<std::int64_t>(t->tv_sec) * 1000000000 + t->tv_nsec +
                          skipped.load(std::memory_order_relaxed);
  t->tv_sec = static_cast<time_t>(ns / 1000000000);
  t->tv_nsec = static_cast<long>(ns % 1000000000);
  return 0;
}

extern "C" __attribute__((visibility("default"))) int nanosleep(const timespec *request,
                                                                 timespec *remaining) {
  if (request == nullptr || !fromTheLibrary(__builtin_return_address(0))) {
    return realNanoSleep()(request, remaining);
  }
  skipped.fetch_add(static_cast<std::int64_t>(request->tv_sec) * 1000000000 + request->tv_nsec,
                    std::memory_order_relaxed);
  if (remaining != nullptr) *remaining = timespec{};
  return 0;
}

namespace virtual_time {
// Milliseconds the library has been spared, for the programs that print it.
std::int64_t skippedMilliseconds() { return skipped.load() / 1000000; }
}  // namespace virtual_time
