// The command chain, run directly on tables of steps against the VISA double.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "conversation.h"
#include "fixture.h"
#include "session/chain.h"
#include "session/parse.h"

namespace vd = visa_double;
using vd::Conversation;
using vd::Exchange;
using vd::Fail;
using zolvane::Closing;
using zolvane::runChain;
using zolvane::Step;

namespace {

using Chain = vd::OpenTester;

constexpr Step kThree[] = {"A:ONE\n", "B:TWO\n", "C:THREE\n"};

TEST_F(Chain, ASuccessfulChainSendsEveryStepThenOneErrorQueueRead) {
  Conversation c{{"A:ONE\n"}, {"B:TWO\n"}, {"C:THREE\n"}, vd::errorQueueRead()};
  EXPECT_EQ(runChain(kThree), 0);
  c.expectAllConsumed();
}

TEST_F(Chain, TheFailingStepEndsTheChainWithItsStatus) {
  const int cases = vd::expectEachStepEndsTheChain(
      [] { return runChain(kThree); },
      {{"A:ONE\n"}, {"B:TWO\n"}, {"C:THREE\n"}, vd::errorQueueRead()});
  EXPECT_EQ(cases, 8);
}

TEST_F(Chain, TheClosingReadCannotChangeTheResultEvenWhenItTimesOut) {
  Conversation c{{"A:ONE\n"}, {"B:TWO\n"}, {"C:THREE\n"}, {"SYST:ERR?\n", Fail{kViErrorTmo}}};
  EXPECT_EQ(runChain(kThree), 0);
  c.expectAllConsumed();
}

TEST_F(Chain, WithoutClosingReadNothingFollowsTheLastStep) {
  Conversation c{{"A:ONE\n"}, {"B:TWO\n"}, {"C:THREE\n"}};
  EXPECT_EQ(runChain(kThree, Closing::Nothing), 0);
  c.expectAllConsumed();
}

TEST_F(Chain, ArgumentsReachVisaBesideTheFormat) {
  Conversation c{{"CALL:SID 4\n"}, {"CALL:BAND USPC\n"}, vd::errorQueueRead()};
  EXPECT_EQ(runChain({Step::send("CALL:SID %d\n", 4), Step::send("CALL:BAND %s\n", "USPC")}), 0);
  c.expectAllConsumed();
  const auto io = vd::ioEvents();
  ASSERT_EQ(io.size(), 3U);
  EXPECT_EQ(io[0].format, "CALL:SID %d\n");
  EXPECT_EQ(io[1].format, "CALL:BAND %s\n");
}

TEST_F(Chain, StepsLeftOutAreNotSentAndStepsKeptStillEndTheChain) {
  Conversation c{{"B:TWO\n", Fail{kViErrorIo}}};
  EXPECT_EQ(runChain({Step("A:ONE\n").when(false), Step("B:TWO\n"), Step("C:THREE\n")}),
            kViErrorIo);
  c.expectAllConsumed();
}

TEST_F(Chain, AValueIsStoredOnlyOnceItsStepSucceeded) {
  int band = 9;
  {
    Conversation c{{"A:ONE\n"}, {"B:TWO\n", Fail{kViErrorTmo}}};
    EXPECT_EQ(runChain({Step("A:ONE\n"), Step("B:TWO\n").onSuccess(&band, 2), Step("C:THREE\n")}),
              kViErrorTmo);
    c.expectAllConsumed();
    EXPECT_EQ(band, 9);
  }
  {
    // A later failure does not undo it.
    Conversation c{{"A:ONE\n"}, {"B:TWO\n"}, {"C:THREE\n", Fail{kViErrorTmo}}};
    EXPECT_EQ(runChain({Step("A:ONE\n"), Step("B:TWO\n").onSuccess(&band, 2), Step("C:THREE\n")}),
              kViErrorTmo);
    c.expectAllConsumed();
    EXPECT_EQ(band, 2);
  }
}

int calls = 0;
int lastArgument = 0;
int succeed(int argument) {
  ++calls;
  lastArgument = argument;
  return 0;
}
int warn(int, int) {
  ++calls;
  return kViSuccessMaxCnt;
}

TEST_F(Chain, ACallTakesTheCalledOperationsResult) {
  calls = 0;
  {
    Conversation c{{"A:ONE\n"}, vd::errorQueueRead()};
    EXPECT_EQ(runChain({Step("A:ONE\n"), Step::call(succeed, 17)}), 0);
    c.expectAllConsumed();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(lastArgument, 17);
  }
  {
    Conversation c{{"A:ONE\n"}};
    EXPECT_EQ(runChain({Step("A:ONE\n"), Step::call(warn, 1, 2), Step("C:THREE\n")}),
              kViSuccessMaxCnt);
    c.expectAllConsumed();
    EXPECT_EQ(calls, 2);
  }
}

TEST_F(Chain, AFetchStoresItsValueOnlyWhenTheQuerySucceeded) {
  double value = -1.0;
  {
    Conversation c{{"FETC:DAP?\n", "0,2.312E+01"}, {"*CLS\n"}, vd::errorQueueRead()};
    EXPECT_EQ(runChain({Step::fetch("FETC:DAP?\n", zolvane::extractTwoField, &value), "*CLS\n"}), 0);
    c.expectAllConsumed();
    EXPECT_DOUBLE_EQ(value, 23.12);
  }
  for (ViStatus status : vd::kStepFailures) {
    value = -1.0;
    Conversation c{{"FETC:DAP?\n", Fail{status}}};
    EXPECT_EQ(runChain({Step::fetch("FETC:DAP?\n", zolvane::extractTwoField, &value), "*CLS\n"}),
              status);
    c.expectAllConsumed();
    EXPECT_EQ(value, -1.0);
  }
}

TEST_F(Chain, ALongAnswerIsCutToTheBufferNeverPastIt) {
  const std::string longToken(300, '7');
  double value = 0.0;
  Conversation c{{"FETC:CFER:RAT?\n", longToken.c_str()}, vd::errorQueueRead()};
  EXPECT_EQ(runChain({Step::fetch("FETC:CFER:RAT?\n", zolvane::extractSingleValue, &value)}), 0);
  c.expectAllConsumed();
  ASSERT_EQ(vd::ioEvents().at(0).stored.size(), 255U);
  EXPECT_DOUBLE_EQ(value, 7.777777777777777e254);
}

}  // namespace
