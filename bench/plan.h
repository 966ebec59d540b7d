// The whole phone-test plan (the zolvane_phone_test program on the simulated test set) with every
// delay of the simulated phone and instrument at zero: its total time beside the waits the
// library must make, which the SCPI trace of the run gives by the library's own rules.
#pragma once

#include <string>

namespace bench {

struct PlanRun {
  bool ran = false;
  bool passed = false;     // the program's exit status was 0
  double totalS = 0.0;     // from starting the program to its exit
  double mandatoryS = 0.0; // the waits its answers oblige the library to make
  int registrationPolls = 0, connectionPolls = 0, releasePolls = 0, handoffs = 0;
  std::string error;
  double overhead() const { return mandatoryS > 0.0 ? (totalS - mandatoryS) / mandatoryS : 0.0; }
};

// Every delay the simulated phone and instrument could make, at zero.
inline constexpr const char *kZeroDelays =
    "reg_delay=0;conn_delay=0;drop_delay=0;handoff_delay=0;meas_delay=0;answer_delay=0";

// Runs the program once; `program` is its path, `simulatorOptions` the simulator's settings.
PlanRun runPlan(const std::string &program, const std::string &simulatorOptions);

}  // namespace bench
