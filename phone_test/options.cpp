#include "options.h"

#include <charconv>
#include <locale>
#include <map>
#include <sstream>

#include <CLI/CLI.hpp>

#include "plan_file.h"

namespace phone_test {
namespace {

constexpr const char *kExitStatus =
    "Exit status: 0 every phone passed; 1 a phone failed; 2 a bad command line, plan or station\n"
    "setting (nothing was run); 3 a phone with an ERROR step, or a record that could not be\n"
    "written: the station failed, retest the phone; 130 interrupted.";

// Numbers go through the plan's own locale-free parsers, so every option that takes one is read
// as text here.
struct RawValue {
  std::string text;
  CLI::Option *option = nullptr;
  bool given() const { return option && option->count() > 0; }
};

// The built-in plan's value, for --help.
std::string defaultText(const PlanField &f) {
  static const Plan builtIn;
  std::ostringstream s;
  s.imbue(std::locale::classic());
  std::visit(
      [&](auto member) {
        using T = std::decay_t<decltype(builtIn.*member)>;
        if constexpr (std::is_same_v<T, std::optional<double>>) {
          if (builtIn.*member) s << *(builtIn.*member);
        } else {
          s << builtIn.*member;
        }
      },
      f.member);
  return s.str();
}

}  // namespace

ParseResult parseOptions(int argc, char **argv, Options &out, std::string &error) {
  Options o;
  CLI::App app{"Runs a production-style CDMA2000 phone test through the Zolvane library and\n"
               "prints a report. Runs on the simulated test set unless --real-visa is given.",
               "zolvane_phone_test"};
  app.footer(kExitStatus);
  app.get_formatter()->column_width(34);
  // As before CLI11: an option given twice takes its last value.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);

  app.add_option("--plan", o.planFile, "the plan: a TOML file; options given here override it")
      ->group("Plan")
      ->type_name("FILE");
  app.add_flag("--print-plan", o.printPlan,
               "write the plan in force as TOML and stop (a station's plan starts from it)")
      ->group("Plan");

  std::map<std::string, RawValue> raw;
  for (const PlanField &f : planFields()) {
    RawValue &v = raw[f.option];
    bool whole = std::holds_alternative<int Plan::*>(f.member);
    v.option = app.add_option(f.option, v.text, f.help)
                   ->group(f.group)
                   ->type_name(whole ? "N" : "NUMBER")
                   ->default_str(defaultText(f));
  }

  RawValue repeat;
  repeat.option = app.add_option("--repeat", repeat.text, "test the same phone N times (1)")
                      ->group("Records")
                      ->type_name("N");
  app.add_option("--results", o.results, "append one JSON line per phone to FILE")
      ->group("Records")
      ->type_name("FILE");
  app.add_option("--csv", o.csv, "append one CSV row per step per phone to FILE")
      ->group("Records")
      ->type_name("FILE");
  app.add_option("--html", o.html, "after the phones, the HTML report to FILE")
      ->group("Records")
      ->type_name("FILE");
  auto *serial = app.add_option("--serial", o.serial, "the phone's serial number")
                     ->group("Records")
                     ->type_name("S");
  auto *serials =
      app.add_option("--serials", o.serialsFrom,
                     "one phone per serial, one serial a line from FILE or - (standard input)")
          ->group("Records")
          ->type_name("FILE|-");
  serials->excludes(serial)->excludes(repeat.option);
  app.add_option("--station", o.station, "the station's name")->group("Records")->type_name("NAME");
  app.add_option("--operator", o.operatorName, "the operator's name")
      ->group("Records")
      ->type_name("NAME");
  auto *db = app.add_option("--db", o.db,
                            "the station's SQLite database (in the user's data folder)")
                 ->group("Records")
                 ->type_name("PATH");
  app.add_flag("--no-db", o.noDb, "no station database")->group("Records")->excludes(db);
  RawValue dbTimeout, stationErrors;
  dbTimeout.option =
      app.add_option("--db-timeout", dbTimeout.text,
                     "seconds a database write waits for another program's (10)")
          ->group("Records")
          ->type_name("S");
  stationErrors.option =
      app.add_option("--max-station-errors", stationErrors.text,
                     "stop after N phones in a row with an ERROR: the station needs attention "
                     "(3; 0 never)")
          ->group("Records")
          ->type_name("N");

  auto *trace = app.add_option("--trace", o.traceFile,
                               "the SCPI trace to FILE (standard error): the simulator's, or "
                               "with --real-visa the trace VISA's")
                    ->group("Test set")
                    ->expected(0, 1)
                    ->type_name("[=FILE]");
  auto *simOptions =
      app.add_option("--sim-options", o.simOptions,
                     "simulator settings, \"key=value;...\" (its README lists them)")
          ->group("Test set")
          ->type_name("TEXT")
          ->multi_option_policy(CLI::MultiOptionPolicy::Join);  // line feeds separate items too
  auto *realVisa =
      app.add_flag("--real-visa", o.realVisa,
                   "the machine's VISA and a real test set, not the simulator")
          ->group("Test set");
  realVisa->excludes(simOptions);
  auto *replay =
      app.add_option("--replay", o.replay,
                     "the simulator answers as the test set did in TRACE (a trace recorded with "
                     "--real-visa --trace); a conversation that differs fails at the first "
                     "difference")
          ->group("Test set")
          ->type_name("TRACE");
  RawValue replaySpeed;
  replaySpeed.option = app.add_option("--replay-speed", replaySpeed.text,
                                      "with --replay: 1 waits as recorded, 0 not at all (0)")
                           ->group("Test set")
                           ->type_name("S")
                           ->needs(replay);
  realVisa->excludes(replay);

  auto *forwardTo =
      app.add_option("--forward-to", o.forwardTo,
                     "send each record, once in the station database, to the line server at URL "
                     "in the background; what cannot go yet waits there")
          ->group("Records")
          ->type_name("URL");
  auto *tokenFile = app.add_option("--token-file", o.tokenFile, "the line server's token")
                        ->group("Records")
                        ->type_name("FILE");
  forwardTo->needs(tokenFile);
  tokenFile->needs(forwardTo);
  forwardTo->excludes("--no-db");

  CLI::App *summarize = app.add_subcommand(
      "summarize", "print the summary of stored records (JSON Lines files, a station database); "
                   "no test set is touched");
  summarize->footer(
      "Exit status: 0 summarized (lines that are not records are skipped, counted and named);\n"
      "2 an input that cannot be read, or a report that cannot be written.");
  summarize->add_option("files", o.summarizeFiles, "JSON Lines files written by --results (- for "
                        "standard input)")->type_name("FILE...");
  summarize->add_option("--db", o.db, "the records of a station database too (read only)")
      ->type_name("PATH");
  summarize->add_option("--station", o.station, "only the runs of this station")->type_name("S");
  summarize->add_option("--plan", o.summaryPlan, "only the runs of this plan (name or hash)")
      ->type_name("P");
  summarize->add_option("--since", o.since, "only runs started at or after T (UTC, ISO 8601)")
      ->type_name("T");
  summarize->add_option("--until", o.until, "only runs started before T (UTC, ISO 8601)")
      ->type_name("T");
  summarize->add_flag("--json", o.json, "one JSON object instead of the text");
  summarize->add_option("--html", o.html, "the HTML report to FILE")->type_name("FILE");

  CLI::App *exporter = app.add_subcommand(
      "export", "write the records in the station database to standard output, oldest first");
  exporter->add_option("--db", o.db, "the database (the station's default)")->type_name("PATH");
  exporter->add_option("--since", o.since, "records started at or after TIME (UTC, ISO 8601)")
      ->type_name("TIME");
  exporter->add_option("--format", o.format, "jsonl (as --results writes) or csv (as --csv)")
      ->check(CLI::IsMember({"jsonl", "csv"}))
      ->type_name("jsonl|csv");
  CLI::App *importer = app.add_subcommand(
      "import", "bring JSON Lines records into the station database; a record already there "
                "(the same record_id) is left as it is");
  importer->add_option("files", o.importFiles, "JSON Lines files written by --results or export")
      ->required()
      ->type_name("FILE...");
  importer->add_option("--db", o.db, "the database (the station's default)")->type_name("PATH");
  CLI::App *forwarder = app.add_subcommand(
      "forward", "send the station database's waiting records to the line server, until stopped "
                 "(a service), or once");
  forwarder->footer("Exit status: 0 done (with --once: nothing waits); 1 records still wait, or "
                    "the database cannot be read; 2 a bad command line or token file.");
  forwarder->add_option("--db", o.db, "the database (the station's default)")->type_name("PATH");
  forwarder->add_option("--to", o.forwardTo, "the line server, http://HOST:PORT")
      ->required()
      ->type_name("URL");
  forwarder->add_option("--token-file", o.tokenFile, "the line server's token")
      ->required()
      ->type_name("FILE");
  forwarder->add_flag("--once", o.forwardOnce, "send what waits, then stop");
  app.require_subcommand(0, 1);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &) {
    o.help = true;
    o.helpText = summarize->parsed()  ? summarize->help()
                 : exporter->parsed() ? exporter->help()
                 : importer->parsed() ? importer->help()
                 : forwarder->parsed() ? forwarder->help()
                                      : app.help();
    out = o;
    return ParseResult::Ok;
  } catch (const CLI::ParseError &e) {
    error = e.what();
    return ParseResult::BadCommandLine;
  }
  o.summarize = summarize->parsed();
  o.exportRecords = exporter->parsed();
  o.importRecords = importer->parsed();
  o.forwardRecords = forwarder->parsed();
  o.trace = trace->count() > 0;

  if (dbTimeout.given() && !parseReal(dbTimeout.text, 0.0, 3600.0, o.dbTimeout)) {
    error = "--db-timeout needs seconds 0..3600, not \"" + dbTimeout.text + "\"";
    return ParseResult::BadCommandLine;
  }
  if (stationErrors.given() && !parseInt(stationErrors.text, 0, 1000000, o.maxStationErrors)) {
    error = "--max-station-errors needs a count 0..1000000, not \"" + stationErrors.text + "\"";
    return ParseResult::BadCommandLine;
  }

  if (replaySpeed.given() && !parseReal(replaySpeed.text, 0.0, 1000.0, o.replaySpeed)) {
    error = "--replay-speed needs 0..1000 (1 as recorded, 0 no waiting), not \"" +
            replaySpeed.text + "\"";
    return ParseResult::BadCommandLine;
  }
  if (!o.replay.empty()) {
    // A short form of the simulator's own settings, which take ';' and line feeds apart.
    if (o.replay.find_first_of(";\r\n") != std::string::npos) {
      error = "--replay: a trace path with ';' or a line break cannot be given to the simulator";
      return ParseResult::BadCommandLine;
    }
    char speed[32];
    const auto end = std::to_chars(speed, speed + sizeof speed, o.replaySpeed).ptr;
    o.simOptions += (o.simOptions.empty() ? "" : ";") + std::string("replay=") + o.replay +
                    ";replay_speed=" + std::string(speed, end);
  }

  if (repeat.given() && !parseInt(repeat.text, 1, 1000000, o.repeat)) {
    error = "--repeat needs a count 1..1000000, not \"" + repeat.text + "\"";
    return ParseResult::BadCommandLine;
  }

  Origins origins;
  if (!o.planFile.empty() && !readPlanFile(o.planFile, o.plan, origins, error))
    return ParseResult::BadPlan;
  for (const PlanField &f : planFields()) {
    const RawValue &v = raw[f.option];
    if (!v.given()) continue;
    bool ok = std::visit(
        [&](auto member) {
          using T = std::decay_t<decltype(o.plan.*member)>;
          if constexpr (std::is_same_v<T, int>) {
            return parseInt(v.text, static_cast<int>(f.low), static_cast<int>(f.high),
                            o.plan.*member);
          } else {
            double d = 0.0;
            if (!parseReal(v.text, f.low, f.high, d)) return false;
            o.plan.*member = d;
            return true;
          }
        },
        f.member);
    if (!ok) {
      error = std::string(f.option) + " needs " + f.expects + ", not \"" + v.text + "\"";
      return ParseResult::BadCommandLine;
    }
    origins[f.key] = f.option;
  }
  if (!checkPlan(o.plan, origins, error))
    return error.rfind("--", 0) == 0 ? ParseResult::BadCommandLine : ParseResult::BadPlan;
  out = o;
  return ParseResult::Ok;
}

}  // namespace phone_test
