// The HTML report: one XHTML-compatible file with inline SVG and an inline style, nothing loaded
// from elsewhere, so that it opens offline and passes an XML parser.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "format.h"
#include "summary.h"

namespace phone_test::summary {
namespace {

// Writes through stdio and remembers the first failure, so that one check at the end covers all.
class Writer {
 public:
  explicit Writer(std::FILE *f) : f_(f) {}
  Writer &operator<<(std::string_view s) {
    if (ok_ && std::fwrite(s.data(), 1, s.size(), f_) != s.size()) ok_ = false, errno_ = errno;
    return *this;
  }
  Writer &operator<<(const std::string &s) { return *this << std::string_view(s); }
  Writer &operator<<(const char *s) { return *this << std::string_view(s); }
  Writer &operator<<(std::size_t n) { return *this << std::to_string(n); }
  // Coordinates: one decimal is finer than a pixel.
  Writer &operator<<(double v) { return *this << fixed(v, 1); }
  bool ok() const { return ok_; }
  int error() const { return errno_; }

 private:
  std::FILE *f_;
  bool ok_ = true;
  int errno_ = 0;
};

// Text for markup: escaped, and valid XML characters only (bad UTF-8 and control characters
// from a record or a plan file become U+FFFD rather than break the file).
std::string esc(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  const auto *p = reinterpret_cast<const unsigned char *>(in.data());
  const auto *end = p + in.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      switch (c) {
        case '&':
          out += "&amp;";
          break;
        case '<':
          out += "&lt;";
          break;
        case '>':
          out += "&gt;";
          break;
        case '"':
          out += "&quot;";
          break;
        case '\'':
          out += "&#39;";
          break;
        default:
          if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
            out += "\xEF\xBF\xBD";
          else
            out += static_cast<char>(c);
      }
      continue;
    }
    // A UTF-8 sequence: its length from the lead byte, each continuation byte checked, and no
    // overlong form, surrogate or value past U+10FFFF.
    std::size_t len = c >= 0xF0 && c <= 0xF4 ? 4
                      : c >= 0xE0            ? (c <= 0xEF ? 3 : 0)
                      : c >= 0xC2            ? 2
                                             : 0;
    bool good = len != 0 && static_cast<std::size_t>(end - p) >= len;
    for (std::size_t i = 1; good && i < len; ++i) good = (p[i] & 0xC0) == 0x80;
    if (good && len == 3) {
      good = !(c == 0xE0 && p[1] < 0xA0) && !(c == 0xED && p[1] >= 0xA0) &&
             !(c == 0xEF && p[1] == 0xBF && p[2] >= 0xBE);
    }
    if (good && len == 4) good = !(c == 0xF0 && p[1] < 0x90) && !(c == 0xF4 && p[1] >= 0x90);
    if (good) {
      out.append(reinterpret_cast<const char *>(p), len);
      p += len;
    } else {
      out += "\xEF\xBF\xBD";
      ++p;
    }
  }
  return out;
}

bool outside(double v, const Summary::Step &s) {
  return (s.low && v < *s.low) || (s.high && v > *s.high);
}

constexpr double kW = 540, kH = 220, kLeft = 72, kRight = 12, kTop = 12, kBottom = 30;

// Far enough from the largest double that a range and its padding stay finite.
bool drawable(double v) { return std::abs(v) < 1e300; }

struct Scale {
  double lo, hi;                           // data range, padded
  bool showLow = false, showHigh = false;  // limits inside the range; others get an edge note
  double map(double v, double from, double to) const {
    return from + (v - lo) / (hi - lo) * (to - from);
  }
};

// The readings' range, widened to a limit only where that keeps the readings legible: a limit
// more than twice the readings' spread away is noted at the edge instead.
Scale rangeOf(const Summary::Step &s) {
  const double dataLo = s.stats.min(), dataHi = s.stats.max(), span = dataHi - dataLo;
  Scale sc{dataLo, dataHi};
  auto near = [&](double lim) {
    return drawable(lim) && (span == 0.0 || (lim >= dataLo - 2 * span && lim <= dataHi + 2 * span));
  };
  if (!s.limitsVary) {
    sc.showLow = s.low && near(*s.low);
    sc.showHigh = s.high && near(*s.high);
    for (const std::optional<double> &lim :
         {sc.showLow ? s.low : std::nullopt, sc.showHigh ? s.high : std::nullopt}) {
      if (lim) sc.lo = std::min(sc.lo, *lim), sc.hi = std::max(sc.hi, *lim);
    }
  }
  double pad = (sc.hi - sc.lo) * 0.08;
  if (!(pad > 0)) pad = std::max(std::abs(sc.lo) * 0.05, 1e-3);
  sc.lo -= pad;
  sc.hi += pad;
  return sc;
}

void axisLabel(Writer &w, double x, double y, const char *anchor, const std::string &text,
               const char *cls = "") {
  w << "<text class=\"" << cls << "\" x=\"" << x << "\" y=\"" << y << "\" text-anchor=\"" << anchor
    << "\">" << esc(text) << "</text>";
}

// Axis labels that would overlap one already placed are left out; limits are placed first.
class Labels {
 public:
  Labels(Writer &w, double gap) : w_(w), gap_(gap) {}
  void add(double pos, double x, double y, const char *anchor, const char *cls, double v) {
    for (double p : placed_)
      if (std::abs(p - pos) < gap_) return;
    placed_.push_back(pos);
    w_ << "<text class=\"" << cls << "\" x=\"" << x << "\" y=\"" << y << "\" text-anchor=\""
       << anchor << "\">" << number(v, 5) << "</text>";
  }

 private:
  Writer &w_;
  double gap_;
  std::vector<double> placed_;
};

void limitLinesY(Writer &w, const Summary::Step &s, const Scale &sc, Labels &labels) {
  if (s.limitsVary) return;
  const std::pair<const std::optional<double> &, bool> limits[] = {{s.low, sc.showLow},
                                                                   {s.high, sc.showHigh}};
  for (const auto &[lim, shown] : limits) {
    if (!lim) continue;
    if (!shown) {
      const bool above = *lim > sc.hi;
      axisLabel(w, kW - kRight - 4, above ? kTop + 12 : kH - kBottom - 4, "end",
                (above ? "\u2191 limit " : "\u2193 limit ") + number(*lim, 6), "lim");
      continue;
    }
    const double y = sc.map(*lim, kH - kBottom, kTop);
    w << "<line class=\"limit\" x1=\"" << kLeft << "\" y1=\"" << y << "\" x2=\"" << (kW - kRight)
      << "\" y2=\"" << y << "\"/>";
    labels.add(y, kLeft - 4, y + 4, "end", "lim", *lim);
  }
}

// Every run's reading as a point (class "pt"; "pt out" beyond a limit), x the run number.
void runChart(Writer &w, const Summary::Step &s, std::size_t runs) {
  const Scale sc = rangeOf(s);
  w << "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"runs\" width=\"" << kW << "\" height=\""
    << kH << "\" viewBox=\"0 0 " << kW << " " << kH << "\"><title>" << esc(s.name)
    << ": values run by run</title>";
  w << "<rect class=\"frame\" x=\"" << kLeft << "\" y=\"" << kTop << "\" width=\""
    << (kW - kLeft - kRight) << "\" height=\"" << (kH - kTop - kBottom) << "\"/>";
  Labels labels(w, 12);
  limitLinesY(w, s, sc, labels);
  for (double v : {s.stats.max(), s.stats.min()}) {
    const double y = sc.map(v, kH - kBottom, kTop);
    labels.add(y, kLeft - 4, y + 4, "end", "val", v);
  }
  axisLabel(w, kLeft, kH - 10, "start", "run 1");
  axisLabel(w, kW - kRight, kH - 10, "end", "run " + std::to_string(runs));
  const double x0 = kLeft + 6, x1 = kW - kRight - 6;
  for (std::size_t i = 0; i < s.values.size(); ++i) {
    const double v = s.values[i];
    if (std::isnan(v)) continue;
    const double x = runs > 1
                         ? x0 + (x1 - x0) * static_cast<double>(i) / static_cast<double>(runs - 1)
                         : (x0 + x1) / 2;
    w << "<circle class=\"" << (outside(v, s) ? "pt out" : "pt") << "\" cx=\"" << x << "\" cy=\""
      << sc.map(v, kH - kBottom, kTop) << "\" r=\"2.5\"/>";
  }
  w << "</svg>";
}

// Sturges' rule, at most 40 bins; limits drawn where they fall.
void histogram(Writer &w, const Summary::Step &s) {
  const std::size_t n = s.stats.count();
  const Scale sc = rangeOf(s);
  const std::size_t bins = std::clamp<std::size_t>(
      static_cast<std::size_t>(std::ceil(std::log2(static_cast<double>(n)))) + 1, 1, 40);
  const double lo = s.stats.min(), hi = s.stats.max();
  const double width = hi > lo ? (hi - lo) / static_cast<double>(bins) : 0.0;
  std::vector<std::size_t> counts(hi > lo ? bins : 1, 0);
  for (double v : s.values) {
    if (std::isnan(v)) continue;
    std::size_t b = width > 0 ? static_cast<std::size_t>((v - lo) / width) : 0;
    ++counts[std::min(b, counts.size() - 1)];
  }
  const std::size_t peak = *std::max_element(counts.begin(), counts.end());

  w << "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"hist\" width=\"" << kW << "\" height=\""
    << kH << "\" viewBox=\"0 0 " << kW << " " << kH << "\"><title>" << esc(s.name)
    << ": histogram</title>";
  w << "<rect class=\"frame\" x=\"" << kLeft << "\" y=\"" << kTop << "\" width=\""
    << (kW - kLeft - kRight) << "\" height=\"" << (kH - kTop - kBottom) << "\"/>";
  const double left = kLeft, right = kW - kRight, base = kH - kBottom, top = kTop + 4;
  axisLabel(w, kLeft - 4, top + 8, "end", std::to_string(peak));
  axisLabel(w, kLeft - 4, base, "end", "0");
  for (std::size_t b = 0; b < counts.size(); ++b) {
    if (counts[b] == 0 || peak == 0) continue;
    const double from =
        counts.size() > 1 ? lo + width * static_cast<double>(b) : lo - (sc.hi - sc.lo) * 0.02;
    const double to = counts.size() > 1 ? from + width : lo + (sc.hi - sc.lo) * 0.02;
    const double xa = sc.map(from, left, right), xb = sc.map(to, left, right);
    const double h = (base - top) * static_cast<double>(counts[b]) / static_cast<double>(peak);
    w << "<rect class=\"bar\" x=\"" << xa << "\" y=\"" << (base - h) << "\" width=\""
      << std::max(xb - xa - 0.5, 1.0) << "\" height=\"" << h << "\"/>";
  }
  Labels labels(w, 44);
  if (!s.limitsVary) {
    const std::pair<const std::optional<double> &, bool> limits[] = {{s.low, sc.showLow},
                                                                     {s.high, sc.showHigh}};
    for (const auto &[lim, shown] : limits) {
      if (!lim) continue;
      if (!shown) {
        const bool beyond = *lim > sc.hi;
        axisLabel(
            w, beyond ? right - 4 : left + 4, kTop + 12, beyond ? "end" : "start",
            beyond ? "limit " + number(*lim, 6) + " \u2192" : "\u2190 limit " + number(*lim, 6),
            "lim");
        continue;
      }
      const double x = sc.map(*lim, left, right);
      w << "<line class=\"limit\" x1=\"" << x << "\" y1=\"" << kTop << "\" x2=\"" << x << "\" y2=\""
        << base << "\"/>";
      labels.add(x, x, kH - 14, "middle", "lim", *lim);
    }
  }
  for (double v : {lo, hi}) {
    const double x = sc.map(v, left, right);
    labels.add(x, x, kH - 14, "middle", "val", v);
  }
  w << "</svg>";
}

constexpr const char *kStyle =
    "body{font-family:sans-serif;margin:24px;color:#222;background:#fff}"
    "h1{font-size:22px}h2{font-size:18px;margin-top:28px}h3{font-size:15px;margin:18px 0 4px}"
    "table{border-collapse:collapse}td,th{border:1px solid #bbb;padding:3px 8px;text-align:right}"
    "td:first-child,th:first-child{text-align:left}pre{background:#f4f4f4;padding:8px}summary{"
    "margin-top:8px;cursor:pointer}"
    ".pass{color:#167a16}.fail{color:#b00}"
    "svg{margin:0 12px 8px 0;font-size:11px}svg text{fill:#444}svg text.lim{fill:#c00}"
    ".frame{fill:#fafafa;stroke:#999}.pt{fill:#1f5fa8}.pt.out{fill:#c00}"
    ".bar{fill:#5b8fd0}.limit{stroke:#c00;stroke-width:1.5;stroke-dasharray:6 3}";

}  // namespace

bool Summary::writeHtml(const std::string &path, const std::string &planToml,
                        std::string &error) const {
  // Written beside the target and renamed over it: a failed write leaves no half report.
  const std::string tmp = path + ".tmp";
  std::FILE *f = std::fopen(tmp.c_str(), "wb");
  if (!f) {
    error = path + ": cannot be written: " + std::strerror(errno);
    return false;
  }
  Writer w(f);
  w << "<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\"><head>"
       "<meta charset=\"utf-8\"/><title>Zolvane phone test report</title><style>"
    << kStyle << "</style></head><body>\n<h1>Zolvane phone test report</h1>\n<h2>Plan</h2>\n";
  if (plans_.empty() && planToml.empty()) {
    w << "<p>No records.</p>\n";
  } else if (!plans_.empty()) {
    w << "<table><tr><th>Plan</th><th>Hash</th><th>Runs</th></tr>";
    for (const Plan &p : plans_)
      w << "<tr><td>" << esc(p.name) << "</td><td>" << esc(p.hash) << "</td><td>" << p.runs
        << "</td></tr>";
    w << "</table>\n";
  }
  // The plan's text, folded: the tables and charts come first on screen.
  if (!planToml.empty())
    w << "<details><summary>The plan in force</summary><pre>" << esc(planToml)
      << "</pre></details>\n";

  const std::optional<double> y = yield();
  w << "<h2>Yield</h2>\n<table><tr><th>Runs</th><th>PASS</th><th>FAIL</th><th>ERROR</th>"
       "<th>ABORTED</th><th>Yield (PASS of PASS + FAIL)</th></tr><tr><td>"
    << runs_ << "</td><td>" << pass_ << "</td><td>" << fail_ << "</td><td>" << error_ << "</td><td>"
    << aborted_ << "</td><td>" << (y ? fixed(100.0 * *y, 2) + " %" : std::string("-"))
    << "</td></tr></table>\n";

  w << "<h2>Measured steps</h2>\n";
  if (steps_.empty()) {
    w << "<p>No measured steps.</p>\n";
  } else {
    w << "<table><tr><th>Step</th><th>Unit</th><th>Count</th><th>Fails</th><th>Min</th>"
         "<th>Mean</th><th>Max</th><th>Std dev</th><th>Low</th><th>High</th><th>Cpk</th></tr>\n";
    for (const Step &s : steps_) {
      const bool any = s.stats.count() > 0;
      const std::optional<double> c = s.limitsVary ? std::nullopt : cpk(s.stats, s.low, s.high);
      w << "<tr><td>" << esc(s.name) << "</td><td>" << esc(s.unit) << "</td><td>" << s.stats.count()
        << "</td><td class=\"" << (s.fails ? "fail" : "pass") << "\">" << s.fails << "</td><td>"
        << orDash(any ? std::optional(s.stats.min()) : std::nullopt, 6) << "</td><td>"
        << orDash(any ? std::optional(s.stats.mean()) : std::nullopt, 6) << "</td><td>"
        << orDash(any ? std::optional(s.stats.max()) : std::nullopt, 6) << "</td><td>"
        << orDash(s.stats.stddev(), 4) << "</td><td>" << (s.limitsVary ? "varies" : orDash(s.low))
        << "</td><td>" << (s.limitsVary ? "varies" : orDash(s.high)) << "</td><td>" << cpkText(c)
        << "</td></tr>\n";
    }
    w << "</table>\n";
  }

  for (const Step &s : steps_) {
    w << "<h3>" << esc(s.name) << (s.unit.empty() ? "" : " (" + esc(s.unit) + ")") << "</h3>\n";
    if (s.stats.count() == 0 || s.values.empty()) {
      w << "<p>No readings.</p>\n";
      continue;
    }
    if (!drawable(s.stats.min()) || !drawable(s.stats.max())) {
      w << "<p>Readings too far apart to draw.</p>\n";
      continue;
    }
    w << "<div class=\"charts\">";
    runChart(w, s, runs_);
    histogram(w, s);
    w << "</div>\n";
  }
  w << "</body></html>\n";

  bool written = w.ok() && std::fflush(f) == 0;
  int cause = w.ok() ? errno : w.error();
  if (std::fclose(f) != 0 && written) written = false, cause = errno;
  if (!written) {
    error = path + ": cannot be written: " + std::strerror(cause);
    std::remove(tmp.c_str());
    return false;
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    error = path + ": cannot be written: " + std::strerror(errno);
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace phone_test::summary
