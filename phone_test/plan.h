// The production test plan, run through the public Zolvane API only.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "options.h"
#include "report.h"

namespace phone_test {

// Told of each step as it starts: its number and name.
using StepObserver = std::function<void(int step, const std::string &name)>;

struct PhoneRun {
  Verdict verdict = Verdict::Pass;
  double seconds = 0.0;
  std::vector<Row> rows;
};

// Runs every step, printing the report to `out` as it goes (nothing when null). `where` names
// the test set for the title. Once a stop is asked for (station.h) the remaining steps are
// skipped, but a call that was originated is ended and the test set is released.
PhoneRun runPlan(const Plan &plan, const std::string &where, std::FILE *out,
                 const StepObserver &observer = {});

}  // namespace phone_test
