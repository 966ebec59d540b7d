// What the reads store: the answer shapes, NAN, odd and long tokens, refused pointers, failed
// fetches, and numbers under a locale with a decimal comma.
#include <clocale>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Zolvane.h"
#include "conversation.h"
#include "fixture.h"

namespace {

using visa_double::Conversation;
using visa_double::errorQueueRead;
using visa_double::Exchange;
using visa_double::Fail;

constexpr double kUntouched = -1234.5;

struct Reader {
  const char *name;
  int (*op)(double *);
  const char *query;
};

const Reader kSingleValueReaders[] = {{"MeasFER", Zolvane_2K_MeasFER, "FETC:CFER:RAT?\n"}};
const Reader kTwoFieldReaders[] = {
    {"MeasMaxPower", Zolvane_2K_MeasMaxPower, "FETC:DAP?\n"},
    {"FetchDAPower", Zolvane_FetchDAPower, "FETC:DAP?\n"},
    {"MeasMinPower", Zolvane_2K_MeasMinPower, "FETC:CPOW?\n"},
    {"MeasRolop", Zolvane_2K_MeasRolop, "FETC:CPOW?\n"},
    {"FetchCPower", Zolvane_FetchCPower, "FETC:CPOW?\n"},
};

std::vector<Reader> allReaders() {
  std::vector<Reader> all(std::begin(kSingleValueReaders), std::end(kSingleValueReaders));
  all.insert(all.end(), std::begin(kTwoFieldReaders), std::end(kTwoFieldReaders));
  return all;
}

// Runs `reader` against one answer and checks the whole conversation; returns what it stored.
double readAnswer(const Reader &reader, const std::string &answer) {
  Conversation c(std::vector<Exchange>{Exchange(reader.query, answer, true, 0), {"*CLS\n"},
                                       errorQueueRead()});
  double value = kUntouched;
  EXPECT_EQ(reader.op(&value), 0);
  c.expectAllConsumed();
  return value;
}

enum class Shape { SingleValue, TwoField };

struct AnswerCase {
  const char *name;
  Shape shape;
  std::string answer;
  double expected;
};

// GoogleTest would otherwise print a case as its raw bytes, padding included.
void PrintTo(const AnswerCase &c, std::ostream *os) { *os << c.name; }

std::vector<AnswerCase> answerCases() {
  const std::string zeros297(297, '0');
  return {
      // A single value: only the whole token "NAN" means no result; the rest goes to the number.
      {"SingleNan", Shape::SingleValue, "NAN", NO_RESULT_VALUE},
      {"SingleExponent", Shape::SingleValue, "1.25E+000", 1.25},
      {"SingleLeadingPlus", Shape::SingleValue, "+1.25E-003", 0.00125},
      {"SingleOff", Shape::SingleValue, "OFF", 0.0},
      {"SingleNanPrefix", Shape::SingleValue, "NANX", 0.0},
      {"SingleLowerCaseNan", Shape::SingleValue, "nan", 0.0},
      {"SingleNotSplitAtComma", Shape::SingleValue, "1,NAN", 1.0},
      {"SingleFirstTokenOnly", Shape::SingleValue, "  3.5E-001 NAN", 0.35},
      // 300 characters: the read keeps 255 of them, so 2 and 254 zeros.
      {"SingleLongTokenCut", Shape::SingleValue, "2" + std::string(299, '0'), 2e254},

      // Two fields: "NAN" anywhere means no result; otherwise the number after the first comma.
      {"TwoFieldPositive", Shape::TwoField, "0,2.312E+01", 23.12},
      {"TwoFieldNegative", Shape::TwoField, "0,-5.02E+01", -50.2},
      {"TwoFieldFirstFieldIgnored", Shape::TwoField, "9,+1.5E+01", 15.0},
      {"TwoFieldNanSecond", Shape::TwoField, "1,NAN", NO_RESULT_VALUE},
      {"TwoFieldNanFirst", Shape::TwoField, "NAN,-7.43", NO_RESULT_VALUE},
      {"TwoFieldNanInsideNumber", Shape::TwoField, "0,-7.43NAN", NO_RESULT_VALUE},
      {"TwoFieldNanFarField", Shape::TwoField, "0,1,2,3,4,5,6,7,8,9,NAN", NO_RESULT_VALUE},
      {"TwoFieldManyCommas", Shape::TwoField, "0,1.5,2,3,4,5,6,7,8,9,10,11,12", 1.5},
      {"TwoFieldEmptySecond", Shape::TwoField, "0,,5", 0.0},
      {"TwoFieldWordSecond", Shape::TwoField, "0,OFF", 0.0},
      // No second field at all: reported as no result, never a slot the split did not fill.
      {"TwoFieldOff", Shape::TwoField, "OFF", NO_RESULT_VALUE},
      {"TwoFieldOneNumber", Shape::TwoField, "-7.43", NO_RESULT_VALUE},
      {"TwoFieldTrailingComma", Shape::TwoField, "0,", NO_RESULT_VALUE},
      {"TwoFieldFirstTokenOnly", Shape::TwoField, "0,-7.43 NAN", -7.43},
      // 300 characters, cut to 255: "0,1" and 252 zeros; a NAN past the cut is never seen.
      {"TwoFieldLongTokenCut", Shape::TwoField, "0,1" + zeros297, 1e252},
      {"TwoFieldNanPastTheCut", Shape::TwoField, "0,-7.5" + std::string(291, '0') + "NAN", -7.5},
  };
}

class AnswerParsing : public visa_double::OpenTester,
                      public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(AnswerParsing, StoresTheValueOfTheAnswer) {
  const AnswerCase &a = GetParam();
  const std::vector<Reader> readers =
      a.shape == Shape::SingleValue
          ? std::vector<Reader>(std::begin(kSingleValueReaders), std::end(kSingleValueReaders))
          : std::vector<Reader>(std::begin(kTwoFieldReaders), std::end(kTwoFieldReaders));
  for (const Reader &reader : readers) {
    SCOPED_TRACE(reader.name);
    EXPECT_DOUBLE_EQ(readAnswer(reader, a.answer), a.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(All, AnswerParsing, ::testing::ValuesIn(answerCases()),
                         [](const ::testing::TestParamInfo<AnswerCase> &p) {
                           return std::string(p.param.name);
                         });

class Reads : public visa_double::OpenTester {};

TEST_F(Reads, RefuseANullPointerBeforeSendingAnything) {
  for (const Reader &reader : allReaders()) {
    SCOPED_TRACE(reader.name);
    Conversation c(std::vector<Exchange>{});
    EXPECT_EQ(reader.op(nullptr), ZOLVANE_ERROR_USER_BUF);
    c.expectAllConsumed();
  }
}

TEST_F(Reads, AFailedFetchLeavesTheValueAndSendsNothingMore) {
  for (const Reader &reader : allReaders()) {
    for (ViStatus status : visa_double::kStepFailures) {
      SCOPED_TRACE(std::string(reader.name) + " fails with " + std::to_string(status));
      Conversation c{{reader.query, Fail{status}}};
      double value = kUntouched;
      EXPECT_EQ(reader.op(&value), status);
      EXPECT_EQ(value, kUntouched);
      c.expectAllConsumed();
    }
  }
}

// The same script for both: whatever the test set does, the two must make the same calls and
// hand back the same status and value.
TEST_F(Reads, FetchCPowerIsMeasRolop) {
  struct Scenario {
    const char *name;
    std::vector<Exchange> script;
  };
  const std::vector<Scenario> scenarios = {
      {"a value", {{"FETC:CPOW?\n", "0,-2.15E+01"}, {"*CLS\n"}, errorQueueRead()}},
      {"NAN", {{"FETC:CPOW?\n", "0,NAN"}, {"*CLS\n"}, errorQueueRead()}},
      {"fetch fails", {{"FETC:CPOW?\n", Fail{kViErrorTmo}}}},
      {"*CLS fails", {{"FETC:CPOW?\n", "0,3.5"}, {"*CLS\n", Fail{kViErrorIo}}}},
      {"error read fails",
       {{"FETC:CPOW?\n", "0,3.5"}, {"*CLS\n"}, {"SYST:ERR?\n", Fail{kViErrorTmo}}}},
  };
  for (const Scenario &s : scenarios) {
    SCOPED_TRACE(s.name);
    double rolop = kUntouched;
    Conversation byRolop(s.script);
    const int rolopStatus = Zolvane_2K_MeasRolop(&rolop);
    byRolop.expectAllConsumed();
    const std::vector<std::string> rolopCalls = visa_double::transcript();

    double cpower = kUntouched;
    Conversation byCPower(s.script);
    EXPECT_EQ(Zolvane_FetchCPower(&cpower), rolopStatus);
    EXPECT_EQ(visa_double::transcript(), rolopCalls);
    EXPECT_EQ(cpower, rolop);
  }
}

// The library reads numbers with a point whatever the caller's locale: a strtod-based reading
// would stop at the point under a German one and store -5 for -50.2.
TEST_F(Reads, NumbersAreReadWithAPointUnderADecimalCommaLocale) {
  struct LocaleGuard {
    std::string saved = std::setlocale(LC_ALL, nullptr);
    ~LocaleGuard() { std::setlocale(LC_ALL, saved.c_str()); }
  } guard;
  if (std::strcmp(std::localeconv()->decimal_point, ",") != 0 &&
      std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) {
    GTEST_SKIP() << "no German locale here; the suite's de_DE run covers this";
  }
  ASSERT_STREQ(std::localeconv()->decimal_point, ",");

  EXPECT_DOUBLE_EQ(readAnswer(kSingleValueReaders[0], "1.25E+000"), 1.25);
  for (const Reader &reader : kTwoFieldReaders) {
    SCOPED_TRACE(reader.name);
    EXPECT_DOUBLE_EQ(readAnswer(reader, "0,-5.02E+01"), -50.2);
    EXPECT_DOUBLE_EQ(readAnswer(reader, "0,2.312E+01"), 23.12);
  }
}

}  // namespace
