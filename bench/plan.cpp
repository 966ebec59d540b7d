#include "plan.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

namespace bench {
namespace {

// The library's waits, by its rules: 0.5 s after each ESN answer of 5 characters or fewer,
// 0.05 s after each connection poll that does not end its loop (not 1 while connecting, not 0
// while releasing), and 2.0 s after each handoff to another band.
constexpr double kRegistrationPause = 0.5;
constexpr double kConnectionPause = 0.05;
constexpr double kHandoffWait = 2.0;

std::string_view firstToken(std::string_view s) {
  const std::size_t begin = s.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  const std::size_t end = s.find_first_of(" \t", begin);
  return s.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin);
}

// Trace lines: "[    2.000853] > CALL:CONN:STAT?" for a message to the test set, "< ..." for
// its answer; other kinds ('=', '*', '!') are the VISA layer's and the phone's own.
bool readTrace(const std::string &path, PlanRun &run) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line, pendingQuery;
  bool releasing = false;
  while (std::getline(in, line)) {
    const std::size_t close = line.find("] ");
    if (line.empty() || line[0] != '[' || close == std::string::npos || line.size() < close + 4 ||
        line[close + 3] != ' ') {
      continue;
    }
    const char kind = line[close + 2];
    const std::string_view text = std::string_view(line).substr(close + 4);
    if (kind == '>') {
      const std::string_view message = text;
      if (message == "CALL:END") releasing = true;
      if (message == "*RST") releasing = false;
      if (message == "CALL:HAND") ++run.handoffs;
      pendingQuery = !message.empty() && message.back() == '?' ? std::string(message) : "";
    } else if (kind == '<' && !pendingQuery.empty()) {
      const std::string_view answer = firstToken(text);
      if (pendingQuery == "CALL:MS:REP:ESN?" && answer.size() <= 5) ++run.registrationPolls;
      if (pendingQuery == "CALL:CONN:STAT?") {
        if (releasing && answer != "0") ++run.releasePolls;
        if (!releasing && answer != "1") ++run.connectionPolls;
      }
      pendingQuery.clear();
    }
  }
  run.mandatoryS = kRegistrationPause * run.registrationPolls +
                   kConnectionPause * (run.connectionPolls + run.releasePolls) +
                   kHandoffWait * run.handoffs;
  return true;
}

}  // namespace

PlanRun runPlan(const std::string &program, const std::string &simulatorOptions) {
  PlanRun run;
  char tracePath[] = "/tmp/zolvane_bench_trace_XXXXXX";
  const int traceFd = mkstemp(tracePath);
  if (traceFd < 0) {
    run.error = "cannot create a file for the trace";
    return run;
  }
  close(traceFd);

  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child < 0) {
    run.error = "cannot start the phone-test program";
    unlink(tracePath);
    return run;
  }
  if (child == 0) {
    // The program finds the simulator itself (it re-executes with the simulator's folder on the
    // loader path); the report is not wanted here.
    setenv("ZOLVANE_SIM_OPTIONS", simulatorOptions.c_str(), 1);
    setenv("ZOLVANE_SIM_TRACE", tracePath, 1);
    unsetenv("ZOLVANE_SIM");
    const int devNull = open("/dev/null", O_WRONLY);
    if (devNull >= 0) dup2(devNull, STDOUT_FILENO);
    execl(program.c_str(), program.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  int status = 0;
  const bool waited = waitpid(child, &status, 0) == child;
  const auto end = std::chrono::steady_clock::now();
  run.ran = waited;
  run.passed = waited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  run.totalS = std::chrono::duration<double>(end - start).count();
  if (!run.passed) run.error = "the phone-test program did not pass (exit status " +
                               std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")";
  if (!readTrace(tracePath, run)) {
    run.error = "no trace of the run";
  } else if (run.handoffs == 0) {
    run.error = "the trace shows no handoff: not the whole plan, or not the trace format read here";
  }
  unlink(tracePath);
  return run;
}

}  // namespace bench
