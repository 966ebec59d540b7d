// Renderers: result structs in, text out. They never see a record, so the station's summary and
// the line server's pages (filling the same structs from SQL) print the same figures.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "results.h"

namespace zolvane::analysis {

// ---- Plain text, for a terminal: control characters in names are shown as '?'.
std::string textReport(const Report &r);
std::string textYieldTable(const std::vector<YieldGroup> &groups, std::string_view title);

// ---- JSON. Numbers unrounded, none as null; fractions 0..1.
nlohmann::json jsonYield(const YieldGroup &g);
nlohmann::json jsonPareto(const std::vector<ParetoRow> &rows);
nlohmann::json jsonStep(const StepStats &s);
nlohmann::json jsonReport(const Report &r);
// Text of a JSON value with bad UTF-8 replaced by U+FFFD (never an exception).
std::string jsonText(const nlohmann::json &j, int indent = -1);

// ---- HTML (XHTML-compatible, inline SVG and style, nothing loaded from elsewhere).
// Markup that can only be built escaped: literal markup goes in as string literals (checked at
// compile time), everything else through text(), which escapes it and replaces control
// characters and bad UTF-8 with U+FFFD.
class Html {
 public:
  struct Literal {
    consteval Literal(const char *s) : text(s) {}  // NOLINT: string literals only
    const char *text;
  };
  Html &operator<<(Literal markup);
  Html &operator<<(const Html &fragment);
  Html &text(std::string_view s);
  Html &num(double v);             // four significant figures
  Html &count(std::size_t n);
  Html &coord(double v);           // one decimal, for SVG coordinates
  const std::string &str() const { return out_; }
  bool empty() const { return out_.empty(); }

 private:
  std::string out_;
};

// The simulated-test-set banner (empty when every run was on a real test set).
Html htmlBanner(const Header &h);
// Stations, operators, plans, hosts, span, test set.
Html htmlHeader(const Header &h);
Html htmlYieldTable(const std::vector<YieldGroup> &groups, std::string_view caption);
Html htmlParetoChart(const std::vector<ParetoRow> &rows, std::size_t top = 10);
Html htmlParetoTable(const std::vector<ParetoRow> &rows);
Html htmlPhoneTable(const std::vector<PhoneRow> &rows, std::size_t leftOut);
Html htmlStepTable(const std::vector<StepStats> &steps);
// Readings over time: limits as dashed lines inside the y-range, the serial in each point's
// tooltip, ERROR runs marked.
Html htmlRunChart(const RunSeries &s);
// A histogram with its limits. `range`: a shared x-range for histograms shown side by side
// (one step at several stations); none: the readings' own, widened to the limits.
struct Range {
  double lo, hi;
};
Html htmlHistogram(const Distribution &d, std::optional<Range> range = std::nullopt);

struct PageShell {
  std::string title;
  int refreshSeconds = 0;  // 0: no refresh
};
// A whole page around `body`, with the style every fragment above uses.
Html htmlPage(const PageShell &shell, const Html &body);
// The whole static report.
Html htmlReport(const Report &r);

}  // namespace zolvane::analysis
