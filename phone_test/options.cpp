#include "options.h"

#include <locale>
#include <map>
#include <sstream>

#include <CLI/CLI.hpp>

#include "plan_file.h"

namespace phone_test {
namespace {

constexpr const char *kExitStatus =
    "Exit status: 0 every phone passed; 1 a phone failed; 2 a bad command line, plan or station\n"
    "setting (nothing was run); 3 a phone with an ERROR step: the station failed, retest it;\n"
    "130 interrupted.";

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

  CLI::App *summarize = app.add_subcommand(
      "summarize", "print the summary of stored JSON Lines records; no test set is touched");
  summarize->add_option("files", o.summarizeFiles, "JSON Lines files written by --results")
      ->required()
      ->type_name("FILE...");
  summarize->add_option("--html", o.html, "the HTML report to FILE")->type_name("FILE");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &) {
    o.help = true;
    o.helpText = summarize->parsed() ? summarize->help() : app.help();
    out = o;
    return ParseResult::Ok;
  } catch (const CLI::ParseError &e) {
    error = e.what();
    return ParseResult::BadCommandLine;
  }
  o.summarize = summarize->parsed();
  o.trace = trace->count() > 0;

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
