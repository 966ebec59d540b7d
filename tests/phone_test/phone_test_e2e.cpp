// End-to-end runs of zolvane_phone_test on the simulated test set: the program as a user starts
// it, with nothing on the loader path, finding the simulator by itself.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <thread>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include "program.h"

extern char **environ;

namespace {

struct Outcome {
  int exitCode = -1;
  std::string out;
  std::string err;
  double seconds = 0.0;
};

std::string slurp(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The environment of this test without anything that would choose a VISA or set up the
// simulator, plus `extra`.
std::vector<std::string> cleanEnvironment(const std::vector<std::string> &extra) {
  std::vector<std::string> env;
  for (char **e = environ; *e; ++e) {
    std::string v = *e;
    if (v.rfind("ZOLVANE_", 0) == 0 || v.rfind("LD_LIBRARY_PATH=", 0) == 0) continue;
    env.push_back(v);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

struct Running {
  pid_t pid = 0;
  std::string outPath, errPath;
  std::chrono::steady_clock::time_point start;
};

// Starts the program with `input` (a file) as its standard input and, unless `output` names
// another (a terminal), a file of its own as its standard output.
Running startProgram(std::vector<std::string> args, const std::vector<std::string> &extraEnv = {},
                     const std::string &input = "/dev/null", const std::string &output = "") {
  static int counter = 0;
  Running run;
  std::string base = ::testing::TempDir() + "zolvane_phone_test_e2e_" + std::to_string(getpid()) +
                     "_" + std::to_string(counter++);
  run.outPath = base + ".out";
  run.errPath = base + ".err";
  args.insert(args.begin(), ZOLVANE_PHONE_TEST_PROGRAM);
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env = cleanEnvironment(extraEnv);
  std::vector<char *> envp;
  for (std::string &e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  const std::string &stdoutPath = output.empty() ? run.outPath : output;
  posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, run.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  run.start = std::chrono::steady_clock::now();
  int rc = posix_spawn(&run.pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(rc);
    run.pid = 0;
  }
  return run;
}

Outcome finish(const Running &run) {
  Outcome r;
  if (run.pid == 0) return r;
  int status = 0;
  waitpid(run.pid, &status, 0);
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - run.start).count();
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = slurp(run.outPath);
  r.err = slurp(run.errPath);
  std::remove(run.outPath.c_str());
  std::remove(run.errPath.c_str());
  return r;
}

Outcome runProgram(std::vector<std::string> args, const std::vector<std::string> &extraEnv = {},
                   const std::string &input = "/dev/null") {
  return finish(startProgram(std::move(args), extraEnv, input));
}

// The report row of a step, or "" when there is none.
std::string row(const std::string &report, const std::string &step) {
  std::istringstream in(report);
  for (std::string line; std::getline(in, line);)
    if (line.size() > 5 && line.compare(5, step.size(), step) == 0) return line;
  return "";
}

// The row of `step` and the note line under it, if any.
std::string rowWithNote(const std::string &report, const std::string &step) {
  std::string r = row(report, step);
  std::size_t at = report.find(r);
  if (r.empty() || at == std::string::npos) return r;
  std::size_t next = report.find('\n', at);
  std::size_t after = report.find('\n', next + 1);
  std::string note = report.substr(next + 1, after - next - 1);
  return note.rfind("     ", 0) == 0 ? r + "\n" + note : r;
}

int count(const std::string &text, const std::regex &re) {
  return static_cast<int>(std::distance(std::sregex_iterator(text.begin(), text.end(), re),
                                        std::sregex_iterator()));
}

const std::regex kPassRow(R"(\n +\d+  .* PASS +\d+\.\d\d s)");
const std::regex kFailRow(R"(\n +\d+  .* FAIL +\d+\.\d\d s)");
const std::regex kSkipRow(R"(\n +\d+  .* SKIP +-)");

// The report without the timing column and the first line, for comparing two runs.
std::string values(const std::string &report) {
  std::string v = std::regex_replace(report, std::regex(R"( +\d+\.\d\d s)"), "");
  return v.substr(v.find('\n'));
}

TEST(PhoneTestProgram, TheDefaultPlanPassesOnTheSimulatorAndRepeats) {
  Outcome r = runProgram({});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("on the simulated test set"), std::string::npos) << r.out;
  EXPECT_EQ(count(r.out, kPassRow), 23) << r.out;
  EXPECT_EQ(count(r.out, kFailRow) + count(r.out, kSkipRow), 0) << r.out;
  EXPECT_NE(r.out.find("Summary: 23 steps, 23 passed, 0 failed, 0 skipped"), std::string::npos);
  EXPECT_NE(r.out.find("\nRESULT: PASS\n"), std::string::npos) << r.out;
  // Values of the simulated phone, measured through the whole chain: 23.8 dBm maximum, -56.5
  // minimum, and the open-loop power for -65 dBm in each band class.
  EXPECT_TRUE(std::regex_search(row(r.out, "Maximum power, band 0 ch 384"),
                                std::regex(R"( 23\.[6-9]\d dBm )")))
      << r.out;
  EXPECT_TRUE(std::regex_search(row(r.out, "Minimum power, band 1 ch 25"),
                                std::regex(R"( -56\.[3-6]\d dBm )")))
      << r.out;
  EXPECT_TRUE(std::regex_search(row(r.out, "Rolop power, band 0 ch 384"),
                                std::regex(R"( -[78]\.\d\d dBm +-17\.50 \.\. 1\.50 dBm )")))
      << r.out;
  EXPECT_TRUE(std::regex_search(row(r.out, "Rolop power, band 1 ch 25"),
                                std::regex(R"( -1[01]\.\d\d dBm +-20\.50 \.\. -1\.50 dBm )")))
      << r.out;
  EXPECT_TRUE(std::regex_search(row(r.out, "FER, band 1 ch 25"), std::regex(R"( 0\.000 % )")))
      << r.out;
  EXPECT_LT(r.seconds, 10.0);
  EXPECT_EQ(r.err, "");

  Outcome again = runProgram({});
  EXPECT_EQ(values(again.out), values(r.out)) << "the same seed must give the same report";
}

TEST(PhoneTestProgram, AWeakPhoneFailsMaximumPowerAndTheExitStatusSaysSo) {
  std::string config = ::testing::TempDir() + "zolvane_weak_phone.conf";
  {
    std::ofstream f(config);
    f << "# a phone whose amplifier is 2 dB short\nmax_power = 21.5\n";
  }
  Outcome r = runProgram({}, {"ZOLVANE_SIM=" + config});
  std::remove(config.c_str());
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  for (const char *step : {"Maximum power, band 0 ch 384", "Maximum power, band 1 ch 25"}) {
    EXPECT_TRUE(std::regex_search(row(r.out, step),
                                  std::regex(R"( 21\.[3-6]\d dBm +23\.00 \.\. 30\.00 dBm +FAIL )")))
        << step << "\n" << r.out;
  }
  EXPECT_EQ(count(r.out, kFailRow), 2) << r.out;
  EXPECT_EQ(count(r.out, kPassRow), 21) << r.out;
  EXPECT_NE(r.out.find("RESULT: FAIL (Maximum power, band 0 ch 384; Maximum power, band 1 ch 25)"),
            std::string::npos)
      << r.out;
}

TEST(PhoneTestProgram, APhoneThatNeverRegistersTimesOutAndTheTestSetIsStillReleased) {
  std::string trace = ::testing::TempDir() + "zolvane_never_registers.trace";
  std::remove(trace.c_str());  // the simulator appends
  Outcome r = runProgram({"--reg-timeout", "1", "--sim-options", "never_register=1",
                      "--trace=" + trace});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  std::string reg = rowWithNote(r.out, "Wait for registration");
  EXPECT_TRUE(std::regex_search(reg, std::regex(R"(timed out +<= 1 s +FAIL)"))) << r.out;
  EXPECT_NE(reg.find("registration time-out: the phone did not register within 1 s (status 1)"),
            std::string::npos)
      << reg;
  for (const char *skipped : {"Originate call", "Confirm connection", "FER, band 0 ch 384",
                              "Hand off to band 1 USPC channel 25", "End call"})
    EXPECT_NE(row(r.out, skipped).find(" SKIP "), std::string::npos) << skipped << "\n" << r.out;
  EXPECT_NE(row(r.out, "Release test set").find(" PASS "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("RESULT: FAIL (Wait for registration)"), std::string::npos) << r.out;

  // The conversation shows the polls, no call attempt, and both sessions closed.
  std::string t = slurp(trace);
  std::remove(trace.c_str());
  EXPECT_GE(count(t, std::regex(R"(\] > CALL:MS:REP:ESN\?\n)")), 2) << t;
  EXPECT_EQ(t.find("CALL:ORIG"), std::string::npos) << t;
  EXPECT_NE(t.find("] = viClose session 2\n"), std::string::npos) << t;
  EXPECT_NE(t.find("] = viClose session 1\n"), std::string::npos) << t;
}

// The station failed, not the phone: ERROR, exit 3, so that the line retests the phone.
TEST(PhoneTestProgram, AnInstrumentTimeOutOnAMeasurementIsAnErrorOfTheStation) {
  Outcome r = runProgram({"--sim-options", "timeout_on=FETC:DAP?#1;timeout_wait=0.1"});
  EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
  std::string step = rowWithNote(r.out, "Maximum power, band 0 ch 384");
  EXPECT_NE(step.find("status -1073807339"), std::string::npos) << r.out;
  EXPECT_NE(step.find(" ERROR "), std::string::npos) << r.out;
  EXPECT_NE(step.find("VI_ERROR_TMO"), std::string::npos) << step;
  // Only that reading was lost: the plan goes on and the next reading of DAP works.
  EXPECT_NE(row(r.out, "Maximum power, band 1 ch 25").find(" PASS "), std::string::npos) << r.out;
  EXPECT_EQ(count(r.out, kFailRow), 0) << r.out;
  EXPECT_NE(r.out.find("RESULT: ERROR (Maximum power, band 0 ch 384)"), std::string::npos) << r.out;
  EXPECT_NE(row(r.out, "Release test set").find(" PASS "), std::string::npos) << r.out;
}

// The resource manager stays open after the failed open, and the library closes it at unload:
// the simulator must still answer then, not crash the program on its way out.
TEST(PhoneTestProgram, ATestSetAtAnotherAddressFailsTheOpenAndSkipsTheRest) {
  Outcome r = runProgram({"--gpib", "5"});
  EXPECT_EQ(r.exitCode, 3) << r.out;
  std::string open = rowWithNote(r.out, "Open test set GPIB0::5::INSTR");
  EXPECT_NE(open.find("VI_ERROR_RSRC_NFOUND"), std::string::npos) << r.out;
  EXPECT_EQ(count(r.out, kSkipRow), 21) << r.out;
  EXPECT_NE(row(r.out, "Release test set").find(" PASS "), std::string::npos) << r.out;
}

TEST(PhoneTestProgram, BadOptionsAreRefusedWithAMessageBeforeAnythingRuns) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"--bogus"}, "not expected: --bogus"},
      {{"--band", "7"}, "--band needs a band index 0..3, not \"7\""},
      {{"--handoff-band=-1"}, "--handoff-band needs a band index 0..3"},
      {{"--loss"}, "--loss: 1 required NUMBER missing"},
      {{"--cell-power", "-65,5"}, "--cell-power needs a power in dBm, -140..-10, not \"-65,5\""},
      {{"--gpib", "x"}, "--gpib needs a GPIB address 0..30"},
      {{"--real-visa", "--sim-options", "seed=2"}, "--sim-options excludes --real-visa"},
      {{"--rolop-min", "-5"}, "--rolop-min and --rolop-max go together"},
      {{"--max-power-min", "31"}, "--max-power-min is above --max-power-max"},
      {{"--repeat", "0"}, "--repeat needs a count 1..1000000, not \"0\""},
      {{"--repeat", "2", "--serials", "-"}, "--repeat excludes --serials"},
  };
  for (const auto &[args, message] : cases) {
    Outcome r = runProgram(args);
    EXPECT_EQ(r.exitCode, 2) << args.front();
    EXPECT_NE(r.err.find(message), std::string::npos) << args.front() << ": " << r.err;
    EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "") << args.front();
  }
  Outcome help = runProgram({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("Usage: zolvane_phone_test"), std::string::npos);
  for (const char *group : {"Plan:", "Test set:", "Cell and call:", "Limits:", "Records:"})
    EXPECT_NE(help.out.find(group), std::string::npos) << group << "\n" << help.out;
}

// Without the simulator the library looks for the machine's VISA, and here there is none.
TEST(PhoneTestProgram, RealVisaDoesNotUseTheSimulator) {
  for (const char *name : {"libivivisa.so.7", "libvisa.so", "librsvisa.so", "libiovisa.so"}) {
    if (void *h = dlopen(name, RTLD_LAZY)) {
      dlclose(h);
      GTEST_SKIP() << "this machine has a VISA (" << name << "); not talking to its instruments";
    }
  }
  Outcome r = runProgram({"--real-visa"});
  EXPECT_EQ(r.exitCode, 3) << r.out;
  EXPECT_NE(r.out.find("through the machine's VISA"), std::string::npos) << r.out;
  EXPECT_NE(rowWithNote(r.out, "Open test set GPIB0::14::INSTR").find("VI_ERROR_LIBRARY_NFOUND"),
            std::string::npos)
      << r.out;
}

// A phone that answers at once, and a handoff within the band (no 2 s wait): a run in
// milliseconds.
const std::vector<std::string> kFast{
    "--sim-options", "reg_delay=0;conn_delay=0;drop_delay=0;meas_delay=0;handoff_delay=0",
    "--handoff-band", "0", "--handoff-channel", "283"};

std::vector<std::string> fast(std::vector<std::string> more) {
  more.insert(more.begin(), kFast.begin(), kFast.end());
  return more;
}

std::string tempPath(const std::string &name) {
  return ::testing::TempDir() + "zolvane_e2e_" + std::to_string(getpid()) + "_" + name;
}

void write(const std::string &path, const std::string &text) { std::ofstream(path) << text; }

// Every line of a JSON Lines file, each parsed; a line that does not parse fails the test.
std::vector<nlohmann::json> records(const std::string &path) {
  std::vector<nlohmann::json> out;
  std::istringstream in(slurp(path));
  for (std::string line; std::getline(in, line);) {
    nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << "not JSON: " << line;
    out.push_back(j);
  }
  return out;
}

using phone_test_program::csvRows;

bool hasControlCharacters(const std::string &text) {
  for (unsigned char c : text)
    if ((c < 0x20 && c != '\n') || c == 0x7f) return true;
  return false;
}

TEST(PhoneTestProgram, RepeatedRunsAreRecordedAsJsonLinesAndCsvThatSurviveARoundTrip) {
  std::string results = tempPath("records.jsonl"), csv = tempPath("records.csv");
  std::string db = tempPath("records.sqlite");
  for (const std::string &f : {results, csv, db}) std::remove(f.c_str());
  const std::string serial = "SN,1 \"quoted\"";
  std::vector<std::string> args = fast({"--repeat", "2", "--results", results, "--csv", csv,
                                        "--serial", serial, "--station", "line-3", "--operator",
                                        "ana", "--db", db});
  Outcome first = runProgram(args);
  EXPECT_EQ(first.exitCode, 0) << first.out << first.err;
  EXPECT_FALSE(hasControlCharacters(first.out)) << first.out;
  EXPECT_EQ(count(first.out, std::regex(R"(\nphone \d of 2 SN,1 "quoted" PASS )")), 2) << first.out;
  // A station that fails: the phone is ERROR, and so is the step, apart from FAIL.
  Outcome second = runProgram(fast({"--results", results, "--csv", csv, "--serial", "SN2",
                                    "--db", db, "--sim-options",
                                    "timeout_on=FETC:CPOW?#1;timeout_wait=0.05"}));
  EXPECT_EQ(second.exitCode, 3) << second.out << second.err;

  std::vector<nlohmann::json> recs = records(results);
  ASSERT_EQ(recs.size(), 3u);
  std::string hash;
  for (std::size_t i = 0; i < recs.size(); ++i) {
    const nlohmann::json &r = recs[i];
    SCOPED_TRACE(r.dump());
    EXPECT_EQ(r["schema_version"], 2);
    EXPECT_EQ(r["serial"], i < 2 ? serial : "SN2");
    // Each run its own time-ordered id; the second run of a serial names the first.
    EXPECT_TRUE(std::regex_match(r["record_id"].get<std::string>(),
                                 std::regex("[0-9a-f]{8}-[0-9a-f]{4}-7[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")));
    if (i > 0) {
      EXPECT_LT(recs[i - 1]["record_id"], r["record_id"]);
    }
    EXPECT_EQ(r["attempt"], i == 1 ? 2 : 1);
    EXPECT_EQ(r["previous_record_id"], i == 1 ? recs[0]["record_id"] : nlohmann::json());
    EXPECT_TRUE(r["test_set"]["simulated"].get<bool>());
    EXPECT_EQ(r["test_set"]["resource"], "GPIB0::14::INSTR");
    EXPECT_NE(r["test_set"]["visa"].get<std::string>().find("simulator_path/libivivisa.so.7"),
              std::string::npos);
    EXPECT_EQ(r["test_set"]["simulator"]["reg_delay"], "0");
    EXPECT_FALSE(r["host"].get<std::string>().empty());
    EXPECT_EQ(r["verdict"], i < 2 ? "PASS" : "ERROR");
    EXPECT_EQ(r["plan"], "default");
    EXPECT_TRUE(std::regex_match(r["plan_hash"].get<std::string>(),
                                 std::regex("fnv1a64:[0-9a-f]{16}")));
    EXPECT_TRUE(std::regex_match(r["start"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
    ASSERT_EQ(r["steps"].size(), 23u);
    const nlohmann::json &fer = r["steps"][11];
    EXPECT_EQ(fer["name"], "FER, band 0 ch 384");
    EXPECT_EQ(fer["unit"], "%");
    EXPECT_TRUE(fer["low"].is_null());
    EXPECT_EQ(fer["high"], 0.5);
    EXPECT_TRUE(fer["value"].is_number());
    EXPECT_EQ(r["steps"][13]["verdict"], i < 2 ? "PASS" : "ERROR") << "minimum power";
    EXPECT_EQ(r["station"], i < 2 ? "line-3" : "");
    if (i == 0) hash = r["plan_hash"];
    EXPECT_EQ(r["plan_hash"], hash) << "the same plan, the same hash";
  }

  // The header once, then one row per step per phone, quoting undone.
  std::vector<std::vector<std::string>> rows = csvRows(slurp(csv));
  ASSERT_EQ(rows.size(), 1u + 3 * 23);
  EXPECT_EQ(rows[0][0], "serial");
  ASSERT_EQ(rows[0].size(), 19u);
  EXPECT_EQ(rows[0][18], "simulated");
  for (std::size_t i = 1; i < rows.size(); ++i) ASSERT_EQ(rows[i].size(), 19u) << i;
  EXPECT_EQ(rows[1][16], recs[0]["record_id"]);
  EXPECT_EQ(rows[1 + 23][17], "2") << "attempt";
  EXPECT_EQ(rows[1][18], "yes");
  EXPECT_NE(first.out.find("*** SIMULATED TEST SET"), std::string::npos) << first.out;

  // The database holds the same records: exported, they are the files again.
  Outcome exported = runProgram({"export", "--db", db});
  EXPECT_EQ(exported.exitCode, 0) << exported.err;
  EXPECT_EQ(exported.out, slurp(results));
  exported = runProgram({"export", "--db", db, "--format", "csv"});
  EXPECT_EQ(exported.out, slurp(csv));
  exported = runProgram({"export", "--db", db, "--since", recs[2]["start"]});
  EXPECT_EQ(records(results)[2].dump() + "\n", exported.out);
  EXPECT_EQ(rows[1][0], serial);
  EXPECT_EQ(rows[12][8], "FER, band 0 ch 384");
  EXPECT_EQ(rows[12][12], "0.5");
  EXPECT_EQ(rows[1 + 2 * 23 + 13][13], "ERROR");
  for (const std::string &f : {results, csv, db}) std::remove(f.c_str());
}

// Killed at any moment, the records written so far are whole and none is half there.
TEST(PhoneTestProgram, KilledInTheMiddleOfARepeatEveryRecordWrittenIsWhole) {
  std::string results = tempPath("killed.jsonl");
  std::remove(results.c_str());
  Running run = startProgram(fast({"--repeat", "100000", "--results", results}));
  auto lines = [&] {
    std::string t = slurp(results);
    return std::count(t.begin(), t.end(), '\n');
  };
  for (int i = 0; i < 2000 && lines() < 5; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(7));
  kill(run.pid, SIGKILL);
  Outcome r = finish(run);
  EXPECT_EQ(r.exitCode, 128 + SIGKILL);
  std::string text = slurp(results);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n') << "a partial line at the end";
  std::size_t written = records(results).size();
  // A phone's line is printed once its record is on the disk: the kill may fall in between.
  std::size_t finished = static_cast<std::size_t>(count(r.out, std::regex(R"(\nphone \d+ of)")));
  EXPECT_GE(written, 5u);
  EXPECT_TRUE(written == finished || written == finished + 1) << written << " " << finished;
  std::remove(results.c_str());
}

// Standard output whose reader has gone: the phone is still tested, recorded and released.
TEST(PhoneTestProgram, AClosedOutputStillRecordsThePhone) {
  std::string results = tempPath("closed_output.jsonl"), fifo = tempPath("closed_output.fifo");
  std::remove(results.c_str());
  std::remove(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread reader([&] {
    int fd = open(fifo.c_str(), O_RDONLY);
    if (fd >= 0) close(fd);
  });
  Running run =
      startProgram(fast({"--results", results, "--serial", "SN1", "--no-db"}), {}, "/dev/null", fifo);
  reader.join();
  Outcome r = finish(run);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::vector<nlohmann::json> recs = records(results);
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0]["verdict"], "PASS");
  EXPECT_EQ(recs[0]["steps"].back()["verdict"], "PASS");  // the release
  std::remove(results.c_str());
  std::remove(fifo.c_str());
}

// A signal while the call is up: the call is ended, the test set released (a second signal
// does not skip that), the phone recorded as ABORTED, exit 130.
TEST(PhoneTestProgram, AnInterruptedRunEndsTheCallReleasesAndRecordsAborted) {
  std::string results = tempPath("aborted.jsonl");
  std::remove(results.c_str());
  Running run = startProgram(
      {"--results", results, "--serial", "SN1", "--no-db", "--sim-options",
       "answer_delay=0.5;slow_on=FETC:CFER:RAT?"});
  for (int i = 0; i < 1000 && slurp(run.outPath).find("Confirm connection") == std::string::npos;
       ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  kill(run.pid, SIGINT);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  kill(run.pid, SIGTERM);
  Outcome r = finish(run);
  EXPECT_EQ(r.exitCode, 130) << r.out << r.err;
  EXPECT_NE(r.out.find("RESULT: ABORTED (interrupted)"), std::string::npos) << r.out;
  std::vector<nlohmann::json> recs = records(results);
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0]["verdict"], "ABORTED");
  const nlohmann::json &steps = recs[0]["steps"];
  ASSERT_EQ(steps.size(), 23u);
  EXPECT_EQ(steps[21]["name"], "End call");
  EXPECT_EQ(steps[21]["verdict"], "PASS");
  EXPECT_EQ(steps[22]["name"], "Release test set");
  EXPECT_EQ(steps[22]["verdict"], "PASS");
  EXPECT_EQ(steps[15]["verdict"], "SKIP") << "the handoff after the stop";
  std::remove(results.c_str());
}

// The station's own mistakes: refused before the test set is touched, one line naming the
// thing, exit 2, nothing recorded.
TEST(PhoneTestProgram, StationMistakesAreRefusedBeforeAnythingRuns) {
  std::string plan = tempPath("bad_plan.toml"), results = tempPath("never.jsonl");
  write(plan, "name = \"p\"\n[cell]\nband = 9\n");
  std::remove(results.c_str());
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"--sim-options", "x=y"}, "--sim-options: unknown key \"x\""},
      {{"--trace=/no/such/dir/t.txt"}, "--trace: cannot open /no/such/dir/t.txt for writing"},
      {{"--csv", "/no/such/dir/c.csv"}, "--csv: cannot open /no/such/dir/c.csv"},
      {{"--html", "/no/such/dir/r.html"}, "--html: cannot open /no/such/dir/r.html"},
      {{"--plan", plan}, plan + ":3: cell.band: 9 is out of range"},
      {{"--serials", "/no/such/serials.txt"}, "--serials: cannot read /no/such/serials.txt"},
      {{"--serials", "-"}, "--serials -: no serials read"},
      {{"--sim-options", "timeout_on=FETC:DAPP?"}, "no such command or query: \"FETC:DAPP?\""},
      {{"--sim-options", "slow_on=CALL:NOPE"}, "no such command or query: \"CALL:NOPE\""},
      {{"--station", "line-3"}, "records need the phone's serial"},
      {{"--serial", "S", "--db", "/no/such/dir/r.sqlite"}, "--db: database /no/such/dir/r.sqlite"},
  };
  for (const auto &[args, message] : cases) {
    std::vector<std::string> a = args;
    a.insert(a.end(), {"--results", results});
    Outcome r = runProgram(a);
    EXPECT_EQ(r.exitCode, 2) << args.front() << r.out;
    EXPECT_NE(r.err.find(message), std::string::npos) << args.front() << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(slurp(results), "") << args.front() << " recorded a phone";
  }
  Outcome r = runProgram({"--results", "/no/such/dir/r.jsonl"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("--results: cannot open /no/such/dir/r.jsonl"), std::string::npos) << r.err;
  std::remove(plan.c_str());
}

// A plan file holds what the options hold; options override it; --print-plan writes the plan in
// force, which reads back to itself. Numbers take a point whatever the locale (this test also
// runs in a German one).
TEST(PhoneTestProgram, NumbersPlanFilesAndTheirMistakes) {
  Outcome builtIn = runProgram({"--print-plan"});
  ASSERT_EQ(builtIn.exitCode, 0) << builtIn.err;
  Outcome shipped = runProgram({"--plan", ZOLVANE_DEFAULT_PLAN, "--print-plan"});
  EXPECT_EQ(shipped.out, builtIn.out) << "plans/default.toml is not the built-in plan";

  std::string plan = tempPath("plan.toml"), printed = tempPath("printed.toml");
  // Comments in the line's language (toml++ 3.3 met their letters with undefined behaviour).
  write(plan, "# Pr\xc3\xbc""fplatz 3, f\xc3\xbc""r die Nachtschicht \xe2\x80\x94 caf\xc3\xa9\n"
              "name = \"line 3\"\n[cell]\npower = -55.25\nloss = 2\n[limits]\nrolop_min = -20\n"
              "rolop_max = 0.5\n");
  Outcome over = runProgram({"--plan", plan, "--cell-power", "-60.5", "--print-plan"});
  ASSERT_EQ(over.exitCode, 0) << over.err;
  for (const char *line : {"name = 'line 3'", "power = -60.5", "loss = 2.0", "rolop_min = -20.0",
                           "rolop_max = 0.5", "band = 0"})
    EXPECT_NE(over.out.find(std::string(line) + "\n"), std::string::npos) << line << over.out;
  write(printed, over.out);
  Outcome again = runProgram({"--plan", printed, "--print-plan"});
  EXPECT_EQ(again.out, over.out) << "the printed plan does not read back to itself";
  Outcome comma = runProgram({"--cell-power", "-65,5"});
  EXPECT_EQ(comma.exitCode, 2);

  const std::vector<std::pair<std::string, std::string>> bad{
      {"[cell]\nband = \n", ":2: "},
      {"name = \"x\"\n[cell]\nbnad = 1\n", ":3: cell.bnad: unknown key"},
      {"[cell]\nchannel = \"384\"\n", ":2: cell.channel: needs a whole number"},
      {"[cell]\nloss = true\n", ":2: cell.loss: needs a number"},
      {"[timeouts]\nregistration = 5000\n", ":2: timeouts.registration: 5000 is out of range"},
      {"[limits]\nfer_max = -1.0\n", ":2: limits.fer_max: -1 is out of range"},
      {"[limits]\n\nmax_power_min = 31.0\n", ":3: limits.max_power_min is above --max-power-max"},
      {"[limits]\nrolop_max = 1.0\n", ":2: limits.rolop_max and --rolop-min go together"},
      {"gpib = 14\n", ":1: gpib: unknown key"},
      {"pr\xc3\xbc""f = 1\n", ":1: "},
      {"[cell]\nloss = 1 \xe3\x80\x80# ideographic space\n", ":2: "},
  };
  for (const auto &[text, message] : bad) {
    write(plan, text);
    Outcome r = runProgram({"--plan", plan, "--print-plan"});
    EXPECT_EQ(r.exitCode, 2) << text;
    EXPECT_NE(r.err.find(plan + message), std::string::npos) << text << "\n" << r.err;
    EXPECT_EQ(r.out, "") << text;
  }
  std::remove(plan.c_str());
  std::remove(printed.c_str());
}

TEST(PhoneTestProgram, SerialsFromStandardInputOnePhoneEach) {
  std::string input = tempPath("serials.txt"), results = tempPath("serials.jsonl");
  // A misread barcode (not UTF-8) is recorded with U+FFFD, not lost with its phone.
  write(input, "A001\n\n  B002 \r\n\xff" "9\n");
  std::remove(results.c_str());
  Outcome r = runProgram(fast({"--serials", "-", "--results", results}), {}, input);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_FALSE(hasControlCharacters(r.out)) << r.out;
  std::vector<nlohmann::json> recs = records(results);
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_EQ(recs[0]["serial"], "A001");
  EXPECT_EQ(recs[1]["serial"], "B002");
  EXPECT_EQ(recs[2]["serial"], "\xEF\xBF\xBD" "9");
  std::remove(input.c_str());
  std::remove(results.c_str());
}

#if defined(ZOLVANE_SIMULATOR_LIBRARY)
// The trace VISA in front of a "real" VISA, which here is the simulator: the phone passes as on
// the simulator, and the trace holds the conversation.
TEST(PhoneTestProgram, RealVisaWithTraceGoesThroughTheTraceVisa) {
  std::string trace = tempPath("real.trace");
  std::remove(trace.c_str());
  Outcome r = runProgram({"--real-visa", "--trace=" + trace, "--handoff-band", "0",
                          "--handoff-channel", "283"},
                         {"ZOLVANE_TRACE_VISA=" ZOLVANE_SIMULATOR_LIBRARY,
                          "ZOLVANE_SIM_OPTIONS=reg_delay=0;conn_delay=0;meas_delay=0"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("through the machine's VISA, traced ("), std::string::npos) << r.out;
  std::string t = slurp(trace);
  EXPECT_NE(t.find("*RST"), std::string::npos) << t;
  EXPECT_NE(t.find("CALL:ORIG"), std::string::npos) << t;
  std::remove(trace.c_str());
}
#endif

// On a terminal, one line redrawn in place while the phones run, cleared before each phone's line.
TEST(PhoneTestProgram, OnATerminalProgressIsOneLiveLine) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  Running run = startProgram(fast({"--repeat", "2"}), {}, "/dev/null", ptsname(master));
  std::string screen;
  char buf[4096];
  for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;)
    screen.append(buf, static_cast<std::size_t>(n));
  close(master);
  Outcome r = finish(run);
  EXPECT_EQ(r.exitCode, 0) << screen << r.err;
  const std::regex live(R"(\r\x1b\[Kphone 1 of 2 \| step 12 FER, band 0 ch 384 \| \d+\.\d s \| 0 passed)");
  EXPECT_TRUE(std::regex_search(screen, live)) << screen;
  EXPECT_TRUE(std::regex_search(screen, std::regex(R"(\| 1 passed\r\x1b\[Kphone 2 of 2 [^|]*PASS)")))
      << screen;
}


// One value from the station database, read with a connection of the test's own.
std::string dbValue(const std::string &path, const std::string &sql) {
  sqlite3 *db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  sqlite3_stmt *s = nullptr;
  std::string out = "(error)";
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK) {
    out.clear();
    while (sqlite3_step(s) == SQLITE_ROW) {
      const unsigned char *t = sqlite3_column_text(s, 0);
      out += (out.empty() ? "" : ",") + std::string(t ? reinterpret_cast<const char *>(t) : "");
    }
  }
  sqlite3_finalize(s);
  sqlite3_close(db);
  return out;
}

// Killed at any moment, the database is whole and holds every run whose record was written.
TEST(PhoneTestProgram, KilledInTheMiddleTheDatabaseHoldsEveryFinishedRun) {
  std::string results = tempPath("killed_db.jsonl"), db = tempPath("killed.sqlite");
  for (const std::string &f : {results, db, db + "-wal", db + "-shm"}) std::remove(f.c_str());
  Running run = startProgram(
      fast({"--repeat", "100000", "--serial", "K1", "--results", results, "--db", db}));
  for (int i = 0; i < 2000 && records(results).size() < 5; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  kill(run.pid, SIGKILL);
  finish(run);
  EXPECT_EQ(dbValue(db, "PRAGMA integrity_check"), "ok");
  std::vector<nlohmann::json> written = records(results);
  ASSERT_GE(written.size(), 5u);
  // The database is written first: it may hold one run more than the file, never one less.
  const std::size_t stored = std::stoul(dbValue(db, "SELECT count(*) FROM phone_run"));
  EXPECT_TRUE(stored == written.size() || stored == written.size() + 1) << stored;
  for (const nlohmann::json &r : written) {
    EXPECT_EQ(dbValue(db, "SELECT attempt FROM phone_run WHERE record_id = '" +
                              r["record_id"].get<std::string>() + "'"),
              r["attempt"].dump());
  }
  for (const std::string &f : {results, db, db + "-wal", db + "-shm"}) std::remove(f.c_str());
}

// A database that cannot be written stops the station with exit 3, saying so; the phone's record
// is in every other output. Records come back in with import, each once.
TEST(PhoneTestProgram, ALockedDatabaseStopsTheStationAndImportsAreIdempotent) {
  std::string results = tempPath("locked.jsonl"), csv = tempPath("locked.csv");
  std::string db = tempPath("locked.sqlite"), other = tempPath("imported.sqlite");
  for (const std::string &f : {results, csv, db, other}) std::remove(f.c_str());
  Outcome made = runProgram(fast({"--serial", "L1", "--db", db, "--results", results}));
  ASSERT_EQ(made.exitCode, 0) << made.err;
  sqlite3 *holder = nullptr;
  sqlite3_open(db.c_str(), &holder);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  Outcome r = runProgram(fast({"--serials", "-", "--db", db, "--db-timeout", "0.2", "--results",
                               results, "--csv", csv}),
                         {}, [&] {
                           std::string in = tempPath("locked_serials.txt");
                           write(in, "L1\nL2\n");
                           return in;
                         }());
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
  EXPECT_NE(r.err.find("locked past the busy time-out"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Not tested: the serials still to be scanned"), std::string::npos) << r.err;
  std::vector<nlohmann::json> recs = records(results);
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[1]["serial"], "L1");
  EXPECT_EQ(recs[1]["attempt"], 2) << "read while the database was locked";
  EXPECT_EQ(csvRows(slurp(csv)).size(), 1u + 23);
  EXPECT_EQ(dbValue(db, "SELECT count(*) FROM phone_run"), "1");

  // Into another database, twice, with a version-1 record: each stored once.
  std::string v1 = tempPath("v1.jsonl");
  write(v1, R"({"schema_version": 1, "serial": "OLD", "verdict": "FAIL", "steps": []})" "\n");
  for (const char *expected : {"2 records, 2 new", "2 records, 0 new"}) {
    Outcome imported = runProgram({"import", results, "--db", other});
    EXPECT_EQ(imported.exitCode, 0) << imported.err;
    EXPECT_NE(imported.out.find(expected), std::string::npos) << imported.out;
  }
  for (int i = 0; i < 2; ++i) EXPECT_EQ(runProgram({"import", v1, "--db", other}).exitCode, 0);
  EXPECT_EQ(dbValue(other, "SELECT count(*) FROM phone_run"), "3");
  // A file with a bad line is left out whole, and says where.
  write(v1, R"({"schema_version": 1, "serial": "NEW", "verdict": "PASS"})" "\n{\"schema_version\": 3}\n");
  Outcome bad = runProgram({"import", v1, "--db", other});
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_NE(bad.err.find(v1 + ":2: unknown schema_version 3"), std::string::npos) << bad.err;
  EXPECT_EQ(dbValue(other, "SELECT count(*) FROM phone_run"), "3");
  for (const std::string &f : {results, csv, db, other, v1}) std::remove(f.c_str());
}

// The station stops when it, not the phone, is at fault, and names the phones it did not test.
TEST(PhoneTestProgram, AStationThatKeepsFailingStopsAndListsTheUntestedSerials) {
  std::string serials = tempPath("station_errors.txt");
  write(serials, "A1\nA2\nA3\nA4\nA5\n");
  const struct {
    std::vector<std::string> args;
    int phones;
    const char *why, *untested;
  } cases[] = {
      {fast({"--sim-options", "timeout_on=FETC:DAP?", "--max-station-errors", "2"}), 2,
       "2 phones in a row were ERROR: the station, not the phones, needs attention",
       "Not tested: A3 A4 A5"},
      {{"--real-visa"}, 1, "the machine has no VISA library", "Not tested: A2 A3 A4 A5"},
  };
  for (const auto &c : cases) {
    if (void *visa = c.args.front() == "--real-visa" ? dlopen("libivivisa.so.7", RTLD_LAZY) : nullptr) {
      dlclose(visa);  // a machine with a VISA: its instruments are not ours to talk to
      continue;
    }
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--serials", serials, "--no-db"});
    Outcome r = runProgram(args);
    EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
    EXPECT_EQ(count(r.out, std::regex(R"(\nphone \d of 5 A\d ERROR)")), c.phones) << r.out;
    EXPECT_NE(r.err.find(c.why), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.untested), std::string::npos) << r.err;
  }
  // Interrupted by a PASS, the count starts again.
  write(serials, "A1\nA2\n");
  Outcome r = runProgram(fast({"--sim-options", "timeout_on=FETC:DAP?#1", "--serials", serials,
                               "--max-station-errors", "2", "--no-db"}));
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_EQ(r.err.find("the station stopped"), std::string::npos) << r.err;
  std::remove(serials.c_str());
}

// The plan hashes the READMEs show for the default plan are the one the program prints.
TEST(PhoneTestProgram, TheReadmesShowThePlanHashTheProgramPrints) {
  // A test set at another address: the header is printed, the open fails at once.
  Outcome r = runProgram({"--repeat", "2", "--no-db", "--max-station-errors", "1",
                          "--sim-options", "address=15"});
  std::smatch printed;
  ASSERT_TRUE(std::regex_search(r.out, printed, std::regex(R"(Plan "default" \((fnv1a64:[0-9a-f]{16})\))")))
      << r.out;
  std::string root = ZOLVANE_DEFAULT_PLAN;
  root.resize(root.size() - std::string("phone_test/plans/default.toml").size());
  for (const char *readme : {"README.md", "phone_test/README.md"}) {
    const std::string text = slurp(root + readme);
    const std::regex hash("fnv1a64:[0-9a-f]{16}");
    ASSERT_GT(count(text, hash), 0) << readme;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), hash); it != std::sregex_iterator();
         ++it)
      EXPECT_EQ(it->str(), printed[1].str()) << readme;
  }
}

}  // namespace
