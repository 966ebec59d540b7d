// The text renderer and the JSON renderer.
#include <algorithm>
#include <cmath>

#include "format.h"
#include "render.h"

namespace zolvane::analysis {
namespace {

using nlohmann::json;

// A table in columns, widths from the cells; `align` says 'l' or 'r' per column (default: the
// first left, the others right).
std::string columns(const std::vector<std::vector<std::string>> &rows, std::string_view align = "l") {
  std::vector<std::size_t> width;
  for (const auto &row : rows) {
    width.resize(std::max(width.size(), row.size()), 0);
    for (std::size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
  }
  std::string out;
  for (const auto &row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      const std::string pad(width[i] - row[i].size(), ' ');
      const bool left = i < align.size() ? align[i] == 'l' : false;
      line += (i == 0 ? "" : "  ") + (left ? row[i] + pad : pad + row[i]);
    }
    line.erase(line.find_last_not_of(' ') + 1);
    out += line + "\n";
  }
  return out;
}

std::string names(const std::vector<Named> &list) {
  std::string s;
  for (const Named &n : list)
    s += (s.empty() ? "" : ", ") + (n.name.empty() ? std::string("(none)") : printable(n.name)) +
         " (" + std::to_string(n.runs) + ")";
  return s.empty() ? "-" : s;
}

std::string limitsText(const std::optional<double> &low, const std::optional<double> &high) {
  if (!low && !high) return "-";
  return sig4(low) + " .. " + sig4(high);
}

std::string cpkText(const StepStats &s) {
  if (s.timing) return "time";
  if (!s.cpk) return "-";
  return sig4(s.cpk) + (s.cpkIndicative() ? " (indicative)" : "");
}

json orNull(const std::optional<double> &v) {
  return v && std::isfinite(*v) ? json(*v) : json(nullptr);
}

std::string simulatedLine(const Header &h) {
  const std::size_t total = h.simulated + h.real + h.unknown;
  if (h.simulated == 0) return std::string();
  return "*** SIMULATED TEST SET: " + std::to_string(h.simulated) + " of " +
         std::to_string(total) +
         " runs were made on the simulator, not on a real test set: they say nothing about "
         "real phones. ***\n";
}

}  // namespace

std::string textYieldTable(const std::vector<YieldGroup> &groups, std::string_view title) {
  std::vector<std::vector<std::string>> rows{{std::string(title), "Runs", "PASS", "FAIL", "ERROR",
                                              "ABORTED", "Serials", "First-pass", "Final",
                                              "Retests"}};
  for (const YieldGroup &g : groups)
    rows.push_back({g.key.empty() ? "(none)" : printable(g.key), std::to_string(g.runs),
                    std::to_string(g.pass), std::to_string(g.fail), std::to_string(g.error),
                    std::to_string(g.aborted), std::to_string(g.serials),
                    percent(g.firstPassYield()), percent(g.finalYield()),
                    std::to_string(g.retests)});
  return columns(rows);
}

std::string textReport(const Report &r) {
  std::string out = simulatedLine(r.header);
  const InputFacts &in = r.input;
  if (in.skipped) {
    out += "Skipped: " + std::to_string(in.skipped) + " line(s) that are not records";
    for (const std::string &s : in.skippedNamed) out += "\n  " + printable(s);
    if (in.skipped > in.skippedNamed.size())
      out += "\n  and " + std::to_string(in.skipped - in.skippedNamed.size()) + " more";
    out += "\n";
  }
  if (in.duplicates)
    out += "Duplicates: " + std::to_string(in.duplicates) + " record(s) read twice, counted once\n";
  if (!in.filter.empty())
    out += "Filter: " + printable(in.filter) + " (" + std::to_string(in.filteredOut) +
           " record(s) left out)\n";

  const Header &h = r.header;
  out += "Stations: " + names(h.stations) + "\nOperators: " + names(h.operators) + "\n";
  if (!h.hosts.empty()) out += "Hosts: " + names(h.hosts) + "\n";
  for (const PlanName &p : h.plans)
    out += "Plan: " + (p.name.empty() ? std::string("(no name)") : printable(p.name)) + " " +
           (p.hash.empty() ? std::string("(no hash)") : printable(p.hash)) + " (" +
           std::to_string(p.runs) + " runs)\n";
  if (h.namesLeftOut)
    out += "(" + std::to_string(h.namesLeftOut) + " runs under further names not listed)\n";
  out += "Span: " + (h.first ? timeText(*h.first) + " .. " + timeText(*h.last) : "-") + "\n";
  out += "Test set: simulated " + std::to_string(h.simulated) + ", real " +
         std::to_string(h.real) + ", not recorded (schema 1) " + std::to_string(h.unknown) + "\n";

  const YieldGroup &a = r.all;
  out += "\nRuns: " + std::to_string(a.runs) + "  PASS " + std::to_string(a.pass) + "  FAIL " +
         std::to_string(a.fail) + "  ERROR " + std::to_string(a.error) + "  ABORTED " +
         std::to_string(a.aborted) + "\n";
  out += "First-pass yield: " + percent(a.firstPassYield()) + " (" + std::to_string(a.firstPass) +
         " of " + std::to_string(a.firstAttempts) + " serials passed at their first attempt)\n";
  out += "Final yield: " + percent(a.finalYield()) + " (" + std::to_string(a.finalPass) + " of " +
         std::to_string(a.serials) + " serials passed at their last attempt)\n";
  out += "Retests: " + std::to_string(a.retests) + "\n";
  out += "Station errors: ERROR " + std::to_string(a.error) + ", ABORTED " +
         std::to_string(a.aborted) + " (the station's, not attempts)\n";
  if (r.byStation.size() > 1) out += "\n" + textYieldTable(r.byStation, "Station");
  if (r.byPlan.size() > 1) out += "\n" + textYieldTable(r.byPlan, "Plan");

  if (!r.pareto.empty()) {
    std::vector<std::vector<std::string>> rows{{"Failure Pareto (step)", "Phones", "Runs"}};
    for (const ParetoRow &p : r.pareto)
      rows.push_back({printable(p.step), std::to_string(p.phones), std::to_string(p.runs)});
    out += "\n" + columns(rows);
  }
  if (!r.phones.empty()) {
    std::vector<std::vector<std::string>> rows{
        {"Serial", "Station", "Start", "Verdict", "Step", "Value", "Limits", "Note"}};
    for (const PhoneRow &p : r.phones)
      rows.push_back({p.serial.empty() ? "-" : printable(p.serial), printable(p.station),
                      p.time ? timeText(*p.time) : printable(p.start), verdictName(p.verdict),
                      printable(p.step), sig4(p.value) + (p.value ? " " + printable(p.unit) : ""),
                      limitsText(p.low, p.high), printable(p.note)});
    out += "\nFailing and ERROR phones\n" + columns(rows, "lllllrrl");
    if (r.phonesLeftOut)
      out += "(and " + std::to_string(r.phonesLeftOut) + " more, not listed)\n";
  }

  if (r.steps.empty()) {
    out += "\nNo measured steps.\n";
  } else {
    std::vector<std::vector<std::string>> rows{{"Step", "Unit", "Count", "Fails", "Min", "Mean",
                                                "Max", "Std dev", "Low", "High", "Cpk"}};
    for (const StepStats &s : r.steps) {
      const bool any = s.count > 0;
      rows.push_back({printable(s.name), printable(s.unit), std::to_string(s.count),
                      std::to_string(s.fails), any ? sig4(s.min) : "-", any ? sig4(s.mean) : "-",
                      any ? sig4(s.max) : "-", sig4(s.stddev),
                      s.limitsVary ? "varies" : sig4(s.low),
                      s.limitsVary ? "varies" : sig4(s.high), cpkText(s)});
    }
    out += "\n" + columns(rows, "ll");
    out += "Cpk for measured quantities only (a time taken has none); indicative under " +
           std::to_string(kCpkReadings) + " readings.\n";
  }
  if (r.stepReadingsLeftOut)
    out += "(" + std::to_string(r.stepReadingsLeftOut) + " steps under names past the first " +
           std::to_string(kMaxSteps) + " not analysed)\n";
  if (r.testTime.count)
    out += "Test time: mean " + sig4(r.testTime.mean) + " s, max " + sig4(r.testTime.max) +
           " s, std dev " + sig4(r.testTime.stddev) + " s\n";
  return out;
}

json jsonYield(const YieldGroup &g) {
  return {{"key", g.key},
          {"runs", g.runs},
          {"pass", g.pass},
          {"fail", g.fail},
          {"error", g.error},
          {"aborted", g.aborted},
          {"serials", g.serials},
          {"first_attempts", g.firstAttempts},
          {"first_pass", g.firstPass},
          {"final_pass", g.finalPass},
          {"first_pass_yield", orNull(g.firstPassYield())},
          {"final_yield", orNull(g.finalYield())},
          {"retests", g.retests}};
}

json jsonPareto(const std::vector<ParetoRow> &rows) {
  json out = json::array();
  for (const ParetoRow &p : rows)
    out.push_back({{"step", p.step}, {"failing_phones", p.phones}, {"failing_runs", p.runs}});
  return out;
}

json jsonStep(const StepStats &s) {
  const bool any = s.count > 0;
  return {{"name", s.name},
          {"unit", s.unit},
          {"low", s.limitsVary ? json(nullptr) : orNull(s.low)},
          {"high", s.limitsVary ? json(nullptr) : orNull(s.high)},
          {"limits_vary", s.limitsVary},
          {"timing", s.timing},
          {"fails", s.fails},
          {"errors", s.errors},
          {"count", s.count},
          {"mean", any ? orNull(s.mean) : json(nullptr)},
          {"min", any ? orNull(s.min) : json(nullptr)},
          {"max", any ? orNull(s.max) : json(nullptr)},
          {"stddev", orNull(s.stddev)},
          {"cpk", orNull(s.cpk)},
          {"cpk_indicative", s.cpk.has_value() && s.cpkIndicative()}};
}

json jsonReport(const Report &r) {
  json j = jsonYield(r.all);
  j.erase("key");
  j["station_errors"] = {{"error", r.all.error}, {"aborted", r.all.aborted}};
  j["by_station"] = json::array();
  for (const YieldGroup &g : r.byStation) j["by_station"].push_back(jsonYield(g));
  j["by_plan"] = json::array();
  for (const YieldGroup &g : r.byPlan) j["by_plan"].push_back(jsonYield(g));
  j["pareto"] = jsonPareto(r.pareto);

  json phones = json::array();
  for (const PhoneRow &p : r.phones)
    phones.push_back({{"serial", p.serial},
                      {"station", p.station},
                      {"start", p.start},
                      {"verdict", verdictName(p.verdict)},
                      {"attempt", p.attempt ? json(*p.attempt) : json(nullptr)},
                      {"step", p.step},
                      {"value", orNull(p.value)},
                      {"unit", p.unit},
                      {"low", orNull(p.low)},
                      {"high", orNull(p.high)},
                      {"note", p.note}});
  j["failing_phones"] = std::move(phones);
  j["failing_phones_left_out"] = r.phonesLeftOut;
  j["steps"] = json::array();
  for (const StepStats &s : r.steps) j["steps"].push_back(jsonStep(s));
  j["test_time"] = jsonStep(r.testTime);

  const Header &h = r.header;
  auto namedList = [](const std::vector<Named> &list) {
    json a = json::array();
    for (const Named &n : list) a.push_back({{"name", n.name}, {"runs", n.runs}});
    return a;
  };
  json plans = json::array();
  for (const PlanName &p : h.plans)
    plans.push_back({{"name", p.name}, {"hash", p.hash}, {"runs", p.runs}});
  j["header"] = {{"stations", namedList(h.stations)},
                 {"operators", namedList(h.operators)},
                 {"hosts", namedList(h.hosts)},
                 {"plans", std::move(plans)},
                 {"runs_under_names_not_listed", h.namesLeftOut},
                 {"first_start", h.first ? json(timeText(*h.first)) : json(nullptr)},
                 {"last_start", h.last ? json(timeText(*h.last)) : json(nullptr)},
                 {"simulated_runs", h.simulated},
                 {"real_runs", h.real},
                 {"unknown_runs", h.unknown}};
  j["input"] = {{"sources", r.input.sources},
                {"records", r.input.records},
                {"skipped_lines", r.input.skipped},
                {"skipped", r.input.skippedNamed},
                {"duplicates", r.input.duplicates},
                {"filtered_out", r.input.filteredOut},
                {"filter", r.input.filter}};
  return j;
}

std::string jsonText(const json &j, int indent) {
  return j.dump(indent, ' ', false, json::error_handler_t::replace);
}

}  // namespace zolvane::analysis
