// A phone record as the line server stores it: the columns it queries, taken from the record
// (checked by the records library), and the record itself as it came.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace zolvane::line {

struct StepColumns {
  int index = 0;
  std::string name, unit, verdict, note;
  std::optional<double> value, low, high, seconds;
};

struct RunColumns {
  std::string recordId, serial, station, operatorName, plan, planHash, host;
  std::string start;  // the store's UTC text
  std::optional<double> duration;
  std::string verdict;
  long long attempt = 1;
  std::optional<bool> simulated;  // unknown for a version 1 record
  std::string json;               // the record, compact
  std::vector<StepColumns> steps;
};

// Limits on what one record may hold, so that a hostile record cannot swell the store.
inline constexpr std::size_t kMaxText = 4096;
inline constexpr std::size_t kMaxSteps = 1000;

// Whether `r` is a record the line stores (a well-formed record of version 1 or 2 that names its
// serial, station and start); fills `out`, or says why not.
bool readRun(const nlohmann::json &r, RunColumns &out, std::string &why);

}  // namespace zolvane::line
