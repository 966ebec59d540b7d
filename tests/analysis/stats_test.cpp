#include "stats.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

namespace {

using zolvane::analysis::cpk;
using zolvane::analysis::RunningStats;

constexpr double kNone = NAN;  // "undefined" in the table below

// Worked by hand: sample standard deviation over n - 1; Cpk = min(high - mean, mean - low) / 3 sd,
// one-sided where only one limit exists.
struct Case {
  const char *what;
  std::vector<double> values;
  std::optional<double> low, high;
  double mean, sd, cpk;
};

const Case kCases[] = {
    {"two-sided, centred", {1, 2, 3, 4, 5}, 0.0, 6.0, 3.0, 1.5811388300841898, 0.6324555320336759},
    {"two-sided, nearer the low limit", {2, 4}, 1.0, 6.0, 3.0, 1.4142135623730951,
     0.4714045207910317},
    {"high limit only (Cpu)", {2, 4}, std::nullopt, 6.0, 3.0, 1.4142135623730951,
     0.7071067811865476},
    {"low limit only (Cpl)", {2, 4}, 1.0, std::nullopt, 3.0, 1.4142135623730951,
     0.4714045207910317},
    {"mean beyond the limit: negative", {7, 9}, std::nullopt, 6.0, 8.0, 1.4142135623730951,
     -0.4714045207910317},
    {"no spread", {5, 5, 5}, 0.0, 10.0, 5.0, 0.0, kNone},
    {"one value", {5}, 0.0, 10.0, 5.0, kNone, kNone},
    {"no limits", {1, 2}, std::nullopt, std::nullopt, 1.5, 0.7071067811865476, kNone},
    // Large offset, small spread: a sum-of-squares formula loses every digit here.
    {"large offset", {1e9 + 4, 1e9 + 7, 1e9 + 13, 1e9 + 16}, std::nullopt, 1e9 + 25, 1e9 + 10,
     5.477225575051661, 0.9128709291752769},
};

TEST(Stats, WorkedByHand) {
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.what);
    RunningStats s;
    for (double v : c.values) s.add(v);
    EXPECT_EQ(s.count(), c.values.size());
    EXPECT_NEAR(s.mean(), c.mean, 1e-9 * std::max(1.0, std::abs(c.mean)));
    double lo = c.values[0], hi = c.values[0];
    for (double v : c.values) lo = std::min(lo, v), hi = std::max(hi, v);
    EXPECT_EQ(s.min(), lo);
    EXPECT_EQ(s.max(), hi);

    const std::optional<double> sd = s.stddev();
    ASSERT_EQ(sd.has_value(), !std::isnan(c.sd));
    if (sd) {
      EXPECT_NEAR(*sd, c.sd, 1e-7);
    }
    const std::optional<double> k = cpk(s.mean(), sd, c.low, c.high);
    ASSERT_EQ(k.has_value(), !std::isnan(c.cpk));
    if (k) {
      EXPECT_NEAR(*k, c.cpk, 1e-7);
    }
  }
}

}  // namespace
