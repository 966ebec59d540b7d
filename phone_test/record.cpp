#include "record.h"

#include <charconv>
#include <cmath>

namespace phone_test {
namespace {

// To the millisecond: the clock says no more.
double milliseconds(double s) { return std::round(s * 1000.0) / 1000.0; }

nlohmann::json number(const std::optional<double> &v) {
  return v ? nlohmann::json(*v) : nlohmann::json(nullptr);
}

std::string csvField(const std::string &s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string q = "\"";
  for (char c : s) {
    if (c == '"') q += '"';
    q += c;
  }
  return q + "\"";
}

// Shortest text that reads back as the same double, with a point whatever the locale.
std::string csvNumber(const std::optional<double> &v) {
  if (!v) return "";
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, *v);
  return ec == std::errc() ? std::string(buf, end) : std::string();
}

const char *const kColumns[] = {"serial", "station",  "operator", "plan",  "plan_hash",
                                "start",  "phone_verdict", "index", "step", "value",
                                "unit",   "low",      "high",     "verdict", "seconds",
                                "note"};

}  // namespace

nlohmann::json toJson(const PhoneRecord &r) {
  nlohmann::json steps = nlohmann::json::array();
  int index = 0;
  for (const Row &row : r.rows) {
    steps.push_back({{"index", ++index},
                     {"name", row.step},
                     {"value", number(row.number)},
                     {"unit", row.unit},
                     {"low", number(row.low)},
                     {"high", number(row.high)},
                     {"verdict", verdictText(row.verdict)},
                     {"seconds", row.verdict == Verdict::Skip ? 0.0 : milliseconds(row.seconds)},
                     {"note", row.note}});
  }
  return {{"schema_version", kSchemaVersion},
          {"serial", r.serial},
          {"station", r.station},
          {"operator", r.operatorName},
          {"plan", r.plan},
          {"plan_hash", r.planHash},
          {"library_version", ZOLVANE_PHONE_TEST_VERSION},
          {"program_version", ZOLVANE_PHONE_TEST_VERSION},
          {"start", r.start},
          {"duration_s", milliseconds(r.seconds)},
          {"verdict", verdictText(r.verdict)},
          {"steps", steps}};
}

std::string jsonLine(const nlohmann::json &record) {
  return record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string csvHeader() {
  std::string h;
  for (const char *c : kColumns) h += (h.empty() ? "" : ",") + std::string(c);
  return h + "\r\n";
}

std::string csvRows(const PhoneRecord &r) {
  std::string out;
  int index = 0;
  for (const Row &row : r.rows) {
    const std::string fields[] = {
        r.serial,       r.station,
        r.operatorName, r.plan,
        r.planHash,     r.start,
        verdictText(r.verdict), std::to_string(++index),
        row.step,       csvNumber(row.number),
        row.unit,       csvNumber(row.low),
        csvNumber(row.high), verdictText(row.verdict),
        csvNumber(row.verdict == Verdict::Skip ? 0.0 : milliseconds(row.seconds)),
        row.note};
    bool first = true;
    for (const std::string &f : fields) {
      if (!first) out += ',';
      out += csvField(f);
      first = false;
    }
    out += "\r\n";
  }
  return out;
}

}  // namespace phone_test
