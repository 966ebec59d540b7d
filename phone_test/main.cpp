// zolvane_phone_test: a production-style CDMA2000 phone test on the Zolvane library. By
// default it runs on the simulated test set; --real-visa uses the machine's VISA and test set.
#include <cstdio>
#include <string>

#include "launcher.h"
#include "options.h"
#include "plan.h"

int main(int argc, char **argv) {
  phone_test::Options options;
  std::string error;
  if (!phone_test::parseOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "zolvane_phone_test: %s\nTry zolvane_phone_test --help.\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(phone_test::usage(), stdout);
    return 0;
  }
  std::string where;
  if (options.realVisa) {
    where = "the test set at GPIB0::" + std::to_string(options.gpib) +
            "::INSTR through the machine's VISA";
  } else {
    std::string folder;
    if (!phone_test::useSimulator(argv, options, folder, error)) {
      std::fprintf(stderr, "zolvane_phone_test: %s\n", error.c_str());
      return 2;
    }
    where = "the simulated test set (" + folder + ")";
  }
  return phone_test::runPlan(options, where, stdout) ? 0 : 1;
}
