// The channel-to-frequency rule itself, run from the library's own source against this
// program's copy of the band state (the library's copy is hidden).
#include <climits>
#include <string>

#include <gtest/gtest.h>

#include "cell/band.h"
#include "cell/carrier.h"

namespace {

constexpr double kUnwritten = -12345.0;
// The rule is spacing times offset plus base in double; the decimal results are met to well
// within a micro-megahertz.
constexpr double kTolerance = 1e-9;

TEST(CarrierFrequency, EachBandIndexHasItsRule) {
  const struct {
    int band;
    int channel;
    double reverse;
    double forward;
  } cases[] = {
      // Cellular (0 USC, 2 SEC800): the ranges 991..1023 and 1024..1323 are inclusive.
      {0, 990, 854.70, 899.70},   {0, 991, 824.04, 869.04},   {0, 1023, 825.00, 870.00},
      {0, 1024, 815.04, 860.04},  {0, 1323, 824.01, 869.01},  {0, 1324, 864.72, 909.72},
      {0, 384, 836.52, 881.52},   {0, 1013, 824.70, 869.70},  {0, 0, 825.00, 870.00},
      {0, -1, 824.97, 869.97},
      {2, 990, 854.70, 899.70},   {2, 991, 824.04, 869.04},   {2, 1023, 825.00, 870.00},
      {2, 1024, 815.04, 860.04},  {2, 1323, 824.01, 869.01},  {2, 1324, 864.72, 909.72},
      {2, 1100, 817.32, 862.32},
      // PCS (1 USPC, 3 USPC1900): one rule for every channel.
      {1, 990, 1899.50, 1979.50}, {1, 991, 1899.55, 1979.55}, {1, 1023, 1901.15, 1981.15},
      {1, 1024, 1901.20, 1981.20}, {1, 1323, 1916.15, 1996.15}, {1, 1324, 1916.20, 1996.20},
      {1, 25, 1851.25, 1931.25},
      {3, 990, 1899.50, 1979.50}, {3, 991, 1899.55, 1979.55}, {3, 1023, 1901.15, 1981.15},
      {3, 1024, 1901.20, 1981.20}, {3, 1323, 1916.15, 1996.15}, {3, 1324, 1916.20, 1996.20},
      {3, 0, 1850.00, 1930.00},
      // 1700/2100 MHz: a rule without a band name, out of reach of the exported operations.
      {4, 100, 1715.00, 2115.00}, {4, 0, 1710.00, 2110.00}, {4, 1013, 1760.65, 2160.65},
      // Far channels take the plain rule without overflowing.
      {0, INT_MAX, 825.0 + 0.03 * INT_MAX, 870.0 + 0.03 * INT_MAX},
      {0, INT_MIN, 825.0 + 0.03 * INT_MIN, 870.0 + 0.03 * INT_MIN},
  };
  for (const auto &x : cases) {
    SCOPED_TRACE("band " + std::to_string(x.band) + " channel " + std::to_string(x.channel));
    zolvane::m_nBandType = x.band;
    double reverse = kUnwritten;
    double forward = kUnwritten;
    zolvane::CaculateCarrierFrequency(x.channel, &reverse, &forward);
    EXPECT_NEAR(reverse, x.reverse, kTolerance);
    EXPECT_NEAR(forward, x.forward, kTolerance);
  }
}

TEST(CarrierFrequency, BandIndexWithoutRuleWritesNeither) {
  for (int band : {5, -1, INT_MAX, INT_MIN}) {
    SCOPED_TRACE(band);
    zolvane::m_nBandType = band;
    double reverse = kUnwritten;
    double forward = kUnwritten;
    zolvane::CaculateCarrierFrequency(384, &reverse, &forward);
    EXPECT_EQ(reverse, kUnwritten);
    EXPECT_EQ(forward, kUnwritten);
  }
}

}  // namespace
