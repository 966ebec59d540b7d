// Record once, replay anywhere, through the station program: the kept recordings replay their
// readings and verdicts step for step; a plan changed in one command fails naming it; two
// recordings of one run do not differ; a profile learned from 20 runs gives 20 phones whose
// readings keep within what was learned, the same for the same seed.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "trace_profile.h"

namespace {

const std::string kPhoneTest = ZOLVANE_PHONE_TEST;
const std::string kTool = ZOLVANE_TRACE_TOOL;
const std::string kSimLibrary = ZOLVANE_SIM_LIBRARY;
const std::string kTraces = ZOLVANE_TRACES;
const std::string kFast = "reg_delay=0;conn_delay=0;drop_delay=0;handoff_delay=0;meas_delay=0";
const std::string kShortHandoff = " --handoff-band 0 --handoff-channel 500";

std::string slurp(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string scratch(const std::string &name) {
  return ::testing::TempDir() + "zolvane_replay_test_" + std::to_string(getpid()) + "_" + name;
}

struct Outcome {
  int exitCode = -1;
  std::string out;
};

Outcome run(const std::string &command) {
  const std::string out = scratch("out");
  const int status = std::system((command + " >'" + out + "' 2>&1").c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out)};
}

// The station on the simulator with these settings.
Outcome station(const std::string &simOptions, const std::string &args) {
  return run("env -u ZOLVANE_SIM -u ZOLVANE_SIM_OPTIONS -u ZOLVANE_SIM_TRACE '" + kPhoneTest + "' --sim-options '" +
             simOptions + "'" + args);
}

// The station through the trace VISA, the simulator behind it: a recording.
Outcome record(const std::string &simOptions, const std::string &args, const std::string &trace) {
  std::remove(trace.c_str());
  return run("env -u ZOLVANE_SIM ZOLVANE_TRACE_VISA='" + kSimLibrary + "' ZOLVANE_SIM_OPTIONS='" + simOptions +
             "' '" + kPhoneTest + "' --real-visa --trace='" + trace + "'" + args);
}

// The step table without its time column, and with the waits the station measured (registration,
// connection) masked: they are this machine's time, not the test set's answers.
std::string steps(const std::string &out) {
  static const std::regex row(R"(^ +[0-9]+  .*)"), time(R"( +([0-9.]+ s|-)$)"),
      waited(R"([0-9]+\.[0-9]+ s( +<=))");
  std::string table;
  std::istringstream in(out);
  for (std::string l; std::getline(in, l);)
    if (std::regex_match(l, row))
      table += std::regex_replace(std::regex_replace(l, time, ""), waited, "#.## s$1") + "\n";
  return table;
}

TEST(Replay, GivesTheRecordedReadingsAndVerdictsStepForStep) {
  struct Case {
    const char *name;
    std::string args;
    int exitCode;
    bool shortForm;  // the station's --replay rather than the simulator's own setting
  } cases[] = {{"default_plan", "", 0, true}, {"failing_phone", kShortHandoff, 1, false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string trace = kTraces + "/" + c.name + ".trace";
    const Outcome replayed = c.shortForm ? station("", c.args + " --replay '" + trace + "'")
                                         : station("replay=" + trace + ";replay_speed=0", c.args);
    EXPECT_EQ(replayed.exitCode, c.exitCode) << replayed.out;
    EXPECT_EQ(steps(replayed.out), steps(slurp(kTraces + "/" + c.name + ".steps"))) << replayed.out;
    const Outcome model = station(kFast, c.args);
    EXPECT_NE(steps(model.out), steps(replayed.out)) << "the recording is not told apart from the model";
  }
}

TEST(Replay, APlanChangedInOneCommandFailsNamingIt) {
  const std::string simTrace = scratch("changed.sim");
  std::remove(simTrace.c_str());
  const Outcome r = station("replay=" + kTraces + "/failing_phone.trace;replay_speed=0;trace=" + simTrace,
                        kShortHandoff + " --cell-power -60");
  EXPECT_EQ(r.exitCode, 3) << r.out;
  const std::string why = "failing_phone.trace: call 41 (line 43): expected \"CALL:POW -65.00DBM\", came \"CALL:POW -60.00DBM\"";
  EXPECT_NE(slurp(simTrace).find(why + ": VI_ERROR_IO"), std::string::npos) << slurp(simTrace);
  EXPECT_NE(r.out.find(why), std::string::npos) << r.out;  // said once on standard error too
  EXPECT_NE(r.out.find("RESULT: ERROR (Cell power -60.00 dBm)"), std::string::npos) << r.out;
}

TEST(TraceTool, TwoRecordingsOfOneRunDoNotDiffer) {
  const std::string a = scratch("a.trace"), b = scratch("b.trace"), c = scratch("c.trace");
  const std::string options = kFast + ";seed=9";
  ASSERT_EQ(record(options, kShortHandoff, a).exitCode, 0);
  ASSERT_EQ(record(options, kShortHandoff, b).exitCode, 0);
  ASSERT_EQ(record(options, kShortHandoff + " --sid 7", c).exitCode, 0);
  Outcome same = run("'" + kTool + "' diff '" + a + "' '" + b + "'");
  EXPECT_EQ(same.exitCode, 0) << same.out;
  EXPECT_EQ(same.out, "");
  Outcome changed = run("'" + kTool + "' diff '" + a + "' '" + c + "'");
  EXPECT_EQ(changed.exitCode, 1);
  EXPECT_NE(changed.out.find("  - > viPrintf(S2, \"CALL:SID %d\\n\", 1) -> VI_SUCCESS\n"
                             "  - > viPrintf(S2, \"CALL:NID %d\\n\", 1) -> VI_SUCCESS\n"
                             "  + > viPrintf(S2, \"CALL:SID %d\\n\", 7) -> VI_SUCCESS\n"),
            std::string::npos)
      << changed.out;
  EXPECT_EQ(run("'" + kTool + "' diff '" + a + "' /nonexistent").exitCode, 2);
  Outcome shown = run("'" + kTool + "' show '" + a + "'");
  EXPECT_EQ(shown.exitCode, 0);
  EXPECT_NE(shown.out.find("viQueryf  wrote \"CALL:MS:REP:ESN?\"  read \"A1B2C3D4\"  VI_SUCCESS"), std::string::npos)
      << shown.out;
}

TEST(Profile, TwentyPhonesKeepWithinWhatTwentyRunsTaught) {
  // 20 runs in two recordings, with noise enough to learn a spread.
  const std::string r1 = scratch("learn1.trace"), r2 = scratch("learn2.trace"), profile = scratch("p.toml");
  const std::string fast = kShortHandoff + " --repeat 10";
  ASSERT_EQ(record(kFast + ";noise=0.4;max_power=25.5;seed=1", fast, r1).exitCode, 0);
  ASSERT_EQ(record(kFast + ";noise=0.4;max_power=25.5;seed=2", fast, r2).exitCode, 0);
  Outcome learned = run("'" + kTool + "' learn '" + r1 + "' '" + r2 + "' -o '" + profile + "'");
  ASSERT_EQ(learned.exitCode, 0) << learned.out;
  EXPECT_NE(learned.out.find("learned from 2 run(s)"), std::string::npos) << learned.out;

  // The recordings' delays were next to nothing, so a draw would only cost the station a poll
  // of 0.5 s each time: here they are left out of the profile and the model's own (none) stand.
  std::string text = slurp(profile);
  const std::size_t delays = text.find("[delays.connection]"), after = text.find("\n[[", delays);
  ASSERT_TRUE(delays != std::string::npos && after != std::string::npos) << text;
  text.erase(delays, after - delays);
  std::ofstream(profile) << text;

  // 20 phones on the profile (the model's own max power and noise differ), again with the same
  // seed and with another.
  const std::string p1 = scratch("p1.trace"), p2 = scratch("p2.trace"), p3 = scratch("p3.trace");
  const std::string onProfile = kFast + ";profile=" + profile;
  const std::string twenty = kShortHandoff + " --repeat 20";
  const Outcome first = record(onProfile + ";seed=3", twenty, p1);
  ASSERT_EQ(first.exitCode, 0) << first.out;
  ASSERT_EQ(record(onProfile + ";seed=3", twenty, p2).exitCode, 0);
  ASSERT_EQ(record(onProfile + ";seed=4", twenty, p3).exitCode, 0);
  EXPECT_EQ(run("'" + kTool + "' diff '" + p1 + "' '" + p2 + "'").exitCode, 0) << "same seed, other readings";
  EXPECT_EQ(run("'" + kTool + "' diff '" + p1 + "' '" + p3 + "'").exitCode, 1) << "the seed changes nothing";

  zolvane::trace::Profile taught, got;
  std::string error;
  ASSERT_TRUE(zolvane::trace::readProfile(profile, taught, error)) << error;
  zolvane::trace::Trace t;
  ASSERT_TRUE(zolvane::trace::readTrace(p1, t, error)) << error;
  got = zolvane::trace::learn({t});
  int compared = 0;
  for (const auto &r : taught.readings) {
    if (r.band.empty()) continue;
    const auto *g = got.reading(r.query, r.band, r.channel, r.control);
    ASSERT_NE(g, nullptr) << r.query;
    ASSERT_EQ(g->band, r.band);
    for (std::size_t f = 0; f < r.fields.size(); ++f) {
      SCOPED_TRACE(r.query + " " + r.band + " " + std::to_string(r.channel) + " field " + std::to_string(f));
      EXPECT_EQ(g->fields[f].count, 20u);
      EXPECT_LE(std::fabs(g->fields[f].mean - r.fields[f].mean), r.fields[f].std + 1e-9);
      EXPECT_GE(g->fields[f].min, r.fields[f].min - 1e-9);
      EXPECT_LE(g->fields[f].max, r.fields[f].max + 1e-9);
      ++compared;
    }
  }
  EXPECT_EQ(compared, 14);  // on two channels: FER (one field), max, min and Rolop power (two each)
  // The learned max power, not the model's 23.8 dBm.
  const auto *dap = got.reading("FETC:DAP?", "USC", 384, "UP");
  ASSERT_NE(dap, nullptr);
  EXPECT_GT(dap->fields[1].mean, 24.5);
}

}  // namespace
