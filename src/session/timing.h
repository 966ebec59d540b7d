// Time for the polling loops: elapsed time in milliseconds as unsigned 32-bit numbers, so that
// a limit and a difference of two readings stay right across the counter's wrap.
#pragma once

#include <cstdint>

namespace zolvane {

// Milliseconds from a monotonic clock that keeps running while the thread sleeps; wraps at 2^32.
std::uint32_t clock();
// A blocking sleep; a value that is not a positive number of seconds does not sleep.
void Delay(double seconds);

// nTimeOut seconds in milliseconds, taken modulo 2^32: -1 gives 2^32 - 1000 ms (about 49.7 days).
constexpr std::uint32_t limitMilliseconds(int nTimeOut) {
  return static_cast<std::uint32_t>(nTimeOut) * 1000U;
}
constexpr std::uint32_t elapsedMilliseconds(std::uint32_t start, std::uint32_t now) {
  return now - start;
}
constexpr bool limitReached(std::uint32_t start, std::uint32_t now, std::uint32_t limit) {
  return elapsedMilliseconds(start, now) >= limit;
}

}  // namespace zolvane
