// The trace VISA in front of the simulated test set: the phone test plan's results and the
// simulator's own record of the conversation are the same with and without it, and its file
// holds every call with its status. Without a real VISA it fails each call, never crashes, and
// it never forwards to itself.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "visa_types.h"

namespace {

using Env = std::map<std::string, std::string>;

const std::string kTraceFolder = ZOLVANE_TRACE_FOLDER;
const std::string kTraceLibrary = ZOLVANE_TRACE_LIBRARY;
const std::string kSimFolder = ZOLVANE_SIM_FOLDER;
const std::string kSimLibrary = ZOLVANE_SIM_LIBRARY;
const std::string kPlanClient = ZOLVANE_PLAN_CLIENT;
const char *kNoDelays =
    "reg_delay=0;conn_delay=0;drop_delay=0;handoff_delay=0;meas_delay=0;answer_delay=0";

std::string slurp(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// The records of a trace file: its header line checked and left out.
std::vector<std::string> records(const std::string &text) {
  std::vector<std::string> all = lines(text);
  EXPECT_FALSE(all.empty());
  if (all.empty()) return all;
  EXPECT_EQ(all[0].rfind("# zolvane-trace 2; Zolvane trace VISA, process ", 0), 0u) << all[0];
  all.erase(all.begin());
  return all;
}

std::string scratch(const std::string &name) {
  return ::testing::TempDir() + "zolvane_trace_test_" + std::to_string(getpid()) + "_" + name;
}

struct Result {
  int exitCode = -1;
  std::string out, trace, simTrace;
};

// The plan client with exactly these variables of ours set.
Result runPlan(const Env &env) {
  const std::string out = scratch("out"), trace = scratch("trace"), sim = scratch("sim");
  std::remove(trace.c_str());
  std::remove(sim.c_str());
  std::string cmd = "env -u ZOLVANE_TRACE -u ZOLVANE_TRACE_VISA -u ZOLVANE_SIM -u ZOLVANE_SIM_PATH";
  Env all = env;
  all["ZOLVANE_SIM_OPTIONS"] = kNoDelays;
  all["ZOLVANE_SIM_TRACE"] = sim;
  if (env.count("ZOLVANE_TRACE")) all["ZOLVANE_TRACE"] = trace;
  for (const auto &[k, v] : all) cmd += " " + k + "='" + v + "'";
  cmd += " '" + kPlanClient + "' >'" + out + "' 2>&1";
  Result r;
  const int status = std::system(cmd.c_str());
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = slurp(out);
  r.trace = slurp(trace);
  r.simTrace = slurp(sim);
  return r;
}

// The trace's quoting undone: \" \\ \n \r \t \xHH.
std::string unquoted(const std::string &s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    const char c = s[++i];
    if (c == 'n') out += '\n';
    else if (c == 'r') out += '\r';
    else if (c == 't') out += '\t';
    else if (c == 'x' && i + 2 < s.size()) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else out += c;
  }
  return out;
}

// Times differ from run to run; everything else must not.
std::string withoutTimes(const std::string &text) {
  static const std::regex stamp(R"re(^\[ *[0-9]+\.[0-9]+\] )re"), seconds(R"re([0-9]+\.[0-9]+ s\b)re");
  std::string out;
  for (const std::string &l : lines(text)) {
    if (!l.empty() && l[0] == '#') continue;
    out += std::regex_replace(std::regex_replace(l, stamp, ""), seconds, "T s") + "\n";
  }
  return out;
}

const Env kTraced = {{"LD_LIBRARY_PATH", kTraceFolder},
                     {"ZOLVANE_TRACE_VISA", kSimLibrary},
                     {"ZOLVANE_TRACE", "file"}};

// The plan on the simulator without the trace, run once for the tests that compare with it.
const Result &directRun() {
  static const Result direct = runPlan({{"LD_LIBRARY_PATH", kSimFolder}});
  return direct;
}

TEST(TraceVisa, ChangesNothingAndRecordsEveryCallWithItsStatus) {
  const Result &direct = directRun();
  const Result traced = runPlan(kTraced);
  ASSERT_EQ(direct.exitCode, 0) << direct.out;
  EXPECT_EQ(traced.exitCode, direct.exitCode) << traced.out;
  EXPECT_EQ(traced.out, direct.out);
  ASSERT_FALSE(direct.simTrace.empty());
  EXPECT_EQ(withoutTimes(traced.simTrace), withoutTimes(direct.simTrace));

  // Each message the simulator received and each answer it gave is in one record of the trace,
  // in order: written text from the format and its arguments, the token the read stored.
  std::vector<std::string> received, answered;
  static const std::regex simLine(R"re(^\[ *[0-9.]+\] ([<>]) (.*)$)re");
  for (const std::string &l : lines(traced.simTrace)) {
    std::smatch m;
    if (!std::regex_match(l, m, simLine)) continue;
    const std::string text = unquoted(m[2]);
    if (m[1] == ">") received.push_back(text);
    else answered.push_back(text.substr(0, text.find_first_of(" \t")));
  }
  static const std::regex record(
      R"re(^\[ *[0-9]+\.[0-9]{6}\] ([<>=]) (vi[A-Za-z]+)\((.*)\)(?: (?:read|gives) (.*))? -> (?:VI_[A-Z_]+ )?\(0x([0-9A-F]{8})\) [0-9]+\.[0-9] us$)re");
  static const std::regex printfArgs(R"re(^[0-9]+, "(.*)\\n"(?:, "(.*)"|, (-?[0-9]+))?$)re");
  static const std::regex queryArgs(R"re(^[0-9]+, "(.*)\\n", "%255s"$)re");
  std::vector<std::string> written, read;
  const std::vector<std::string> all = records(traced.trace);
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all[0].find("# forwarding to " + kSimLibrary), 15u) << all[0];
  std::map<std::string, int> calls;
  for (std::size_t i = 1; i < all.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(all[i], m, record)) << all[i];
    EXPECT_EQ(m[5], "00000000") << all[i];  // the plan passes: every call succeeded
    ++calls[m[2]];
    const std::string args = m[3];
    std::smatch a;
    if (m[2] == "viPrintf") {
      ASSERT_TRUE(std::regex_match(args, a, printfArgs)) << all[i];
      std::string text = a[1];
      if (a[2].matched) text.replace(text.find("%s"), 2, a[2].str());
      if (a[3].matched) text.replace(text.find("%d"), 2, a[3].str());
      ASSERT_EQ(text.find('%'), std::string::npos) << all[i];
      written.push_back(unquoted(text));
    } else if (m[2] == "viQueryf") {
      ASSERT_TRUE(std::regex_match(args, a, queryArgs)) << all[i];
      written.push_back(unquoted(a[1]));
      const std::string got = m[4];
      ASSERT_GE(got.size(), 2u) << all[i];
      read.push_back(unquoted(got.substr(1, got.size() - 2)));
    }
  }
  EXPECT_EQ(written, received);
  EXPECT_EQ(read, answered);
  EXPECT_EQ(calls["viOpenDefaultRM"], 1);
  EXPECT_EQ(calls["viOpen"], 1);
  EXPECT_EQ(calls["viSetAttribute"], 1);
  EXPECT_EQ(calls["viClose"], 2);
}

// Cases where there is no real VISA to forward to, or only the trace itself: the plan fails to
// open with VI_ERROR_LIBRARY_NFOUND (no crash), and the trace says why in one line.
TEST(TraceVisa, WithoutARealVisaSaysWhyOnceAndFails) {
  struct Case {
    const char *what;
    Env env;
    const char *why;
  } cases[] = {
      {"a path that does not exist",
       {{"LD_LIBRARY_PATH", kTraceFolder}, {"ZOLVANE_TRACE_VISA", "/nonexistent/libvisa.so"}},
       "ZOLVANE_TRACE_VISA=/nonexistent/libvisa.so cannot be loaded"},
      {"the trace itself by path",
       {{"LD_LIBRARY_PATH", kTraceFolder}, {"ZOLVANE_TRACE_VISA", kTraceLibrary}},
       " is a trace VISA"},
      {"only the trace's folder on the loader path",
       {{"LD_LIBRARY_PATH", kTraceFolder}},
       "found outside the trace's folder"},
  };
  for (Case &c : cases) {
    SCOPED_TRACE(c.what);
    c.env["ZOLVANE_TRACE"] = "file";
    const Result r = runPlan(c.env);
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_EQ(r.out, "InitTester -1073807202\n");
    const std::vector<std::string> all = records(r.trace);
    ASSERT_EQ(all.size(), 2u) << r.trace;
    EXPECT_NE(all[0].find("] ! no VISA library to forward to: "), std::string::npos) << all[0];
    EXPECT_NE(all[0].find(c.why), std::string::npos) << all[0];
    EXPECT_NE(all[1].find("] = viOpenDefaultRM() -> VI_ERROR_LIBRARY_NFOUND (0xBFFF009E)"),
              std::string::npos)
        << all[1];
  }
}

// Skips itself when the names find it first, and goes on to the next folder on the path.
TEST(TraceVisa, FindsTheRealVisaBehindItsOwnFolder) {
  Env env = {{"LD_LIBRARY_PATH", kTraceFolder + ":" + kSimFolder}, {"ZOLVANE_TRACE", "file"}};
  const Result r = runPlan(env);
  EXPECT_EQ(r.exitCode, 0) << r.out;
  const std::vector<std::string> all = records(r.trace);
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all[0].rfind("# forwarding to " + kSimFolder + "/", 15), 15u) << r.trace;
}

// Every entry point without a real VISA, called in a child process so that the trace loads
// afresh: each fails (never success, never a crash), and each call is one record.
TEST(TraceVisa, EveryEntryPointFailsWithoutARealVisa) {
  const std::string trace = scratch("entry_points");
  std::remove(trace.c_str());
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setenv("ZOLVANE_TRACE_VISA", "/nonexistent/libvisa.so", 1);
    setenv("ZOLVANE_TRACE", trace.c_str(), 1);
    void *lib = dlopen(kTraceLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) _exit(90);
    auto fn = [&](const char *name) { return dlsym(lib, name); };
    ViSession s = 7;
    ViUInt32 n = 5;
    ViUInt16 u = 0;
    ViChar text[256] = "";
    ViByte bytes[8] = {};
    const ViStatus got[] = {
        reinterpret_cast<ViStatus (*)(ViSession *)>(fn("viOpenDefaultRM"))(&s),
        reinterpret_cast<ViStatus (*)(ViSession, ViConstString, ViFindList *, ViUInt32 *, ViChar *)>(fn("viFindRsrc"))(1, "?*", &s, &n, text),
        reinterpret_cast<ViStatus (*)(ViFindList, ViChar *)>(fn("viFindNext"))(1, text),
        reinterpret_cast<ViStatus (*)(ViSession, ViConstString, ViUInt16 *, ViUInt16 *)>(fn("viParseRsrc"))(1, nullptr, &u, &u),
        reinterpret_cast<ViStatus (*)(ViSession, ViConstString, ViUInt16 *, ViUInt16 *, ViChar *, ViChar *, ViChar *)>(fn("viParseRsrcEx"))(1, "GPIB0::14::INSTR", &u, &u, text, text, text),
        reinterpret_cast<ViStatus (*)(ViSession, ViConstString, ViAccessMode, ViUInt32, ViSession *)>(fn("viOpen"))(1, "GPIB0::14::INSTR", 0, 0, &s),
        reinterpret_cast<ViStatus (*)(ViObject)>(fn("viClose"))(1),
        reinterpret_cast<ViStatus (*)(ViObject, ViAttr, ViAttrState)>(fn("viSetAttribute"))(1, kViAttrTmoValue, 5),
        reinterpret_cast<ViStatus (*)(ViObject, ViAttr, void *)>(fn("viGetAttribute"))(1, kViAttrTmoValue, &n),
        reinterpret_cast<ViStatus (*)(ViObject, ViStatus, ViChar *)>(fn("viStatusDesc"))(1, kViErrorTmo, text),
        reinterpret_cast<ViStatus (*)(ViSession, ViAccessMode, ViUInt32, ViConstString, ViChar *)>(fn("viLock"))(1, 1, 0, nullptr, text),
        reinterpret_cast<ViStatus (*)(ViSession)>(fn("viUnlock"))(1),
        reinterpret_cast<ViStatus (*)(ViSession, ViEventType, ViUInt16, ViEventFilter)>(fn("viEnableEvent"))(1, 1, 1, 0),
        reinterpret_cast<ViStatus (*)(ViSession, ViEventType, ViUInt16)>(fn("viDisableEvent"))(1, 1, 1),
        reinterpret_cast<ViStatus (*)(ViSession, ViEventType, ViUInt16)>(fn("viDiscardEvents"))(1, 1, 1),
        reinterpret_cast<ViStatus (*)(ViSession, ViByte *, ViUInt32, ViUInt32 *)>(fn("viRead"))(1, bytes, sizeof bytes, &n),
        reinterpret_cast<ViStatus (*)(ViSession, const ViByte *, ViUInt32, ViUInt32 *)>(fn("viWrite"))(1, bytes, sizeof bytes, &n),
        reinterpret_cast<ViStatus (*)(ViSession, ViUInt16)>(fn("viFlush"))(1, 1),
        reinterpret_cast<ViStatus (*)(ViSession)>(fn("viClear"))(1),
        reinterpret_cast<ViStatus (*)(ViSession, ViUInt16 *)>(fn("viReadSTB"))(1, &u),
        reinterpret_cast<ViStatus (*)(ViSession, ViConstString, ...)>(fn("viPrintf"))(1, "%s %d %f %b\n", "x", 2, 3.5, 4),
        reinterpret_cast<ViStatus (*)(ViSession, ViConstString, ...)>(fn("viScanf"))(1, "%255s", text),
        reinterpret_cast<ViStatus (*)(ViSession, ViConstString, ViConstString, ...)>(fn("viQueryf"))(1, "%s\n", "%#s", "*IDN?", &n, text),
    };
    int failures = 0;
    for (ViStatus st : got) failures += st != kViErrorLibraryNfound;
    _exit(failures);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "calls that did not answer VI_ERROR_LIBRARY_NFOUND";
  const std::vector<std::string> all = records(slurp(trace));
  ASSERT_EQ(all.size(), 24u) << slurp(trace);
  EXPECT_NE(all[0].find(" ! no VISA library to forward to"), std::string::npos);
  for (std::size_t i = 1; i < all.size(); ++i)
    EXPECT_NE(all[i].find(" -> VI_ERROR_LIBRARY_NFOUND (0xBFFF009E) "), std::string::npos) << all[i];
  EXPECT_NE(all[21].find("viPrintf(1, \"%s %d %f %b\\n\", \"x\", 2, 3.5, ...)"), std::string::npos)
      << all[21];
}

// A child that loads the trace afresh with these variables and calls viWrite `count` times with
// `size` bytes each (no real VISA: each call fails but is recorded with its bytes). Its standard
// error goes to `errors`.
pid_t writer(const Env &env, int count, std::size_t size, char fill, const std::string &errors) {
  const pid_t child = fork();
  if (child != 0) return child;
  for (const auto &[k, v] : env) setenv(k.c_str(), v.c_str(), 1);
  if (!freopen(errors.c_str(), "w", stderr)) _exit(91);
  void *lib = dlopen(kTraceLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib) _exit(90);
  auto write = reinterpret_cast<ViStatus (*)(ViSession, const ViByte *, ViUInt32, ViUInt32 *)>(
      dlsym(lib, "viWrite"));
  const std::string bytes(size, fill);
  int unexpected = 0;
  for (int i = 0; i < count; ++i) {
    ViUInt32 n = 0;
    unexpected += write(1, reinterpret_cast<const ViByte *>(bytes.data()),
                        static_cast<ViUInt32>(bytes.size()), &n) != kViErrorLibraryNfound;
  }
  _exit(unexpected);
}

int waitFor(pid_t child) {
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Two processes appending 5,000-byte records to one file, and records over the cap: every line
// is whole (one process's, of the expected length), a cut line ends with the marker that says
// how much was left out.
TEST(TraceVisa, LinesOfProcessesSharingAFileNeverMix) {
  const std::string trace = scratch("shared"), errors = scratch("shared_errors");
  std::remove(trace.c_str());
  const Env env = {{"ZOLVANE_TRACE", trace}, {"ZOLVANE_TRACE_VISA", "/nonexistent/libvisa.so"}};
  struct Case {
    std::size_t size;
    int count;
    char fill;
  } cases[] = {{5000, 1500, 'a'}, {5000, 1500, 'b'}, {200000, 3, 'c'}, {65536, 2, 'd'}};
  std::vector<pid_t> children;
  for (const Case &c : cases) children.push_back(writer(env, c.count, c.size, c.fill, errors));
  for (pid_t child : children) EXPECT_EQ(waitFor(child), 0);
  // Parsed by hand: std::regex recurses per character and would overflow on these lines.
  const std::string head = "] > viWrite(1, \"", tail = "\") -> VI_ERROR_LIBRARY_NFOUND (0xBFFF009E) 0.0 us";
  const std::string cutTag = " [cut: ", cutEnd = " bytes left out]";
  std::map<char, int> whole, cutLines;
  std::size_t longest = 0;
  for (const std::string &l : lines(slurp(trace))) {
    longest = std::max(longest, l.size() + 1);
    if (l[0] == '#' || l.find("] ! no VISA library") != std::string::npos) continue;
    const std::size_t start = l.find(head);
    ASSERT_TRUE(l[0] == '[' && start != std::string::npos && start < 16) << "torn line: " << l.substr(0, 120);
    const std::string rest = l.substr(start + head.size());
    std::string bytes;
    if (rest.size() > tail.size() && rest.compare(rest.size() - tail.size(), tail.size(), tail) == 0) {
      bytes = rest.substr(0, rest.size() - tail.size());
      ASSERT_EQ(bytes.size(), 5000u) << l.substr(0, 80);
      ++whole[bytes[0]];
    } else {
      const std::size_t at = rest.rfind(cutTag);
      ASSERT_TRUE(at != std::string::npos && rest.compare(rest.size() - cutEnd.size(), cutEnd.size(), cutEnd) == 0)
          << "torn line: " << l.substr(0, 80) << " ... " << l.substr(l.size() - 80);
      bytes = rest.substr(0, at);
      const std::size_t left = std::stoul(rest.substr(at + cutTag.size()));
      // What was left out is the rest of the bytes and the record's end.
      EXPECT_EQ(bytes.size() + left, (bytes[0] == 'c' ? 200000u : 65536u) + tail.size()) << l.substr(0, 80);
      ++cutLines[bytes[0]];
    }
    ASSERT_EQ(bytes.find_first_not_of(bytes[0]), std::string::npos) << "mixed: " << l.substr(0, 80);
  }
  EXPECT_EQ(whole['a'], 1500);
  EXPECT_EQ(whole['b'], 1500);
  EXPECT_EQ(cutLines['c'], 3);
  EXPECT_EQ(cutLines['d'], 2);  // the line with its prefix is over the cap though the bytes are not
  EXPECT_LE(longest, 65536u);
}

// A trace that cannot be written (a full disk) is said once on standard error; every call is
// still forwarded and answered as without the trace.
TEST(TraceVisa, AFullDiskIsSaidOnceAndTheCallsGoOn) {
  const Result &direct = directRun();
  Env env = kTraced;
  env["ZOLVANE_TRACE"] = "/dev/full";
  std::string cmd = "env -u ZOLVANE_SIM -u ZOLVANE_SIM_TRACE ZOLVANE_SIM_OPTIONS='" +
                    std::string(kNoDelays) + "'";
  for (const auto &[k, v] : env) cmd += " " + k + "='" + v + "'";
  const std::string out = scratch("full_out"), err = scratch("full_err");
  cmd += " '" + kPlanClient + "' >'" + out + "' 2>'" + err + "'";
  const int status = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(slurp(out), direct.out);
  const std::string complaint = slurp(err);
  EXPECT_EQ(lines(complaint).size(), 1u) << complaint;
  EXPECT_NE(complaint.find("zolvane trace: cannot write the trace to /dev/full (No space left on device)"),
            std::string::npos)
      << complaint;
}

}  // namespace
