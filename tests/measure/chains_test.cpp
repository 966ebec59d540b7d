// Every measurement operation: its whole conversation when all goes well, and a failure at each
// of its steps, as an error and as a warning.
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Zolvane.h"
#include "conversation.h"
#include "fixture.h"

namespace {

using visa_double::errorQueueRead;
using visa_double::Exchange;

double gReading = 0.0;

struct ChainCase {
  std::string name;
  std::function<int()> run;
  std::vector<Exchange> success;
  double expectedReading = 0.0;  // for the reads: what a successful run stores
  bool reads = false;
};

// GoogleTest would otherwise print a case as its raw bytes, padding included.
void PrintTo(const ChainCase &c, std::ostream *os) { *os << c.name; }

ChainCase reading(std::string name, int (*op)(double *), const char *fetch, const char *answer,
                  double value) {
  return {std::move(name), [op] { return op(&gReading); },
          {{fetch, answer}, {"*CLS\n"}, errorQueueRead()}, value, true};
}

std::vector<ChainCase> chainCases() {
  return {
      {"InitFER",
       Zolvane_2K_InitFER,
       {{"CALL:PIL:STATE ON\n"}, {"CALL:PIL -7\n"}, {"CALL:CELL:FCH:STATE ON\n"},
        {"CALL:CELL:FCH -15.6\n"}, {"SET:CFER:CONF:STAT ON\n"}, {"SET:CFER:CONF:LEV 95PCT\n"},
        {"SET:CFER:CONF:REQ 5\n"}, {"SET:CFER:COUN:MAX 1000\n"}, {"SET:CFER:COUN:MIN 50\n"},
        {"SET:CFER:CONT ON\n"}, {"SET:CFER:TIM:STAT OFF\n"}, {"INIT:CFER\n"}, errorQueueRead()}},
      reading("MeasFER", Zolvane_2K_MeasFER, "FETC:CFER:RAT?\n", "2.5E-002", 0.025),
      {"AbortFER", Zolvane_2K_AbortFER, {{"INIT:CFER:OFF\n"}, {"*CLS\n"}, errorQueueRead()}},

      {"InitMaxPower",
       [] { return Zolvane_2K_InitMaxPower(20); },
       {{"CALL:PIL:STATE ON\n"}, {"CALL:PIL -7\n"}, {"CALL:CELL:FCH:STATE ON\n"},
        {"CALL:CELL:FCH -7.4\n"}, {"CALL:CLPC:REV:MODE UP\n"}, {"SET:DAP:COUN:STAT ON\n"},
        {"SET:DAP:COUN:NUMB 20\n"}, {"SET:DAP:CONT ON\n"}, {"SET:DAP:TIM:STAT OFF\n"},
        {"INIT:DAP\n"}, errorQueueRead()}},
      reading("MeasMaxPower", Zolvane_2K_MeasMaxPower, "FETC:DAP?\n", "0,2.312E+01", 23.12),
      {"AbortMaxPower",
       Zolvane_2K_AbortMaxPower,
       {{"CALL:CLPC:REV:MODE ACT\n"}, {"INIT:DAP:OFF\n"}, {"*CLS\n"}, errorQueueRead()}},
      {"ConfigMeasDAP",
       Zolvane_ConfigMeasDAP,
       {{"INIT:CPOW:OFF\n"}, {"CALL:PIL:STATE ON\n"}, {"CALL:PIL -7\n"},
        {"CALL:CELL:FCH:STATE ON\n"}, {"CALL:CELL:FCH -7.4\n"}, {"CALL:CONN:DROP:TIM OFF\n"},
        {"CALL:CLPC:REV:MODE UP\n"}, {"SET:DAP:COUN:STAT OFF\n"}, {"SET:DAP:CONT ON\n"},
        {"SET:DAP:TIM:STATE OFF\n"}, errorQueueRead()}},
      {"InitDAPower",
       Zolvane_InitDAPower,
       {{"INIT:DAP:OFF\n"}, {"INIT:CPOW:OFF\n"}, {"INIT:DAP\n"}, errorQueueRead()}},
      reading("FetchDAPower", Zolvane_FetchDAPower, "FETC:DAP?\n", "0,-7.43", -7.43),

      {"InitMinPower",
       Zolvane_2K_InitMinPower,
       {{"CALL:PIL:STATE ON\n"}, {"CALL:PIL -7\n"}, {"CALL:CELL:FCH:STATE ON\n"},
        {"CALL:CELL:FCH -7.4\n"}, {"CALL:CONN:DROP:TIM OFF\n"}, {"CALL:CLPC:REV:MODE DOWN\n"},
        {"SET:CPOW:COUN:STAT OFF\n"}, {"SET:CPOW:CONT ON\n"}, {"SET:CPOW:MSP NORM\n"},
        {"SET:CPOW:TIM:STAT OFF\n"}, {"INIT:CPOW\n"}, errorQueueRead()}},
      reading("MeasMinPower", Zolvane_2K_MeasMinPower, "FETC:CPOW?\n", "0,-5.02E+01", -50.2),
      {"AbortMinPower",
       Zolvane_2K_AbortMinPower,
       {{"CALL:CLPC:REV:MODE ACT\n"}, {"CALL:CONN:DROP:TIM ON\n"}, {"INIT:CPOW:OFF\n"},
        {"*CLS\n"}, errorQueueRead()}},
      {"InitRolop",
       Zolvane_2K_InitRolop,
       {{"CALL:PIL:STATE ON\n"}, {"CALL:PIL -7\n"}, {"CALL:CELL:FCH:STATE ON\n"},
        {"CALL:CELL:FCH -7.4\n"}, {"CALL:CLPC:REV:MODE ALT\n"}, {"SET:CPOW:COUN:STAT OFF\n"},
        {"SET:CPOW:CONT ON\n"}, {"SET:CPOW:MSP NORM\n"}, {"SET:CPOW:TIM:STAT OFF\n"},
        {"INIT:CPOW:OFF\n"}, {"INIT:CPOW\n"}, errorQueueRead()}},
      reading("MeasRolop", Zolvane_2K_MeasRolop, "FETC:CPOW?\n", "0,-1.2E+00", -1.2),
      {"AbortRolop",
       Zolvane_2K_AbortRolop,
       {{"CALL:CLPC:REV:MODE ACT\n"}, {"INIT:CPOW:OFF\n"}, {"*CLS\n"}, errorQueueRead()}},
      {"InitCPower",
       Zolvane_InitCPower,
       {{"CALL:PIL:STATE ON\n"}, {"CALL:PIL -7\n"}, {"CALL:CELL:FCH:STATE ON\n"},
        {"CALL:CELL:FCH -7.4\n"}, {"CALL:CONN:DROP:TIM OFF\n"}, {"CALL:CLPC:REV:MODE DOWN\n"},
        {"SET:CPOW:COUN:STAT OFF\n"}, {"SET:CPOW:CONT ON\n"}, {"SET:CPOW:MSP NORM\n"},
        {"SET:CPOW:TIM:STATE OFF\n"}, {"INIT:CPOW\n"}, errorQueueRead()}},
      reading("FetchCPower", Zolvane_FetchCPower, "FETC:CPOW?\n", "1,12.5", 12.5),
  };
}

class MeasurementChain : public visa_double::OpenTester,
                         public ::testing::WithParamInterface<ChainCase> {};

TEST_P(MeasurementChain, SucceedsWithExactlyItsConversation) {
  const ChainCase &c = GetParam();
  gReading = -1234.5;
  visa_double::Conversation conversation(c.success);
  EXPECT_EQ(c.run(), 0);
  conversation.expectAllConsumed();
  if (c.reads) {
    EXPECT_DOUBLE_EQ(gReading, c.expectedReading);
  }
}

TEST_P(MeasurementChain, AFailingStepEndsTheChainWithItsStatus) {
  const ChainCase &c = GetParam();
  visa_double::expectEachStepEndsTheChain(c.run, c.success);
}

INSTANTIATE_TEST_SUITE_P(All, MeasurementChain, ::testing::ValuesIn(chainCases()),
                         [](const ::testing::TestParamInfo<ChainCase> &p) {
                           return p.param.name;
                         });

class MaxPowerCount : public visa_double::OpenTester {};

// The count is the caller's: passed to the test set as given, whatever its sign.
TEST_F(MaxPowerCount, IsSentAsGiven) {
  for (int count : {1, 0, -3, 2147483647}) {
    SCOPED_TRACE(count);
    const std::string numb = "SET:DAP:COUN:NUMB " + std::to_string(count) + "\n";
    visa_double::Conversation c(std::vector<Exchange>{
        {"CALL:PIL:STATE ON\n"}, {"CALL:PIL -7\n"}, {"CALL:CELL:FCH:STATE ON\n"},
        {"CALL:CELL:FCH -7.4\n"}, {"CALL:CLPC:REV:MODE UP\n"}, {"SET:DAP:COUN:STAT ON\n"},
        {numb.c_str()}, {"SET:DAP:CONT ON\n"}, {"SET:DAP:TIM:STAT OFF\n"}, {"INIT:DAP\n"},
        errorQueueRead()});
    EXPECT_EQ(Zolvane_2K_InitMaxPower(count), 0);
    c.expectAllConsumed();
  }
}

}  // namespace
