// The time-out arithmetic of the polling loops: a limit of nTimeOut seconds and an elapsed time
// between two readings of a 32-bit millisecond counter, both unsigned, so that neither a
// negative or huge time-out nor the counter's wrap (every 49.7 days) turns a wait into a
// negative number or a wait that never ends.
#include <climits>
#include <cstdint>

#include <gtest/gtest.h>

#include "session/timing.h"

namespace {

using zolvane::elapsedMilliseconds;
using zolvane::limitMilliseconds;
using zolvane::limitReached;

constexpr std::uint32_t kTop = 0xFFFFFFFFU;

TEST(TimeOutLimit, IsTheTimeOutInMillisecondsModuloTwoToThe32) {
  struct Case {
    int nTimeOut;
    std::uint32_t limit;
  };
  constexpr Case cases[] = {
      {0, 0},
      {1, 1000},
      {5, 5000},
      {2147483, 2147483000},
      {4294967, 4294967000},        // the largest value that does not wrap
      {4294968, 704},               // 4294968000 - 2^32
      {536870912, 0},               // 2^29 s: exactly 125 turns of the counter
      {-1, 4294966296},             // 2^32 - 1000: about 49.7 days
      {-2, 4294965296},
      {INT_MAX, 4294966296},
      {INT_MIN, 0},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(limitMilliseconds(c.nTimeOut), c.limit) << "nTimeOut " << c.nTimeOut;
  }
}

TEST(ElapsedTime, StaysRightAcrossTheCountersWrap) {
  struct Case {
    std::uint32_t start;
    std::uint32_t now;
    std::uint32_t elapsed;
  };
  constexpr Case cases[] = {
      {100, 350, 250},
      {1234, 1234, 0},
      {kTop - 99, 150, 250},  // 100 ms before the wrap, 150 after it
      {kTop, 0, 1},
      {0, kTop, kTop},
      {2, 1, kTop},  // a reading one tick behind the start is almost a full turn
  };
  for (const Case &c : cases) {
    EXPECT_EQ(elapsedMilliseconds(c.start, c.now), c.elapsed)
        << "start " << c.start << ", now " << c.now;
  }
}

TEST(LimitReached, AtTheLimitAndBeyondIncludingAcrossTheWrap) {
  struct Case {
    std::uint32_t start;
    std::uint32_t now;
    std::uint32_t limit;
    bool reached;
  };
  constexpr std::uint32_t kMinusOneSecond = 4294966296;  // the limit of nTimeOut -1
  constexpr Case cases[] = {
      {0, 999, 1000, false},
      {0, 1000, 1000, true},  // at least the limit: the same bound as the loops use
      {0, 1001, 1000, true},
      {kTop - 99, 899, 1000, false},
      {kTop - 99, 900, 1000, true},
      {5000, 5000, 0, true},  // a limit of 0 is reached at once
      {kTop, kTop, 0, true},
      {0, kMinusOneSecond - 1, kMinusOneSecond, false},
      {0, kMinusOneSecond, kMinusOneSecond, true},
      {1000, 999, kMinusOneSecond, true},  // elapsed is 2^32 - 1, beyond the limit
      {kTop - 299, 403, 704, false},       // the wrapped limit of 4294968 s
      {kTop - 299, 404, 704, true},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(limitReached(c.start, c.now, c.limit), c.reached)
        << "start " << c.start << ", now " << c.now << ", limit " << c.limit;
  }
}

// The same rules hold at compile time, where the loops' constants are computed.
static_assert(limitMilliseconds(-1) == 0xFFFFFFFFU - 999U);
static_assert(elapsedMilliseconds(0xFFFFFFF0U, 0x10U) == 0x20U);
static_assert(!limitReached(0xFFFFFFF0U, 0x10U, 0x21U) && limitReached(0xFFFFFFF0U, 0x10U, 0x20U));

}  // namespace
