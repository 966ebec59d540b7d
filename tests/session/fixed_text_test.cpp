// Text on the stack: numbers with a point, no overrun.
#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "session/fixed_text.h"

using zolvane::FixedText;

namespace {

TEST(FixedText, FixedPointIsLocaleFreeAndNeverNegativeZero) {
  const struct {
    double value;
    int decimals;
    const char *text;
  } cases[] = {
      {-55.5, 2, "-55.50"},   {1.25, 2, "1.25"},     {-1.25, 2, "-1.25"},  {0.0, 2, "0.00"},
      {-0.0, 2, "0.00"},      {-0.004, 2, "0.00"},   {0.005, 2, "0.01"},   {836.52, 3, "836.520"},
      {1e6, 2, "1000000.00"}, {-2.0, 2, "-2.00"},    {2.675, 2, "2.67"},   {-0.0004, 3, "0.000"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    FixedText<64> t;
    t.appendFixed(c.value, c.decimals);
    EXPECT_TRUE(t.ok());
    EXPECT_STREQ(t.c_str(), c.text);
  }
}

TEST(FixedText, ValuesThatCannotBeWrittenFailAndLeaveTheText) {
  for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::infinity()}) {
    FixedText<64> t;
    t.append("X ").appendFixed(bad, 2);
    EXPECT_FALSE(t.ok());
    EXPECT_STREQ(t.c_str(), "X ");
  }
  FixedText<16> small;
  small.append("GAIN ").appendFixed(-1e300, 2);
  EXPECT_FALSE(small.ok());
  EXPECT_STREQ(small.c_str(), "GAIN ");
  // Once failed, later appends do nothing.
  small.append("1");
  EXPECT_STREQ(small.c_str(), "GAIN ");
}

TEST(FixedText, FillsExactlyToItsSizeLessTheNul) {
  FixedText<8> t;
  t.append("1234567");
  EXPECT_TRUE(t.ok());
  EXPECT_EQ(t.size(), 7U);
  t.append("8");
  EXPECT_FALSE(t.ok());
  EXPECT_STREQ(t.c_str(), "1234567");
}

TEST(FixedText, IntegersWithTheirSign) {
  FixedText<64> t;
  t.append("GPIB0::").append(std::numeric_limits<int>::min()).append("::").append(14);
  EXPECT_STREQ(t.c_str(), "GPIB0::-2147483648::14");
}

}  // namespace
