// Every query the library makes, answered with text no test set should send: empty and blank
// answers, tokens at and past the 255-character read, 10,000 characters, NUL and control bytes,
// NAN in every case, stray commas, numbers out of range, signs and words that are not numbers.
// The table says, for each answer, what every reader stores, whether the phone counts as
// registered and what the connection state is; nothing may crash, nothing may be read or written
// past a buffer (the sanitizer and Valgrind runs check that), and no answer may turn a failure
// into a success or the reverse.
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Zolvane.h"
#include "conversation.h"
#include "fixture.h"

namespace vd = visa_double;

namespace {

using vd::Conversation;
using vd::errorQueueRead;
using vd::Exchange;

constexpr double kNo = NO_RESULT_VALUE;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kUntouched = -1234.5;

// The connection state an answer gives: 1 connected, 0 dropped, anything else neither.
enum class Link { Dropped, Connected, Neither };

struct Hostile {
  std::string name;
  std::string answer;
  double single;    // what Zolvane_2K_MeasFER stores
  double twoField;  // what the DAP and CPOW reads store
  bool registers;   // an ESN token longer than 5 characters
  Link link;
};

std::string repeat(std::size_t n, char c) { return std::string(n, c); }

std::vector<Hostile> hostileAnswers() {
  using L = Link;
  std::vector<Hostile> h = {
      // Nothing, or only white space: the read stores an empty token.
      {"empty", "", 0.0, kNo, false, L::Dropped},
      {"one space", " ", 0.0, kNo, false, L::Dropped},
      {"white space only", " \t\r\n\v\f ", 0.0, kNo, false, L::Dropped},
      // At and past the read's 255 characters: the token is cut, never written past the buffer.
      {"255 digits", "1" + repeat(254, '0'), 1e254, kNo, true, L::Neither},
      {"256 digits", "1" + repeat(255, '0'), 1e254, kNo, true, L::Neither},
      {"10000 digits", "1" + repeat(9999, '0'), 1e254, kNo, true, L::Neither},
      {"255 characters, two fields", "0,5" + repeat(252, '0'), 0.0, 5e252, true, L::Dropped},
      {"256 characters, two fields", "0,5" + repeat(253, '0'), 0.0, 5e252, true, L::Dropped},
      {"10000 characters, two fields", "0,-5" + repeat(9996, '0'), 0.0, -5e251, true,
       L::Dropped},
      // The 1 past the cut is never seen: a connection state of 0, not 1.
      {"255 zeros then 1", repeat(255, '0') + "1", 0.0, kNo, true, L::Dropped},
      {"10000 commas", repeat(10000, ','), 0.0, 0.0, true, L::Dropped},
      {"10000 letters", repeat(10000, 'A'), 0.0, kNo, true, L::Dropped},
      // NUL and control bytes: the token ends at the NUL; other bytes are text.
      {"NUL inside", std::string("1.5\0NAN", 7), 1.5, kNo, false, L::Connected},
      {"NUL inside two fields", std::string("0,2.5\0NAN", 9), 0.0, 2.5, false, L::Dropped},
      {"NUL first", std::string("\0" "123456789", 10), 0.0, kNo, false, L::Dropped},
      {"NUL in an ESN", std::string("A1B2C\0D4E5F6", 12), 0.0, kNo, false, L::Dropped},
      {"control bytes", "\x01\x02\x03\x7f", 0.0, kNo, false, L::Dropped},
      {"bell after a number", "1\x07", 1.0, kNo, false, L::Connected},
      {"escape sequence", "\x1b[0m0,3.5", 0.0, 3.5, true, L::Dropped},
      {"backspace before a number", "0,\x08" "7", 0.0, 0.0, false, L::Dropped},
      {"vertical tab and form feed around", "\v1\f", 1.0, kNo, false, L::Connected},
      {"bytes above 127", "\xff\xfe" "0,1", 0.0, 1.0, false, L::Dropped},
      // Commas.
      {"1,", "1,", 1.0, kNo, false, L::Connected},
      {",", ",", 0.0, kNo, false, L::Dropped},
      {",,", ",,", 0.0, 0.0, false, L::Dropped},
      {"twenty commas", repeat(20, ','), 0.0, 0.0, true, L::Dropped},
      {"second token ignored", " 0,1 2", 0.0, 1.0, false, L::Dropped},
      // Out of range, as atof: too large is an infinity of its sign, too small zero.
      {"1E999", "1E999", kInf, kNo, false, L::Connected},
      {"0,1E999", "0,1E999", 0.0, kInf, true, L::Dropped},
      {"-1E999", "-1E999", -kInf, kNo, true, L::Neither},
      {"0,-1E999", "0,-1E999", 0.0, -kInf, true, L::Dropped},
      {"1E-999", "1E-999", 0.0, kNo, true, L::Connected},
      {"0,1E-999", "0,1E-999", 0.0, 0.0, true, L::Dropped},
      {"0E999", "0E999", 0.0, kNo, false, L::Dropped},
      {"1E-330", "1E-330", 0.0, kNo, true, L::Connected},
      {"1E-320, below the normal range", "1E-320", 1e-320, kNo, true, L::Connected},
      {"0,-4.9E-324", "0,-4.9E-324", 0.0, -4.9e-324, true, L::Dropped},
      {"1E+0000000000000000000002", "1E+0000000000000000000002", 100.0, kNo, true,
       L::Connected},
      {"4294967297", "4294967297", 4294967297.0, kNo, true, L::Neither},
      {"-4294967295", "-4294967295", -4294967295.0, kNo, true, L::Neither},
      // Signs, points and words that start no number.
      {"-", "-", 0.0, kNo, false, L::Dropped},
      {"+", "+", 0.0, kNo, false, L::Dropped},
      {".", ".", 0.0, kNo, false, L::Dropped},
      {"0,-", "0,-", 0.0, 0.0, false, L::Dropped},
      {"0,+", "0,+", 0.0, 0.0, false, L::Dropped},
      {"0,.", "0,.", 0.0, 0.0, false, L::Dropped},
      {"0x10", "0x10", 0.0, kNo, false, L::Dropped},
      {"0,0x10", "0,0x10", 0.0, 0.0, true, L::Dropped},
      {"inf", "inf", 0.0, kNo, false, L::Dropped},
      {"0,inf", "0,inf", 0.0, 0.0, false, L::Dropped},
      {"INFINITY", "INFINITY", 0.0, kNo, true, L::Dropped},
      {"0,-INF", "0,-INF", 0.0, 0.0, true, L::Dropped},
      {"-nan", "-nan", 0.0, kNo, false, L::Dropped},
      {"0,-nan", "0,-nan", 0.0, 0.0, true, L::Dropped},
      {"-NAN", "-NAN", 0.0, kNo, false, L::Dropped},
      {"1.5E", "1.5E", 1.5, kNo, false, L::Connected},
      {"0,1.5E-", "0,1.5E-", 0.0, 1.5, true, L::Dropped},
      // Leading plus signs: one is a sign, two are not a number.
      {"+1", "+1", 1.0, kNo, false, L::Connected},
      {"+1.25", "+1.25", 1.25, kNo, false, L::Connected},
      {"0,+1.25", "0,+1.25", 0.0, 1.25, true, L::Dropped},
      {"+0,+2.5E+01", "+0,+2.5E+01", 0.0, 25.0, true, L::Dropped},
      {"+.5", "+.5", 0.5, kNo, false, L::Dropped},
      {"++1", "++1", 0.0, kNo, false, L::Dropped},
      {"+-1", "+-1", 0.0, kNo, false, L::Dropped},
      {"-+1", "-+1", 0.0, kNo, false, L::Dropped},
      // The ESN's bound: 5 characters are not a registration, 6 are.
      {"5-character ESN", "12345", 12345.0, kNo, false, L::Neither},
      {"6-character ESN", "  A1B2C3", 0.0, kNo, true, L::Dropped},
  };
  // NAN in every case: only "NAN" itself is the no-result marker, alone or after the comma.
  for (int variant = 0; variant < 8; ++variant) {
    std::string nan = "nan";
    for (std::size_t i = 0; i < 3; ++i) {
      if ((variant >> i) & 1) nan[i] = static_cast<char>(nan[i] - 'a' + 'A');
    }
    const bool marker = nan == "NAN";
    h.push_back({nan, nan, marker ? kNo : 0.0, kNo, false, L::Dropped});
    h.push_back({"0," + nan, "0," + nan, 0.0, marker ? kNo : 0.0, false, L::Dropped});
  }
  return h;
}

struct Reader {
  const char *name;
  int (*op)(double *);
  const char *query;
  bool twoField;
};

constexpr Reader kReaders[] = {
    {"Zolvane_2K_MeasFER", Zolvane_2K_MeasFER, "FETC:CFER:RAT?\n", false},
    {"Zolvane_2K_MeasMaxPower", Zolvane_2K_MeasMaxPower, "FETC:DAP?\n", true},
    {"Zolvane_FetchDAPower", Zolvane_FetchDAPower, "FETC:DAP?\n", true},
    {"Zolvane_2K_MeasMinPower", Zolvane_2K_MeasMinPower, "FETC:CPOW?\n", true},
    {"Zolvane_2K_MeasRolop", Zolvane_2K_MeasRolop, "FETC:CPOW?\n", true},
    {"Zolvane_FetchCPower", Zolvane_FetchCPower, "FETC:CPOW?\n", true},
};

Exchange answered(const char *query, const std::string &answer) {
  return Exchange(query, answer, true, 0);
}

constexpr const char *kEsn = "CALL:MS:REP:ESN?\n";
constexpr const char *kConnState = "CALL:CONN:STAT?\n";

int casesRun = 0;

class HostileAnswers : public vd::OpenTester {};

TEST_F(HostileAnswers, MeasurementReadsStoreTheValueTheTableGives) {
  for (const Hostile &a : hostileAnswers()) {
    for (const Reader &r : kReaders) {
      SCOPED_TRACE(std::string(r.name) + " answered " + vd::quoted(a.name));
      Conversation c(std::vector<Exchange>{answered(r.query, a.answer), {"*CLS\n"},
                                           errorQueueRead()});
      double value = kUntouched;
      EXPECT_EQ(r.op(&value), 0);
      c.expectAllConsumed();
      EXPECT_FALSE(std::isnan(value)) << "no answer may store a NaN";
      EXPECT_DOUBLE_EQ(value, r.twoField ? a.twoField : a.single);
      ++casesRun;
    }
  }
}

TEST_F(HostileAnswers, RegistrationNeedsAnEsnLongerThanFiveCharacters) {
  for (const Hostile &a : hostileAnswers()) {
    SCOPED_TRACE(vd::quoted(a.name));
    // Unregistered, the wait polls every 0.5 s until its second is up: two polls, then 1.
    std::vector<Exchange> script{{"CALL:REG\n"}, answered(kEsn, a.answer)};
    if (!a.registers) script.push_back(answered(kEsn, a.answer));
    Conversation c(script);
    EXPECT_EQ(Zolvane_2K_SyncNetwork(1), a.registers ? 0 : 1);
    c.expectAllConsumed();
    ++casesRun;
  }
}

TEST_F(HostileAnswers, OnlyAStateOfOneIsAConnection) {
  for (const Hostile &a : hostileAnswers()) {
    SCOPED_TRACE(vd::quoted(a.name));
    const bool connected = a.link == Link::Connected;
    std::vector<Exchange> script{answered(kConnState, a.answer)};
    if (!connected) script.insert(script.end(), {{"*CLS\n"}, errorQueueRead()});
    Conversation c(script);
    EXPECT_EQ(Zolvane_CheckConnect(0), connected ? 0 : 1);
    c.expectAllConsumed();
    ++casesRun;
  }
}

// Only a state of 0 ends the release's wait early; any other answer keeps it polling until its
// 5000 ms are up, and either way the reset follows and the result is 0.
TEST_F(HostileAnswers, OnlyAStateOfZeroIsADroppedCall) {
  for (const Hostile &a : hostileAnswers()) {
    SCOPED_TRACE(vd::quoted(a.name));
    vd::restart();
    vd::answer(kConnState, a.answer);
    vd::answer("SYST:ERR?\n", "+0,\"No error\"");
    EXPECT_EQ(Zolvane_EndCall(), 0);
    const std::vector<std::string> t = vd::transcript();
    ASSERT_GE(t.size(), 3U);
    EXPECT_EQ(t.front(), "write \"CALL:END\\n\"");
    EXPECT_EQ(t.back(), "write \"*RST\\n\"");
    std::size_t polls = 0;
    for (const std::string &l : t) polls += l.rfind("query \"CALL:CONN:STAT?\\n\"", 0) == 0;
    if (a.link == Link::Dropped) {
      EXPECT_EQ(t.size(), 3U);
      EXPECT_EQ(polls, 1U);
    } else {
      // 5000 ms in passes of at least 50 ms: at most 100 polls, and never just one.
      EXPECT_GT(polls, 1U);
      EXPECT_LE(polls, 100U);
      EXPECT_EQ(t.size(), 2 + polls * 3) << "every pass that finds the call up clears and reads";
    }
    ++casesRun;
  }
}

// The error queue's answer is dropped: whatever it is, results and stored values stay as they
// were, also where it shares the buffer of a fetch or of a connection poll.
TEST_F(HostileAnswers, ErrorQueueAnswersChangeNothing) {
  for (const Hostile &a : hostileAnswers()) {
    SCOPED_TRACE(vd::quoted(a.name));
    {
      Conversation c(std::vector<Exchange>{{"INIT:CFER:OFF\n"}, {"*CLS\n"},
                                           answered("SYST:ERR?\n", a.answer)});
      EXPECT_EQ(Zolvane_2K_AbortFER(), 0);
      c.expectAllConsumed();
    }
    {
      Conversation c(std::vector<Exchange>{answered("FETC:CFER:RAT?\n", "1.5"), {"*CLS\n"},
                                           answered("SYST:ERR?\n", a.answer)});
      double value = kUntouched;
      EXPECT_EQ(Zolvane_2K_MeasFER(&value), 0);
      EXPECT_EQ(value, 1.5);
      c.expectAllConsumed();
    }
    {
      Conversation c(std::vector<Exchange>{{"CALL:RFG:FREQ 836.520MHz\n"},
                                           answered("SYST:ERR?\n", a.answer),
                                           answered("SYST:ERR?\n", a.answer)});
      EXPECT_EQ(Zolvane_2K_SetChannel(384, 1), 0);
      c.expectAllConsumed();
    }
    {
      Conversation c(std::vector<Exchange>{answered(kConnState, "0"), {"*CLS\n"},
                                           answered("SYST:ERR?\n", a.answer),
                                           answered(kConnState, "1")});
      EXPECT_EQ(Zolvane_CheckConnect(1), 0);
      c.expectAllConsumed();
    }
    {
      Conversation c(std::vector<Exchange>{{"CALL:END\n"}, answered(kConnState, "1"), {"*CLS\n"},
                                           answered("SYST:ERR?\n", a.answer),
                                           answered(kConnState, "0"), {"*RST\n"}});
      EXPECT_EQ(Zolvane_EndCall(), 0);
      c.expectAllConsumed();
    }
    casesRun += 5;
  }
}

TEST(HostileAnswersFigures, Print) {
  std::printf("hostile answers: %zu answers, %d operation x answer cases over the 6 queries the "
              "library makes\n",
              hostileAnswers().size(), casesRun);
}

}  // namespace
