// Cell set-up through the real library and the VISA double: every byte on the wire.
#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Zolvane.h"
#include "cell_support.h"
#include "conversation.h"
#include "fixture.h"

namespace vd = visa_double;
using cell_test::expectRemembersCellularBand;
using cell_test::selectBand;
using cell_test::setBandExchanges;
using cell_test::write;
using vd::Conversation;
using vd::Exchange;

namespace {

constexpr const char *kLossFrequencies =
    "SYST:CORR:FREQ 800000000,825570000,825600000,847410000,847440000,1000000000,1010000000,"
    "1712500000,1712550000,1751850000,1751900000,1790000000,1800000000,1853750000,1853800000,"
    "1906250000,1906300000,2200000000\n";

std::string gainCommand(const std::string &gain) {
  std::string text = "SYST:CORR:GAIN ";
  for (int i = 0; i < 18; ++i) text += (i == 0 ? "" : ",") + gain;
  return text + "\n";
}

std::vector<Exchange> setLossExchanges(const std::string &gain) {
  return {{kLossFrequencies}, write(gainCommand(gain)), {"SYST:CORR:STAT ON\n"},
          vd::errorQueueRead()};
}

const std::vector<Exchange> kStopAndTrack = {
    {"*CLS\n"},          {"INIT:CFER:OFF\n"}, {"INIT:DAP:OFF\n"},      {"INIT:CPOW:OFF\n"},
    {"INIT:CAPP:OFF\n"}, {"INIT:ATXP:OFF\n"}, {"INIT:FM:OFF\n"},       {"INIT:AFAN:OFF\n"},
    {"AFG:VOLT:STAT OFF\n"}, {"DISP:MODE TRACK\n"},
};

std::vector<Exchange> configExchanges(const char *bandName) {
  std::vector<Exchange> all = kStopAndTrack;
  for (const Exchange &x : setBandExchanges(bandName)) all.push_back(x);
  all.emplace_back("RFGenerator:OUTPut IO\n");
  all.push_back(vd::errorQueueRead());
  return all;
}
// Positions in configExchanges: the band command, and the two error-queue reads.
constexpr std::size_t kConfigBandCommand = 12;
const std::vector<std::size_t> kConfigReads = {17, 19};
constexpr std::size_t kSetBandCommand = 2;

struct ChainCase {
  const char *name;
  std::function<int()> operation;
  std::vector<Exchange> success;
};

// Every single chain of cell set-up, each with the whole transcript of a successful run.
std::vector<ChainCase> singleChains() {
  return {
      {"SetBand 0", [] { return Zolvane_2K_SetBand(0); }, setBandExchanges("USC")},
      {"SetBand 1", [] { return Zolvane_2K_SetBand(1); }, setBandExchanges("USPC")},
      {"SetBand 2", [] { return Zolvane_2K_SetBand(2); }, setBandExchanges("SEC800")},
      {"SetBand 3", [] { return Zolvane_2K_SetBand(3); }, setBandExchanges("USPC1900")},
      {"SetLoss 1.25", [] { return Zolvane_2K_SetLoss(1.25); }, setLossExchanges("-1.25")},
      {"SetRFPort 0", [] { return Zolvane_2K_SetRFPort(0); },
       {{"RFGenerator:OUTPut IO\n"}, vd::errorQueueRead()}},
      {"SetRFPort 7", [] { return Zolvane_2K_SetRFPort(7); },
       {{"RFGenerator:OUTPut OUT\n"}, vd::errorQueueRead()}},
      {"OpenAct", [] { return Zolvane_2K_OpenAct(); },
       {{"CALL:SYNC:STATE ON\n"},
        {"CALL:SYNC -16\n"},
        {"CALL:PAG:STATE ON\n"},
        {"CALL:PAG -12\n"},
        {"CALL:CELL:FCH:STATE ON\n"},
        {"CALL:CELL:FCH -15.6\n"},
        vd::errorQueueRead()}},
      {"SetCellPower -55.5", [] { return Zolvane_2K_SetCellPower(-55.5); },
       {{"CALL:POW -55.50DBM\n"}, vd::errorQueueRead()}},
      {"SetNetwork 4139 2", [] { return Zolvane_2K_SetNetwork(4139, 2); },
       {{"CALL:SID 4139\n"}, {"CALL:NID 2\n"}, vd::errorQueueRead()}},
  };
}

class CellSetup : public vd::OpenTester {};

TEST_F(CellSetup, EachChainSendsItsCommandsThenOneErrorQueueRead) {
  for (const ChainCase &chain : singleChains()) {
    SCOPED_TRACE(chain.name);
    Conversation c(chain.success);
    EXPECT_EQ(chain.operation(), 0);
    c.expectAllConsumed();
  }
}

TEST_F(CellSetup, EachChainStopsAtItsFirstFailingStep) {
  for (const ChainCase &chain : singleChains()) {
    SCOPED_TRACE(chain.name);
    EXPECT_GT(vd::expectEachStepEndsTheChain(chain.operation, chain.success), 0);
  }
}

TEST_F(CellSetup, ConfigCDMA2KStopsMeasurementsThenSetsBandAndIoPortWithoutReadOfItsOwn) {
  const struct {
    int band;
    const char *name;
  } bands[] = {{0, "USC"}, {1, "USPC"}, {2, "SEC800"}, {3, "USPC1900"}};
  for (const auto &b : bands) {
    SCOPED_TRACE(b.name);
    Conversation c(configExchanges(b.name));
    EXPECT_EQ(Zolvane_ConfigCDMA2K(b.band), 0);
    c.expectAllConsumed();
  }
}

TEST_F(CellSetup, ConfigCDMA2KStopsAtItsFirstFailingStepAndIgnoresFailingReads) {
  cell_test::expectEachStepEndsTheNestedChain([] { return Zolvane_ConfigCDMA2K(2); },
                                              configExchanges("SEC800"), kConfigReads);
}

// A run of SetBand(0) from a PCS band, with exchange k failing: the cellular band is remembered
// exactly when the band command itself was written.
void expectBandRememberedOnceItsCommandWasWritten(const std::function<int()> &toCellular,
                                                  const std::vector<Exchange> &success,
                                                  std::size_t bandCommand,
                                                  const std::vector<std::size_t> &reads) {
  for (std::size_t k = 0; k < success.size(); ++k) {
    if (std::find(reads.begin(), reads.end(), k) != reads.end()) continue;
    for (ViStatus status : vd::kStepFailures) {
      SCOPED_TRACE("exchange " + std::to_string(k) + " (" + success[k].text + ") fails with " +
                   std::to_string(status));
      selectBand(1);
      std::vector<Exchange> expected(success.begin(), success.begin() + static_cast<long>(k));
      expected.emplace_back(success[k].text, "", success[k].isQuery, status);
      Conversation c(expected);
      EXPECT_EQ(toCellular(), status);
      c.expectAllConsumed();
      expectRemembersCellularBand(k > bandCommand);
    }
  }
}

TEST_F(CellSetup, SetBandRemembersTheBandExactlyWhenItsCommandWasWritten) {
  expectBandRememberedOnceItsCommandWasWritten([] { return Zolvane_2K_SetBand(0); },
                                               setBandExchanges("USC"), kSetBandCommand, {7});
}

TEST_F(CellSetup, ConfigCDMA2KRemembersTheBandExactlyWhenItsCommandWasWritten) {
  expectBandRememberedOnceItsCommandWasWritten([] { return Zolvane_ConfigCDMA2K(0); },
                                               configExchanges("USC"), kConfigBandCommand,
                                               kConfigReads);
}

TEST_F(CellSetup, SuccessfulBandSelectionIsRemembered) {
  selectBand(1);
  expectRemembersCellularBand(false);
  selectBand(2);
  expectRemembersCellularBand(true);
  selectBand(3);
  expectRemembersCellularBand(false);
  {
    Conversation c(configExchanges("USC"));
    EXPECT_EQ(Zolvane_ConfigCDMA2K(0), 0);
    c.expectAllConsumed();
  }
  expectRemembersCellularBand(true);
}

TEST_F(CellSetup, BandOutsideTheNameTableIsRefusedBeforeAnythingIsSent) {
  const struct {
    const char *name;
    std::function<int(int)> operation;
  } operations[] = {
      {"SetBand", [](int band) { return Zolvane_2K_SetBand(band); }},
      {"ConfigCDMA2K", [](int band) { return Zolvane_ConfigCDMA2K(band); }},
  };
  // From each family of rules, so that a refused index cannot pass for an unchanged one.
  for (int remembered : {1, 0}) {
    for (const auto &op : operations) {
      for (int band : {4, 5, -1, INT_MAX, INT_MIN}) {
        SCOPED_TRACE(std::string(op.name) + " " + std::to_string(band) + " from band " +
                     std::to_string(remembered));
        selectBand(remembered);
        Conversation c{};
        EXPECT_EQ(op.operation(band), ZOLVANE_ERROR_INV_PARAMETER);
        c.expectAllConsumed();
        expectRemembersCellularBand(remembered == 0);
      }
    }
  }
}

TEST_F(CellSetup, LossIsSentNegatedWithTwoDecimalsEighteenTimes) {
  const struct {
    double loss;
    const char *gain;
  } cases[] = {
      {0.5, "-0.50"},
      {-2.0, "2.00"},
      {1.25, "-1.25"},
      {0.0, "0.00"},
      {-0.0, "0.00"},
      {0.004, "0.00"},    // rounds to zero: no minus sign either
      {1.005, "-1.00"},   // 1.005 is stored just below, as %.2f rounds it
      {30.456, "-30.46"},
      {1e6, "-1000000.00"},
      {-1e6, "1000000.00"},
      // The largest texts that still fit the 512-byte command: 18 values of 26 characters.
      {9e21, "-9000000000000000000000.00"},
      {-1e22, "10000000000000000000000.00"},
  };
  for (const auto &x : cases) {
    SCOPED_TRACE(x.gain);
    Conversation c(setLossExchanges(x.gain));
    EXPECT_EQ(Zolvane_2K_SetLoss(x.loss), 0);
    c.expectAllConsumed();
  }
}

TEST_F(CellSetup, LossThatCannotBeSentWholeIsRefusedBeforeAnythingIsSent) {
  const double inf = std::numeric_limits<double>::infinity();
  for (double loss : {std::nan(""), inf, -inf, 1e22, -1e24, DBL_MAX, -DBL_MAX}) {
    SCOPED_TRACE(loss);
    Conversation c{};
    EXPECT_EQ(Zolvane_2K_SetLoss(loss), ZOLVANE_ERROR_INV_PARAMETER);
    c.expectAllConsumed();
  }
}

TEST_F(CellSetup, AnyNonzeroPortTypeSelectsOut) {
  for (int port : {1, 7, -1, INT_MIN, INT_MAX}) {
    SCOPED_TRACE(port);
    Conversation c{{"RFGenerator:OUTPut OUT\n"}, vd::errorQueueRead()};
    EXPECT_EQ(Zolvane_2K_SetRFPort(port), 0);
    c.expectAllConsumed();
  }
}

TEST_F(CellSetup, CellPowerIsSentWithTwoDecimals) {
  const struct {
    double power;
    const char *command;
  } cases[] = {
      {-55.5, "CALL:POW -55.50DBM\n"}, {-110.0, "CALL:POW -110.00DBM\n"},
      {0.0, "CALL:POW 0.00DBM\n"},     {-0.0, "CALL:POW 0.00DBM\n"},
      {12.345, "CALL:POW 12.35DBM\n"}, {-25.999, "CALL:POW -26.00DBM\n"},
  };
  for (const auto &x : cases) {
    SCOPED_TRACE(x.command);
    Conversation c{{x.command}, vd::errorQueueRead()};
    EXPECT_EQ(Zolvane_2K_SetCellPower(x.power), 0);
    c.expectAllConsumed();
  }
}

TEST_F(CellSetup, CellPowerOfAnyFiniteSizeIsSentWhole) {
  for (double power : {-DBL_MAX, DBL_MAX}) {
    SCOPED_TRACE(power);
    const std::string sign = power < 0 ? "-" : "";
    Conversation c{write("CALL:POW " + sign + cell_test::kDblMaxDigits + ".00DBM\n"),
                   vd::errorQueueRead()};
    EXPECT_EQ(Zolvane_2K_SetCellPower(power), 0);
    c.expectAllConsumed();
  }
}

TEST_F(CellSetup, CellPowerThatIsNotFiniteIsRefusedBeforeAnythingIsSent) {
  const double inf = std::numeric_limits<double>::infinity();
  for (double power : {std::nan(""), -std::nan(""), inf, -inf}) {
    SCOPED_TRACE(power);
    Conversation c{};
    EXPECT_EQ(Zolvane_2K_SetCellPower(power), ZOLVANE_ERROR_INV_PARAMETER);
    c.expectAllConsumed();
  }
}

TEST_F(CellSetup, NetworkIdentityIsSentInDecimalWithItsSign) {
  const struct {
    int sid, nid;
    const char *sidCommand, *nidCommand;
  } cases[] = {
      {0, 65535, "CALL:SID 0\n", "CALL:NID 65535\n"},
      {-1, INT_MIN, "CALL:SID -1\n", "CALL:NID -2147483648\n"},
      {INT_MAX, 7, "CALL:SID 2147483647\n", "CALL:NID 7\n"},
  };
  for (const auto &x : cases) {
    SCOPED_TRACE(x.sidCommand);
    Conversation c{{x.sidCommand}, {x.nidCommand}, vd::errorQueueRead()};
    EXPECT_EQ(Zolvane_2K_SetNetwork(x.sid, x.nid), 0);
    c.expectAllConsumed();
  }
}

}  // namespace
