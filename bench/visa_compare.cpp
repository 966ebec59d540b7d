// zolvane_visa_compare: the two timed halves of bench/compare.py.
//
//   zolvane_visa_compare plan N [VISA TRACE]
//                                     the phone test's plan through Zolvane N times (VISA found
//                                     by name, as always); prints the least CPU time of a plan;
//                                     with VISA and TRACE, a replay (below) after each plan
//   zolvane_visa_compare write FILE N one trace record's write and flush, N times: its CPU time
//   zolvane_visa_compare replay VISA TRACE N [unpaced]
//                                     the calls a trace VISA recorded, made again N times
//                                     straight into the library VISA (a path); prints the least
//                                     CPU time of a replay: that library's own share of the plan;
//                                     "unpaced" makes the calls back to back
//
// They print "cpu_s <seconds>" for the plan, "replay_cpu_s <seconds>" for the replay, and exit 1
// on any failed step or call.
#include <dlfcn.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "Zolvane.h"
#include "entry_points.h"

namespace {

double cpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The plan of zolvane_phone_test with its default settings, through the public API.
int runPlan() {
  double v = 0;
  auto measure = [&](int &bad) {
    bad |= Zolvane_2K_InitFER() | Zolvane_2K_MeasFER(&v) | Zolvane_2K_AbortFER();
    bad |= Zolvane_2K_InitMaxPower(10) | Zolvane_2K_MeasMaxPower(&v) | Zolvane_2K_AbortMaxPower();
    bad |= Zolvane_2K_InitMinPower() | Zolvane_2K_MeasMinPower(&v) | Zolvane_2K_AbortMinPower();
    bad |= Zolvane_2K_InitRolop() | Zolvane_2K_MeasRolop(&v) | Zolvane_2K_AbortRolop();
  };
  int bad = Zolvane_InitTester(14) | Zolvane_ResetTester() | Zolvane_ConfigCDMA2K(0) |
            Zolvane_2K_SetChannel(384, 2) | Zolvane_2K_SetLoss(0.5) | Zolvane_2K_OpenAct() |
            Zolvane_2K_SetCellPower(-65.0) | Zolvane_2K_SetNetwork(1, 1) |
            Zolvane_2K_SyncNetwork(10) | Zolvane_SetOrig() | Zolvane_CheckConnect(5);
  measure(bad);
  bad |= Zolvane_2K_HandOff(1, 25) | Zolvane_CheckConnect(5);
  measure(bad);
  bad |= Zolvane_EndCall() | Zolvane_ReleaseTester();
  return bad;
}

// One recorded call: the entry point, its arguments as the trace shows them (numbers, and
// quoted text already unquoted), and the sessions it gave.
struct Call {
  std::string name;
  std::vector<std::string> args;
  bool text[8] = {};
  unsigned gave = 0;
  double at = 0;  // seconds since the trace started
};

bool parseArgs(const std::string &s, Call &c) {
  std::size_t i = 0;
  while (i < s.size()) {
    if (s[i] == '"') {
      std::string v;
      for (++i; i < s.size() && s[i] != '"'; ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
          v += s[i];
          continue;
        }
        char e = s[++i];
        if (e == 'n') v += '\n';
        else if (e == 'r') v += '\r';
        else if (e == 't') v += '\t';
        else if (e == 'x' && i + 2 < s.size()) {
          v += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
          i += 2;
        } else v += e;
      }
      if (i >= s.size()) return false;
      ++i;
      if (c.args.size() < 8) c.text[c.args.size()] = true;
      c.args.push_back(v);
    } else {
      std::size_t end = s.find(", ", i);
      c.args.push_back(s.substr(i, end == std::string::npos ? std::string::npos : end - i));
      i = end == std::string::npos ? s.size() : end;
    }
    if (s.compare(i, 2, ", ") == 0) i += 2;
    else if (i < s.size()) return false;
  }
  return true;
}

bool readTrace(const char *path, std::vector<Call> &calls) {
  std::ifstream in(path);
  if (!in) return false;
  static const std::regex record(R"re(^\[ *([0-9.]+)\] [<>=] (vi[A-Za-z]+)\((.*)\)(?: (?:read|gives) (.*))? -> .*$)re");
  static const std::regex gave(R"re((?:session|list) ([0-9]+))re");
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (!std::regex_match(line, m, record)) continue;
    Call c;
    c.at = std::stod(m[1]);
    c.name = m[2];
    if (!parseArgs(m[3], c)) {
      std::fprintf(stderr, "cannot read the arguments of: %s\n", line.c_str());
      return false;
    }
    std::smatch g;
    const std::string out = m[4];
    if (std::regex_search(out, g, gave)) c.gave = static_cast<unsigned>(std::stoul(g[1]));
    calls.push_back(std::move(c));
  }
  return true;
}

#define ZV_COMPARE_FIELD(name, params, args) ViStatus(*name) params = nullptr;
#define ZV_COMPARE_VFIELD(name, params, last, vname, args) ViStatus(*name)(ZV_UNPACK params, ...) = nullptr;
#define ZV_UNPACK(...) __VA_ARGS__
struct Visa {
  ZV_VISA_ENTRY_POINTS(ZV_COMPARE_FIELD, ZV_COMPARE_VFIELD)
};

bool bindVisa(void *lib, Visa &v) {
#define ZV_COMPARE_BIND(name, params, args) \
  v.name = reinterpret_cast<decltype(v.name)>(reinterpret_cast<std::uintptr_t>(dlsym(lib, #name)));
#define ZV_COMPARE_VBIND(name, params, last, vname, args) ZV_COMPARE_BIND(name, params, args)
  ZV_VISA_ENTRY_POINTS(ZV_COMPARE_BIND, ZV_COMPARE_VBIND)
  return v.viOpenDefaultRM && v.viOpen && v.viClose;
}

unsigned long number(const std::string &s) { return std::stoul(s, nullptr, 0); }

double wallSeconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

enum class Op {
  OpenDefaultRM, Open, Close, SetAttribute, GetAttribute, ParseRsrc, ParseRsrcEx, FindRsrc,
  FindNext, EnableEvent, DisableEvent, DiscardEvents, Write, Read, ReadSTB, Clear, Flush,
  Printf, PrintfText, PrintfInt, Queryf
};

// One call ready to make: everything parsed and looked up before the timing starts.
struct Step {
  Op op;
  std::size_t session = 0, gave = 0;  // slots of the session table
  unsigned long n1 = 0, n2 = 0, n3 = 0;
  const Call *call = nullptr;         // its text arguments
  double at = 0;
};

bool prepare(const std::vector<Call> &calls, std::vector<Step> &steps, std::size_t &slots) {
  static const std::map<std::string, Op> kOps = {
      {"viOpenDefaultRM", Op::OpenDefaultRM}, {"viOpen", Op::Open}, {"viClose", Op::Close},
      {"viSetAttribute", Op::SetAttribute}, {"viGetAttribute", Op::GetAttribute},
      {"viParseRsrc", Op::ParseRsrc}, {"viParseRsrcEx", Op::ParseRsrcEx},
      {"viFindRsrc", Op::FindRsrc}, {"viFindNext", Op::FindNext},
      {"viEnableEvent", Op::EnableEvent}, {"viDisableEvent", Op::DisableEvent},
      {"viDiscardEvents", Op::DiscardEvents}, {"viWrite", Op::Write}, {"viRead", Op::Read},
      {"viReadSTB", Op::ReadSTB}, {"viClear", Op::Clear}, {"viFlush", Op::Flush},
      {"viPrintf", Op::Printf}, {"viQueryf", Op::Queryf}};
  slots = 1;
  for (const Call &c : calls) {
    auto it = kOps.find(c.name);
    const auto &a = c.args;
    if (it == kOps.end() || (it->first != "viOpenDefaultRM" && a.empty()) ||
        (it->second == Op::Queryf && (a.size() != 3 || a[2] != "%255s")) ||
        (it->second == Op::Printf && a.size() > 3)) {
      std::fprintf(stderr, "zolvane_visa_compare: cannot replay a call of %s with %zu arguments\n",
                   c.name.c_str(), a.size());
      return false;
    }
    Step s{it->second};
    s.call = &c;
    s.at = c.at - calls.front().at;
    auto num = [&](std::size_t i) { return i < a.size() ? number(a[i]) : 0UL; };
    if (!a.empty() && !c.text[0]) s.session = num(0);
    if (s.op == Op::Printf && a.size() == 3) s.op = c.text[2] ? Op::PrintfText : Op::PrintfInt;
    if (s.op == Op::PrintfInt) s.n1 = static_cast<unsigned long>(std::stol(a[2]));
    else if (s.op == Op::Open) { s.n1 = num(2); s.n2 = num(3); }
    else if (s.op != Op::Printf && s.op != Op::PrintfText && s.op != Op::Queryf) {
      s.n1 = a.size() > 1 && !c.text[1] ? num(1) : 0;
      s.n2 = a.size() > 2 && !c.text[2] ? num(2) : 0;
      s.n3 = a.size() > 3 && !c.text[3] ? num(3) : 0;
    }
    s.gave = c.gave;
    slots = std::max({slots, s.session + 1, s.gave + 1});
    steps.push_back(s);
  }
  return true;
}

// Makes the calls again, at the moments they were made (the simulated phone moves on with real
// time, so a call at another moment is other work).
int replay(const Visa &v, const std::vector<Step> &steps, std::vector<ViSession> &session,
           bool paced) {
  const double start = wallSeconds();
  static char buf[4096];
  ViUInt32 n = 0;
  ViUInt16 u = 0;
  int failures = 0;
  for (const Step &s : steps) {
    const double wait = s.at - (wallSeconds() - start);
    if (paced && wait > 1e-3) {
      timespec d{static_cast<time_t>(wait), static_cast<long>((wait - static_cast<double>(static_cast<time_t>(wait))) * 1e9)};
      nanosleep(&d, nullptr);
    }
    const auto &a = s.call->args;
    const ViSession vi = session[s.session];
    ViSession out = 0;
    ViStatus st = kViSuccess;
    switch (s.op) {
      case Op::OpenDefaultRM: st = v.viOpenDefaultRM(&out); break;
      case Op::Open: st = v.viOpen(vi, a[1].c_str(), static_cast<ViAccessMode>(s.n1), static_cast<ViUInt32>(s.n2), &out); break;
      case Op::Close: st = v.viClose(vi); break;
      case Op::SetAttribute: st = v.viSetAttribute(vi, static_cast<ViAttr>(s.n1), s.n2); break;
      case Op::GetAttribute: st = v.viGetAttribute(vi, static_cast<ViAttr>(s.n1), buf); break;
      case Op::ParseRsrc: st = v.viParseRsrc(vi, a[1].c_str(), &u, &u); break;
      case Op::ParseRsrcEx: st = v.viParseRsrcEx(vi, a[1].c_str(), &u, &u, buf, buf + 256, buf + 512); break;
      case Op::FindRsrc: st = v.viFindRsrc(vi, a[1].c_str(), &out, &n, buf); break;
      case Op::FindNext: st = v.viFindNext(vi, buf); break;
      case Op::EnableEvent: st = v.viEnableEvent(vi, static_cast<ViEventType>(s.n1), static_cast<ViUInt16>(s.n2), static_cast<ViEventFilter>(s.n3)); break;
      case Op::DisableEvent: st = v.viDisableEvent(vi, static_cast<ViEventType>(s.n1), static_cast<ViUInt16>(s.n2)); break;
      case Op::DiscardEvents: st = v.viDiscardEvents(vi, static_cast<ViEventType>(s.n1), static_cast<ViUInt16>(s.n2)); break;
      case Op::Write: st = v.viWrite(vi, reinterpret_cast<const ViByte *>(a[1].data()), static_cast<ViUInt32>(a[1].size()), &n); break;
      case Op::Read: st = v.viRead(vi, reinterpret_cast<ViByte *>(buf), static_cast<ViUInt32>(std::min<unsigned long>(s.n1, sizeof buf)), &n); break;
      case Op::ReadSTB: st = v.viReadSTB(vi, &u); break;
      case Op::Clear: st = v.viClear(vi); break;
      case Op::Flush: st = v.viFlush(vi, static_cast<ViUInt16>(s.n1)); break;
      case Op::Printf: st = v.viPrintf(vi, a[1].c_str()); break;
      case Op::PrintfText: st = v.viPrintf(vi, a[1].c_str(), a[2].c_str()); break;
      case Op::PrintfInt: st = v.viPrintf(vi, a[1].c_str(), static_cast<int>(s.n1)); break;
      case Op::Queryf: st = v.viQueryf(vi, a[1].c_str(), a[2].c_str(), buf); break;
    }
    if (s.gave) session[s.gave] = out;
    failures += st < kViSuccess;
  }
  return failures;
}

int usage() {
  std::fprintf(stderr, "usage: zolvane_visa_compare plan N | replay VISA TRACE N\n");
  return 2;
}

// Loads the library VISA and the recorded calls, ready to replay.
struct Replay {
  Visa visa;
  std::vector<Call> calls;
  std::vector<Step> steps;
  std::vector<ViSession> session;
  bool load(const char *library, const char *trace) {
    void *lib = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (!lib || !bindVisa(lib, visa)) {
      std::fprintf(stderr, "zolvane_visa_compare: cannot use %s as VISA\n", library);
      return false;
    }
    if (!readTrace(trace, calls) || calls.empty()) {
      std::fprintf(stderr, "zolvane_visa_compare: no calls in %s\n", trace);
      return false;
    }
    std::size_t slots = 0;
    if (!prepare(calls, steps, slots)) return false;
    session.assign(slots, 0);
    return true;
  }
};

}  // namespace

// "plan N VISA TRACE" interleaves the plan and the replay in one process, on the one loaded
// simulator, so that both see the same machine state.
int main(int argc, char **argv) {
  if (argc < 3) return usage();
  const std::string mode = argv[1];
  if (mode == "write" && argc == 4) {
    // What the trace's write of one record costs by itself: a line of its usual length, written
    // and flushed as it does.
    std::FILE *f = std::fopen(argv[2], "a");
    if (!f) return 1;
    const int runs = std::atoi(argv[3]);
    const std::string line(100, 'x');
    const double t0 = cpuSeconds();
    for (int i = 0; i < runs; ++i) {
      std::fwrite(line.data(), 1, line.size(), f);
      std::fflush(f);
    }
    std::printf("write_cpu_s %.9f\n", (cpuSeconds() - t0) / runs);
    std::fclose(f);
    return 0;
  }
  const bool plan = mode == "plan" && (argc == 3 || argc == 5);
  const bool replayOnly = mode == "replay" && (argc == 5 || (argc == 6 && std::string(argv[5]) == "unpaced"));
  if (!plan && !replayOnly) return usage();
  const int runs = std::atoi(argv[plan ? 2 : 4]);
  Replay r;
  const bool replaying = replayOnly || argc == 5;
  if (replaying && !r.load(argv[plan ? 3 : 2], argv[plan ? 4 : 3])) return 1;
  double bestPlan = 1e30, bestReplay = 1e30;
  for (int i = 0; i < runs; ++i) {
    if (plan) {
      const double t0 = cpuSeconds();
      const int bad = runPlan();
      bestPlan = std::min(bestPlan, cpuSeconds() - t0);
      if (bad) {
        std::fprintf(stderr, "zolvane_visa_compare: a step of the plan failed\n");
        return 1;
      }
    }
    if (replaying) {
      const double t0 = cpuSeconds();
      const int failures = replay(r.visa, r.steps, r.session, argc != 6);
      bestReplay = std::min(bestReplay, cpuSeconds() - t0);
      if (failures != 0) {
        std::fprintf(stderr, "zolvane_visa_compare: %d replayed calls failed\n", failures);
        return 1;
      }
    }
  }
  if (plan) std::printf("cpu_s %.9f\n", bestPlan);
  if (replaying) std::printf("replay_cpu_s %.9f\n", bestReplay);
  return 0;
}
