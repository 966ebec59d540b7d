// The plan as a TOML file: every value the options hold, one table of fields shared by the
// command line, the reader and the writer.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "options.h"

namespace phone_test {

struct PlanField {
  const char *option;  // "--band"
  const char *key;     // "cell.band": the table and the key in the file
  std::variant<int Plan::*, double Plan::*, std::optional<double> Plan::*> member;
  double low, high;    // the range a value must lie in
  const char *expects; // "a band index 0..3", for messages
  const char *help;
  const char *group;   // the --help group
};

const std::vector<PlanField> &planFields();

// Numbers as the options and the plan file take them, whatever the locale: a point as the
// decimal separator, a leading '+' allowed, nothing after the number, finite, within the range.
bool parseInt(std::string_view text, int low, int high, int &out);
bool parseReal(std::string_view text, double low, double high, double &out);

// Where each value came from, by key, for messages: "--max-power-min" or
// "plan.toml:12: limits.max_power_min". Values left at the built-in plan have no entry.
using Origins = std::map<std::string, std::string>;

// Reads a plan file over `plan`; false with one line naming the file, the line and the key.
bool readPlanFile(const std::string &path, Plan &plan, Origins &origins, std::string &error);

// The checks between values (a minimum above its maximum, limits that go together).
bool checkPlan(const Plan &plan, const Origins &origins, std::string &error);

// The plan as TOML, as --print-plan writes it, and the hash of that text the records carry.
std::string planToml(const Plan &plan);
std::string planHash(std::string_view toml);

}  // namespace phone_test
