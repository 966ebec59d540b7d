// The summary of stored phone records (JSON Lines, one record per phone): counts, yield and the
// statistics of every measured step, as text and as a self-contained HTML report. Records are
// taken one at a time; nothing but each step's readings (for the report's charts) is kept.
#pragma once

#include <cstddef>
#include <cstdio>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "stats.h"

namespace phone_test::summary {

// The record version this reader knows.
inline constexpr int kSchemaVersion = 1;

// Whether `record` is one this reader can count; if not, why (one line, no file or line).
bool checkRecord(const nlohmann::json &record, std::string &why);

class Summary {
 public:
  // keepValues: keep every reading run by run, which only the HTML report needs.
  explicit Summary(bool keepValues = true) : keepValues_(keepValues) {}

  // One record, as written. A record checkRecord refuses is not counted: false.
  bool add(const nlohmann::json &record);

  void print(std::FILE *out) const;
  // planToml: the plan's text for the report; empty: its name and hash from the records.
  bool writeHtml(const std::string &path, const std::string &planToml, std::string &error) const;

  struct Step {
    std::string name;
    std::string unit;
    std::optional<double> low, high;
    bool limitsVary = false;  // records disagree on the limits: no Cpk against either
    std::size_t fails = 0;    // runs in which the step was FAIL, with or without a reading
    RunningStats stats;
    std::vector<double> values;  // by run, NaN where the run has no reading; may be short
  };
  struct Plan {
    std::string name;
    std::string hash;
    std::size_t runs = 0;
  };

  std::size_t runs() const { return runs_; }
  std::size_t passes() const { return pass_; }
  std::size_t fails() const { return fail_; }
  std::size_t errors() const { return error_; }
  std::size_t aborted() const { return aborted_; }
  // PASS / (PASS + FAIL); none when there is neither.
  std::optional<double> yield() const;
  const std::vector<Step> &steps() const { return steps_; }
  const std::vector<Plan> &plans() const { return plans_; }

 private:
  bool keepValues_;
  std::size_t runs_ = 0, pass_ = 0, fail_ = 0, error_ = 0, aborted_ = 0;
  std::vector<Plan> plans_;
  std::vector<Step> steps_;  // first-seen order
  std::unordered_map<std::string, std::size_t> stepIndex_;
};

// `zolvane_phone_test summarize FILE... [--html FILE]`: reads each file line by line, prints the
// summary to `out` and writes the report when htmlPath is not empty. Returns 0, or 2 after one
// line on `err` for a file that cannot be read or written, or a line that is not a record this
// reader knows (named with file and line).
int summarizeFiles(const std::vector<std::string> &files, const std::string &htmlPath,
                   std::FILE *out, std::FILE *err);

}  // namespace phone_test::summary
