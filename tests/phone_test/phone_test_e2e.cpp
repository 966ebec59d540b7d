// End-to-end runs of zolvane_phone_test on the simulated test set: the program as a user starts
// it, with nothing on the loader path, finding the simulator by itself.
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

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

Outcome runProgram(std::vector<std::string> args, const std::vector<std::string> &extraEnv = {}) {
  static int counter = 0;
  std::string base = ::testing::TempDir() + "zolvane_phone_test_e2e_" + std::to_string(getpid()) +
                     "_" + std::to_string(counter++);
  std::string outPath = base + ".out", errPath = base + ".err";
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
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  Outcome r;
  auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(rc);
    return r;
  }
  int status = 0;
  waitpid(pid, &status, 0);
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = slurp(outPath);
  r.err = slurp(errPath);
  std::remove(outPath.c_str());
  std::remove(errPath.c_str());
  return r;
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

TEST(PhoneTestProgram, AnInstrumentTimeOutOnAMeasurementIsReportedWithItsStatus) {
  Outcome r = runProgram({"--sim-options", "timeout_on=FETC:DAP?#1;timeout_wait=0.1"});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  std::string step = rowWithNote(r.out, "Maximum power, band 0 ch 384");
  EXPECT_NE(step.find("status -1073807339"), std::string::npos) << r.out;
  EXPECT_NE(step.find(" FAIL "), std::string::npos) << r.out;
  EXPECT_NE(step.find("VI_ERROR_TMO"), std::string::npos) << step;
  // Only that reading was lost: the plan goes on and the next reading of DAP works.
  EXPECT_NE(row(r.out, "Maximum power, band 1 ch 25").find(" PASS "), std::string::npos) << r.out;
  EXPECT_EQ(count(r.out, kFailRow), 1) << r.out;
  EXPECT_NE(row(r.out, "Release test set").find(" PASS "), std::string::npos) << r.out;
}

// The resource manager stays open after the failed open, and the library closes it at unload:
// the simulator must still answer then, not crash the program on its way out.
TEST(PhoneTestProgram, ATestSetAtAnotherAddressFailsTheOpenAndSkipsTheRest) {
  Outcome r = runProgram({"--gpib", "5"});
  EXPECT_EQ(r.exitCode, 1) << r.out;
  std::string open = rowWithNote(r.out, "Open test set GPIB0::5::INSTR");
  EXPECT_NE(open.find("VI_ERROR_RSRC_NFOUND"), std::string::npos) << r.out;
  EXPECT_EQ(count(r.out, kSkipRow), 21) << r.out;
  EXPECT_NE(row(r.out, "Release test set").find(" PASS "), std::string::npos) << r.out;
}

TEST(PhoneTestProgram, BadOptionsAreRefusedWithAMessageBeforeAnythingRuns) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"--bogus"}, "unknown option --bogus"},
      {{"--band", "7"}, "--band needs a band index 0..3, not \"7\""},
      {{"--handoff-band=-1"}, "--handoff-band needs a band index 0..3"},
      {{"--loss"}, "--loss needs a path loss in dB"},
      {{"--cell-power", "-65,5"}, "--cell-power needs a power in dBm, not \"-65,5\""},
      {{"--gpib", "x"}, "--gpib needs a GPIB address 0..30"},
      {{"--real-visa", "--trace"}, "need the simulator"},
      {{"--rolop-min", "-5"}, "--rolop-min and --rolop-max go together"},
      {{"--max-power-min", "31"}, "--max-power-min is above --max-power-max"},
      {{"--real-visa=1"}, "--real-visa takes no value"},
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
  EXPECT_NE(help.out.find("--real-visa"), std::string::npos);
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
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_NE(r.out.find("through the machine's VISA"), std::string::npos) << r.out;
  EXPECT_NE(rowWithNote(r.out, "Open test set GPIB0::14::INSTR").find("VI_ERROR_LIBRARY_NFOUND"),
            std::string::npos)
      << r.out;
}

}  // namespace
