// Turning answer tokens into values.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "Zolvane.h"
#include "session/parse.h"

using zolvane::extractSingleValue;
using zolvane::extractTwoField;
using zolvane::kMaxFields;
using zolvane::parseNumber;
using zolvane::Sep_Str;

namespace {

struct Split {
  const char *text;
  int count;
  std::vector<std::string> fields;
};

TEST(SepStr, SplitsInPlaceAtTheFirstCharacterOfTheSeparator) {
  const Split cases[] = {
      {"0,-7.43", 2, {"0", "-7.43"}},
      {"a,b,c", 3, {"a", "b", "c"}},
      {"a,", 1, {"a"}},              // a trailing separator adds no field
      {"abc", 1, {"abc"}},
      {"", 1, {""}},
      {",", 1, {""}},
      {",5", 2, {"", "5"}},
      {"1,,3", 3, {"1", "", "3"}},   // two in a row give an empty field
      {",,", 2, {"", ""}},
      {"1,2,3,4,5,6,7,8", 8, {"1", "2", "3", "4", "5", "6", "7", "8"}},
      // past eight fields the last one keeps the rest unsplit
      {"1,2,3,4,5,6,7,8,9,10", 8, {"1", "2", "3", "4", "5", "6", "7", "8,9,10"}},
      {",,,,,,,,,,,,,,,,,,,,", 8, {"", "", "", "", "", "", "", ",,,,,,,,,,,,,"}},
  };
  for (const Split &c : cases) {
    SCOPED_TRACE(c.text);
    char buffer[64];
    std::strcpy(buffer, c.text);
    char *fields[kMaxFields + 1];
    char guard[] = "untouched";
    fields[kMaxFields] = guard;
    const int count = Sep_Str(buffer, ",;", fields);
    ASSERT_EQ(count, c.count);
    for (int i = 0; i < count; ++i) EXPECT_EQ(std::string(fields[i]), c.fields[static_cast<std::size_t>(i)]);
    EXPECT_EQ(fields[kMaxFields], guard);
  }
}

TEST(SepStr, OnlyTheFirstSeparatorCharacterCounts) {
  char buffer[] = "a;b,c";
  char *fields[kMaxFields];
  ASSERT_EQ(Sep_Str(buffer, ",;", fields), 2);
  EXPECT_STREQ(fields[0], "a;b");
  EXPECT_STREQ(fields[1], "c");
}

TEST(ParseNumber, KeepsAtofsGrammarWithAPointWhateverTheLocale) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  const struct {
    const char *text;
    double value;
  } cases[] = {
      {"1.25E+000", 1.25},     {"+1.25E+00", 1.25},   {"-7.43", -7.43},
      {"2.345E+01", 23.45},    {"-5.02E+01", -50.2},  {"42", 42.0},
      {".5", 0.5},             {"5.", 5.0},           {"1e3", 1000.0},
      {"  3.5", 3.5},          {"3.5V", 3.5},         {"1.5E", 1.5},
      {"1.5E+", 1.5},          {"2,5", 2.0},          {"-0", 0.0},
      {"OFF", 0.0},            {"", 0.0},             {"-", 0.0},
      {"+", 0.0},              {".", 0.0},            {"-.", 0.0},
      {"0x10", 0.0},           {"inf", 0.0},          {"-nan", 0.0},
      {"INFINITY", 0.0},       {"1E999", inf},        {"-1E999", -inf},
      {"1E-999", 0.0},         {"-1E-999", 0.0},      {"0.0000001E400", inf},
      {"123456E-400", 0.0},    {"1E99999999999999999", inf},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parseNumber(c.text), c.value);
  }
  EXPECT_TRUE(std::signbit(parseNumber("-1E-999")));
}

TEST(Extract, SingleValueNanMustBeTheWholeToken) {
  const struct {
    const char *token;
    double value;
  } cases[] = {
      {"NAN", NO_RESULT_VALUE}, {"NAN1", 0.0},   {"nan", 0.0},  {"1.25E+000", 1.25},
      {"OFF", 0.0},             {"0,5", 0.0},    {"", 0.0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.token);
    char buffer[32];
    std::strcpy(buffer, c.token);
    double out = -1.0;
    extractSingleValue(buffer, &out);
    EXPECT_EQ(out, c.value);
  }
}

TEST(Extract, TwoFieldTakesTheFieldAfterTheFirstComma) {
  const struct {
    const char *token;
    double value;
  } cases[] = {
      {"0,2.345E+01", 23.45},       {"0,2.312E+01", 23.12},  {"0,-5.02E+01", -50.2},
      {"1,NAN", NO_RESULT_VALUE},   {"NAN", NO_RESULT_VALUE}, {"xNANx,3", NO_RESULT_VALUE},
      {"0,nan", 0.0},               {"0,5,7", 5.0},          {"ignored,8", 8.0},
      {"1,", NO_RESULT_VALUE},      {"17", NO_RESULT_VALUE}, {"", NO_RESULT_VALUE},
      {",", NO_RESULT_VALUE},       {",,", 0.0},             {",3", 3.0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.token);
    char buffer[32];
    std::strcpy(buffer, c.token);
    double out = -1.0;
    extractTwoField(buffer, &out);
    EXPECT_EQ(out, c.value);
  }
}

}  // namespace
