// Starting zolvane_phone_test as a user starts it (a clean environment: it finds the simulator by
// itself) and reading what it wrote: the helpers of the phone-test program's tests.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

extern char **environ;

namespace phone_test_program {

inline std::string slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::string tempPath(const std::string &name) {
  return ::testing::TempDir() + "zolvane_pt_" + std::to_string(getpid()) + "_" + name;
}

struct Outcome {
  int exitCode = -1;
  std::string out, err;
};

struct Start {
  std::string input = "/dev/null";
  std::string output;           // standard output: a file of its own unless this names one
  long long fileSizeLimit = 0;  // RLIMIT_FSIZE for the program, bytes; 0 for none
};

struct Running {
  pid_t pid = 0;
  std::string outPath, errPath;
};

// A phone that answers at once and a handoff within the band: a run in milliseconds. No station
// database: these tests are about the files named on the command line.
inline std::vector<std::string> fast(std::vector<std::string> more) {
  std::vector<std::string> a{"--sim-options",
                             "reg_delay=0;conn_delay=0;drop_delay=0;meas_delay=0;handoff_delay=0",
                             "--handoff-band", "0", "--handoff-channel", "283", "--no-db"};
  a.insert(a.end(), more.begin(), more.end());
  return a;
}

inline Running startProgram(std::vector<std::string> args, const Start &how = {}) {
  static int counter = 0;
  Running run;
  std::string base = tempPath("run" + std::to_string(counter++));
  run.outPath = base + ".out";
  run.errPath = base + ".err";
  args.insert(args.begin(), ZOLVANE_PHONE_TEST_PROGRAM);
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env;
  for (char **e = environ; *e; ++e) {
    std::string v = *e;
    if (v.rfind("ZOLVANE_", 0) != 0 && v.rfind("LD_LIBRARY_PATH=", 0) != 0) env.push_back(v);
  }
  std::vector<char *> envp;
  for (std::string &e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, how.input.c_str(), O_RDONLY, 0);
  const std::string &out = how.output.empty() ? run.outPath : how.output;
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, run.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  // A limit the program inherits: its writes past it fail with EFBIG (SIGXFSZ ignored, which
  // it inherits too), as on a disk that filled.
  rlimit had{};
  getrlimit(RLIMIT_FSIZE, &had);
  if (how.fileSizeLimit > 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit lower = had;
    lower.rlim_cur = static_cast<rlim_t>(how.fileSizeLimit);
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &lower), 0) << std::strerror(errno);
  }
  int rc = posix_spawn(&run.pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  if (how.fileSizeLimit > 0) {
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &had), 0);
  }
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(rc);
    run.pid = 0;
  }
  return run;
}

inline Outcome finish(const Running &run) {
  Outcome r;
  if (run.pid == 0) return r;
  int status = 0;
  waitpid(run.pid, &status, 0);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = slurp(run.outPath);
  r.err = slurp(run.errPath);
  std::remove(run.outPath.c_str());
  std::remove(run.errPath.c_str());
  return r;
}

inline Outcome runProgram(std::vector<std::string> args, const Start &how = {}) {
  return finish(startProgram(std::move(args), how));
}

inline std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Lines that are JSON objects, parsed; other lines (a report on the same pipe) are left out.
inline std::vector<nlohmann::json> jsonLines(const std::string &text) {
  std::vector<nlohmann::json> out;
  for (const std::string &line : lines(text)) {
    nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_object()) out.push_back(j);
  }
  return out;
}

// RFC 4180 rows: quoted fields may hold commas, quotes (doubled) and line breaks.
inline std::vector<std::vector<std::string>> csvRows(const std::string &text) {
  std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    std::string &field = rows.back().back();
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') field += text[++i];
      else if (c == '"') quoted = false;
      else field += c;
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      rows.back().emplace_back();
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      ++i;
      rows.emplace_back(1);
    } else {
      field += c;
    }
  }
  if (rows.back() == std::vector<std::string>(1)) rows.pop_back();
  return rows;
}

}  // namespace phone_test_program
