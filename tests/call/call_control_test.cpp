// Registration wait, origination, connection check and release: their conversations, their own
// status rules, and the cadence and bounds of their polling, read from the double's timestamps.
#include <chrono>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Zolvane.h"
#include "conversation.h"
#include "fixture.h"

namespace {

using visa_double::Event;
using visa_double::Exchange;
using visa_double::Fail;
using visa_double::Fn;
using visa_double::kStepFailures;

constexpr const char *kEsn = "CALL:MS:REP:ESN?\n";
constexpr const char *kConnState = "CALL:CONN:STAT?\n";
constexpr const char *kNoError = "+0,\"No error\"";

// The sleep of a loop may run late on a busy machine, never early.
constexpr double kLateMs = 200.0;

std::int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
double msBetween(std::int64_t fromNs, std::int64_t toNs) {
  return static_cast<double>(toNs - fromNs) / 1e6;
}

// The exchanges between two connection polls whose answer was not the awaited one.
std::vector<Exchange> betweenPolls() { return {{"*CLS\n"}, {"SYST:ERR?\n", kNoError}}; }

std::vector<Exchange> join(std::initializer_list<std::vector<Exchange>> parts) {
  std::vector<Exchange> all;
  for (const auto &p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// Every query of `text` in the log, in order.
std::vector<Event> queriesOf(const std::vector<Event> &io, const std::string &text) {
  std::vector<Event> found;
  for (const Event &e : io) {
    if (e.fn == Fn::Queryf && e.text == text) found.push_back(e);
  }
  return found;
}

// Each "*CLS" + "SYST:ERR?" pair is followed by a 0.05 s pause before the next event.
void expectConnectionPollPauses(const std::vector<Event> &io) {
  for (std::size_t i = 0; i + 1 < io.size(); ++i) {
    if (!(io[i].fn == Fn::Queryf && io[i].text == "SYST:ERR?\n")) continue;
    const double gap = msBetween(io[i].tNs, io[i + 1].tNs);
    EXPECT_GE(gap, 50.0) << "after event " << i;
    EXPECT_LT(gap, 50.0 + kLateMs) << "after event " << i;
  }
}

class CallControl : public visa_double::OpenTester {};

// ---- Zolvane_2K_SyncNetwork ----------------------------------------------------------------

TEST_F(CallControl, SyncNetworkRegisteredAtTheFirstPollReturns0) {
  visa_double::Conversation c{{"CALL:REG\n"}, {kEsn, "A1B2C3D4"}};
  EXPECT_EQ(Zolvane_2K_SyncNetwork(1), 0);
  c.expectAllConsumed();
}

// A limit that is reached at once (0, or a time-out that wraps to 0) still makes the first
// query, and turns even a found ESN into a time-out; -1 is a limit of about 49.7 days, not a
// negative one.
TEST_F(CallControl, SyncNetworkLimitAppliesAfterTheFirstQuery) {
  struct Case {
    int nTimeOut;
    const char *esn;
    int result;
  };
  const Case cases[] = {
      {0, "A1B2C3D4", 1},
      {536870912, "A1B2C3D4", 1},  // 2^29 s, which is 0 ms modulo 2^32
      {-1, "A1B2C3D4", 0},
      {INT_MAX, "A1B2C3D4", 0},
      {0, "12345", 1},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE("nTimeOut " + std::to_string(k.nTimeOut) + ", ESN " + k.esn);
    visa_double::Conversation c{{"CALL:REG\n"}, {kEsn, k.esn}};
    EXPECT_EQ(Zolvane_2K_SyncNetwork(k.nTimeOut), k.result);
    c.expectAllConsumed();
  }
}

// An ESN of 5 characters is not a registration: polls every 0.5 s, then the time-out.
TEST_F(CallControl, SyncNetworkShortEsnPollsEveryHalfSecondUntilTheLimit) {
  visa_double::Conversation c{{"CALL:REG\n"}, {kEsn, "12345"}, {kEsn, "12345"}};
  const std::int64_t start = nowNs();
  EXPECT_EQ(Zolvane_2K_SyncNetwork(1), 1);
  const std::int64_t end = nowNs();
  c.expectAllConsumed();

  const std::vector<Event> polls = queriesOf(visa_double::ioEvents(), kEsn);
  ASSERT_EQ(polls.size(), 2U);
  EXPECT_GE(msBetween(polls[0].tNs, polls[1].tNs), 500.0);
  EXPECT_LT(msBetween(polls[0].tNs, polls[1].tNs), 500.0 + kLateMs);
  EXPECT_GE(msBetween(start, end), 1000.0);
  EXPECT_LT(msBetween(start, end), 1000.0 + kLateMs);
}

TEST_F(CallControl, SyncNetworkRegisteredOnALaterPollReturns0) {
  visa_double::Conversation c{{"CALL:REG\n"}, {kEsn, "12345"}, {kEsn, "123456"}};
  EXPECT_EQ(Zolvane_2K_SyncNetwork(1), 0);
  c.expectAllConsumed();
  const std::vector<Event> polls = queriesOf(visa_double::ioEvents(), kEsn);
  ASSERT_EQ(polls.size(), 2U);
  EXPECT_GE(msBetween(polls[0].tNs, polls[1].tNs), 500.0);
}

TEST_F(CallControl, SyncNetworkFailedQueryEndsThePollingWithItsStatus) {
  for (ViStatus failure : kStepFailures) {
    SCOPED_TRACE(failure);
    visa_double::Conversation c{{"CALL:REG\n"}, {kEsn, Fail{failure}}};
    EXPECT_EQ(Zolvane_2K_SyncNetwork(1), failure);
    c.expectAllConsumed();
  }
}

TEST_F(CallControl, SyncNetworkFailedQueryAtTheLimitIsATimeOut) {
  visa_double::Conversation c{{"CALL:REG\n"}, {kEsn, Fail{kViErrorTmo}}};
  EXPECT_EQ(Zolvane_2K_SyncNetwork(0), 1);
  c.expectAllConsumed();
}

// The registration request's own status is replaced by the polls'.
TEST_F(CallControl, SyncNetworkFailedRegistrationRequestStillPolls) {
  visa_double::Conversation c{{"CALL:REG\n", Fail{kViErrorIo}}, {kEsn, "A1B2C3D4"}};
  EXPECT_EQ(Zolvane_2K_SyncNetwork(1), 0);
  c.expectAllConsumed();
}

// ---- Zolvane_SetOrig -----------------------------------------------------------------------

TEST_F(CallControl, SetOrigSendsOneCommandWithoutErrorQueueRead) {
  visa_double::Conversation c{{"CALL:ORIG\n"}};
  EXPECT_EQ(Zolvane_SetOrig(), 0);
  c.expectAllConsumed();
  EXPECT_EQ(visa_double::expectEachStepEndsTheChain(Zolvane_SetOrig, {{"CALL:ORIG\n"}}, false), 2);
}

// ---- Zolvane_CheckConnect ------------------------------------------------------------------

TEST_F(CallControl, CheckConnectConnectedAtTheFirstPollMakesOneQuery) {
  visa_double::Conversation c{{kConnState, "1"}};
  EXPECT_EQ(Zolvane_CheckConnect(1), 0);
  c.expectAllConsumed();
}

TEST_F(CallControl, CheckConnectClearsAndPausesBetweenPolls) {
  visa_double::Conversation c(join({{{kConnState, "0"}}, betweenPolls(), {{kConnState, "0"}},
                                    betweenPolls(), {{kConnState, "1"}}}));
  EXPECT_EQ(Zolvane_CheckConnect(1), 0);
  c.expectAllConsumed();
  expectConnectionPollPauses(visa_double::ioEvents());
}

TEST_F(CallControl, CheckConnectIgnoresFailuresOfTheClearBetweenPolls) {
  visa_double::Conversation c{{kConnState, "0"},
                              {"*CLS\n", Fail{kViErrorIo}},
                              {"SYST:ERR?\n", Fail{kViErrorTmo}},
                              {kConnState, "1"}};
  EXPECT_EQ(Zolvane_CheckConnect(1), 0);
  c.expectAllConsumed();
}

// Whatever VISA says, the caller learns "no connection", never a VISA status.
TEST_F(CallControl, CheckConnectFailedQueryIsNoConnection) {
  for (ViStatus failure : {kViErrorTmo, kViSuccessMaxCnt, kViErrorInvObject}) {
    SCOPED_TRACE(failure);
    visa_double::Conversation c{{kConnState, Fail{failure}}};
    EXPECT_EQ(Zolvane_CheckConnect(1), 1);
    c.expectAllConsumed();
  }
  visa_double::Conversation later(
      join({{{kConnState, "0"}}, betweenPolls(), {{kConnState, Fail{kViErrorIo}}}}));
  EXPECT_EQ(Zolvane_CheckConnect(1), 1);
  later.expectAllConsumed();
}

// The answer is read as atoi reads it; only 1 is a connection, and a number out of range is
// not one (atoi would wrap 4294967297 to 1 on some C libraries).
TEST_F(CallControl, CheckConnectReadsTheStateLikeAnInteger) {
  struct Case {
    const char *answer;
    bool connected;
  };
  const Case cases[] = {
      {"1", true},   {"+1", true},  {"0001", true},       {"1.9", true},        {"1,0", true},
      {"0", false},  {"10", false}, {"-1", false},        {"2", false},         {"", false},
      {"ON", false}, {"x1", false}, {"4294967297", false}, {"-4294967295", false},
      {"99999999999999999999999", false},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(std::string("answer ") + visa_double::quoted(k.answer));
    std::vector<Exchange> expected{{kConnState, k.answer}};
    if (!k.connected) expected = join({expected, betweenPolls()});
    visa_double::Conversation c(expected);
    EXPECT_EQ(Zolvane_CheckConnect(0), k.connected ? 0 : 1);
    c.expectAllConsumed();
  }
}

TEST_F(CallControl, CheckConnectLimitAppliesAfterTheFirstQuery) {
  for (int nTimeOut : {0, 536870912, INT_MIN}) {  // each a limit of 0 ms
    SCOPED_TRACE(nTimeOut);
    visa_double::Conversation c(join({{{kConnState, "0"}}, betweenPolls()}));
    EXPECT_EQ(Zolvane_CheckConnect(nTimeOut), 1);
    c.expectAllConsumed();
  }
  // -1 is about 49.7 days, not a limit already passed.
  visa_double::Conversation c(join({{{kConnState, "0"}}, betweenPolls(), {{kConnState, "1"}}}));
  EXPECT_EQ(Zolvane_CheckConnect(-1), 0);
  c.expectAllConsumed();
}

TEST_F(CallControl, CheckConnectNeverConnectedPollsUntilTheLimit) {
  visa_double::answer(kConnState, "0");
  visa_double::answer("SYST:ERR?\n", kNoError);
  const std::int64_t start = nowNs();
  EXPECT_EQ(Zolvane_CheckConnect(1), 1);
  const std::int64_t end = nowNs();

  const std::vector<Event> io = visa_double::ioEvents();
  ASSERT_FALSE(io.empty());
  ASSERT_EQ(io.size() % 3, 0U);
  std::vector<Exchange> cycle = join({{{kConnState, "0"}}, betweenPolls()});
  for (std::size_t i = 0; i < io.size(); ++i) {
    const Exchange &x = cycle[i % 3];
    EXPECT_EQ(io[i].text, x.text) << "event " << i;
    EXPECT_EQ(io[i].status, 0) << "event " << i;
  }
  const std::size_t polls = io.size() / 3;
  EXPECT_GE(polls, 2U);
  EXPECT_LE(polls, 21U);  // at least 50 ms apart within 1000 ms, plus the first
  expectConnectionPollPauses(io);
  // Every poll begins before the limit; the last pass runs out its pause.
  EXPECT_LT(msBetween(io.front().tNs, io[io.size() - 3].tNs), 1001.0);
  EXPECT_GE(msBetween(start, end), 1000.0);
  EXPECT_LT(msBetween(start, end), 1000.0 + 50.0 + kLateMs);
}

// ---- Zolvane_EndCall -----------------------------------------------------------------------

TEST_F(CallControl, EndCallDroppedAtTheFirstPollResets) {
  visa_double::Conversation c{{"CALL:END\n"}, {kConnState, "0"}, {"*RST\n"}};
  EXPECT_EQ(Zolvane_EndCall(), 0);
  c.expectAllConsumed();
}

TEST_F(CallControl, EndCallPollsUntilTheCallDrops) {
  visa_double::Conversation c(join({{{"CALL:END\n"}, {kConnState, "1"}}, betweenPolls(),
                                    {{kConnState, "2"}}, betweenPolls(),
                                    {{kConnState, "0"}, {"*RST\n"}}}));
  EXPECT_EQ(Zolvane_EndCall(), 0);
  c.expectAllConsumed();
  expectConnectionPollPauses(visa_double::ioEvents());
}

TEST_F(CallControl, EndCallResetsAfterEveryFailureAndReturnsIt) {
  for (ViStatus failure : kStepFailures) {
    SCOPED_TRACE(failure);
    {
      SCOPED_TRACE("CALL:END fails: no polling");
      visa_double::Conversation c{{"CALL:END\n", Fail{failure}}, {"*RST\n"}};
      EXPECT_EQ(Zolvane_EndCall(), failure);
      c.expectAllConsumed();
    }
    {
      SCOPED_TRACE("the first poll fails");
      visa_double::Conversation c{{"CALL:END\n"}, {kConnState, Fail{failure}}, {"*RST\n"}};
      EXPECT_EQ(Zolvane_EndCall(), failure);
      c.expectAllConsumed();
    }
    {
      SCOPED_TRACE("a later poll fails");
      visa_double::Conversation c(join({{{"CALL:END\n"}, {kConnState, "1"}}, betweenPolls(),
                                        {{kConnState, Fail{failure}}, {"*RST\n"}}}));
      EXPECT_EQ(Zolvane_EndCall(), failure);
      c.expectAllConsumed();
    }
  }
}

TEST_F(CallControl, EndCallIgnoresTheResetsAndTheClearsFailures) {
  {
    visa_double::Conversation c{{"CALL:END\n"}, {kConnState, "0"}, {"*RST\n", Fail{kViErrorTmo}}};
    EXPECT_EQ(Zolvane_EndCall(), 0);
    c.expectAllConsumed();
  }
  {
    visa_double::Conversation c{{"CALL:END\n", Fail{kViErrorIo}}, {"*RST\n", Fail{kViErrorTmo}}};
    EXPECT_EQ(Zolvane_EndCall(), kViErrorIo);
    c.expectAllConsumed();
  }
  {
    visa_double::Conversation c{{"CALL:END\n"},        {kConnState, "1"},
                                {"*CLS\n", Fail{kViErrorIo}}, {"SYST:ERR?\n", Fail{kViErrorTmo}},
                                {kConnState, "0"},     {"*RST\n"}};
    EXPECT_EQ(Zolvane_EndCall(), 0);
    c.expectAllConsumed();
  }
}

// The one long wait of the suite: a call that never drops is given 5 s, then reset anyway.
TEST_F(CallControl, EndCallGivesUpAfterFiveSecondsAndStillResets) {
  visa_double::answer(kConnState, "1");
  visa_double::answer("SYST:ERR?\n", kNoError);
  const std::int64_t start = nowNs();
  EXPECT_EQ(Zolvane_EndCall(), 0);
  const std::int64_t end = nowNs();

  const std::vector<Event> io = visa_double::ioEvents();
  ASSERT_GE(io.size(), 5U);
  EXPECT_EQ(io.front().text, "CALL:END\n");
  EXPECT_EQ(io.back().text, "*RST\n");
  EXPECT_EQ(io.back().fn, Fn::Printf);
  ASSERT_EQ((io.size() - 2) % 3, 0U);
  std::vector<Exchange> cycle = join({{{kConnState, "1"}}, betweenPolls()});
  for (std::size_t i = 1; i + 1 < io.size(); ++i) {
    EXPECT_EQ(io[i].text, cycle[(i - 1) % 3].text) << "event " << i;
    EXPECT_EQ(io[i].status, 0) << "event " << i;
  }
  const std::size_t polls = (io.size() - 2) / 3;
  EXPECT_GE(polls, 10U);
  EXPECT_LE(polls, 101U);
  expectConnectionPollPauses(io);
  // Measured from the release request: every poll begins within the 5 s.
  const Event &lastPoll = io[io.size() - 4];
  EXPECT_EQ(lastPoll.text, kConnState);
  EXPECT_LT(msBetween(io.front().tNs, lastPoll.tNs), 5001.0);
  EXPECT_GE(msBetween(io.front().tNs, io.back().tNs), 5000.0);
  EXPECT_LT(msBetween(start, end), 5000.0 + 50.0 + kLateMs);
}

}  // namespace
