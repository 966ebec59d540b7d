// The trace reader and the profile reader: every version of the format, and hostile input in
// tables (each refused with the line or key at fault, never a crash).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "trace_profile.h"
#include "trace_reader.h"

namespace {

using namespace zolvane::trace;

const std::string kHeader = "# zolvane-trace 2; Zolvane trace VISA, process 1, started x; times in seconds since y\n";

std::string exchanges(const Trace &t) {
  std::string out;
  for (const Exchange &e : t.exchanges)
    out += std::string(e.kind == Exchange::Write ? ">" : "<") + (e.known ? e.bytes : "?") + "|";
  return out;
}

// What the conversation was, from each version and writer; the first two lines escape '"' and
// '\' differently, the way the simulator did before the format had a version.
TEST(TraceReader, ReadsEveryVersionAndWriter) {
  struct Case {
    const char *what;
    std::string text;
    std::string conversation;
  } cases[] = {
      {"the simulator's first trace: quote and backslash as they were",
       "# Zolvane simulated test set, trace started x; times\n[    0.1] > A \"q\" \\ \\n\n[ 0.2] < +0,\"No error\"\n",
       ">A \"q\" \\ \n|<+0,\"No error\"|"},
      {"the simulator's trace now", kHeader + "[ 0.1] > A \\\"q\\\" \\\\\n[ 0.2] * event\n[ 0.3] ! no answer: VI_ERROR_TMO\n",
       ">A \"q\" \\|<?|"},
      {"the trace VISA without a header",
       "[ 0.1] > viPrintf(2, \"CALL:POW %sDBM\\n\", \"-65.00\") -> VI_SUCCESS (0x00000000) 3.2 us\n"
       "[ 0.2] < viQueryf(2, \"FETC:DAP?\\n\", \"%255s\") read \"0,2.3E+01\" -> VI_SUCCESS (0x00000000) 2.9 us\n",
       ">CALL:POW -65.00DBM|>FETC:DAP?|<0,2.3E+01|"},
      {"formats, raw writes and reads, a failed query, a cut line",
       kHeader + "[ 0.1] > viPrintf(2, \"A %d;B %5.1f;C %x %c\\nD\\n\", -3, 2.25, 255, 65) -> VI_SUCCESS (0x00000000) 1.0 us\n"
                 "[ 0.2] > viWrite(2, \"X\\\\Y\\n\") gives written 5 -> VI_SUCCESS (0x00000000) 1.0 us\n"
                 "[ 0.3] < viRead(2, 255) read \"1\\n\" -> VI_SUCCESS (0x00000000) 1.0 us\n"
                 "[ 0.4] < viQueryf(2, \"Q?\\n\", \"%255s\") -> VI_ERROR_TMO (0xBFFF0015) 1.0 us\n"
                 "[ 0.5] > viPrintf(2, \"%b\\n\", ...) -> VI_SUCCESS (0x00000000) 1.0 us\n"
                 "[ 0.6] > viWrite(2, \"ABC [cut: 9000 bytes left out]\n",
       ">A -3;B   2.2;C ff A|>D|>X\\Y|<1|>Q?|<?|>?|>?|"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Trace t;
    std::string error;
    ASSERT_TRUE(parseTrace(c.text, t, error)) << error;
    EXPECT_EQ(exchanges(t), c.conversation);
  }
}

TEST(TraceReader, RefusesHostileInputNamingTheLine) {
  struct Case {
    const char *what;
    std::string text;
    const char *error;
  } cases[] = {
      {"a newer version", "# zolvane-trace 3; future\n", "line 1: written in trace format 3"},
      {"a bad version", "# zolvane-trace x\n", "line 1: bad version"},
      {"not a record", kHeader + "hello\n", "line 2: not a trace record"},
      {"an unknown kind", "[ 0.1] ? text\n", "line 1: not a trace record"},
      {"a negative time", "[ -1.0] > A\n", "line 1: not a trace record"},
      {"an unending quote", "[ 0.1] > viWrite(2, \"abc) -> VI_SUCCESS (0x00000000) 1.0 us\n", "line 1: a quoted argument"},
      {"no status", "[ 0.1] > viWrite(2, \"abc\")\n", "line 1: no \" -> \""},
      {"a bad status code", "[ 0.1] = viClose(2) -> VI_SUCCESS (0xZZZZZZZZ) 1.0 us\n", "line 1: bad status code"},
      {"no time taken", "[ 0.1] = viClose(2) -> VI_SUCCESS (0x00000000) fast\n", "line 1: no time taken"},
      {"a line longer than any writer writes", "[ 0.1] > " + std::string(70000, 'A') + "\n", "line 1: longer than"},
      {"binary junk", std::string("\x00\xff\x01[", 4) + "\n", "line 1: not a trace record"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Trace t;
    std::string error;
    EXPECT_FALSE(parseTrace(c.text, t, error));
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
  }
  // Deep and long input within the limit: read in time linear in its size, no recursion.
  Trace t;
  std::string error;
  std::string deep = "[ 0.1] > viWrite(2, \"" + std::string(30000, '\\') + std::string(30000, '\\') +
                     "\") -> VI_SUCCESS (0x00000000) 1.0 us\n";
  std::string many;
  for (int i = 0; i < 20000; ++i) many += "[ 0.1] > viPrintf(2, \"%%%%%%%%\\n\") -> VI_SUCCESS (0x00000000) 1.0 us\n";
  EXPECT_TRUE(parseTrace(deep, t, error)) << error;
  EXPECT_EQ(t.exchanges.at(0).bytes, std::string(30000, '\\'));
  EXPECT_TRUE(parseTrace(many, t, error)) << error;
  EXPECT_EQ(t.exchanges.size(), 20000u);
  EXPECT_EQ(t.exchanges.back().bytes, "%%%%");
}

TEST(TraceReader, FormatsAWriteOnlyWhenEveryArgumentIsKnown) {
  struct Case {
    const char *format;
    std::vector<std::string> args;
    const char *bytes;  // null: cannot be reproduced
  } cases[] = {
      {"CALL:CHAN %d", {"384"}, "CALL:CHAN 384"},
      {"%s|%-6s|%.2s", {"\"a\\\"b\"", "\"x\"", "\"xyz\""}, "a\"b|x     |xy"},
      {"%*d|%.*f", {"5", "42", "3", "3.14159"}, "   42|3.142"},
      {"%e %G %o %X %%", {"1250", "0.5", "8", "255"}, "1.250000e+03 0.5 10 FF %"},
      {"%b", {"1"}, nullptr},
      {"%d", {"..."}, nullptr},
      {"%d %d", {"1"}, nullptr},
      {"%d", {"1", "2"}, nullptr},
      {"%d", {"\"1\""}, nullptr},
      {"%99999d", {"1"}, nullptr},
      {"%s", {"NULL"}, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.format);
    std::string out;
    const bool ok = formatWrite(c.format, c.args, 0, out);
    EXPECT_EQ(ok, c.bytes != nullptr) << out;
    if (c.bytes) {
      EXPECT_EQ(out, c.bytes);
    }
  }
}

const char *kProfile = R"(format = 1
runs = 3
[delays.registration]
count = 3
mean = 0.5
std = 0.1
min = 0.4
max = 0.6
[[reading]]
query = "FETC:DAP?"
band = "USC"
channel = 384
count = [3, 3]
mean = [0.0, 23.1]
std = [0.0, 0.2]
min = [0.0, 22.9]
max = [0.0, 23.3]
format = ["%.0f", "%.6E"]
[[errors]]
after = "CALL:POW -65.00DBM"
values = ["+0,\"No", "-222,\"Data"]
counts = [2, 1]
)";

TEST(Profile, LearnsWritesAndReadsItBack) {
  Trace t;
  std::string error;
  std::string text = kHeader;
  const char *dap[] = {"0,2.300000E+01", "0,2.320000E+01", "0,2.340000E+01"};
  for (const char *reading : dap)
    text += "[ 0.1] > viPrintf(2, \"CALL:BAND USC\\nCALL:CHAN 384\\nCALL:REG\\n\") -> VI_SUCCESS (0x00000000) 1.0 us\n"
            "[ 0.2] < viQueryf(2, \"CALL:MS:REP:ESN?\\n\", \"%255s\") read \"0\" -> VI_SUCCESS (0x00000000) 1.0 us\n"
            "[ 0.7] < viQueryf(2, \"CALL:MS:REP:ESN?\\n\", \"%255s\") read \"A1B2C3D4\" -> VI_SUCCESS (0x00000000) 100000.0 us\n"
            "[ 0.9] < viQueryf(2, \"FETC:DAP?\\n\", \"%255s\") read \"" + std::string(reading) + "\" -> VI_SUCCESS (0x00000000) 50000.0 us\n";
  ASSERT_TRUE(parseTrace(text, t, error)) << error;
  const Profile learned = learn({t});
  Profile p;
  ASSERT_TRUE(parseProfile(toToml(learned), p, error)) << error << toToml(learned);
  const Reading *r = p.reading("FETC:DAP?", "USC", 384, "");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->band, "USC");
  ASSERT_EQ(r->fields.size(), 2u);
  EXPECT_EQ(r->fields[1].count, 3u);
  EXPECT_NEAR(r->fields[1].mean, 23.2, 1e-9);
  EXPECT_NEAR(r->fields[1].std, 0.2, 1e-9);
  EXPECT_EQ(r->formats, (std::vector<std::string>{"%.0f", "%.6E"}));
  EXPECT_NE(p.reading("FETC:DAP?", "USPC", 25, ""), nullptr);  // the reading over every band
  EXPECT_EQ(p.reading("FETC:DAP?", "USC", 384, "UP"), nullptr);  // not under another power control
  EXPECT_NEAR(p.registration.mean, 0.7, 1e-9);  // from CALL:REG (0.1 s) until the ESN came (0.8 s)
  EXPECT_NEAR(p.measurement.mean, 0.05, 1e-9);
  ASSERT_EQ(p.answers.size(), 1u);
  EXPECT_EQ(p.answers[0].values, (std::vector<std::string>{"0", "A1B2C3D4"}));
  EXPECT_EQ(p.answers[0].counts, (std::vector<unsigned long>{3, 3}));
}

TEST(Profile, RefusesHostileInputNamingTheKey) {
  auto with = [](const std::string &from, const std::string &to) {
    std::string s = kProfile;
    s.replace(s.find(from), from.size(), to);
    return s;
  };
  struct Case {
    std::string text;
    const char *error;
  } cases[] = {
      {"format = 1 x", "line 1: "},
      {"[a]\nb = [[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[",
       "line 2: "},
      {with("format = 1", "format = 2"), "format: "},
      {with("format = [\"%.0f\", \"%.6E\"]", "format = [\"%n\", \"%.6E\"]"), "reading[0].format[0]: "},
      {with("format = [\"%.0f\", \"%.6E\"]", "format = [\"%.0f\", \"%s%s%s\"]"), "reading[0].format[1]: "},
      {with("format = [\"%.0f\", \"%.6E\"]", "format = [\"%.0f\", \"%.999f\"]"), "reading[0].format[1]: "},
      {with("min = [0.0, 22.9]", "min = [0.0, 23.9]"), "reading[0][1]: min above max"},
      {with("std = [0.0, 0.2]", "std = [0.0, -0.2]"), "reading[0][1]: std below 0"},
      {with("mean = [0.0, 23.1]", "mean = [0.0]"), "reading[0].mean: wrong length"},
      {with("mean = [0.0, 23.1]", "mean = [0.0, nan]"), "reading[0].mean[1]: not a finite number"},
      {with("count = [3, 3]", "count = [3, -3]"), "reading[0].count[1]: not a count"},
      {with("query = \"FETC:DAP?\"", "query = 5"), "reading[0].query: not a string"},
      {with("channel = 384", "channel = -1"), "reading[0].channel: not a channel"},
      {with("counts = [2, 1]", "counts = [2]"), "errors[0].counts: wrong length"},
      {with("std = 0.1", "std = \"x\""), "delays.registration.std: not a finite number"},
      {with("max = 0.6", "maxx = 0.6"), "delays.registration: needs count"},
      {"format = 1\nreading = 5\n", "reading: not an array"},
      {"format = 1\nquery = \"" + std::string(100000, 'x') + "\"\n[[answers]]\nquery = \"" + std::string(5000, 'q') +
           "\"\nvalues = []\ncounts = []\n",
       "answers[0].query: too long"},
  };
  for (const Case &c : cases) {
    Profile p;
    std::string error;
    EXPECT_FALSE(parseProfile(c.text, p, error)) << c.text.substr(0, 60);
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
  }
  Profile p;
  std::string error;
  EXPECT_TRUE(parseProfile(kProfile, p, error)) << error;
}

}  // namespace
