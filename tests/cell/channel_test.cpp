// Channel tuning and the RF generator frequency through the real library and the VISA double.
#include <cfloat>
#include <climits>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Zolvane.h"
#include "cell_support.h"
#include "conversation.h"
#include "fixture.h"

namespace vd = visa_double;
using cell_test::selectBand;
using cell_test::write;
using vd::Conversation;
using vd::Exchange;
using vd::Fail;

namespace {

class Channels : public vd::OpenTester {};

TEST_F(Channels, ModeZeroTunesTheChannelOnly) {
  for (int band : {0, 1}) {
    SCOPED_TRACE(band);
    selectBand(band);
    const std::vector<Exchange> success = {{"CALL:CHAN 283\n"}, vd::errorQueueRead()};
    Conversation c(success);
    EXPECT_EQ(Zolvane_2K_SetChannel(283, 0), 0);
    c.expectAllConsumed();
    vd::expectEachStepEndsTheChain([] { return Zolvane_2K_SetChannel(283, 0); }, success);
  }
}

TEST_F(Channels, ModeOneSetsTheGeneratorToTheReverseFrequencyAndReadsTwice) {
  selectBand(0);
  // The forward frequency, 881.52 MHz, is not sent.
  const std::vector<Exchange> success = {
      {"CALL:RFG:FREQ 836.520MHz\n"}, vd::errorQueueRead(), vd::errorQueueRead()};
  Conversation c(success);
  EXPECT_EQ(Zolvane_2K_SetChannel(384, 1), 0);
  c.expectAllConsumed();
  cell_test::expectEachStepEndsTheNestedChain([] { return Zolvane_2K_SetChannel(384, 1); },
                                              success, {1, 2});
}

TEST_F(Channels, ModeTwoTunesTheChannelFirstThenTheGenerator) {
  selectBand(3);
  const std::vector<Exchange> success = {{"CALL:CHAN 25\n"},
                                         {"CALL:RFG:FREQ 1851.250MHz\n"},
                                         vd::errorQueueRead(),
                                         vd::errorQueueRead()};
  Conversation c(success);
  EXPECT_EQ(Zolvane_2K_SetChannel(25, 2), 0);
  c.expectAllConsumed();
  // Among them: a failing channel write sends no frequency and is returned.
  cell_test::expectEachStepEndsTheNestedChain([] { return Zolvane_2K_SetChannel(25, 2); },
                                              success, {2, 3});
}

TEST_F(Channels, AnyOtherModeOnlyReadsTheErrorQueueAndSucceeds) {
  for (int mode : {3, 5, -1, INT_MAX, INT_MIN}) {
    SCOPED_TRACE(mode);
    {
      Conversation c{vd::errorQueueRead()};
      EXPECT_EQ(Zolvane_2K_SetChannel(384, mode), 0);
      c.expectAllConsumed();
    }
    Conversation c{{"SYST:ERR?\n", Fail{kViErrorTmo}}};
    EXPECT_EQ(Zolvane_2K_SetChannel(384, mode), 0);
    c.expectAllConsumed();
  }
}

TEST_F(Channels, WithNothingOpenAnOutOfRangeModeStillSucceeds) {
  ASSERT_EQ(Zolvane_ReleaseTester(), 0);
  vd::restart();
  EXPECT_EQ(Zolvane_2K_SetChannel(384, 5), 0);
  const std::vector<vd::Event> io = vd::ioEvents();
  ASSERT_EQ(io.size(), 1U);
  EXPECT_EQ(io[0].text, "SYST:ERR?\n");
  EXPECT_EQ(io[0].session, 0U);
  EXPECT_EQ(io[0].status, kViErrorInvObject);
  // And a mode that writes returns the write's failure.
  vd::restart();
  EXPECT_EQ(Zolvane_2K_SetChannel(384, 0), kViErrorInvObject);
}

TEST_F(Channels, ChannelNumberIsSentInDecimalWithItsSign) {
  for (int channel : {0, -1, 1323, INT_MAX, INT_MIN}) {
    SCOPED_TRACE(channel);
    Conversation c{write("CALL:CHAN " + std::to_string(channel) + "\n"), vd::errorQueueRead()};
    EXPECT_EQ(Zolvane_2K_SetChannel(channel, 0), 0);
    c.expectAllConsumed();
  }
}

// The reverse frequency the generator is set to, for each band at the edges of the cellular
// ranges and at the worked examples.
TEST_F(Channels, GeneratorFrequencyFollowsTheBandsChannelRule) {
  const struct {
    int band;
    int channel;
    const char *command;
  } cases[] = {
      // Cellular, USC and SEC800 alike: 991..1023 and 1024..1323 have their own bases.
      {0, 990, "CALL:RFG:FREQ 854.700MHz\n"},
      {0, 991, "CALL:RFG:FREQ 824.040MHz\n"},
      {0, 1023, "CALL:RFG:FREQ 825.000MHz\n"},
      {0, 1024, "CALL:RFG:FREQ 815.040MHz\n"},
      {0, 1323, "CALL:RFG:FREQ 824.010MHz\n"},
      {0, 1324, "CALL:RFG:FREQ 864.720MHz\n"},
      {0, 384, "CALL:RFG:FREQ 836.520MHz\n"},
      {0, 1013, "CALL:RFG:FREQ 824.700MHz\n"},
      {0, 0, "CALL:RFG:FREQ 825.000MHz\n"},
      {0, -10, "CALL:RFG:FREQ 824.700MHz\n"},
      {2, 990, "CALL:RFG:FREQ 854.700MHz\n"},
      {2, 991, "CALL:RFG:FREQ 824.040MHz\n"},
      {2, 1023, "CALL:RFG:FREQ 825.000MHz\n"},
      {2, 1024, "CALL:RFG:FREQ 815.040MHz\n"},
      {2, 1323, "CALL:RFG:FREQ 824.010MHz\n"},
      {2, 1324, "CALL:RFG:FREQ 864.720MHz\n"},
      {2, 1100, "CALL:RFG:FREQ 817.320MHz\n"},
      // PCS, USPC and USPC1900 alike: one rule for every channel.
      {1, 990, "CALL:RFG:FREQ 1899.500MHz\n"},
      {1, 991, "CALL:RFG:FREQ 1899.550MHz\n"},
      {1, 1023, "CALL:RFG:FREQ 1901.150MHz\n"},
      {1, 1024, "CALL:RFG:FREQ 1901.200MHz\n"},
      {1, 1323, "CALL:RFG:FREQ 1916.150MHz\n"},
      {1, 1324, "CALL:RFG:FREQ 1916.200MHz\n"},
      {1, 25, "CALL:RFG:FREQ 1851.250MHz\n"},
      {3, 990, "CALL:RFG:FREQ 1899.500MHz\n"},
      {3, 991, "CALL:RFG:FREQ 1899.550MHz\n"},
      {3, 1023, "CALL:RFG:FREQ 1901.150MHz\n"},
      {3, 1024, "CALL:RFG:FREQ 1901.200MHz\n"},
      {3, 1323, "CALL:RFG:FREQ 1916.150MHz\n"},
      {3, 1324, "CALL:RFG:FREQ 1916.200MHz\n"},
      {3, 25, "CALL:RFG:FREQ 1851.250MHz\n"},
      {3, -20, "CALL:RFG:FREQ 1849.000MHz\n"},
  };
  for (const auto &x : cases) {
    SCOPED_TRACE("band " + std::to_string(x.band) + " channel " + std::to_string(x.channel));
    selectBand(x.band);
    Conversation c{{x.command}, vd::errorQueueRead(), vd::errorQueueRead()};
    EXPECT_EQ(Zolvane_2K_SetChannel(x.channel, 1), 0);
    c.expectAllConsumed();
  }
}

TEST_F(Channels, CarrierFrequencyIsSentWithThreeDecimals) {
  const struct {
    double frequency;
    const char *command;
  } cases[] = {
      {836.52, "CALL:RFG:FREQ 836.520MHz\n"},   {1851.25, "CALL:RFG:FREQ 1851.250MHz\n"},
      {2110.0, "CALL:RFG:FREQ 2110.000MHz\n"},  {0.0, "CALL:RFG:FREQ 0.000MHz\n"},
      {-0.0, "CALL:RFG:FREQ 0.000MHz\n"},       {-12.3456, "CALL:RFG:FREQ -12.346MHz\n"},
      {1e6, "CALL:RFG:FREQ 1000000.000MHz\n"},
  };
  for (const auto &x : cases) {
    SCOPED_TRACE(x.command);
    const std::vector<Exchange> success = {{x.command}, vd::errorQueueRead()};
    Conversation c(success);
    EXPECT_EQ(Zolvane_SetCarrierFrequency(x.frequency), 0);
    c.expectAllConsumed();
  }
  vd::expectEachStepEndsTheChain([] { return Zolvane_SetCarrierFrequency(836.52); },
                                 {{"CALL:RFG:FREQ 836.520MHz\n"}, vd::errorQueueRead()});
}

TEST_F(Channels, CarrierFrequencyOfAnyFiniteSizeIsSentWhole) {
  for (double frequency : {DBL_MAX, -DBL_MAX}) {
    SCOPED_TRACE(frequency);
    const std::string sign = frequency < 0 ? "-" : "";
    Conversation c{write("CALL:RFG:FREQ " + sign + cell_test::kDblMaxDigits + ".000MHz\n"),
                   vd::errorQueueRead()};
    EXPECT_EQ(Zolvane_SetCarrierFrequency(frequency), 0);
    c.expectAllConsumed();
  }
}

TEST_F(Channels, CarrierFrequencyThatIsNotFiniteIsRefusedBeforeAnythingIsSent) {
  const double inf = std::numeric_limits<double>::infinity();
  for (double frequency : {std::nan(""), -std::nan(""), inf, -inf}) {
    SCOPED_TRACE(frequency);
    Conversation c{};
    EXPECT_EQ(Zolvane_SetCarrierFrequency(frequency), ZOLVANE_ERROR_INV_PARAMETER);
    c.expectAllConsumed();
  }
}

}  // namespace
