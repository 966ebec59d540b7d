// The HTML renderer: tables, inline-SVG charts and pages, escaped in one place (Html::text).
#include <algorithm>
#include <cmath>
#include <functional>

#include "format.h"
#include "render.h"

namespace zolvane::analysis {

Html &Html::operator<<(Literal markup) {
  out_ += markup.text;
  return *this;
}

Html &Html::operator<<(const Html &fragment) {
  out_ += fragment.out_;
  return *this;
}

Html &Html::text(std::string_view s) {
  forEachChar(s, [&](long code, std::string_view bytes) {
    switch (code) {
      case '&': out_ += "&amp;"; return;
      case '<': out_ += "&lt;"; return;
      case '>': out_ += "&gt;"; return;
      case '"': out_ += "&quot;"; return;
      case '\'': out_ += "&#39;"; return;
      default: break;
    }
    // What XML does not allow (C0 controls but tab and line ends, U+FFFE, U+FFFF) and what a
    // browser would act on (C1 controls) becomes U+FFFD, as do bytes that are not UTF-8.
    const bool bad = code < 0 || (code < 0x20 && code != '\t' && code != '\n' && code != '\r') ||
                     (code >= 0x7F && code <= 0x9F) || code == 0xFFFE || code == 0xFFFF;
    if (bad)
      out_ += "\xEF\xBF\xBD";
    else
      out_ += bytes;
  });
  return *this;
}

Html &Html::num(double v) { return text(sig4(v)); }
Html &Html::count(std::size_t n) { return text(std::to_string(n)); }
Html &Html::coord(double v) { return text(fixed(v, 1)); }

namespace {

// Far enough from the largest double that a range and its padding stay finite.
bool drawable(double v) { return std::isfinite(v) && std::abs(v) < 1e300; }

struct Scale {
  double lo, hi, from, to;  // values lo..hi onto pixels from..to
  double operator()(double v) const { return from + (v - lo) / (hi - lo) * (to - from); }
};

// Padded so that nothing sits on the frame; a range without width gets one.
void pad(double &lo, double &hi) {
  double p = (hi - lo) * 0.08;
  if (!(p > 0)) p = std::max(std::abs(lo) * 0.05, 1e-3);
  lo -= p;
  hi += p;
}

// Ticks at 1, 2 or 5 times a power of ten, at most `most` of them.
std::vector<double> ticks(double lo, double hi, int most) {
  std::vector<double> out;
  const double span = hi - lo;
  if (!(span > 0) || !std::isfinite(span)) return out;
  const double raw = span / most, mag = std::pow(10.0, std::floor(std::log10(raw)));
  double step = mag;
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (m * mag >= raw) {
      step = m * mag;
      break;
    }
  for (double v = std::ceil(lo / step) * step; v <= hi && out.size() < 20; v += step)
    out.push_back(std::abs(v) < step * 1e-9 ? 0.0 : v);
  return out;
}

// Labels along one axis: one that would overlap a label already placed is left out, so limits
// (placed first) always show.
class Labels {
 public:
  explicit Labels(double end = 1e9) : end_(end) {}
  bool fits(double at, double half) {
    if (at - half < 0 || at + half > end_) return false;  // cut by the chart's edge
    for (const auto &[a, h] : placed_)
      if (std::abs(a - at) < h + half + 2) return false;
    placed_.emplace_back(at, half);
    return true;
  }

 private:
  double end_;
  std::vector<std::pair<double, double>> placed_;
};

double textHalfWidth(const std::string &s) { return 3.3 * static_cast<double>(s.size()) + 2; }

void label(Html &h, double x, double y, Html::Literal anchor, Html::Literal cls,
           const std::string &text) {
  h << "<text class=\"" << cls << "\" x=\"";
  h.coord(x) << "\" y=\"";
  h.coord(y) << "\" text-anchor=\"" << anchor << "\">";
  h.text(text) << "</text>";
}

void line(Html &h, Html::Literal cls, double x1, double y1, double x2, double y2) {
  h << "<line class=\"" << cls << "\" x1=\"";
  h.coord(x1) << "\" y1=\"";
  h.coord(y1) << "\" x2=\"";
  h.coord(x2) << "\" y2=\"";
  h.coord(y2) << "\"/>";
}

void svgOpen(Html &h, Html::Literal cls, double w, double height, const std::string &title) {
  h << "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"" << cls << "\" width=\"";
  h.coord(w) << "\" height=\"";
  h.coord(height) << "\" viewBox=\"0 0 ";
  h.coord(w) << " ";
  h.coord(height) << "\"><title>";
  h.text(title) << "</title>";
}

void frame(Html &h, double x0, double y0, double x1, double y1) {
  h << "<rect class=\"frame\" x=\"";
  h.coord(x0) << "\" y=\"";
  h.coord(y0) << "\" width=\"";
  h.coord(x1 - x0) << "\" height=\"";
  h.coord(y1 - y0) << "\"/>";
}

std::string withUnit(const std::string &what, const std::string &unit) {
  return unit.empty() ? what : what + " (" + unit + ")";
}

// The value range of a chart: the readings and every limit that can be drawn.
struct Limits {
  std::optional<double> low, high;
};
bool valueRange(const std::vector<double> &values, const Limits &l, double &lo, double &hi) {
  bool any = false;
  for (double v : values) {
    if (!drawable(v)) continue;
    lo = any ? std::min(lo, v) : v;
    hi = any ? std::max(hi, v) : v;
    any = true;
  }
  if (!any) return false;
  for (const std::optional<double> &lim : {l.low, l.high})
    if (lim && drawable(*lim)) lo = std::min(lo, *lim), hi = std::max(hi, *lim);
  pad(lo, hi);
  return std::isfinite(hi - lo);
}

// A time axis step from one second to four weeks: the smallest that keeps `most` labels apart.
long long timeStep(TimeMs span, int most) {
  static constexpr long long kSteps[] = {1,     2,     5,     10,    15,     30,     60,
                                         120,   300,   600,   900,   1800,   3600,   7200,
                                         10800, 21600, 43200, 86400, 172800, 604800, 2419200};
  for (long long s : kSteps)
    if (span / (s * 1000) < most) return s * 1000;
  return span / most + 1;
}

std::string clock(TimeMs t, bool seconds) {
  const std::string full = timeText(t);  // "2026-12-08 17:03:40Z"
  return full.substr(11, seconds ? 8 : 5);
}

constexpr double kW = 540, kH = 240, kLeft = 70, kRight = 14, kTop = 14, kBottom = 46;

}  // namespace

Html htmlRunChart(const RunSeries &s) {
  Html h;
  std::vector<double> values;
  for (const Point &p : s.points) values.push_back(p.value);
  double lo = 0, hi = 0;
  if (!valueRange(values, {s.low, s.high}, lo, hi)) {
    h << "<p class=\"note\">No readings to draw.</p>";
    return h;
  }
  TimeMs t0 = 0, t1 = 0;
  bool anyTime = false;
  for (const Point &p : s.points) {
    if (!drawable(p.value)) continue;
    t0 = anyTime ? std::min(t0, p.time) : p.time;
    t1 = anyTime ? std::max(t1, p.time) : p.time;
    anyTime = true;
  }
  if (t1 - t0 < 2000) t0 -= 60'000, t1 += 60'000;  // one moment: a two-minute window round it
  const TimeMs margin = (t1 - t0) / 40;
  t0 -= margin, t1 += margin;

  const double x0 = kLeft, x1 = kW - kRight, yBottom = kH - kBottom, yTop = kTop;
  const Scale y{lo, hi, yBottom, yTop};
  const Scale x{0, static_cast<double>(t1 - t0), x0, x1};
  auto xOf = [&](TimeMs t) { return x(static_cast<double>(t - t0)); };

  svgOpen(h, "runs", kW, kH, s.title + ": readings over time");
  frame(h, x0, yTop, x1, yBottom);

  // The y-axis: limits first (their labels always show), then round values.
  Labels yLabels;
  for (const std::optional<double> &lim : {s.low, s.high}) {
    if (!lim) continue;
    if (!drawable(*lim)) {
      label(h, x1 - 4, *lim > 0 ? yTop + 12 : yBottom - 4, "end", "lim",
            (*lim > 0 ? "\u2191 limit " : "\u2193 limit ") + sig4(*lim));
      continue;
    }
    const double at = y(*lim);
    line(h, "limit", x0, at, x1, at);
    if (yLabels.fits(at, 6)) label(h, x0 - 4, at + 4, "end", "lim", sig4(*lim));
  }
  for (double v : ticks(lo, hi, 5)) {
    const double at = y(v);
    line(h, "grid", x0, at, x1, at);
    if (yLabels.fits(at, 6)) label(h, x0 - 4, at + 4, "end", "val", sig4(v));
  }
  // The time axis: UTC, the date in the axis title when all is one day.
  const bool oneDay = dateText(t0) == dateText(t1);
  const long long step = timeStep(t1 - t0, oneDay ? 6 : 4);
  Labels xLabels(kW);
  for (TimeMs t = (t0 / step + 1) * step; t <= t1; t += step) {
    std::string text = oneDay ? clock(t, step < 60'000)
                       : step >= 86'400'000 ? dateText(t).substr(5)
                                            : dateText(t).substr(5) + " " + clock(t, false);
    const double at = xOf(t);
    line(h, "grid", at, yTop, at, yBottom);
    if (xLabels.fits(at, textHalfWidth(text))) label(h, at, yBottom + 14, "middle", "val", text);
  }
  label(h, (x0 + x1) / 2, kH - 8, "middle", "axis",
        "start, UTC" + (oneDay ? ", " + dateText(t0) : std::string()));
  h << "<text class=\"axis\" transform=\"rotate(-90)\" x=\"";
  h.coord(-(yTop + yBottom) / 2) << "\" y=\"14\" text-anchor=\"middle\">";
  h.text(s.unit.empty() ? "value" : s.unit) << "</text>";

  // ERROR runs: a mark on the time axis, whether or not they have a reading here.
  for (const Mark &m : s.errors) {
    if (m.time < t0 || m.time > t1) continue;
    h << "<path class=\"errmark\" d=\"M";
    h.coord(xOf(m.time)) << " ";
    h.coord(yBottom - 1) << " l-4 -8 h8 z\"><title>";
    h.text((m.label.empty() ? std::string("(no serial)") : m.label) + ", " + timeText(m.time) +
           ": ERROR")
        << "</title></path>";
  }
  for (const Point &p : s.points) {
    if (!drawable(p.value)) continue;
    const bool out = (s.low && p.value < *s.low) || (s.high && p.value > *s.high);
    h << "<circle class=\"";
    if (p.run == Verdict::Error)
      h << "pt err";
    else if (out)
      h << "pt out";
    else
      h << "pt";
    h << "\" cx=\"";
    h.coord(xOf(p.time)) << "\" cy=\"";
    h.coord(y(p.value)) << "\" r=\"2.5\"><title>";
    h.text((p.label.empty() ? std::string("(no serial)") : p.label) + ", " + timeText(p.time) +
           ": " + sig4(p.value) + (s.unit.empty() ? "" : " " + s.unit) +
           (p.run == Verdict::Pass ? "" : std::string(" (") + verdictName(p.run) + " run)"))
        << "</title></circle>";
  }
  h << "</svg>";
  return h;
}

Html htmlHistogram(const Distribution &d, std::optional<Range> range) {
  Html h;
  if (d.counts.empty()) {
    h << "<p class=\"note\">No readings to draw.</p>";
    return h;
  }
  const double binTo = d.from + d.width * static_cast<double>(d.counts.size());
  double lo = 0, hi = 0;
  if (range) {
    lo = range->lo, hi = range->hi;
  } else if (!valueRange({d.from, binTo}, {d.low, d.high}, lo, hi)) {
    h << "<p class=\"note\">Readings too far apart to draw.</p>";
    return h;
  }
  const double x0 = kLeft, x1 = kW - kRight, base = kH - kBottom, top = kTop + 4;
  const Scale x{lo, hi, x0, x1};
  const std::size_t peak = *std::max_element(d.counts.begin(), d.counts.end());

  svgOpen(h, "hist", kW, kH, d.title + ": distribution");
  frame(h, x0, kTop, x1, base);
  for (std::size_t b = 0; b < d.counts.size(); ++b) {
    if (d.counts[b] == 0 || peak == 0) continue;
    const double from = d.width > 0 ? d.from + d.width * static_cast<double>(b)
                                    : d.from - (hi - lo) * 0.01;
    const double to = d.width > 0 ? from + d.width : d.from + (hi - lo) * 0.01;
    const double xa = std::clamp(x(from), x0, x1), xb = std::clamp(x(to), x0, x1);
    const double height = (base - top) * static_cast<double>(d.counts[b]) / static_cast<double>(peak);
    h << "<rect class=\"bar\" x=\"";
    h.coord(xa) << "\" y=\"";
    h.coord(base - height) << "\" width=\"";
    h.coord(std::max(xb - xa - 0.5, 1.0)) << "\" height=\"";
    h.coord(height) << "\"><title>";
    h.text(sig4(from) + " .. " + sig4(to) + ": " + std::to_string(d.counts[b])) << "</title></rect>";
  }
  Labels xLabels(kW);
  for (const std::optional<double> &lim : {d.low, d.high}) {
    if (!lim) continue;
    if (!drawable(*lim) || *lim < lo || *lim > hi) {
      const bool beyond = *lim > hi;
      label(h, beyond ? x1 - 4 : x0 + 4, kTop + 12, beyond ? Html::Literal("end") : Html::Literal("start"), "lim",
            beyond ? "limit " + sig4(*lim) + " \u2192" : "\u2190 limit " + sig4(*lim));
      continue;
    }
    const double at = x(*lim);
    line(h, "limit", at, kTop, at, base);
    const std::string text = sig4(*lim);
    if (xLabels.fits(at, textHalfWidth(text))) label(h, at, base + 14, "middle", "lim", text);
  }
  for (double v : ticks(lo, hi, 6)) {
    const double at = x(v);
    const std::string text = sig4(v);
    if (xLabels.fits(at, textHalfWidth(text))) label(h, at, base + 14, "middle", "val", text);
  }
  label(h, x0 - 4, top + 8, "end", "val", std::to_string(peak));
  label(h, x0 - 4, base, "end", "val", "0");
  label(h, (x0 + x1) / 2, kH - 8, "middle", "axis", withUnit("reading", d.unit));
  h << "<text class=\"axis\" transform=\"rotate(-90)\" x=\"";
  h.coord(-(kTop + base) / 2) << "\" y=\"14\" text-anchor=\"middle\">runs</text></svg>";
  return h;
}

Html htmlParetoChart(const std::vector<ParetoRow> &rows, std::size_t top) {
  Html h;
  if (rows.empty()) return h;
  const std::size_t n = std::min(rows.size(), top);
  const double rowH = 20, labelW = 260, w = kW, height = 16 + rowH * static_cast<double>(n) + 30;
  const double x0 = labelW, x1 = w - 50;
  std::size_t peak = 1;
  for (std::size_t i = 0; i < n; ++i) peak = std::max(peak, rows[i].phones);
  svgOpen(h, "pareto", w, height, "Failure Pareto: steps by failing phones");
  for (std::size_t i = 0; i < n; ++i) {
    const ParetoRow &r = rows[i];
    const double yy = 12 + rowH * static_cast<double>(i);
    const double len = (x1 - x0) * static_cast<double>(r.phones) / static_cast<double>(peak);
    h << "<text class=\"val\" x=\"";
    h.coord(x0 - 6) << "\" y=\"";
    h.coord(yy + 13) << "\" text-anchor=\"end\">";
    h.text(shortened(r.step, 40)) << "<title>";
    h.text(r.step) << "</title></text><rect class=\"bar fail\" x=\"";
    h.coord(x0) << "\" y=\"";
    h.coord(yy + 2) << "\" width=\"";
    h.coord(std::max(len, 1.0)) << "\" height=\"";
    h.coord(rowH - 5) << "\"><title>";
    h.text(r.step + ": " + std::to_string(r.phones) + " failing phones, " +
           std::to_string(r.runs) + " failing runs")
        << "</title></rect>";
    label(h, x0 + std::max(len, 1.0) + 4, yy + 13, "start", "val", std::to_string(r.phones));
  }
  label(h, (x0 + x1) / 2, height - 8, "middle", "axis", "failing phones");
  h << "</svg>";
  if (rows.size() > n) {
    h << "<p class=\"note\">";
    h.count(rows.size() - n) << " more failing steps in the table.</p>";
  }
  return h;
}

namespace {

// A cell opened with `marked` when the condition holds (a count that is not zero).
Html::Literal tdClass(bool on, Html::Literal marked, Html::Literal plain = "<td>") {
  return on ? marked : plain;
}

// A cell of a number (right-aligned), and one of text (left-aligned).
void numCell(Html &h, const std::string &text) {
  h << "<td>";
  h.text(text) << "</td>";
}

void cell(Html &h, const std::string &text) {
  h << "<td class=\"t\">";
  h.text(text) << "</td>";
}

void namedRow(Html &h, Html::Literal what, const std::vector<Named> &list) {
  h << "<tr><th>" << what << "</th><td>";
  if (list.empty()) h << "-";
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i) h << ", ";
    h << "<b>";
    h.text(list[i].name.empty() ? "(none)" : list[i].name) << "</b> (";
    h.count(list[i].runs) << ")";
  }
  h << "</td></tr>";
}

}  // namespace

Html htmlBanner(const Header &hd) {
  Html h;
  const std::size_t total = hd.simulated + hd.real + hd.unknown;
  if (hd.simulated) {
    h << "<div class=\"banner sim\">SIMULATED TEST SET: ";
    h.count(hd.simulated) << " of ";
    h.count(total)
        << " runs were made on the simulator, not on a real test set. They say nothing about "
           "real phones.</div>\n";
  }
  if (hd.unknown) {
    h << "<div class=\"banner unknown\">";
    h.count(hd.unknown) << " of ";
    h.count(total) << " runs come from schema-1 records, which do not say whether the test set "
                      "was real or simulated.</div>\n";
  }
  return h;
}

Html htmlHeader(const Header &hd) {
  Html h;
  h << "<table class=\"facts\">";
  namedRow(h, "Stations", hd.stations);
  namedRow(h, "Operators", hd.operators);
  if (!hd.hosts.empty()) namedRow(h, "Hosts", hd.hosts);
  h << "<tr><th>Plans</th><td>";
  if (hd.plans.empty()) h << "-";
  for (std::size_t i = 0; i < hd.plans.size(); ++i) {
    if (i) h << "<br/>";
    h << "<b>";
    h.text(hd.plans[i].name.empty() ? "(no name)" : hd.plans[i].name) << "</b> ";
    h.text(hd.plans[i].hash) << " (";
    h.count(hd.plans[i].runs) << ")";
  }
  h << "</td></tr><tr><th>Span (UTC)</th><td>";
  h.text(hd.first ? timeText(*hd.first) + " .. " + timeText(*hd.last) : "-");
  h << "</td></tr><tr><th>Test set</th><td>";
  h << "simulated ";
  h.count(hd.simulated) << ", real ";
  h.count(hd.real) << ", not recorded (schema 1) ";
  h.count(hd.unknown) << "</td></tr>";
  if (hd.namesLeftOut) {
    h << "<tr><th>Not listed</th><td>";
    h.count(hd.namesLeftOut) << " runs under further names</td></tr>";
  }
  h << "</table>\n";
  return h;
}

Html htmlYieldTable(const std::vector<YieldGroup> &groups, std::string_view caption) {
  Html h;
  h << "<table class=\"yield\"><tr><th>";
  h.text(caption)
      << "</th><th>Runs</th><th>PASS</th><th>FAIL</th><th>ERROR</th><th>ABORTED</th>"
         "<th>Serials</th><th>First-pass yield</th><th>Final yield</th><th>Retests</th></tr>\n";
  for (const YieldGroup &g : groups) {
    h << "<tr>";
    cell(h, g.key.empty() ? "(none)" : g.key);
    h << "<td>";
    h.count(g.runs) << "</td><td>";
    h.count(g.pass) << "</td>" << tdClass(g.fail, "<td class=\"fail\">");
    h.count(g.fail) << "</td>" << tdClass(g.error, "<td class=\"err\">");
    h.count(g.error) << "</td><td>";
    h.count(g.aborted) << "</td><td>";
    h.count(g.serials) << "</td><td title=\"";
    h.count(g.firstPass) << " of ";
    h.count(g.firstAttempts) << "\">";
    h.text(percent(g.firstPassYield())) << "</td><td title=\"";
    h.count(g.finalPass) << " of ";
    h.count(g.serials) << "\">";
    h.text(percent(g.finalYield())) << "</td><td>";
    h.count(g.retests) << "</td></tr>\n";
  }
  h << "</table>\n";
  return h;
}

Html htmlParetoTable(const std::vector<ParetoRow> &rows) {
  Html h;
  if (rows.empty()) {
    h << "<p>No step failed.</p>\n";
    return h;
  }
  h << "<table class=\"pareto\"><tr><th>Step</th><th>Failing phones</th><th>Failing runs</th></tr>";
  for (const ParetoRow &r : rows) {
    h << "<tr>";
    cell(h, r.step);
    h << "<td>";
    h.count(r.phones) << "</td><td>";
    h.count(r.runs) << "</td></tr>";
  }
  h << "</table>\n";
  return h;
}

Html htmlPhoneTable(const std::vector<PhoneRow> &rows, std::size_t leftOut) {
  Html h;
  if (rows.empty()) {
    h << "<p>No phone failed and no run was ERROR.</p>\n";
    return h;
  }
  h << "<table class=\"phones\"><tr><th>Serial</th><th>Station</th><th>Start (UTC)</th>"
       "<th>Attempt</th><th>Verdict</th><th>Step</th><th>Value</th><th>Low</th><th>High</th>"
       "<th>Note</th></tr>\n";
  for (const PhoneRow &p : rows) {
    h << "<tr>";
    cell(h, p.serial.empty() ? "-" : p.serial);
    cell(h, p.station);
    cell(h, p.time ? timeText(*p.time) : p.start);
    numCell(h, p.attempt ? std::to_string(*p.attempt) : "-");
    h << tdClass(p.verdict == Verdict::Error, "<td class=\"err\">", "<td class=\"fail\">");
    h.text(verdictName(p.verdict)) << "</td><td class=\"t wrap\">";
    h.text(p.step) << "</td>";
    numCell(h, p.value ? sig4(p.value) + (p.unit.empty() ? "" : " " + p.unit) : "-");
    numCell(h, sig4(p.low));
    numCell(h, sig4(p.high));
    h << "<td class=\"t wrap\">";
    h.text(p.note) << "</td>";
    h << "</tr>\n";
  }
  h << "</table>\n";
  if (leftOut) {
    h << "<p class=\"note\">And ";
    h.count(leftOut) << " more failing or ERROR runs, not listed.</p>\n";
  }
  return h;
}

Html htmlStepTable(const std::vector<StepStats> &steps) {
  Html h;
  if (steps.empty()) {
    h << "<p>No measured steps.</p>\n";
    return h;
  }
  h << "<table class=\"steps\"><tr><th>Step</th><th>Unit</th><th>Count</th><th>Fails</th>"
       "<th>ERROR</th><th>Min</th><th>Mean</th><th>Max</th><th>Std dev</th><th>Low</th>"
       "<th>High</th><th>Cpk</th></tr>\n";
  for (const StepStats &s : steps) {
    const bool any = s.count > 0;
    h << "<tr>";
    cell(h, s.name);
    cell(h, s.unit);
    h << "<td>";
    h.count(s.count) << "</td>" << tdClass(s.fails, "<td class=\"fail\">");
    h.count(s.fails) << "</td>" << tdClass(s.errors, "<td class=\"err\">");
    h.count(s.errors) << "</td>";
    numCell(h, any ? sig4(s.min) : "-");
    numCell(h, any ? sig4(s.mean) : "-");
    numCell(h, any ? sig4(s.max) : "-");
    numCell(h, sig4(s.stddev));
    numCell(h, s.limitsVary ? "varies" : sig4(s.low));
    numCell(h, s.limitsVary ? "varies" : sig4(s.high));
    if (s.timing) {
      h << "<td class=\"note\">time</td>";
    } else {
      h << "<td>";
      h.text(sig4(s.cpk));
      if (s.cpk && s.cpkIndicative()) h << " <span class=\"ind\">indicative</span>";
      h << "</td>";
    }
    h << "</tr>\n";
  }
  h << "</table>\n<p class=\"note\">Cpk for measured quantities only (a time taken has none); "
       "indicative under ";
  h.count(kCpkReadings) << " readings. Four significant figures.</p>\n";
  return h;
}

namespace {

constexpr Html::Literal kStyle =
    "body{font-family:sans-serif;margin:24px;color:#222;background:#fff}"
    "h1{font-size:22px}h2{font-size:18px;margin-top:28px}h3{font-size:15px;margin:18px 0 4px}"
    "table{border-collapse:collapse;margin:6px 0}td,th{border:1px solid #bbb;padding:3px 8px;"
    "text-align:right;white-space:nowrap}td.wrap{white-space:normal;min-width:160px;max-width:320px}td:first-child,th:first-child{text-align:left}"
    "table.facts th,table.facts td,td.t{text-align:left}pre{background:#f4f4f4;padding:8px}"
    "summary{margin-top:8px;cursor:pointer}.fail{color:#b00}.err{color:#c60}.note{color:#666}"
    ".ind{color:#a60;font-size:11px}"
    ".banner{padding:10px 14px;margin:10px 0;font-weight:bold}"
    ".banner.sim{background:#c00;color:#fff;font-size:20px;border:4px dashed #fff;"
    "outline:3px solid #c00}.banner.unknown,.banner.skip{background:#fff3cd;color:#664d03;"
    "border:1px solid #e0c060}"
    "svg{margin:0 12px 8px 0;font-size:11px}svg text{fill:#444}svg text.lim{fill:#c00}"
    "svg text.axis{fill:#222;font-size:12px}.frame{fill:#fafafa;stroke:#999}"
    ".grid{stroke:#e4e4e4}.pt{fill:#1f5fa8}.pt.out{fill:#c00}"
    ".pt.err{fill:none;stroke:#e07000;stroke-width:1.5}.errmark{fill:#e07000}"
    ".bar{fill:#5b8fd0}.bar.fail{fill:#c44}"
    ".limit{stroke:#c00;stroke-width:1.5;stroke-dasharray:6 3}";

}  // namespace

Html htmlPage(const PageShell &shell, const Html &body) {
  Html h;
  h << "<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\"><head>"
       "<meta charset=\"utf-8\"/>";
  if (shell.refreshSeconds > 0) {
    h << "<meta http-equiv=\"refresh\" content=\"";
    h.count(static_cast<std::size_t>(shell.refreshSeconds)) << "\"/>";
  }
  h << "<title>";
  h.text(shell.title) << "</title><style>" << kStyle << "</style></head><body>\n"
                      << body << "</body></html>\n";
  return h;
}

Html htmlReport(const Report &r) {
  Html b;
  std::string stations;
  for (const Named &n : r.header.stations) stations += (stations.empty() ? "" : ", ") + n.name;
  const std::string span =
      r.header.first ? timeText(*r.header.first) + " .. " + timeText(*r.header.last) : "";
  b << "<h1>Zolvane test summary</h1>\n" << htmlBanner(r.header);
  const InputFacts &in = r.input;
  if (in.skipped) {
    b << "<div class=\"banner skip\">";
    b.count(in.skipped) << " lines of the input are not records and were skipped:";
    for (const std::string &s : in.skippedNamed) {
      b << "<br/>";
      b.text(s);
    }
    if (in.skipped > in.skippedNamed.size()) {
      b << "<br/>and ";
      b.count(in.skipped - in.skippedNamed.size()) << " more";
    }
    b << "</div>\n";
  }
  b << "<p class=\"note\">";
  b.count(in.records) << " records from ";
  for (std::size_t i = 0; i < in.sources.size(); ++i) {
    if (i) b << ", ";
    b.text(in.sources[i]);
  }
  if (in.duplicates) {
    b << "; ";
    b.count(in.duplicates) << " read twice, counted once";
  }
  if (!in.filter.empty()) {
    b << "; filter: ";
    b.text(in.filter) << " (";
    b.count(in.filteredOut) << " left out)";
  }
  b << ".</p>\n" << htmlHeader(r.header);

  b << "<h2>Yield</h2>\n" << htmlYieldTable({r.all}, "Group");
  b << "<p class=\"note\">First-pass yield: serials whose first attempt passed, of the serials "
       "whose first attempt is here. Final yield: serials whose last attempt passed. Only PASS "
       "and FAIL runs are attempts; ERROR and ABORTED are the station's.</p>\n";
  if (r.byStation.size() > 1) b << htmlYieldTable(r.byStation, "Station");
  if (r.byPlan.size() > 1) b << htmlYieldTable(r.byPlan, "Plan");

  b << "<h2>Failure Pareto</h2>\n" << htmlParetoChart(r.pareto) << htmlParetoTable(r.pareto);
  b << "<h2>Failing and ERROR phones</h2>\n" << htmlPhoneTable(r.phones, r.phonesLeftOut);
  b << "<h2>Measured steps</h2>\n" << htmlStepTable(r.steps);
  if (r.stepReadingsLeftOut) {
    b << "<p class=\"note\">";
    b.count(r.stepReadingsLeftOut) << " steps under names past the first ";
    b.count(kMaxSteps) << " were not analysed.</p>\n";
  }
  if (r.testTime.count) {
    b << "<p>Test time: mean ";
    b.num(r.testTime.mean) << " s, max ";
    b.num(r.testTime.max) << " s, std dev ";
    b.text(sig4(r.testTime.stddev)) << " s.</p>\n";
  }

  if (!r.charts.empty())
    b << "<h2>Charts</h2>\n<p class=\"note\">Points: a reading (blue), beyond a limit (red), "
         "in an ERROR run (orange ring); an orange triangle on the time axis marks an ERROR run. "
         "Hover a point for its serial.</p>\n";
  for (const StepChart &c : r.charts) {
    b << "<h3>";
    b.text(withUnit(c.runs.title, c.runs.unit)) << "</h3>\n<div class=\"charts\">"
                                                << htmlRunChart(c.runs)
                                                << htmlHistogram(c.histogram) << "</div>\n";
    if (c.runs.leftOut) {
      b << "<p class=\"note\">The latest ";
      b.count(c.runs.points.size()) << " readings; ";
      b.count(c.runs.leftOut) << " earlier ones are in the statistics but not drawn.</p>\n";
    }
  }
  if (r.chartsLeftOut) {
    b << "<p class=\"note\">";
    b.count(r.chartsLeftOut) << " more measured steps are not charted (at most ";
    b.count(kMaxCharts) << " charts).</p>\n";
  }
  if (!r.planToml.empty()) {
    b << "<details><summary>The plan in force</summary><pre>";
    b.text(r.planToml) << "</pre></details>\n";
  }
  std::string title = "Zolvane test summary";
  if (!stations.empty()) title += ": " + stations;
  if (!span.empty()) title += ", " + span;
  if (r.header.simulated) title = "SIMULATED - " + title;
  return htmlPage({title, 0}, b);
}

}  // namespace zolvane::analysis
