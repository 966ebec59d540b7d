#include "pages.h"

#include <algorithm>
#include <cmath>
#include <map>

#include <httplib.h>

#include "format.h"
#include "line_time.h"
#include "query.h"
#include "render.h"
#include "server.h"

namespace zolvane::line {
namespace {

namespace an = zolvane::analysis;
using an::Html;

// ---- the store's results as the analysis library's structs ----

an::YieldGroup toAnalysis(const YieldGroup &g, std::string key) {
  an::YieldGroup a;
  a.key = std::move(key);
  auto n = [](long long v) { return static_cast<std::size_t>(std::max(0LL, v)); };
  a.runs = n(g.runs);
  a.pass = n(g.pass);
  a.fail = n(g.fail);
  a.error = n(g.error);
  a.aborted = n(g.aborted);
  a.serials = n(g.serials);
  a.firstAttempts = n(g.firstAttempts);
  a.firstPass = n(g.firstPassed);
  a.finalPass = n(g.finalPassed);
  a.retests = n(g.retests());
  return a;
}

an::StepStats toAnalysis(std::string name, const std::string &unit, const Moments &m,
                         std::optional<double> low, std::optional<double> high, bool timing) {
  an::StepStats s;
  s.name = std::move(name);
  s.unit = unit;
  s.low = low;
  s.high = high;
  s.timing = timing;
  s.count = static_cast<std::size_t>(m.count);
  s.mean = m.mean;
  s.min = m.min;
  s.max = m.max;
  if (m.count > 1) s.stddev = m.stdDev;
  s.cpk = an::cpkOf(s);
  return s;
}

std::vector<an::ParetoRow> toAnalysis(const std::vector<ParetoRow> &rows) {
  std::vector<an::ParetoRow> out;
  for (const ParetoRow &r : rows)
    out.push_back({r.step, static_cast<std::size_t>(r.phones), static_cast<std::size_t>(r.failures)});
  return out;
}

// ---- the frame every page shares ----

Html navigation(const Filter &f, const std::string &spanText) {
  Html h;
  h << "<p class=\"nav\"><a href=\"/\">Line</a> · <a href=\"/pareto\">Pareto</a> · "
       "<a href=\"/times\">Test times</a> · <a href=\"/export.csv\">CSV</a></p>\n"
       "<form method=\"get\" class=\"filter\">Span <input name=\"span\" size=\"4\" value=\"";
  h.text(spanText) << "\"> Station <input name=\"station\" size=\"10\" value=\"";
  h.text(f.station.value_or("")) << "\"> Plan <input name=\"plan\" size=\"10\" value=\"";
  h.text(f.plan.value_or("")) << "\"> <button>Show</button></form>\n";
  return h;
}

void page(httplib::Response &res, const ServerOptions &o, const std::string &title,
          const Html &body) {
  res.set_header("Content-Security-Policy",
                 "default-src 'none'; style-src 'unsafe-inline'; img-src data:; form-action 'self'");
  res.set_content(an::htmlPage({title, o.refreshSeconds}, body).str(), "text/html; charset=utf-8");
}

// The page's span: span=8h by default, or from/to when given.
struct PageFilter {
  Filter filter;
  std::string span;
};
std::optional<PageFilter> pageFilter(const httplib::Request &q, httplib::Response &res,
                                     const char *defaultSpan) {
  Query p(q);
  PageFilter out;
  out.span = p.text("span").empty() ? defaultSpan : p.text("span");
  out.filter = p.filter();
  if (!out.filter.from && !p.text("from").size()) {
    if (const auto d = span(out.span)) out.filter.from = utcText(std::chrono::system_clock::now() - *d);
  }
  if (!p.ok()) {
    res.status = 400;
    Html h;
    h << "<p>";
    h.text(p.error()) << "</p>";
    res.set_content(an::htmlPage({"Refused", 0}, h).str(), "text/html; charset=utf-8");
    return std::nullopt;
  }
  return out;
}

std::string link(const std::string &prefix, const std::string &name) {
  return prefix + httplib::detail::encode_query_param(name);
}

// ---- the pages ----

Html linePage(Store &store, const PageFilter &pf, const ServerOptions &o) {
  const Filter &f = pf.filter;
  Html b;
  b << "<h1>The line now</h1>\n" << navigation(f, pf.span);
  std::vector<an::YieldGroup> byStation, byStationPlan;
  for (const YieldGroup &g : store.yield(f, GroupBy::Station)) byStation.push_back(toAnalysis(g, g.key));
  for (const YieldGroup &g : store.yield(f, GroupBy::StationPlan))
    byStationPlan.push_back(toAnalysis(g, g.key + " · " + g.key2));
  b << "<h2>Yield by station</h2>\n" << an::htmlYieldTable(byStation, "Station");
  b << "<h2>Yield by station and plan</h2>\n" << an::htmlYieldTable(byStationPlan, "Station · plan");

  // Runs that passed per hour, with the hour's ERROR runs marked.
  an::RunSeries hourly;
  hourly.title = "Runs that passed, per hour";
  hourly.unit = "%";
  hourly.low = 0;
  hourly.high = 100;
  for (const HourCounts &h : store.perHour(f)) {
    const auto t = an::parseTime(h.hour + ":00:00Z");
    if (!t) continue;
    const long long tried = h.pass + h.fail;
    if (tried > 0)
      hourly.points.push_back({*t, 100.0 * static_cast<double>(h.pass) / static_cast<double>(tried),
                               h.hour + ":00 · " + std::to_string(tried) + " runs", an::Verdict::Pass});
    for (long long e = 0; e < std::min<long long>(h.errors, 50); ++e)
      hourly.errors.push_back({*t, h.hour + ":00 · ERROR"});
  }
  b << "<h2>Run chart per hour</h2>\n" << an::htmlRunChart(hourly);

  // Quiet stations: none of their runs started within the last quietMinutes.
  const std::string quietSince = utcText(std::chrono::system_clock::now() -
                                         std::chrono::minutes(o.quietMinutes));
  b << "<h2>Stations</h2>\n<table class=\"stations\"><tr><th>Station</th><th>Last run</th>"
       "<th>Runs</th><th></th></tr>\n";
  for (const StationSeen &s : store.stations()) {
    const bool quiet = s.lastStart < quietSince;
    b << (quiet ? Html::Literal("<tr class=\"quiet\"><td>") : Html::Literal("<tr><td>"));
    b.text(s.station) << "</td><td>";
    b.text(s.lastStart) << "</td><td>";
    b.count(static_cast<std::size_t>(s.runs)) << "</td><td>";
    if (quiet) {
      b << "quiet for over ";
      b.count(static_cast<std::size_t>(o.quietMinutes)) << " min";
    }
    b << "</td></tr>\n";
  }
  b << "</table>\n";
  const auto pareto = toAnalysis(store.pareto(f, 10));
  b << "<h2>Failure Pareto</h2>\n" << an::htmlParetoChart(pareto);
  return b;
}

Html paretoPage(Store &store, const PageFilter &pf) {
  Html b;
  b << "<h1>Failure Pareto</h1>\n" << navigation(pf.filter, pf.span);
  const auto rows = store.pareto(pf.filter, 50);
  const auto pareto = toAnalysis(rows);
  b << an::htmlParetoChart(pareto, 15) << an::htmlParetoTable(pareto);
  b << "<p>One step across stations: ";
  for (const ParetoRow &r : rows) {
    b << "<a href=\"";
    b.text(link("/steps/", r.step)) << "\">";
    b.text(r.step) << "</a> ";
  }
  b << "</p>\n";
  return b;
}

// One step at each station: histograms on one x-range, limits drawn, and the statistics.
Html stepPage(Store &store, const std::string &step, const PageFilter &pf) {
  Html b;
  b << "<h1>";
  b.text(step) << " across stations</h1>\n" << navigation(pf.filter, pf.span);
  const auto stats = store.stepStats(step, pf.filter);
  std::vector<an::StepStats> table;
  for (const StepStats &s : stats)
    table.push_back(toAnalysis(s.station, s.unit, s.m, s.low, s.high, false));
  std::map<std::string, std::vector<double>> values;
  for (const auto &[station, v] : store.stepValues(step, pf.filter, 20000)) values[station].push_back(v);
  double lo = INFINITY, hi = -INFINITY;
  for (const StepStats &s : stats) {
    lo = std::min({lo, s.m.min, s.low.value_or(INFINITY)});
    hi = std::max({hi, s.m.max, s.high.value_or(-INFINITY)});
  }
  b << "<div class=\"side\">";
  for (const StepStats &s : stats) {
    const auto d = an::distributionOf(s.station, s.unit, s.low, s.high, values[s.station], 20);
    b << an::htmlHistogram(d, std::isfinite(lo) && std::isfinite(hi) && hi > lo
                                  ? std::optional<an::Range>(an::Range{lo, hi})
                                  : std::nullopt);
  }
  b << "</div>\n<p class=\"note\">Each histogram holds the station's latest readings (at most "
       "20,000 in all); the table below counts every reading in the span.</p>\n";
  b << an::htmlStepTable(table);
  return b;
}

Html serialPage(Store &store, const std::string &serial) {
  Html b;
  b << "<h1>Serial ";
  b.text(serial) << "</h1>\n" << navigation({}, "8h");
  b << "<table class=\"history\"><tr><th>Start</th><th>Station</th><th>Attempt</th><th>Verdict</th>"
       "<th>First step not passed</th><th>Value</th><th>Limits</th><th>Record</th></tr>\n";
  for (const std::string &text : store.serial(serial, 1000)) {
    const auto r = nlohmann::json::parse(text, nullptr, false);
    if (!r.is_object()) continue;
    auto str = [&](const nlohmann::json &o, const char *k) {
      const auto it = o.find(k);
      return it != o.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    b << "<tr><td>";
    b.text(str(r, "start")) << "</td><td>";
    b.text(str(r, "station")) << "</td><td>";
    b.text(r.contains("attempt") ? r["attempt"].dump() : "") << "</td><td>";
    b.text(str(r, "verdict")) << "</td>";
    std::string step, value, limits;
    if (r.contains("steps") && r["steps"].is_array())
      for (const auto &s : r["steps"])
        if (s.is_object() && str(s, "verdict") != "PASS" && str(s, "verdict") != "SKIP") {
          step = str(s, "name");
          auto n = [&](const char *k) {
            return s.contains(k) && s[k].is_number() ? an::sig4(s[k].get<double>()) : std::string("-");
          };
          value = n("value") + " " + str(s, "unit");
          limits = n("low") + " … " + n("high");
          break;
        }
    b << "<td>";
    b.text(step) << "</td><td>";
    b.text(step.empty() ? "" : value) << "</td><td>";
    b.text(step.empty() ? "" : limits) << "</td><td>";
    b.text(str(r, "record_id")) << "</td></tr>\n";
  }
  b << "</table>\n";
  return b;
}

Html timesPage(Store &store, const PageFilter &pf) {
  Html b;
  b << "<h1>Test times</h1>\n" << navigation(pf.filter, pf.span);
  std::vector<an::StepStats> table;
  for (const TestTime &t : store.testTimes(pf.filter))
    table.push_back(toAnalysis(t.station + " · " + t.plan, "s", t.seconds, std::nullopt,
                               std::nullopt, true));
  b << "<p class=\"note\">The time of each PASS and FAIL run, by station and plan.</p>\n"
    << an::htmlStepTable(table);
  return b;
}

}  // namespace

void registerPages(httplib::Server &http, Store &store, const ServerOptions &options) {
  const ServerOptions *o = &options;
  http.Get("/", [&store, o](const httplib::Request &q, httplib::Response &res) {
    if (auto pf = pageFilter(q, res, "8h")) page(res, *o, "The line now", linePage(store, *pf, *o));
  });
  http.Get("/pareto", [&store, o](const httplib::Request &q, httplib::Response &res) {
    if (auto pf = pageFilter(q, res, "24h")) page(res, *o, "Failure Pareto", paretoPage(store, *pf));
  });
  http.Get(R"(/steps/([\s\S]+))", [&store, o](const httplib::Request &q, httplib::Response &res) {
    const std::string step = q.matches[1];
    if (auto pf = pageFilter(q, res, "24h")) page(res, *o, step, stepPage(store, step, *pf));
  });
  http.Get(R"(/serials/([\s\S]+))", [&store, o](const httplib::Request &q, httplib::Response &res) {
    const std::string serial = q.matches[1];
    page(res, *o, "Serial " + serial, serialPage(store, serial));
  });
  http.Get("/times", [&store, o](const httplib::Request &q, httplib::Response &res) {
    if (auto pf = pageFilter(q, res, "24h")) page(res, *o, "Test times", timesPage(store, *pf));
  });
}

}  // namespace zolvane::line
