// The results of an analysis of phone records, as plain values: what the renderers take. The
// station's summary fills them from records (analysis.h); the line server fills the same structs
// from SQL and calls the same renderers, so a figure cannot differ between the two.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zolvane::analysis {

// What the report shows, and so what memory holds, whatever the input.
inline constexpr std::size_t kMaxLineBytes = 1 << 20;  // a records line longer is refused
inline constexpr std::size_t kMaxSteps = 1000;   // distinct step names analysed (first seen)
inline constexpr std::size_t kMaxCharts = 30;    // measured steps charted (first seen)
inline constexpr std::size_t kMaxPoints = 2000;  // readings in one run chart (the latest)
inline constexpr std::size_t kMaxPhones = 1000;  // failing and ERROR runs listed (first read)
inline constexpr std::size_t kMaxNames = 100;    // stations, operators, plans named, each
inline constexpr std::size_t kMaxNamedSkips = 10;  // skipped lines named one by one
// Fewer readings than this and a Cpk is only indicative.
inline constexpr std::size_t kCpkReadings = 30;

// Milliseconds since 1970-01-01 UTC.
using TimeMs = std::int64_t;

enum class Verdict : std::uint8_t { Pass, Fail, Error, Aborted };
const char *verdictName(Verdict v);

struct Named {
  std::string name;
  std::size_t runs = 0;
};

struct PlanName {
  std::string name, hash;
  std::size_t runs = 0;
};

// Who, where, when and on what.
struct Header {
  std::vector<Named> stations, operators, hosts;
  std::vector<PlanName> plans;
  std::size_t namesLeftOut = 0;  // distinct names past kMaxNames (of any kind), not listed
  std::optional<TimeMs> first, last;  // start of the earliest and of the latest run
  // Runs by test set: schema-1 records do not say (unknown).
  std::size_t simulated = 0, real = 0, unknown = 0;
};

// Yield of one group of runs: all of them, one station's, one plan's, one hour's.
// Only PASS and FAIL runs are attempts; ERROR and ABORTED are the station's and counted apart.
struct YieldGroup {
  std::string key;
  std::size_t runs = 0, pass = 0, fail = 0, error = 0, aborted = 0;
  std::size_t serials = 0;        // serials with at least one attempt
  std::size_t firstAttempts = 0;  // serials whose first attempt is among the runs
  std::size_t firstPass = 0;      // ... and passed
  std::size_t finalPass = 0;      // serials whose last attempt passed
  std::size_t retests = 0;        // attempts that were not a serial's first

  // firstPass / firstAttempts and finalPass / serials; none without a denominator.
  std::optional<double> firstPassYield() const;
  std::optional<double> finalYield() const;
};

// One step in the failure Pareto: the phones (serials) and runs in which it FAILed.
struct ParetoRow {
  std::string step;
  std::size_t phones = 0, runs = 0;
};

// A step's readings and verdicts over the runs.
struct StepStats {
  std::string name, unit;
  std::optional<double> low, high;
  bool limitsVary = false;  // runs disagree on the limits: neither is shown, no Cpk
  bool timing = false;      // a time taken (unit s), not a measured quantity: no Cpk
  std::size_t fails = 0, errors = 0;  // runs in which the step was FAIL / ERROR
  std::size_t count = 0;              // readings
  double mean = 0, min = 0, max = 0;  // meaningful when count > 0
  std::optional<double> stddev;       // sample (n - 1); none under two readings
  std::optional<double> cpk;          // set by withCpk()
  bool cpkIndicative() const { return count < kCpkReadings; }
};

// Cpk = min(high - mean, mean - low) / 3 s; with one limit the one-sided index. None for a
// timing, for limits that vary, without a limit, under two readings or without spread.
std::optional<double> cpkOf(const StepStats &s);

// One reading in a run chart. label: what the tooltip names (the serial).
struct Point {
  TimeMs time = 0;
  double value = 0;
  std::string label;
  Verdict run = Verdict::Pass;
};

// A run with no reading to draw that the chart still marks (an ERROR run).
struct Mark {
  TimeMs time = 0;
  std::string label;
};

// Values over time with their limits: a step's readings, or a yield per hour.
struct RunSeries {
  std::string title, unit;
  std::optional<double> low, high;
  std::vector<Point> points;   // in time order
  std::size_t leftOut = 0;     // readings not drawn (older than the points kept)
  std::vector<Mark> errors;    // ERROR runs, drawn as marks on the time axis
};

// A histogram: counts[i] readings in [from + i width, from + (i + 1) width).
struct Distribution {
  std::string title, unit;
  std::optional<double> low, high;
  double from = 0, width = 0;
  std::vector<std::size_t> counts;
  std::size_t leftOut = 0;  // readings not counted (the chart shows the latest ones)
};

// Sturges' bins (at most 40) over the values, or `bins` when given.
Distribution distributionOf(std::string title, std::string unit, std::optional<double> low,
                            std::optional<double> high, const std::vector<double> &values,
                            std::size_t bins = 0);

struct StepChart {
  RunSeries runs;
  Distribution histogram;
};

// A failing or ERROR run: the first step that failed (or erred) in it.
struct PhoneRow {
  std::string serial, station, start;  // start as recorded (ISO 8601, UTC)
  std::optional<TimeMs> time;
  Verdict verdict = Verdict::Fail;
  std::optional<long long> attempt;
  std::string step, unit, note;
  std::optional<double> value, low, high;
};

// What was read: sources, records, and what was skipped and why.
struct InputFacts {
  std::vector<std::string> sources;
  std::size_t records = 0;      // records analysed
  std::size_t skipped = 0;      // lines that were not a record (torn, too long, refused)
  std::vector<std::string> skippedNamed;  // "FILE:LINE: why", the first kMaxNamedSkips
  std::size_t duplicates = 0;   // a record_id seen before
  std::size_t filteredOut = 0;  // records outside --station, --plan, --since, --until
  std::string filter;           // the filter in words, empty for none
};

struct Report {
  InputFacts input;
  Header header;
  YieldGroup all;
  std::vector<YieldGroup> byStation, byPlan;  // each sorted by key
  std::vector<ParetoRow> pareto;              // most failing phones first
  std::vector<PhoneRow> phones;               // failing and ERROR runs, in time order
  std::size_t phonesLeftOut = 0;
  std::vector<StepStats> steps;               // measured steps, first seen first
  std::size_t stepReadingsLeftOut = 0;        // steps of names past kMaxSteps, not analysed
  std::vector<StepChart> charts;
  std::size_t chartsLeftOut = 0;              // measured steps with readings not charted
  StepStats testTime;                         // duration_s of every run
  std::string planToml;                       // the plan in force, when the station knows it
};

}  // namespace zolvane::analysis
