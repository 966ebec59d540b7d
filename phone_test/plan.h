// The production test plan, run through the public Zolvane API only.
#pragma once

#include <cstdio>
#include <string>

#include "options.h"

namespace phone_test {

// Runs every step, printing the report to `out` as it goes. `where` names the test set for
// the title. Returns true when every step passed.
bool runPlan(const Options &options, const std::string &where, std::FILE *out);

}  // namespace phone_test
