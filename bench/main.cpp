// zolvane_bench: what the library adds to each operation, and to a whole phone test.
//
// The library finds VISA the way it does everywhere, by name on the loader path, so the program
// re-executes itself once with LD_LIBRARY_PATH starting at the null VISA's folder (built beside
// it). The whole-plan part runs the zolvane_phone_test program, which binds the simulated test
// set the same way by itself.
//
// Google Benchmark's own options apply (--benchmark_min_time, --benchmark_repetitions,
// --benchmark_filter...); --zolvane_plan_runs=N runs the whole plan N times (0: not at all), and
// --zolvane_plan_options="key=value;..." gives the simulator other settings than zero delays.
// The exit status is 1 when an operation failed, made other VISA calls than its steps need or
// allocated, or the plan did not pass; the timing goals are reported, not enforced, since they
// depend on the machine's load.
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "micro.h"
#include "plan.h"

namespace {

constexpr const char *kReexecMark = "ZOLVANE_BENCH_VISA";
constexpr const char *kPlanRunsFlag = "--zolvane_plan_runs=";
constexpr const char *kPlanOptionsFlag = "--zolvane_plan_options=";
constexpr int kDefaultPlanRuns = 3;

// Runs this program again with `folder` first on the loader path; returns only on failure.
void reexecWith(const char *folder, const std::vector<char *> &argv) {
  std::string path = folder;
  if (const char *old = std::getenv("LD_LIBRARY_PATH"); old != nullptr && *old != '\0') {
    path += ':';
    path += old;
  }
  setenv("LD_LIBRARY_PATH", path.c_str(), 1);
  setenv(kReexecMark, folder, 1);
  std::vector<char *> args = argv;
  args.push_back(nullptr);
  execv("/proc/self/exe", args.data());
  std::perror("zolvane_bench: re-executing with the VISA folder on the loader path");
}

bool onLoaderPath(const char *folder) {
  const char *mark = std::getenv(kReexecMark);
  return mark != nullptr && std::strcmp(mark, folder) == 0;
}

// Keeps what the console shows and the figures the summary needs: the fastest of the
// repetitions when there are some (the one least disturbed by the rest of the machine), else
// the one run.
class Collector : public benchmark::ConsoleReporter {
 public:
  struct Figures {
    double ns = 0.0;
    double visaCalls = 0.0;
    double allocations = 0.0;
  };
  std::map<std::string, std::map<std::string, Figures>> aggregates;
  std::map<std::string, Figures> single;
  std::vector<std::string> failed;

  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs) {
      const std::string &name = r.run_name.function_name;
      if (r.error_occurred) {
        failed.push_back(name + ": " + r.error_message);
        continue;
      }
      Figures f;
      f.ns = r.GetAdjustedRealTime();
      if (auto c = r.counters.find("visa_calls"); c != r.counters.end()) f.visaCalls = c->second;
      if (auto c = r.counters.find("allocs"); c != r.counters.end()) f.allocations = c->second;
      if (r.run_type == Run::RT_Aggregate) {
        aggregates[name][r.aggregate_name] = f;
      } else {
        single[name] = f;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  bool find(const std::string &name, Figures &out) const {
    if (auto a = aggregates.find(name); a != aggregates.end()) {
      for (const char *which : {"min", "median"}) {
        if (auto f = a->second.find(which); f != a->second.end()) {
          out = f->second;
          return true;
        }
      }
    }
    if (auto s = single.find(name); s != single.end()) {
      out = s->second;
      return true;
    }
    return false;
  }
};

const char *verdict(bool met) { return met ? "met" : "MISSED"; }

// Returns whether every deterministic check passed.
bool printSummary(bench::Summary &summary, const Collector &collector) {
  bool sound = true;
  std::printf("\n== Per operation, against the null VISA: ns per operation; the baselines make "
              "the same VISA calls\n   directly, with every text ready (bare) or converting "
              "the numbers themselves (converting)\n");
  std::printf("%-30s %6s %8s %8s %6s %8s %10s %6s %8s %6s\n", "operation", "calls", "library",
              "bare", "ratio", "ns/call", "converting", "ratio", "ns/call", "allocs");
  double worstRatio = 0.0, worstOverhead = -1e300, heapInLoops = 0.0;
  double worstRatioConverting = 0.0, worstOverheadConverting = -1e300;
  bool timedAll = true;
  for (bench::Timing &t : summary.timed) {
    Collector::Figures lib, base, conv;
    t.haveLibrary = collector.find(t.name + "/library", lib);
    t.haveBaseline = collector.find(t.name + "/baseline", base);
    const bool haveConverting = t.converts && collector.find(t.name + "/baseline_converting", conv);
    if (!t.haveLibrary || !t.haveBaseline || (t.converts && !haveConverting)) {
      timedAll = false;
      continue;
    }
    t.libraryNs = lib.ns;
    t.baselineNs = base.ns;
    t.convertingNs = t.converts ? conv.ns : base.ns;
    t.visaCalls = lib.visaCalls;
    t.allocations = lib.allocations;
    const double ratio = t.libraryNs / t.baselineNs;
    const double perCall = (t.libraryNs - t.baselineNs) / t.visaCalls;
    const double ratioConverting = t.libraryNs / t.convertingNs;
    const double perCallConverting = (t.libraryNs - t.convertingNs) / t.visaCalls;
    worstRatio = std::max(worstRatio, ratio);
    worstOverhead = std::max(worstOverhead, perCall);
    worstRatioConverting = std::max(worstRatioConverting, ratioConverting);
    worstOverheadConverting = std::max(worstOverheadConverting, perCallConverting);
    heapInLoops += t.allocations;
    if (lib.visaCalls != base.visaCalls || (t.converts && lib.visaCalls != conv.visaCalls)) {
      std::printf("  %s: the library made %.2f VISA calls per operation, the baseline %.2f\n",
                  t.name.c_str(), lib.visaCalls, base.visaCalls);
      sound = false;
    }
    if (t.converts) {
      std::printf("%-30s %6.0f %8.1f %8.1f %6.3f %8.1f %10.1f %6.3f %8.1f %6.2f\n", t.what.c_str(),
                  t.visaCalls, t.libraryNs, t.baselineNs, ratio, perCall, t.convertingNs,
                  ratioConverting, perCallConverting, t.allocations);
    } else {
      std::printf("%-30s %6.0f %8.1f %8.1f %6.3f %8.1f %10s %6s %8s %6.2f\n", t.what.c_str(),
                  t.visaCalls, t.libraryNs, t.baselineNs, ratio, perCall, "(same)", "", "",
                  t.allocations);
    }
  }

  for (const std::string &name : summary.baselineMismatches) {
    std::printf("  %s: a baseline does not make the very calls the library makes\n",
                name.c_str());
    sound = false;
  }
  if (summary.baselineMismatches.empty() && !summary.timed.empty()) {
    std::printf("  (each baseline made the very calls the library made: the same functions, "
                "sessions, bytes and read formats)\n");
  }

  std::printf("\n== VISA calls per operation: made / minimum its steps need\n");
  std::printf("%-40s %9s %9s %9s %7s %7s\n", "operation", "viPrintf", "viQueryf", "session",
              "allocs", "status");
  unsigned mismatches = 0, failures = 0;
  std::uint64_t heapInOperations = 0;
  for (const bench::CallCount &c : summary.calls) {
    if (!c.matches()) ++mismatches;
    if (c.status != 0) ++failures;
    heapInOperations += c.allocations;
    std::printf("%-40s %4llu/%-4llu %4llu/%-4llu %4llu/%-4llu %7llu %7d%s\n", c.what.c_str(),
                static_cast<unsigned long long>(c.sends),
                static_cast<unsigned long long>(c.minimumSends),
                static_cast<unsigned long long>(c.queries),
                static_cast<unsigned long long>(c.minimumQueries),
                static_cast<unsigned long long>(c.session),
                static_cast<unsigned long long>(c.minimumSession),
                static_cast<unsigned long long>(c.allocations), c.status,
                c.matches() ? "" : "  <- not the minimum");
  }

  std::printf("\n== Polling against an instant VISA: time past the limit\n");
  std::printf("%-44s %9s %10s %10s %9s %6s %7s\n", "operation", "limit ms", "elapsed ms",
              "overshoot", "bound ms", "polls", "status");
  bool overshootMet = true;
  for (const bench::Overshoot &o : summary.overshoots) {
    const bool within = o.overshootMs() >= 0.0 && o.overshootMs() <= o.boundMs;
    overshootMet = overshootMet && within;
    heapInOperations += o.allocations;
    if (o.status != o.expectedStatus) ++failures;
    std::printf("%-44s %9.0f %10.2f %10.2f %9.0f %6llu %7d\n", o.what.c_str(), o.limitMs,
                o.elapsedMs, o.overshootMs(), o.boundMs, static_cast<unsigned long long>(o.polls),
                o.status);
  }

  std::printf("\n== Goals\n");
  if (timedAll && !summary.timed.empty()) {
    std::printf("  library time <= %.2f x baseline:        bare: worst %.3f  %-6s  converting: "
                "worst %.3f  %s\n",
                bench::kRatioGoal, worstRatio, verdict(worstRatio <= bench::kRatioGoal),
                worstRatioConverting, verdict(worstRatioConverting <= bench::kRatioGoal));
    std::printf("  overhead per VISA call < %.0f ns:        bare: worst %.1f ns  %-6s  converting: "
                "worst %.1f ns  %s\n",
                bench::kOverheadPerCallGoalNs, worstOverhead,
                verdict(worstOverhead < bench::kOverheadPerCallGoalNs), worstOverheadConverting,
                verdict(worstOverheadConverting < bench::kOverheadPerCallGoalNs));
  } else {
    std::printf("  timing: not every timed operation ran (filtered out or failed)\n");
  }
  std::printf("  VISA calls equal to the minimum:         %zu of %zu operations    %s\n",
              summary.calls.size() - mismatches, summary.calls.size(), verdict(mismatches == 0));
  std::printf("  heap allocations:                        %llu in single runs, %.2f per timed "
              "operation    %s\n",
              static_cast<unsigned long long>(heapInOperations), heapInLoops,
              verdict(heapInOperations == 0 && heapInLoops == 0.0));
  if (!summary.overshoots.empty()) {
    std::printf("  polling overshoot within its bound:      %s\n", verdict(overshootMet));
  }
  for (const std::string &f : collector.failed) std::printf("  failed: %s\n", f.c_str());
  if (failures > 0) std::printf("  %u operations did not return what they should\n", failures);
  return sound && mismatches == 0 && failures == 0 && heapInOperations == 0 &&
         heapInLoops == 0.0 && collector.failed.empty();
}

// The fastest of the runs: the one least disturbed by the rest of the machine.
bool printPlan(int runs, const std::string &options) {
  std::printf("\n== Whole phone-test plan on the simulated test set (%s)\n", options.c_str());
#if defined(ZOLVANE_PHONE_TEST)
  bool sound = true;
  bench::PlanRun best;
  for (int i = 0; i < runs; ++i) {
    const bench::PlanRun r = bench::runPlan(ZOLVANE_PHONE_TEST, options);
    if (!r.error.empty()) {
      std::printf("  run %d: %s\n", i + 1, r.error.c_str());
      sound = false;
      continue;
    }
    std::printf("  run %d: %.4f s total, %.4f s of mandatory waits, %+.2f %%\n", i + 1, r.totalS,
                r.mandatoryS, 100.0 * r.overhead());
    if (!best.ran || r.totalS - r.mandatoryS < best.totalS - best.mandatoryS) best = r;
  }
  if (!best.ran) return false;
  std::printf("  mandatory waits: %d handoff x %.1f s, %d registration polls x 0.5 s, %d "
              "connection and %d release polls x 0.05 s = %.3f s\n",
              best.handoffs, 2.0, best.registrationPolls, best.connectionPolls, best.releasePolls,
              best.mandatoryS);
  std::printf("  whole plan within %.0f %% of its mandatory waits:   best %.4f s for %.3f s, "
              "%+.2f %%    %s\n",
              100.0 * bench::kPlanOverheadGoal, best.totalS, best.mandatoryS,
              100.0 * best.overhead(), verdict(best.overhead() <= bench::kPlanOverheadGoal));
  return sound;
#else
  (void)runs;
  (void)options;
  std::printf("  not built: no phone-test program in this tree\n");
  return true;
#endif
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<char *> args(argv, argv + argc);
  if (!onLoaderPath(ZOLVANE_NULL_VISA_PATH)) {
    reexecWith(ZOLVANE_NULL_VISA_PATH, args);
    return 2;
  }

  int planRuns = kDefaultPlanRuns;
  std::string planOptions = bench::kZeroDelays;
  std::vector<char *> rest;
  for (char *a : args) {
    if (std::strncmp(a, kPlanRunsFlag, std::strlen(kPlanRunsFlag)) == 0) {
      planRuns = std::atoi(a + std::strlen(kPlanRunsFlag));
    } else if (std::strncmp(a, kPlanOptionsFlag, std::strlen(kPlanOptionsFlag)) == 0) {
      planOptions = a + std::strlen(kPlanOptionsFlag);
    } else {
      rest.push_back(a);
    }
  }

  // Timings on a shared machine wander; unless told otherwise, repeat each measurement,
  // interleave the repetitions of all benchmarks at random and keep the fastest.
  std::vector<std::string> defaults;
  auto given = [&](const char *flag) {
    return std::any_of(rest.begin(), rest.end(), [&](const char *a) {
      return std::strncmp(a, flag, std::strlen(flag)) == 0;
    });
  };
  if (!given("--benchmark_repetitions")) {
    defaults.emplace_back("--benchmark_repetitions=9");
    if (!given("--benchmark_enable_random_interleaving")) {
      defaults.emplace_back("--benchmark_enable_random_interleaving=true");
    }
    if (!given("--benchmark_min_time")) defaults.emplace_back("--benchmark_min_time=0.1");
    if (!given("--benchmark_report_aggregates_only") &&
        !given("--benchmark_display_aggregates_only")) {
      defaults.emplace_back("--benchmark_display_aggregates_only=true");
    }
  }
  for (std::string &d : defaults) rest.insert(rest.begin() + 1, d.data());

  int benchArgc = static_cast<int>(rest.size());
  benchmark::Initialize(&benchArgc, rest.data());
  if (benchmark::ReportUnrecognizedArguments(benchArgc, rest.data())) return 2;

  std::string error;
  if (!bench::openNullVisa(error)) {
    std::fprintf(stderr, "zolvane_bench: %s\n", error.c_str());
    return 1;
  }
  bench::Summary summary;
  bench::countCalls(summary);
  bench::registerMicroBenchmarks(summary);
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();
  bool sound = printSummary(summary, collector);
  if (planRuns > 0 && !printPlan(planRuns, planOptions)) sound = false;
  std::printf("\n%s\n", sound ? "All checks passed." : "SOME CHECKS FAILED.");
  return sound ? 0 : 1;
}
