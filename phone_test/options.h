// The phone test's command line and the plan in force.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace phone_test {

// Everything a plan file holds; the defaults are the built-in plan (plans/default.toml).
struct Plan {
  std::string name = "default";
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

  bool operator==(const Plan &) const = default;
};

struct Options {
  Plan plan;
  std::string planFile;
  bool printPlan = false;

  bool trace = false;
  std::string traceFile;  // empty: standard error
  std::string simOptions;
  bool realVisa = false;
  std::string replay;        // --replay: a recorded conversation the simulator answers from
  double replaySpeed = 0.0;  // --replay-speed: 1 as recorded, 0 no waiting

  std::string forwardTo;   // --forward-to: the line server, http://HOST:PORT
  std::string tokenFile;   // --token-file: the line server's token
  bool forwardRecords = false;  // the `forward` subcommand
  bool forwardOnce = false;     // forward --once

  std::string results;  // JSON Lines, appended
  std::string csv;
  std::string html;
  std::string serial;
  std::string serialsFrom;  // a file, or "-" for standard input
  std::string station;
  std::string operatorName;
  int repeat = 1;

  std::string db;     // the station database; empty: the default in the user's data folder
  bool noDb = false;  // --no-db
  double dbTimeout = 10.0;  // s a database write waits for another program's
  int maxStationErrors = 3; // consecutive ERROR phones that stop the station; 0: never

  bool summarize = false;  // the `summarize FILE...` subcommand
  std::vector<std::string> summarizeFiles;
  std::string until, summaryPlan;  // summarize --until, --plan (--db, --station, --since shared)
  bool json = false;               // summarize --json
  bool exportRecords = false;  // `export [--db PATH] [--since TIME] [--format jsonl|csv]`
  std::string since, format = "jsonl";
  bool importRecords = false;  // `import FILE... [--db PATH]`
  std::vector<std::string> importFiles;

  bool help = false;
  std::string helpText;

  // More than one phone: one line per phone instead of the step table.
  bool manyPhones() const { return repeat > 1 || !serialsFrom.empty(); }
  // Records go to a file or a database named on the command line.
  bool writesRecords() const { return !results.empty() || !csv.empty() || (!db.empty() && !noDb); }
};

enum class ParseResult { Ok, BadCommandLine, BadPlan };

// Parses argv, reads the plan file it names and applies the options over it; otherwise one line
// for the user in `error`.
ParseResult parseOptions(int argc, char **argv, Options &out, std::string &error);

}  // namespace phone_test
