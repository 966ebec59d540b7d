#include "query.h"

#include <charconv>

#include <httplib.h>

#include "line_time.h"

namespace zolvane::line {

std::string Query::text(const char *name) const {
  return q_.has_param(name) ? q_.get_param_value(name) : std::string();
}

std::optional<std::string> Query::time(const char *name, const char *alias) {
  std::string v = text(name);
  if (v.empty()) v = text(alias);
  if (v.empty()) return std::nullopt;
  auto t = utcText(v);
  if (!t && error_.empty()) error_ = std::string(name) + " is not an ISO 8601 time";
  return t;
}

Filter Query::filter() {
  Filter f;
  f.from = time("from", "since");
  f.to = time("to", "until");
  if (const std::string s = text("span"); !s.empty() && !f.from) {
    if (const auto d = span(s)) {
      f.from = utcText(std::chrono::system_clock::now() - *d);
    } else if (error_.empty()) {
      error_ = "span is a number and m, h or d (15m, 8h, 30d)";
    }
  }
  if (const std::string s = text("station"); !s.empty()) f.station = s;
  if (const std::string s = text("plan"); !s.empty()) f.plan = s;
  return f;
}

std::optional<GroupBy> Query::groupBy() {
  const std::string v = text("group_by");
  static const std::pair<const char *, GroupBy> kNames[] = {
      {"station", GroupBy::Station}, {"plan", GroupBy::Plan},  {"hour", GroupBy::Hour},
      {"day", GroupBy::Day},         {"station_plan", GroupBy::StationPlan}};
  if (v.empty()) return GroupBy::Station;
  for (const auto &[name, by] : kNames)
    if (v == name) return by;
  if (error_.empty()) error_ = "group_by is station, plan, hour, day or station_plan";
  return GroupBy::Station;
}

std::size_t Query::limit(std::size_t fallback, std::size_t most) {
  const std::string v = text("limit");
  if (v.empty()) return fallback;
  std::size_t n = 0;
  auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
  if (ec != std::errc() || p != v.data() + v.size() || n == 0 || n > most) {
    if (error_.empty()) error_ = "limit is a whole number 1 to " + std::to_string(most);
    return fallback;
  }
  return n;
}

}  // namespace zolvane::line
