// Handoff within the current band (a channel change) and to another band (the test set hands
// the call off, the band is remembered, a 2.0 s wait), its failures and its refusals.
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Zolvane.h"
#include "conversation.h"
#include "fixture.h"

namespace {

using visa_double::errorQueueRead;
using visa_double::Event;
using visa_double::Exchange;
using visa_double::Fail;
using visa_double::kStepFailures;

constexpr const char *kBandNames[] = {"USC", "USPC", "SEC800", "USPC1900"};
constexpr double kLateMs = 200.0;

std::int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
double msSince(std::int64_t startNs) { return static_cast<double>(nowNs() - startNs) / 1e6; }

std::string text(const char *format, const char *value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}
std::string text(const char *format, int value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}
Exchange write(const std::string &command) { return Exchange(command, "", false, 0); }

// The band the library remembers is set the way a caller sets it.
void selectBand(int band) {
  visa_double::restart();
  visa_double::answer("SYST:ERR?\n", "+0,\"No error\"");
  ASSERT_EQ(Zolvane_2K_SetBand(band), 0);
}

std::vector<Exchange> crossBand(int band, int channel) {
  return {{"CALL:SET:SYST:TYPE DIG2000\n"}, write(text("CALL:SET:BAND %s\n", kBandNames[band])),
          write(text("CALL:SET:CHAN %d\n", channel)), {"CALL:HAND\n"}};
}
std::vector<Exchange> sameBand(int channel) {
  return {{"CALL:SET:SYST:TYPE DIG2000\n"}, write(text("CALL:CHAN %d\n", channel)),
          errorQueueRead(), errorQueueRead()};
}

// The remembered band shows in which path a handoff to it takes: a handoff to the current band
// is a plain channel change.
void expectCurrentBand(int band) {
  SCOPED_TRACE("the remembered band is " + std::to_string(band));
  visa_double::Conversation c(sameBand(77));
  EXPECT_EQ(Zolvane_2K_HandOff(band, 77), 0);
  c.expectAllConsumed();
}

class HandOff : public visa_double::OpenTester {};

TEST_F(HandOff, SameBandChangesTheChannelOnlyAndNeverWaits) {
  for (int band = 0; band < 4; ++band) {
    SCOPED_TRACE("band " + std::to_string(band));
    selectBand(band);
    visa_double::Conversation c(sameBand(283));
    const std::int64_t start = nowNs();
    EXPECT_EQ(Zolvane_2K_HandOff(band, 283), 0);
    EXPECT_LT(msSince(start), 500.0);
    c.expectAllConsumed();
    expectCurrentBand(band);
  }
}

TEST_F(HandOff, SameBandFailureAtEachStep) {
  for (ViStatus failure : kStepFailures) {
    SCOPED_TRACE(failure);
    selectBand(0);
    const std::vector<Exchange> ok = sameBand(283);
    {
      visa_double::Conversation c{{"CALL:SET:SYST:TYPE DIG2000\n", Fail{failure}}};
      EXPECT_EQ(Zolvane_2K_HandOff(0, 283), failure);
      c.expectAllConsumed();
    }
    {
      visa_double::Conversation c{ok[0], {"CALL:CHAN 283\n", Fail{failure}}};
      EXPECT_EQ(Zolvane_2K_HandOff(0, 283), failure);
      c.expectAllConsumed();
    }
    // Neither error-queue read, the channel change's own or the handoff's, changes the result.
    {
      visa_double::Conversation c{ok[0], ok[1], {"SYST:ERR?\n", Fail{failure}}, ok[3]};
      EXPECT_EQ(Zolvane_2K_HandOff(0, 283), 0);
      c.expectAllConsumed();
    }
    {
      visa_double::Conversation c{ok[0], ok[1], ok[2], {"SYST:ERR?\n", Fail{failure}}};
      EXPECT_EQ(Zolvane_2K_HandOff(0, 283), 0);
      c.expectAllConsumed();
    }
  }
}

// The one cross-band success of the suite: the 2.0 s wait between the handoff and the closing
// error-queue read, then the new band in use for the channel conversion and the next handoff.
TEST_F(HandOff, CrossBandHandsOffRemembersTheBandAndWaits) {
  selectBand(0);
  std::vector<Exchange> expected = crossBand(1, 25);
  expected.push_back(errorQueueRead());
  visa_double::Conversation c(expected);
  const std::int64_t start = nowNs();
  EXPECT_EQ(Zolvane_2K_HandOff(1, 25), 0);
  const double took = msSince(start);
  c.expectAllConsumed();
  const std::vector<Event> io = visa_double::ioEvents();
  ASSERT_EQ(io.size(), 5U);
  const double wait = static_cast<double>(io[4].tNs - io[3].tNs) / 1e6;
  EXPECT_GE(wait, 2000.0);
  EXPECT_LT(wait, 2000.0 + kLateMs);
  EXPECT_LT(took, 2000.0 + kLateMs);

  {
    SCOPED_TRACE("channel 25 converted for the PCS band");
    visa_double::Conversation freq{{"CALL:RFG:FREQ 1851.250MHz\n"}, errorQueueRead(),
                                   errorQueueRead()};
    EXPECT_EQ(Zolvane_2K_SetChannel(25, 1), 0);
    freq.expectAllConsumed();
  }
  expectCurrentBand(1);
}

// A failing "CALL:HAND" leaves the band as it was and skips the wait, for every target name.
TEST_F(HandOff, CrossBandFailedHandoffKeepsTheBand) {
  for (int target = 0; target < 4; ++target) {
    const int current = (target + 1) % 4;
    SCOPED_TRACE("from band " + std::to_string(current) + " to " + std::to_string(target));
    selectBand(current);
    std::vector<Exchange> expected = crossBand(target, 1013);
    expected.back() = Exchange("CALL:HAND\n", Fail{kViErrorTmo});
    visa_double::Conversation c(expected);
    const std::int64_t start = nowNs();
    EXPECT_EQ(Zolvane_2K_HandOff(target, 1013), kViErrorTmo);
    EXPECT_LT(msSince(start), 500.0);
    c.expectAllConsumed();
    expectCurrentBand(current);
  }
}

TEST_F(HandOff, CrossBandFailureAtEachStep) {
  const int cases = visa_double::expectEachStepEndsTheChain(
      [] { return Zolvane_2K_HandOff(3, 600); }, crossBand(3, 600), false, [] { selectBand(2); });
  EXPECT_EQ(cases, 8);
  expectCurrentBand(2);
}

TEST_F(HandOff, BandOutsideTheTableIsRefusedBeforeAnythingIsSent) {
  selectBand(2);
  for (int band : {-1, 4, 5, 100, INT_MIN, INT_MAX}) {
    SCOPED_TRACE("band " + std::to_string(band));
    visa_double::Conversation c(std::vector<Exchange>{});
    const std::int64_t start = nowNs();
    EXPECT_EQ(Zolvane_2K_HandOff(band, 283), ZOLVANE_ERROR_INV_PARAMETER);
    EXPECT_LT(msSince(start), 500.0);
    c.expectAllConsumed();
  }
  expectCurrentBand(2);
}

}  // namespace
