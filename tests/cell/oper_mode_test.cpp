// Operating mode through the real library and the VISA double.
#include <climits>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Zolvane.h"
#include "conversation.h"
#include "fixture.h"

namespace vd = visa_double;
using vd::Conversation;
using vd::Exchange;

namespace {

class OperModes : public vd::OpenTester {};

const struct {
  int mode;
  const char *command;
} kModes[] = {
    {0, "CALL:OPER:MODE CALL\n"}, {1, "CALL:OPER:MODE CELL\n"}, {2, "CALL:OPER:MODE TEST\n"},
    {3, "CALL:OPER:MODE OFF\n"},  {4, "CALL:OPER:MODE PBT\n"},  {5, "CALL:OPER:MODE PBPT\n"},
    {6, "CALL:OPER:MODE GBTT\n"}, {7, "CALL:OPER:MODE CW\n"},
    // Outside the enumeration, negative values included: CELL.
    {8, "CALL:OPER:MODE CELL\n"}, {-1, "CALL:OPER:MODE CELL\n"},
    {INT_MAX, "CALL:OPER:MODE CELL\n"}, {INT_MIN, "CALL:OPER:MODE CELL\n"},
};

TEST_F(OperModes, EachModeSendsItsCommandThenOneErrorQueueRead) {
  for (const auto &m : kModes) {
    SCOPED_TRACE(m.mode);
    Conversation c{{m.command}, vd::errorQueueRead()};
    EXPECT_EQ(Zolvane_SetOperMode(static_cast<OperMode>(m.mode)), 0);
    c.expectAllConsumed();
  }
}

TEST_F(OperModes, AFailingWriteIsReturnedForAnyMode) {
  for (const auto &m : kModes) {
    SCOPED_TRACE(m.mode);
    EXPECT_EQ(vd::expectEachStepEndsTheChain(
                  [&] { return Zolvane_SetOperMode(static_cast<OperMode>(m.mode)); },
                  {{m.command}, vd::errorQueueRead()}),
              4);
  }
}

TEST_F(OperModes, ShortcutsAddNothingToTheModeChain) {
  const struct {
    const char *name;
    std::function<int()> operation;
    const char *command;
  } shortcuts[] = {
      {"CALL", [] { return Zolvane_SetOperModeCALL(); }, "CALL:OPER:MODE CALL\n"},
      {"CW", [] { return Zolvane_SetOperModeCW(); }, "CALL:OPER:MODE CW\n"},
  };
  for (const auto &s : shortcuts) {
    SCOPED_TRACE(s.name);
    const std::vector<Exchange> success = {{s.command}, vd::errorQueueRead()};
    Conversation c(success);
    EXPECT_EQ(s.operation(), 0);
    c.expectAllConsumed();
    vd::expectEachStepEndsTheChain(s.operation, success);
  }
}

}  // namespace
