// The figures the benchmark gathers, and the goals it holds them to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Goals: a user on a real bus, where each transaction takes about a millisecond, must not be
// able to notice the library.
inline constexpr double kRatioGoal = 1.10;             // library time / baseline time
inline constexpr double kOverheadPerCallGoalNs = 100.0;
inline constexpr double kOvershootSlackMs = 5.0;       // beyond one poll interval
inline constexpr double kPlanOverheadGoal = 0.02;      // of the mandatory waits

struct Timing {
  std::string name;
  std::string what;
  double libraryNs = 0.0;
  double baselineNs = 0.0;
  double convertingNs = 0.0;  // the baseline that also converts the numbers
  bool converts = false;
  double visaCalls = 0.0;  // per operation, as counted in the timed loop
  double allocations = 0.0;
  bool haveLibrary = false;
  bool haveBaseline = false;
};

struct CallCount {
  std::string what;
  int status = 0;
  std::uint64_t sends = 0, queries = 0, session = 0;
  std::uint64_t minimumSends = 0, minimumQueries = 0, minimumSession = 0;
  std::uint64_t allocations = 0;
  bool matches() const {
    return sends == minimumSends && queries == minimumQueries && session == minimumSession;
  }
};

struct Overshoot {
  std::string what;
  double limitMs = 0.0;
  double boundMs = 0.0;
  double elapsedMs = 0.0;
  std::uint64_t polls = 0;
  std::uint64_t allocations = 0;
  int status = 0;
  int expectedStatus = 0;
  double overshootMs() const { return elapsedMs - limitMs; }
};

struct Summary {
  std::vector<Timing> timed;
  std::vector<CallCount> calls;
  std::vector<Overshoot> overshoots;
  // Timed operations whose baselines do not make the very calls the library makes.
  std::vector<std::string> baselineMismatches;
};

// Opens the test set on the null VISA and checks that the library bound it.
bool openNullVisa(std::string &error);
// Every operation once: VISA calls against the minimum, heap allocations.
void countCalls(Summary &summary);
// The timed operations (library and baseline) and the polling loops.
void registerMicroBenchmarks(Summary &summary);

}  // namespace bench
