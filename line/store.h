// The line's store: phone runs and their steps in SQLite or PostgreSQL, the same queries on
// both. The HTTP handlers call these and never see SQL. Every call may throw DbError; one whose
// connection was lost is tried once more on a fresh connection.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "db.h"
#include "run_record.h"

namespace zolvane::line {

// The schema version this program writes; older stores are migrated forward at start.
inline constexpr int kStoreSchemaVersion = 3;

// Puts right every run's first_try (its serial's earliest PASS or FAIL run on the line): for a
// store filled other than through ingest, such as the benchmark's generated one.
extern const char *const kMarkFirstAttempts;

struct Filter {
  std::optional<std::string> from, to;  // the store's UTC text; from inclusive, to exclusive
  std::optional<std::string> station, plan;
};

enum class GroupBy { Station, Plan, Hour, Day, StationPlan };

// A serial's first attempt is its earliest PASS or FAIL run anywhere on the line (a station's
// own attempt numbers start again at 1 for a phone it has not seen); a group counts it when that
// run is among the group's runs.
struct YieldGroup {
  std::string key, key2;  // key2: the plan, for StationPlan only
  long long runs = 0;           // every run, whatever its verdict
  long long attempts = 0;       // PASS and FAIL runs
  long long serials = 0;        // serials with an attempt in the group
  long long firstAttempts = 0;  // ... whose first attempt is in the group
  long long firstPassed = 0;    // ... and passed
  long long finalPassed = 0;    // serials whose last attempt in the group passed
  long long stationErrors = 0;  // ERROR and ABORTED runs: the station's, not the phone's
  long long pass = 0, fail = 0, error = 0, aborted = 0;  // runs by verdict
  long long retests() const { return attempts - firstAttempts; }
  std::optional<double> firstPassYield() const;  // firstPassed / firstAttempts
  std::optional<double> finalYield() const;      // finalPassed / serials
};

struct ParetoRow {
  std::string step;
  long long phones = 0;    // distinct serials with the step failed
  long long failures = 0;  // failed step rows
};

struct Moments {  // of one series of numbers
  long long count = 0;
  double mean = 0, stdDev = 0, min = 0, max = 0;
};

struct StepStats {
  std::string station, unit;
  Moments m;
  std::optional<double> low, high;  // the tightest limits seen
  std::optional<double> cpk() const;  // where there is a limit and a spread
};

struct HourCounts {
  std::string hour;  // "YYYY-MM-DDTHH"
  long long pass = 0, fail = 0, errors = 0;
};

struct StationSeen {
  std::string station, lastStart;
  long long runs = 0;
};

struct TestTime {
  std::string station, plan;
  Moments seconds;
};

struct IngestResult {
  std::vector<std::string> held;  // every id of the batch, now in the store
  std::size_t inserted = 0;
};

class Store {
 public:
  Store(std::string store, std::size_t connections);
  // Creates or migrates the schema; refuses a store newer than this program.
  void migrate();
  Dialect dialect();

  // One transaction: all of the batch or none of it. Records already held are acknowledged.
  IngestResult ingest(const std::vector<RunColumns> &batch);

  std::vector<YieldGroup> yield(const Filter &f, GroupBy by);
  std::vector<ParetoRow> pareto(const Filter &f, std::size_t limit);
  std::vector<StepStats> stepStats(const std::string &step, const Filter &f);
  // The step's values by station (newest first, at most `limit` per call), for distributions.
  std::vector<std::pair<std::string, double>> stepValues(const std::string &step, const Filter &f,
                                                         std::size_t limit);
  std::vector<HourCounts> perHour(const Filter &f);
  std::vector<StationSeen> stations();
  std::vector<TestTime> testTimes(const Filter &f);
  // Every attempt of a serial, at every station, oldest first (the records as JSON text).
  std::vector<std::string> serial(const std::string &serial, std::size_t limit);
  // Records in start order, a page at a time; `each` returns false to stop.
  void records(const Filter &f, const std::function<bool(const std::string &json)> &each);
  // The number of runs held.
  long long count();

 private:
  template <typename F>
  auto withDb(F &&work);
  void ensurePartitions(Db &db, const std::vector<RunColumns> &batch);

  DbPool pool_;
  std::mutex partitionsMutex_;
  std::vector<std::string> partitions_;  // months known to exist (PostgreSQL)
};

}  // namespace zolvane::line
