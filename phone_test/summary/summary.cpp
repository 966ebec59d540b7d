#include "summary.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <string_view>

#include "format.h"

namespace phone_test::summary {
namespace {

using nlohmann::json;

constexpr std::string_view kVerdicts[] = {"PASS", "FAIL", "ERROR", "ABORTED"};
constexpr std::string_view kStepVerdicts[] = {"PASS", "FAIL", "ERROR", "ABORTED", "SKIP"};

template <std::size_t N>
bool oneOf(const json &v, const std::string_view (&set)[N]) {
  if (!v.is_string()) return false;
  const auto &s = v.get_ref<const std::string &>();
  return std::find(std::begin(set), std::end(set), s) != std::end(set);
}

// A number that is there: null, absence and a non-finite number are none.
std::optional<double> numberAt(const json &obj, const char *key) {
  const auto it = obj.find(key);
  if (it == obj.end() || !it->is_number()) return std::nullopt;
  const double v = it->get<double>();
  if (!std::isfinite(v)) return std::nullopt;
  return v;
}

std::string stringAt(const json &obj, const char *key) {
  const auto it = obj.find(key);
  return it != obj.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool numberOrNull(const json &obj, const char *key) {
  const auto it = obj.find(key);
  return it == obj.end() || it->is_null() || it->is_number();
}

bool sameLimit(const std::optional<double> &a, const std::optional<double> &b) {
  return a.has_value() == b.has_value() && (!a || *a == *b);
}

}  // namespace

bool checkRecord(const json &record, std::string &why) {
  if (!record.is_object()) {
    why = "not a JSON object";
    return false;
  }
  const auto version = record.find("schema_version");
  if (version == record.end()) {
    why = "no schema_version";
    return false;
  }
  if (!version->is_number_integer() || version->get<long long>() != kSchemaVersion) {
    why = "unknown schema_version " + version->dump() + " (this reader knows " +
          std::to_string(kSchemaVersion) + ")";
    return false;
  }
  if (!oneOf(record.value("verdict", json()), kVerdicts)) {
    why = "verdict is not PASS, FAIL, ERROR or ABORTED";
    return false;
  }
  const auto steps = record.find("steps");
  if (steps == record.end()) return true;
  if (!steps->is_array()) {
    why = "steps is not an array";
    return false;
  }
  for (std::size_t i = 0; i < steps->size(); ++i) {
    const json &s = (*steps)[i];
    const std::string at = "step " + std::to_string(i + 1) + ": ";
    if (!s.is_object() || !s.contains("name") || !s["name"].is_string()) {
      why = at + "not an object with a name";
      return false;
    }
    for (const char *key : {"value", "low", "high"}) {
      if (!numberOrNull(s, key)) {
        why = at + key + " is neither a number nor null";
        return false;
      }
    }
    if (!oneOf(s.value("verdict", json()), kStepVerdicts)) {
      why = at + "verdict is not PASS, FAIL, ERROR, ABORTED or SKIP";
      return false;
    }
  }
  return true;
}

bool Summary::add(const json &record) {
  std::string why;
  if (!checkRecord(record, why)) return false;

  const std::size_t run = runs_++;
  const std::string verdict = record["verdict"].get<std::string>();
  if (verdict == "PASS")
    ++pass_;
  else if (verdict == "FAIL")
    ++fail_;
  else if (verdict == "ERROR")
    ++error_;
  else
    ++aborted_;

  const std::string planName = stringAt(record, "plan"), planHash = stringAt(record, "plan_hash");
  auto plan = std::find_if(plans_.begin(), plans_.end(),
                           [&](const Plan &p) { return p.name == planName && p.hash == planHash; });
  if (plan == plans_.end()) plan = plans_.insert(plans_.end(), Plan{planName, planHash, 0});
  ++plan->runs;

  const auto steps = record.find("steps");
  if (steps == record.end()) return true;
  for (const json &s : *steps) {
    const std::optional<double> value = numberAt(s, "value");
    const std::optional<double> low = numberAt(s, "low"), high = numberAt(s, "high");
    if (!value && !low && !high) continue;  // not a measured step

    const std::string name = s["name"].get<std::string>();
    auto [it, isNew] = stepIndex_.try_emplace(name, steps_.size());
    if (isNew) {
      Step step;
      step.name = name;
      step.unit = stringAt(s, "unit");
      step.low = low;
      step.high = high;
      steps_.push_back(std::move(step));
    }
    Step &step = steps_[it->second];
    if (!isNew && (!sameLimit(step.low, low) || !sameLimit(step.high, high)))
      step.limitsVary = true;
    if (s["verdict"] == "FAIL") ++step.fails;
    if (!value) continue;
    step.stats.add(*value);
    // A name twice in one record: the chart keeps the first reading.
    if (keepValues_ && step.values.size() <= run) {
      step.values.resize(run, std::numeric_limits<double>::quiet_NaN());
      step.values.push_back(*value);
    }
  }
  return true;
}

std::optional<double> Summary::yield() const {
  if (pass_ + fail_ == 0) return std::nullopt;
  return static_cast<double>(pass_) / static_cast<double>(pass_ + fail_);
}

void Summary::print(std::FILE *out) const {
  std::fprintf(out, "Runs: %zu  PASS %zu  FAIL %zu  ERROR %zu  ABORTED %zu\n", runs_, pass_, fail_,
               error_, aborted_);
  const std::optional<double> y = yield();
  std::fprintf(out, "Yield: %s (PASS of PASS + FAIL: %zu of %zu; ERROR and ABORTED apart)\n",
               y ? (fixed(100.0 * *y, 2) + " %").c_str() : "-", pass_, pass_ + fail_);
  for (const Plan &p : plans_) {
    std::fprintf(out, "Plan: %s %s (%zu runs)\n",
                 p.name.empty() ? "(no name)" : printable(p.name).c_str(),
                 p.hash.empty() ? "(no hash)" : printable(p.hash).c_str(), p.runs);
  }
  if (steps_.empty()) {
    std::fprintf(out, "\nNo measured steps.\n");
    return;
  }

  int nameWidth = 4, unitWidth = 4;
  for (const Step &s : steps_) {
    nameWidth = std::max(nameWidth, static_cast<int>(s.name.size()));
    unitWidth = std::max(unitWidth, static_cast<int>(s.unit.size()));
  }
  std::fprintf(out, "\n%-*s  %-*s  %7s  %7s  %10s  %10s  %10s  %10s  %10s  %10s  %6s\n", nameWidth,
               "Step", unitWidth, "Unit", "Count", "Fails", "Min", "Mean", "Max", "Std dev", "Low",
               "High", "Cpk");
  for (const Step &s : steps_) {
    const RunningStats &st = s.stats;
    const bool any = st.count() > 0;
    const std::optional<double> none, min = st.min(), mean = st.mean(), max = st.max();
    const std::optional<double> c = s.limitsVary ? std::nullopt : cpk(st, s.low, s.high);
    std::fprintf(out, "%-*s  %-*s  %7zu  %7zu  %10s  %10s  %10s  %10s  %10s  %10s  %6s\n",
                 nameWidth, printable(s.name).c_str(), unitWidth, printable(s.unit).c_str(),
                 st.count(), s.fails, orDash(any ? min : none, 6).c_str(),
                 orDash(any ? mean : none, 6).c_str(), orDash(any ? max : none, 6).c_str(),
                 orDash(st.stddev(), 4).c_str(), s.limitsVary ? "varies" : orDash(s.low).c_str(),
                 s.limitsVary ? "varies" : orDash(s.high).c_str(), cpkText(c).c_str());
  }
}

int summarizeFiles(const std::vector<std::string> &files, const std::string &htmlPath,
                   std::FILE *out, std::FILE *err) {
  if (files.empty()) {
    std::fprintf(err, "summarize: no results file given\n");
    return 2;
  }
  Summary summary(!htmlPath.empty());
  std::string line, why;
  for (const std::string &file : files) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      std::fprintf(err, "%s: cannot be read: %s\n", file.c_str(), std::strerror(errno));
      return 2;
    }
    for (std::size_t lineNo = 1; std::getline(in, line); ++lineNo) {
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      json record = json::parse(line, nullptr, false);
      if (record.is_discarded()) {
        std::fprintf(err, "%s:%zu: not a JSON line\n", file.c_str(), lineNo);
        return 2;
      }
      if (!checkRecord(record, why)) {
        std::fprintf(err, "%s:%zu: %s\n", file.c_str(), lineNo, why.c_str());
        return 2;
      }
      summary.add(record);
    }
    if (in.bad()) {
      std::fprintf(err, "%s: cannot be read: %s\n", file.c_str(), std::strerror(errno));
      return 2;
    }
  }
  summary.print(out);
  if (!htmlPath.empty()) {
    std::string error;
    if (!summary.writeHtml(htmlPath, std::string(), error)) {
      std::fprintf(err, "%s\n", error.c_str());
      return 2;
    }
  }
  return 0;
}

}  // namespace phone_test::summary
