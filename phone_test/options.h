// The phone test's command line.
#pragma once

#include <optional>
#include <string>

namespace phone_test {

struct Options {
  int gpib = 14;
  int band = 0;
  int channel = 384;
  int handoffBand = 1;
  int handoffChannel = 25;
  double loss = 0.5;         // dB between the test set and the phone
  double cellPower = -65.0;  // dBm
  int sid = 1;
  int nid = 1;
  int regTimeout = 10;       // s
  int connectTimeout = 5;    // s
  int dapCount = 10;

  double ferMax = 0.5;         // %
  double maxPowerMin = 23.0;   // dBm
  double maxPowerMax = 30.0;   // dBm
  double minPowerMax = -50.0;  // dBm
  double rolopTolerance = 9.5; // dB either side of the open-loop power
  std::optional<double> rolopMin, rolopMax;  // fixed limits instead

  bool trace = false;
  std::string traceFile;  // empty: standard error
  std::string simOptions;
  bool realVisa = false;
  bool help = false;
};

// Parses argv; false with a message for the user in `error`.
bool parseOptions(int argc, char **argv, Options &out, std::string &error);

const char *usage();

}  // namespace phone_test
