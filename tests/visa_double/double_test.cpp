// The double's own tests: every other test trusts what it records and answers.
#include <dlfcn.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "conversation.h"
#include "visa_double.h"

extern "C" {
ViStatus viOpenDefaultRM(ViSession *rm);
ViStatus viOpen(ViSession rm, ViRsrc name, ViAccessMode mode, ViUInt32 openTimeout, ViSession *vi);
ViStatus viSetAttribute(ViObject vi, ViAttr attr, ViAttrState value);
ViStatus viClose(ViObject vi);
ViStatus viPrintf(ViSession vi, ViString writeFmt, ...);
ViStatus viQueryf(ViSession vi, ViString writeFmt, ViString readFmt, ...);
}

namespace vd = visa_double;

namespace {

// VISA's prototypes take char *; the texts here are literals.
char *vs(const char *s) {
  return const_cast<char *>(s);
}

constexpr ViSession kNeverIssued = 0xFFFFFFF0U;

// Formatting depends on the process locale; each test states the one it wants.
class NumericLocale {
 public:
  explicit NumericLocale(const char *name) : saved_(std::setlocale(LC_NUMERIC, nullptr)) {
    ok_ = std::setlocale(LC_NUMERIC, name) != nullptr;
  }
  ~NumericLocale() { std::setlocale(LC_NUMERIC, saved_.c_str()); }
  bool ok() const { return ok_; }

 private:
  std::string saved_;
  bool ok_ = false;
};

class Double : public ::testing::Test {
 protected:
  void SetUp() override { vd::reset(); }
  void TearDown() override { vd::reset(); }

  ViSession openRm() {
    ViSession rm = 0;
    EXPECT_EQ(viOpenDefaultRM(&rm), kViSuccess);
    return rm;
  }
  ViSession openInstr(ViSession rm, const char *name = "GPIB0::5::INSTR") {
    ViSession vi = 0;
    EXPECT_EQ(viOpen(rm, vs(name), kViNoLock, 0, &vi), kViSuccess);
    return vi;
  }
  // An open instrument session with a fresh log behind it.
  ViSession instrument() {
    rm_ = openRm();
    ViSession vi = openInstr(rm_);
    vd::restart();
    return vi;
  }
  vd::Event lastEvent() {
    auto log = vd::events();
    EXPECT_FALSE(log.empty());
    return log.empty() ? vd::Event{} : log.back();
  }

  NumericLocale cLocale_{"C"};
  ViSession rm_ = 0;
};

// ---- sessions ----

TEST_F(Double, HandlesAreDistinctNonZeroAndNeverReused) {
  std::set<ViSession> seen;
  for (int round = 0; round < 3; ++round) {
    ViSession rm = openRm();
    ViSession a = openInstr(rm);
    ViSession b = openInstr(rm, "GPIB0::7::INSTR");
    EXPECT_EQ(vd::openResourceManagers(), 1U);
    EXPECT_EQ(vd::openSessions(), 2U);
    for (ViSession h : {rm, a, b}) {
      EXPECT_NE(h, 0U);
      EXPECT_TRUE(seen.insert(h).second) << "handle " << h << " issued twice";
    }
    vd::reset();
    EXPECT_EQ(vd::openResourceManagers(), 0U);
    EXPECT_EQ(vd::openSessions(), 0U);
  }
}

TEST_F(Double, CallsOnSessionsThatAreNotOpenFailWithInvObject) {
  ViSession rm = openRm();
  ViSession closedInstr = openInstr(rm);
  ASSERT_EQ(viClose(closedInstr), kViSuccess);
  ViSession closedRm = openRm();
  ASSERT_EQ(viClose(closedRm), kViSuccess);
  vd::answer("*IDN?\n", "X");

  struct Call {
    const char *name;
    vd::Fn fn;
    std::function<ViStatus(ViSession)> run;
  };
  char buf[64] = "untouched";
  const std::vector<Call> calls = {
      {"setAttribute", vd::Fn::SetAttribute,
       [](ViSession s) { return viSetAttribute(s, kViAttrTmoValue, 20000); }},
      {"close", vd::Fn::Close, [](ViSession s) { return viClose(s); }},
      {"printf", vd::Fn::Printf, [](ViSession s) { return viPrintf(s, vs("*CLS\n")); }},
      {"queryf", vd::Fn::Queryf,
       [&buf](ViSession s) { return viQueryf(s, vs("*IDN?\n"), vs("%255s"), buf); }},
  };
  const std::vector<std::pair<const char *, ViSession>> sessions = {
      {"zero", 0}, {"never issued", kNeverIssued}, {"closed instrument", closedInstr},
      {"closed resource manager", closedRm}};
  for (const auto &call : calls) {
    for (const auto &[what, session] : sessions) {
      SCOPED_TRACE(std::string(call.name) + " on " + what);
      EXPECT_EQ(call.run(session), kViErrorInvObject);
      vd::Event e = lastEvent();
      EXPECT_EQ(e.fn, call.fn);
      EXPECT_EQ(e.session, session);
      EXPECT_EQ(e.sessionKind, vd::SessionKind::Unknown);
      EXPECT_EQ(e.status, kViErrorInvObject);
    }
  }
  EXPECT_STREQ(buf, "untouched");
  EXPECT_EQ(vd::openResourceManagers(), 1U);
}

TEST_F(Double, IoOnAResourceManagerIsRefused) {
  ViSession rm = openRm();
  EXPECT_EQ(viPrintf(rm, vs("*CLS\n")), kViErrorInvObject);
  EXPECT_EQ(lastEvent().sessionKind, vd::SessionKind::ResourceManager);
}

TEST_F(Double, OpenNeedsAnOpenResourceManager) {
  ViSession rm = openRm();
  ViSession instr = openInstr(rm);
  ViSession closedRm = openRm();
  ASSERT_EQ(viClose(closedRm), kViSuccess);
  for (ViSession bad : {ViSession{0}, kNeverIssued, closedRm, instr}) {
    SCOPED_TRACE(bad);
    ViSession out = 99;
    EXPECT_EQ(viOpen(bad, vs("GPIB0::5::INSTR"), kViNoLock, 0, &out), kViErrorInvObject);
    EXPECT_EQ(out, 0U);
  }
  EXPECT_EQ(vd::openSessions(), 1U);
}

TEST_F(Double, OpenAcceptsOnlyGpibBoardZeroAddressesZeroToThirty) {
  ViSession rm = openRm();
  struct Case {
    const char *name;
    bool found;
  };
  const Case cases[] = {
      {"GPIB0::0::INSTR", true},    {"GPIB0::14::INSTR", true},   {"GPIB0::30::INSTR", true},
      {"GPIB0::31::INSTR", false},  {"GPIB0::-1::INSTR", false},  {"GPIB0::05::INSTR", false},
      {"GPIB0::100::INSTR", false}, {"GPIB1::5::INSTR", false},   {"gpib0::5::INSTR", false},
      {"GPIB0::5::INSTR\n", false}, {"GPIB0::::INSTR", false},    {"GPIB0::5", false},
      {"GPIB0::+5::INSTR", false},  {" GPIB0::5::INSTR", false},  {"", false},
  };
  std::size_t open = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(vd::quoted(c.name));
    ViSession out = 99;
    ViStatus st = viOpen(rm, vs(c.name), kViNoLock, 0, &out);
    if (c.found) {
      ++open;
      EXPECT_EQ(st, kViSuccess);
      EXPECT_NE(out, 0U);
    } else {
      EXPECT_EQ(st, kViErrorRsrcNfound);
      EXPECT_EQ(out, 0U);
    }
    EXPECT_EQ(lastEvent().text, c.name);
    EXPECT_EQ(vd::openSessions(), open);
  }
}

TEST_F(Double, ClosingAResourceManagerClosesItsSessionsOnly) {
  ViSession rm1 = openRm();
  ViSession a = openInstr(rm1);
  ViSession b = openInstr(rm1, "GPIB0::6::INSTR");
  ViSession rm2 = openRm();
  ViSession c = openInstr(rm2);
  ASSERT_EQ(vd::openSessions(), 3U);

  EXPECT_EQ(viClose(rm1), kViSuccess);
  EXPECT_EQ(vd::openResourceManagers(), 1U);
  EXPECT_EQ(vd::openSessions(), 1U);
  EXPECT_EQ(viPrintf(a, vs("*CLS\n")), kViErrorInvObject);
  EXPECT_EQ(viClose(b), kViErrorInvObject);
  EXPECT_EQ(viPrintf(c, vs("*CLS\n")), kViSuccess);

  EXPECT_EQ(viClose(c), kViSuccess);
  EXPECT_EQ(vd::openSessions(), 0U);
  EXPECT_EQ(viClose(rm2), kViSuccess);
  EXPECT_EQ(viClose(rm2), kViErrorInvObject);
  EXPECT_EQ(vd::openResourceManagers(), 0U);
}

TEST_F(Double, RecordsOpenArgumentsAndAttributes) {
  ViSession rm = openRm();
  ViSession vi = 0;
  ASSERT_EQ(viOpen(rm, vs("GPIB0::9::INSTR"), 4, 1500, &vi), kViSuccess);
  ASSERT_EQ(viSetAttribute(vi, kViAttrTmoValue, 20000), kViSuccess);
  auto log = vd::events();
  ASSERT_EQ(log.size(), 3U);
  EXPECT_EQ(log[0].fn, vd::Fn::OpenDefaultRM);
  EXPECT_EQ(log[0].outSession, rm);
  EXPECT_EQ(log[1].session, rm);
  EXPECT_EQ(log[1].sessionKind, vd::SessionKind::ResourceManager);
  EXPECT_EQ(log[1].accessMode, 4U);
  EXPECT_EQ(log[1].openTimeout, 1500U);
  EXPECT_EQ(log[1].outSession, vi);
  EXPECT_EQ(log[2].session, vi);
  EXPECT_EQ(log[2].sessionKind, vd::SessionKind::Instrument);
  EXPECT_EQ(log[2].attr, kViAttrTmoValue);
  EXPECT_EQ(log[2].attrValue, 20000U);
}

// ---- writes ----

struct WriteCase {
  const char *name;
  std::function<ViStatus(ViSession)> write;
  ViStatus status;
  std::string text;
  bool endsWithFormatNewline;
  bool newlineFromArgument;
};

TEST_F(Double, FormatsWrites) {
  const ViSession vi = instrument();
  const std::vector<WriteCase> cases = {
      {"plain", [](ViSession s) { return viPrintf(s, vs("*CLS\n")); }, kViSuccess, "*CLS\n", true,
       false},
      {"%d", [](ViSession s) { return viPrintf(s, vs("CALL:PIL %d\n"), -7); }, kViSuccess,
       "CALL:PIL -7\n", true, false},
      {"%s", [](ViSession s) { return viPrintf(s, vs("CALL:POW %sDBM\n"), "-55.50"); }, kViSuccess,
       "CALL:POW -55.50DBM\n", true, false},
      {"%.2f", [](ViSession s) { return viPrintf(s, vs("CALL:POW %.2fDBM\n"), -55.5); },
       kViSuccess, "CALL:POW -55.50DBM\n", true, false},
      {"%.3f", [](ViSession s) { return viPrintf(s, vs("RFG:FREQ %.3fMHZ\n"), 836.52); },
       kViSuccess, "RFG:FREQ 836.520MHZ\n", true, false},
      {"%%", [](ViSession s) { return viPrintf(s, vs("LEV %d%%\n"), 50); }, kViSuccess,
       "LEV 50%\n", true, false},
      {"flags, widths, lengths",
       [](ViSession s) {
         return viPrintf(s, vs("[%5d|%-4s|%+d|%x|%X|%u|%ld|%lld|%zu|%hd|%i|%c|%05.1f]\n"), 42,
                         "ab", 3, 255U, 255U, 4000000000U, -5L, 1LL << 40, std::size_t{7},
                         70000, -1, 'Q', 2.25);
       },
       kViSuccess, "[   42|ab  |+3|ff|FF|4000000000|-5|1099511627776|7|4464|-1|Q|002.2]\n", true,
       false},
      {"%e %E %g %G", [](ViSession s) { return viPrintf(s, vs("%e %E %g %G\n"), 23.12, 0.5, 1e-7, 1e20); },
       kViSuccess, "2.312000e+01 5.000000E-01 1e-07 1E+20\n", true, false},
      {"newline through %s", [](ViSession s) { return viPrintf(s, vs("CALL:POW %s"), "-5\n"); },
       kViSuccess, "CALL:POW -5\n", false, true},
      {"newline through %s, format newline after",
       [](ViSession s) { return viPrintf(s, vs("A%sB\n"), "\n"); }, kViSuccess, "A\nB\n", true,
       true},
      {"newline through %c", [](ViSession s) { return viPrintf(s, vs("*CLS%c"), '\n'); },
       kViSuccess, "*CLS\n", false, true},
      {"no format newline", [](ViSession s) { return viPrintf(s, vs("*CLS")); }, kViSuccess,
       "*CLS", false, false},
      {"format newline then empty argument",
       [](ViSession s) { return viPrintf(s, vs("*CLS\n%s"), ""); }, kViSuccess, "*CLS\n", true,
       false},
      {"format newline then text", [](ViSession s) { return viPrintf(s, vs("*CLS\nX")); },
       kViSuccess, "*CLS\nX", false, false},
      {"format newline then argument", [](ViSession s) { return viPrintf(s, vs("*CLS\n%d"), 1); },
       kViSuccess, "*CLS\n1", false, false},
      {"unknown conversion", [](ViSession s) { return viPrintf(s, vs("X %q\n"), 1); },
       kViErrorNsupFmt, "X ", false, false},
      {"%n", [](ViSession s) { return viPrintf(s, vs("%n\n"), nullptr); }, kViErrorNsupFmt, "",
       false, false},
      {"%p", [](ViSession s) { return viPrintf(s, vs("%p\n"), nullptr); }, kViErrorNsupFmt, "",
       false, false},
      {"%Lf", [](ViSession s) { return viPrintf(s, vs("%Lf\n"), 1.0L); }, kViErrorNsupFmt, "",
       false, false},
      {"* width", [](ViSession s) { return viPrintf(s, vs("%*d\n"), 5, 1); }, kViErrorNsupFmt, "",
       false, false},
      {"* precision", [](ViSession s) { return viPrintf(s, vs("%.*f\n"), 2, 1.0); },
       kViErrorNsupFmt, "", false, false},
      {"lone %", [](ViSession s) { return viPrintf(s, vs("*CLS\n%")); }, kViErrorNsupFmt,
       "*CLS\n", true, false},
  };
  for (const WriteCase &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.write(vi), c.status);
    vd::Event e = lastEvent();
    EXPECT_EQ(e.fn, vd::Fn::Printf);
    EXPECT_EQ(e.session, vi);
    EXPECT_EQ(e.status, c.status);
    EXPECT_EQ(e.text, c.text) << vd::quoted(e.text);
    EXPECT_EQ(e.endsWithFormatNewline, c.endsWithFormatNewline);
    EXPECT_EQ(e.newlineFromArgument, c.newlineFromArgument);
  }
}

TEST_F(Double, RecordsTheWriteFormatAsPassed) {
  const ViSession vi = instrument();
  ASSERT_EQ(viPrintf(vi, vs("CALL:POW %sDBM\n"), "-1.00"), kViSuccess);
  EXPECT_EQ(lastEvent().format, "CALL:POW %sDBM\n");
}

TEST_F(Double, FormatsFloatingPointByTheProcessLocale) {
  const ViSession vi = instrument();
  NumericLocale german("de_DE.UTF-8");
  if (!german.ok()) GTEST_SKIP() << "no de_DE.UTF-8 locale (LOCPATH unset or localedef failed)";
  ASSERT_EQ(viPrintf(vi, vs("CALL:POW %.2fDBM;%d;%s\n"), -55.5, 1000, "1.5"), kViSuccess);
  EXPECT_EQ(lastEvent().text, "CALL:POW -55,50DBM;1000;1.5\n");
}

// ---- reads ----

TEST_F(Double, ReadsOneTokenWithinTheWidth) {
  const ViSession vi = instrument();
  struct Case {
    const char *name;
    const char *readFormat;
    std::string answer;
    std::string storedBytes;  // what lands in the buffer before the NUL the read adds
    std::string stored;       // the event's C string
  };
  const std::string big(10000, 'x');
  const std::vector<Case> cases = {
      {"stops at a space", "%s", "+0,\"No error\"\n", "+0,\"No", "+0,\"No"},
      {"skips every C white space", "%s", " \t\r\n\v\f23.5\tNEXT", "23.5", "23.5"},
      {"takes the whole answer", "%255s", "0,2.312E+01", "0,2.312E+01", "0,2.312E+01"},
      {"%5s cuts", "%5s", "ABCDEFGH", "ABCDE", "ABCDE"},
      {"%1s", "%1s", " xyz", "x", "x"},
      {"%255s stores 255 of 10000", "%255s", big, big.substr(0, 255), big.substr(0, 255)},
      {"empty", "%s", "", "", ""},
      {"all white", "%255s", "  \r\n", "", ""},
      {"embedded NUL is copied", "%255s", std::string("AB\0CD EF", 8), std::string("AB\0CD", 5),
       "AB"},
      {"non-ASCII bytes", "%s", "\xB0\xFF x", "\xB0\xFF", "\xB0\xFF"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    vd::restart();
    vd::answer("Q?\n", c.answer);
    std::vector<char> buf(10100, 'Z');
    ASSERT_EQ(viQueryf(vi, vs("Q?\n"), vs(c.readFormat), buf.data()), kViSuccess);
    EXPECT_EQ(std::string(buf.data(), c.storedBytes.size()), c.storedBytes);
    EXPECT_EQ(buf[c.storedBytes.size()], '\0');
    EXPECT_EQ(buf[c.storedBytes.size() + 1], 'Z') << "the read wrote past its NUL";
    vd::Event e = lastEvent();
    EXPECT_EQ(e.fn, vd::Fn::Queryf);
    EXPECT_EQ(e.readFormat, c.readFormat);
    EXPECT_EQ(e.answer, c.answer);
    EXPECT_EQ(e.stored, c.stored);
  }
}

TEST_F(Double, SizedReadStoresWithinTheBufferAndGivesTheCount) {
  const ViSession vi = instrument();
  struct Case {
    ViInt32 size;
    const char *answer;
    const char *stored;
  };
  const Case cases[] = {{4, "ABCDEFG", "ABC"}, {100, " AB CD", "AB"}, {1, "ABC", ""},
                        {3, "AB", "AB"}, {2, "", ""}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.size);
    vd::restart();
    vd::answer("Q?\n", c.answer);
    char buf[128];
    std::memset(buf, 'Z', sizeof buf);
    ViInt32 size = c.size;
    ASSERT_EQ(viQueryf(vi, vs("Q?\n"), vs("%#s"), &size, buf), kViSuccess);
    EXPECT_STREQ(buf, c.stored);
    EXPECT_EQ(size, static_cast<ViInt32>(std::strlen(c.stored)));
    EXPECT_EQ(buf[std::strlen(c.stored) + 1], 'Z');
  }
}

TEST_F(Double, SizedReadRefusesAnEmptyBuffer) {
  const ViSession vi = instrument();
  vd::answer("Q?\n", "ABC");
  char buf[8] = "keep";
  ViInt32 size = 0;
  EXPECT_EQ(viQueryf(vi, vs("Q?\n"), vs("%#s"), &size, buf), kViErrorUserBuf);
  EXPECT_STREQ(buf, "keep");
  ViInt32 *noSize = nullptr;
  EXPECT_EQ(viQueryf(vi, vs("Q?\n"), vs("%#s"), noSize, buf), kViErrorUserBuf);
  EXPECT_STREQ(buf, "keep");
}

TEST_F(Double, WriteArgumentsComeBeforeReadArguments) {
  const ViSession vi = instrument();
  vd::answer("CONF:7:AB?\n", "OK rest");
  char buf[16] = {};
  ViInt32 size = sizeof buf;
  ASSERT_EQ(viQueryf(vi, vs("CONF:%d:%s?\n"), vs("%#s"), 7, "AB", &size, buf), kViSuccess);
  EXPECT_STREQ(buf, "OK");
  EXPECT_EQ(size, 2);
  vd::Event e = lastEvent();
  EXPECT_EQ(e.text, "CONF:7:AB?\n");
  EXPECT_EQ(e.format, "CONF:%d:%s?\n");
  EXPECT_TRUE(e.endsWithFormatNewline);
}

TEST_F(Double, RefusesEveryOtherReadFormatAndStoresNothing) {
  const ViSession vi = instrument();
  vd::answer("Q?\n", "FIRST");
  vd::answer("Q?\n", "SECOND");
  for (const char *bad : {"%d", "%255c", "%0s", "%05s", "%-5s", "%s\n", "%s%s", " %s", "%t", "%",
                          "", "%ls", "%5.2s", "%*s", "%#5s", "%9999999999s", "%S"}) {
    SCOPED_TRACE(vd::quoted(bad));
    char buf[32] = "untouched";
    EXPECT_EQ(viQueryf(vi, vs("Q?\n"), vs(bad), buf), kViErrorNsupFmt);
    EXPECT_STREQ(buf, "untouched");
    EXPECT_EQ(lastEvent().readFormat, bad);
  }
  char buf[32];
  ASSERT_EQ(viQueryf(vi, vs("Q?\n"), vs("%255s"), buf), kViSuccess);
  EXPECT_STREQ(buf, "FIRST") << "a refused read took an answer";
}

TEST_F(Double, AnswersInOrderTheLastRepeating) {
  const ViSession vi = instrument();
  vd::answer("CALL:CONN:STAT?\n", "0");
  vd::answer("SYST:ERR?\n", "+0,\"No error\"");
  vd::answer("CALL:CONN:STAT?\n", "1 trailing text");
  vd::answer("CALL:CONN:STAT?\n", "2");
  const std::pair<const char *, const char *> queries[] = {
      {"CALL:CONN:STAT?\n", "0"}, {"SYST:ERR?\n", "+0,\"No"},  {"CALL:CONN:STAT?\n", "1"},
      {"SYST:ERR?\n", "+0,\"No"}, {"CALL:CONN:STAT?\n", "2"}, {"CALL:CONN:STAT?\n", "2"},
      {"CALL:CONN:STAT?\n", "2"}};
  for (const auto &[query, token] : queries) {
    SCOPED_TRACE(vd::quoted(query));
    char buf[256] = {};
    ASSERT_EQ(viQueryf(vi, vs(query), vs("%255s"), buf), kViSuccess);
    EXPECT_STREQ(buf, token) << "a query starts on a fresh answer";
  }
}

TEST_F(Double, AnswersByTheFormattedWrite) {
  const ViSession vi = instrument();
  vd::answer("MEAS:CHAN 5?\n", "OK");
  char buf[16] = "untouched";
  EXPECT_EQ(viQueryf(vi, vs("MEAS:CHAN %d?\n"), vs("%255s"), 4, buf), kViErrorTmo);
  EXPECT_STREQ(buf, "untouched");
  EXPECT_EQ(viQueryf(vi, vs("MEAS:CHAN %d?\n"), vs("%255s"), 5, buf), kViSuccess);
  EXPECT_STREQ(buf, "OK");
}

TEST_F(Double, UnscriptedQueryTimesOutAndStoresNothing) {
  const ViSession vi = instrument();
  char buf[16] = "untouched";
  EXPECT_EQ(viQueryf(vi, vs("FETC:DAP?\n"), vs("%255s"), buf), kViErrorTmo);
  EXPECT_STREQ(buf, "untouched");
  vd::Event e = lastEvent();
  EXPECT_EQ(e.status, kViErrorTmo);
  EXPECT_EQ(e.stored, "");
}

TEST_F(Double, RestartKeepsSessionsAndForgetsTheScript) {
  const ViSession vi = instrument();
  vd::answer("Q?\n", "A");
  vd::failOn("*CLS\n", 1, kViErrorIo);
  vd::failAt(0, kViErrorIo);
  vd::restart();
  EXPECT_EQ(vd::events().size(), 0U);
  char buf[16];
  EXPECT_EQ(viPrintf(vi, vs("*CLS\n")), kViSuccess);
  EXPECT_EQ(viQueryf(vi, vs("Q?\n"), vs("%255s"), buf), kViErrorTmo);
  EXPECT_EQ(vd::openSessions(), 1U);
  vd::restart();
  vd::failOn("*CLS\n", 1, kViErrorIo);
  EXPECT_EQ(viPrintf(vi, vs("*CLS\n")), kViErrorIo) << "occurrences count again from a restart";
  vd::reset();
  EXPECT_EQ(viPrintf(vi, vs("*CLS\n")), kViErrorInvObject);
}

// ---- faults ----

TEST_F(Double, FailsTheCallAtAPositionAndDoesNothingElse) {
  ViSession rm = 0;
  ViSession vi = 0;
  ViSession spare = 0;
  ViSession outRm = 0;
  ViSession outVi = 0;
  char buf[16];
  // Six calls, none depending on another, so that any one can fail alone.
  const std::vector<std::function<ViStatus()>> calls = {
      [&] { return viOpenDefaultRM(&outRm); },
      [&] { return viOpen(rm, vs("GPIB0::8::INSTR"), kViNoLock, 0, &outVi); },
      [&] { return viSetAttribute(vi, kViAttrTmoValue, 20000); },
      [&] { return viPrintf(vi, vs("*CLS\n")); },
      [&] { return viQueryf(vi, vs("Q?\n"), vs("%255s"), buf); },
      [&] { return viClose(spare); },
  };
  for (ViStatus fault : {kViErrorIo, kViSuccessMaxCnt}) {
    for (std::size_t position = 0; position < calls.size(); ++position) {
      SCOPED_TRACE("fault " + std::to_string(fault) + " at " + std::to_string(position));
      vd::reset();
      rm = openRm();
      vi = openInstr(rm);
      spare = openInstr(rm, "GPIB0::6::INSTR");
      vd::restart();
      vd::answer("Q?\n", "FIRST");
      vd::answer("Q?\n", "SECOND");
      vd::failAt(position, fault);
      std::strcpy(buf, "untouched");
      outRm = 99;
      outVi = 99;
      for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i](), i == position ? fault : kViSuccess) << "call " << i;
      }
      auto log = vd::events();
      ASSERT_EQ(log.size(), calls.size());
      EXPECT_EQ(log[position].status, fault);
      EXPECT_EQ(vd::openResourceManagers(), position == 0 ? 1U : 2U);
      EXPECT_EQ(vd::openSessions(), 2U + (position == 1 ? 0U : 1U) - (position == 5 ? 0U : 1U));
      EXPECT_EQ(outRm == 0, position == 0);
      EXPECT_EQ(outVi == 0, position == 1);
      EXPECT_STREQ(buf, position == 4 ? "untouched" : "FIRST");
      if (position == 4) {
        EXPECT_EQ(log[4].stored, "");
        ASSERT_EQ(viQueryf(vi, vs("Q?\n"), vs("%255s"), buf), kViSuccess);
        EXPECT_STREQ(buf, "FIRST") << "a failed query took an answer";
      }
    }
  }
}

TEST_F(Double, FailsTheNthCallWithAText) {
  const ViSession vi = instrument();
  vd::answer("SYST:ERR?\n", "+0");
  vd::failOn("*CLS\n", 2, kViErrorTmo);
  vd::failOn("SYST:ERR?\n", 3, kViSuccessTermChar);
  vd::failOn("*CLS\n", 4, kViErrorIo);
  const std::pair<const char *, ViStatus> writes[] = {
      {"*CLS\n", kViSuccess}, {"*CLS\n", kViErrorTmo}, {"*RST\n", kViSuccess},
      {"*CLS\n", kViSuccess}, {"*CLS\n", kViErrorIo},  {"*CLS\n", kViSuccess}};
  for (const auto &[text, status] : writes) {
    EXPECT_EQ(viPrintf(vi, vs(text)), status) << vd::quoted(text);
  }
  const ViStatus queries[] = {kViSuccess, kViSuccess, kViSuccessTermChar, kViSuccess};
  for (ViStatus status : queries) {
    char buf[16] = "untouched";
    EXPECT_EQ(viQueryf(vi, vs("SYST:ERR?\n"), vs("%255s"), buf), status);
    EXPECT_STREQ(buf, status == kViSuccess ? "+0" : "untouched");
  }
}

TEST_F(Double, TextFaultsCountEveryCallWithTheText) {
  // A call that fails for its own reasons still counts as an occurrence.
  const ViSession vi = instrument();
  vd::failOn("*CLS\n", 2, kViErrorIo);
  EXPECT_EQ(viPrintf(0, vs("*CLS\n")), kViErrorInvObject);
  EXPECT_EQ(viPrintf(vi, vs("%s\n"), "*CLS"), kViErrorIo);
  EXPECT_EQ(viPrintf(vi, vs("*CLS\n")), kViSuccess);
}

TEST_F(Double, FailsOpenCloseAndAttributeByName) {
  vd::failOn("viOpenDefaultRM", 1, kViErrorSystemError);
  ViSession rm = 99;
  EXPECT_EQ(viOpenDefaultRM(&rm), kViErrorSystemError);
  EXPECT_EQ(rm, 0U);
  EXPECT_EQ(vd::openResourceManagers(), 0U);
  rm = openRm();

  vd::failOn("GPIB0::5::INSTR", 1, kViErrorRsrcNfound);
  vd::setFailedOpenOut(77);
  ViSession vi = 0;
  EXPECT_EQ(viOpen(rm, vs("GPIB0::5::INSTR"), kViNoLock, 0, &vi), kViErrorRsrcNfound);
  EXPECT_EQ(vi, 77U);
  EXPECT_EQ(vd::openSessions(), 0U);
  EXPECT_EQ(viPrintf(77, vs("*CLS\n")), kViErrorInvObject);
  EXPECT_EQ(viOpen(rm, vs("GPIB0::33::INSTR"), kViNoLock, 0, &vi), kViErrorRsrcNfound);
  EXPECT_EQ(vi, 77U) << "every failed open writes the chosen value";
  vd::setFailedOpenOut(0);
  vi = openInstr(rm);

  vd::failOn("viSetAttribute", 1, kViErrorInvParameter);
  EXPECT_EQ(viSetAttribute(vi, kViAttrTmoValue, 20000), kViErrorInvParameter);
  EXPECT_EQ(viSetAttribute(vi, kViAttrTmoValue, 20000), kViSuccess);

  vd::failOn("viClose", 1, kViErrorIo);
  vd::failOn("viClose", 2, kViSuccessMaxCnt);
  EXPECT_EQ(viClose(vi), kViErrorIo);
  EXPECT_EQ(viClose(rm), kViSuccessMaxCnt);
  EXPECT_EQ(vd::openSessions(), 1U);
  EXPECT_EQ(vd::openResourceManagers(), 1U);
  EXPECT_EQ(viClose(rm), kViSuccess);
  EXPECT_EQ(vd::openSessions(), 0U);
}

// ---- the log ----

TEST_F(Double, DescribesEveryKindOfCall) {
  ViSession rm = openRm();
  ViSession vi = 0;
  ASSERT_EQ(viOpen(rm, vs("GPIB0::5::INSTR"), kViNoLock, 0, &vi), kViSuccess);
  viOpen(rm, vs("GPIB0::99::INSTR"), kViNoLock, 0, &vi);
  ASSERT_EQ(viOpen(rm, vs("GPIB0::5::INSTR"), kViNoLock, 0, &vi), kViSuccess);
  viSetAttribute(vi, kViAttrTmoValue, 20000);
  viPrintf(vi, vs("CALL:POW %.2fDBM\n"), -55.5);
  viPrintf(vi, vs("SYST:TEXT \"%s\"\\\t\x01\xE9\r\n"), "a");
  vd::answer("FETC:DAP?\n", "0,2.312E+01 more");
  char buf[256];
  viQueryf(vi, vs("FETC:DAP?\n"), vs("%255s"), buf);
  viQueryf(vi, vs("SYST:ERR?\n"), vs("%255s"), buf);
  viClose(vi);
  viClose(rm);
  viClose(rm);
  vd::failOn("viOpenDefaultRM", 2, kViSuccessTermChar);
  viOpenDefaultRM(&rm);
  const std::vector<std::string> want = {
      "openDefaultRM",
      "open \"GPIB0::5::INSTR\" mode 0 timeout 0",
      "open \"GPIB0::99::INSTR\" mode 0 timeout 0 failed -1073807343",
      "open \"GPIB0::5::INSTR\" mode 0 timeout 0",
      "setAttribute 0x3FFF001A 20000",
      "write \"CALL:POW -55.50DBM\\n\"",
      "write \"SYST:TEXT \\\"a\\\"\\\\\\t\\x01\\xE9\\r\\n\"",
      "query \"FETC:DAP?\\n\" -> \"0,2.312E+01\"",
      "query \"SYST:ERR?\\n\" failed -1073807339",
      "close instr",
      "close rm",
      "close unknown failed -1073807346",
      "openDefaultRM failed 1073676293",
  };
  EXPECT_EQ(vd::transcript(), want);
}

TEST_F(Double, TimestampsAreTakenAtEntryInOrder) {
  const ViSession vi = instrument();
  const auto ns = [] {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  };
  const std::int64_t before = ns();
  viPrintf(vi, vs("*CLS\n"));
  const std::int64_t between = ns();
  viPrintf(vi, vs("*RST\n"));
  const std::int64_t after = ns();
  auto log = vd::events();
  ASSERT_EQ(log.size(), 2U);
  EXPECT_LE(before, log[0].tNs);
  EXPECT_LE(log[0].tNs, between);
  EXPECT_LE(between, log[1].tNs);
  EXPECT_LE(log[1].tNs, after);
}

TEST_F(Double, ServesManyThreadsAtOnce) {
  constexpr int kThreads = 8;
  constexpr int kWrites = 200;
  const ViSession rm = openRm();
  std::vector<ViSession> sessions(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ViSession vi = 0;
      viOpen(rm, vs("GPIB0::5::INSTR"), kViNoLock, 0, &vi);
      sessions[t] = vi;
      for (int i = 0; i < kWrites; ++i) viPrintf(vi, vs("W %d %d\n"), t, i);
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(std::set<ViSession>(sessions.begin(), sessions.end()).size(), std::size_t{kThreads});
  std::vector<int> next(kThreads, 0);
  std::size_t writes = 0;
  for (const vd::Event &e : vd::events()) {
    if (e.fn != vd::Fn::Printf) continue;
    ++writes;
    EXPECT_EQ(e.status, kViSuccess);
    int t = -1;
    int i = -1;
    ASSERT_EQ(std::sscanf(e.text.c_str(), "W %d %d", &t, &i), 2);
    ASSERT_TRUE(t >= 0 && t < kThreads);
    EXPECT_EQ(e.session, sessions[t]);
    EXPECT_EQ(i, next[t]++) << "one thread's writes out of order";
  }
  EXPECT_EQ(writes, std::size_t{kThreads * kWrites});
}

// The library finds VISA by bare name on the loader path; every name must reach this instance.
TEST_F(Double, EveryVisaNameOnThePathIsThisInstance) {
  for (const char *name : {"libivivisa.so.7", "libvisa.so", "librsvisa.so", "libiovisa.so"}) {
    SCOPED_TRACE(name);
    const std::string path = std::string(VISA_DOUBLE_PATH) + "/" + name;
    void *lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto openRmFn = reinterpret_cast<ViOpenDefaultRMFn>(dlsym(lib, "viOpenDefaultRM"));
    ASSERT_NE(openRmFn, nullptr);
    for (const char *fn : {"viOpen", "viSetAttribute", "viClose", "viPrintf", "viQueryf"}) {
      EXPECT_NE(dlsym(lib, fn), nullptr) << fn;
    }
    // Same state, so the same instance: a session opened there shows here.
    const std::size_t before = vd::openResourceManagers();
    ViSession rm = 0;
    EXPECT_EQ(openRmFn(&rm), kViSuccess);
    EXPECT_EQ(vd::openResourceManagers(), before + 1);
    dlclose(lib);
  }
}

// ---- the scripted conversation ----

class ConversationTest : public Double {
 protected:
  void SetUp() override {
    Double::SetUp();
    rm_ = openRm();
    vi_ = openInstr(rm_);
    other_ = openInstr(rm_, "GPIB0::6::INSTR");
    vd::restart();
  }
  ViSession vi_ = 0;
  ViSession other_ = 0;
};

TEST_F(ConversationTest, AMatchingRunPasses) {
  vd::Conversation c{{"*CLS\n"},
                     {"FETC:DAP?\n", "  0,2.312E+01 trailing"},
                     {"CALL:POW -55.50DBM\n"},
                     {"SYST:ERR?\n", vd::Fail{kViErrorTmo}},
                     {"*RST\n", vd::Fail{kViSuccessMaxCnt}},
                     {"FETC:DAP?\n", "second"},
                     {"FETC:DAP?\n", vd::Fail{kViErrorIo}},
                     {"FETC:DAP?\n", "third"}};
  EXPECT_EQ(c.expected(), (std::vector<std::string>{
                              "write \"*CLS\\n\"",
                              "query \"FETC:DAP?\\n\" -> \"0,2.312E+01\"",
                              "write \"CALL:POW -55.50DBM\\n\"",
                              "query \"SYST:ERR?\\n\" failed -1073807339",
                              "write \"*RST\\n\" failed 1073676294",
                              "query \"FETC:DAP?\\n\" -> \"second\"",
                              "query \"FETC:DAP?\\n\" failed -1073807298",
                              "query \"FETC:DAP?\\n\" -> \"third\"",
                          }));
  char buf[256];
  EXPECT_EQ(viPrintf(vi_, vs("*CLS\n")), kViSuccess);
  EXPECT_EQ(viQueryf(vi_, vs("FETC:DAP?\n"), vs("%255s"), buf), kViSuccess);
  EXPECT_STREQ(buf, "0,2.312E+01");
  EXPECT_EQ(viPrintf(vi_, vs("CALL:POW %sDBM\n"), "-55.50"), kViSuccess);
  EXPECT_EQ(viQueryf(vi_, vs("SYST:ERR?\n"), vs("%255s"), buf), kViErrorTmo);
  EXPECT_EQ(viPrintf(vi_, vs("*RST\n")), kViSuccessMaxCnt);
  EXPECT_EQ(viQueryf(vi_, vs("FETC:DAP?\n"), vs("%255s"), buf), kViSuccess);
  EXPECT_STREQ(buf, "second");
  EXPECT_EQ(viQueryf(vi_, vs("FETC:DAP?\n"), vs("%255s"), buf), kViErrorIo);
  EXPECT_EQ(viQueryf(vi_, vs("FETC:DAP?\n"), vs("%255s"), buf), kViSuccess);
  EXPECT_STREQ(buf, "third");
  c.expectAllConsumed();
  EXPECT_EQ(vd::ioEvents().size(), 8U);
}

TEST_F(ConversationTest, ExpectsWhatTheLibrarysReadStores) {
  const std::string longToken(300, 'x');
  vd::Conversation c{vd::Exchange("A?\n", " " + longToken + " y", true, kViSuccess),
                     vd::Exchange("B?\n", std::string("AB\0CD", 5), true, kViSuccess)};
  EXPECT_EQ(c.expected(), (std::vector<std::string>{
                              "query \"A?\\n\" -> \"" + longToken.substr(0, 255) + "\"",
                              "query \"B?\\n\" -> \"AB\"",
                          }));
  char buf[256];
  viQueryf(vi_, vs("A?\n"), vs("%255s"), buf);
  viQueryf(vi_, vs("B?\n"), vs("%255s"), buf);
  c.expectAllConsumed();
}

TEST_F(ConversationTest, KeepsTheOpenSessions) {
  vd::Conversation c{{"*CLS\n"}};
  EXPECT_EQ(viPrintf(vi_, vs("*CLS\n")), kViSuccess);
  c.expectAllConsumed();
}

TEST_F(ConversationTest, EveryDepartureFails) {
  struct Case {
    const char *name;
    std::vector<vd::Exchange> exchanges;
    std::function<void(ViSession)> run;
    const char *message;  // a part of the one failure expected
  };
  char buf[256];
  const auto clsAndFetch = std::vector<vd::Exchange>{{"*CLS\n"}, {"FETC:DAP?\n", "1"}};
  const std::vector<Case> cases = {
      {"a missing call", clsAndFetch, [](ViSession s) { viPrintf(s, vs("*CLS\n")); },
       "transcript()"},
      {"an extra call", clsAndFetch,
       [&buf](ViSession s) {
         viPrintf(s, vs("*CLS\n"));
         viQueryf(s, vs("FETC:DAP?\n"), vs("%255s"), buf);
         viPrintf(s, vs("*CLS\n"));
       },
       "transcript()"},
      {"a wrong byte", clsAndFetch,
       [&buf](ViSession s) {
         viPrintf(s, vs("*CLS \n"));
         viQueryf(s, vs("FETC:DAP?\n"), vs("%255s"), buf);
       },
       "transcript()"},
      {"calls swapped", clsAndFetch,
       [&buf](ViSession s) {
         viQueryf(s, vs("FETC:DAP?\n"), vs("%255s"), buf);
         viPrintf(s, vs("*CLS\n"));
       },
       "transcript()"},
      {"an extra call that is not I/O", {{"*CLS\n"}},
       [](ViSession s) {
         viPrintf(s, vs("*CLS\n"));
         viSetAttribute(s, kViAttrTmoValue, 20000);
       },
       "transcript()"},
      {"a newline through an argument", {{"SYST:TEXT A\nB\n"}},
       [](ViSession s) { viPrintf(s, vs("SYST:TEXT %s\n"), "A\nB"); }, "through an argument"},
      {"no format newline", {{"*CLS"}}, [](ViSession s) { viPrintf(s, vs("*CLS")); },
       "does not end the message"},
      {"an unbounded read", {{"FETC:DAP?\n", "1"}},
       [&buf](ViSession s) { viQueryf(s, vs("FETC:DAP?\n"), vs("%s"), buf); }, "%255s"},
      {"a second session", {{"*CLS\n"}, {"*RST\n"}},
       [this](ViSession s) {
         viPrintf(s, vs("*CLS\n"));
         viPrintf(other_, vs("*RST\n"));
       },
       "the first I/O was on"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.name);
    vd::Conversation c(k.exchanges);
    k.run(vi_);
    EXPECT_NONFATAL_FAILURE(c.expectAllConsumed(), k.message);
  }
}

}  // namespace
