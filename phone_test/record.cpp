#include "record.h"

#include "record_schema.h"

#include <charconv>
#include <cmath>
#include <string_view>

namespace phone_test {
namespace {

// To the millisecond: the clock says no more.
double milliseconds(double s) { return std::round(s * 1000.0) / 1000.0; }

nlohmann::json number(const std::optional<double> &v) {
  return v ? nlohmann::json(*v) : nlohmann::json(nullptr);
}

// Text as the JSON line has it: what is not valid UTF-8 replaced with U+FFFD, byte for byte the
// same substitution (nlohmann's own, through a JSON string and back).
std::string sameAsJson(const std::string &s) {
  nlohmann::json text = s;
  return nlohmann::json::parse(text.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))
      .get<std::string>();
}

std::string csvQuoted(const std::string &s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string q = "\"";
  for (char c : s) {
    if (c == '"') q += '"';
    q += c;
  }
  return q + "\"";
}

// A text cell. One that a spreadsheet would take for a formula (starting with =, +, -, @, a tab
// or a carriage return) gets a leading apostrophe, which a spreadsheet shows as text.
std::string csvText(const std::string &s) {
  std::string t = sameAsJson(s);
  if (!t.empty() && std::string_view("=+-@\t\r").find(t.front()) != std::string_view::npos)
    t.insert(0, 1, '\'');
  return csvQuoted(t);
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
                                "note", "record_id", "attempt", "simulated"};

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
  nlohmann::json testSet;
  if (r.testSet) {
    testSet = {{"simulated", r.testSet->simulated},
               {"resource", r.testSet->resource},
               {"visa", r.testSet->visa}};
    if (r.testSet->simulated) testSet["simulator"] = r.testSet->simulator;
  }
  return {{"schema_version", zolvane::records::kSchemaVersion},
          {"record_id", r.recordId},
          {"attempt", r.attempt},
          {"previous_record_id",
           r.previousRecordId ? nlohmann::json(*r.previousRecordId) : nlohmann::json()},
          {"host", r.host},
          {"test_set", testSet},
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
    // Text cells guarded, number cells as numbers (a negative value stays a number).
    const std::string fields[] = {
        csvText(r.serial),       csvText(r.station),
        csvText(r.operatorName), csvText(r.plan),
        csvText(r.planHash),     csvText(r.start),
        csvText(verdictText(r.verdict)), std::to_string(++index),
        csvText(row.step),       csvNumber(row.number),
        csvText(row.unit),       csvNumber(row.low),
        csvNumber(row.high),     csvText(verdictText(row.verdict)),
        csvNumber(row.verdict == Verdict::Skip ? 0.0 : milliseconds(row.seconds)),
        csvText(row.note),       csvText(r.recordId),
        r.attempt > 0 ? std::to_string(r.attempt) : std::string(),
        r.testSet ? (r.testSet->simulated ? "yes" : "no") : ""};
    bool first = true;
    for (const std::string &f : fields) {
      if (!first) out += ',';
      out += f;
      first = false;
    }
    out += "\r\n";
  }
  return out;
}

PhoneRecord fromJson(const nlohmann::json &j) {
  auto text = [](const nlohmann::json &o, const char *key) {
    const auto it = o.find(key);
    return it != o.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  auto real = [](const nlohmann::json &o, const char *key) -> std::optional<double> {
    const auto it = o.find(key);
    if (it == o.end() || !it->is_number()) return std::nullopt;
    return it->get<double>();
  };
  auto verdict = [&](const nlohmann::json &o) {
    const std::string v = text(o, "verdict");
    for (Verdict each : {Verdict::Pass, Verdict::Fail, Verdict::Error, Verdict::Aborted})
      if (v == verdictText(each)) return each;
    return Verdict::Skip;
  };
  PhoneRecord r;
  r.recordId = zolvane::records::recordId(j);
  r.attempt = j.value("attempt", 0);
  if (const auto p = j.find("previous_record_id"); p != j.end() && p->is_string())
    r.previousRecordId = p->get<std::string>();
  r.serial = text(j, "serial");
  r.station = text(j, "station");
  r.operatorName = text(j, "operator");
  r.host = text(j, "host");
  r.plan = text(j, "plan");
  r.planHash = text(j, "plan_hash");
  r.start = text(j, "start");
  r.seconds = real(j, "duration_s").value_or(0.0);
  r.verdict = verdict(j);
  if (const auto t = j.find("test_set"); t != j.end() && t->is_object()) {
    r.testSet = TestSetUsed{};
    r.testSet->simulated = t->value("simulated", false);
    r.testSet->resource = text(*t, "resource");
    r.testSet->visa = text(*t, "visa");
  }
  if (const auto steps = j.find("steps"); steps != j.end()) {
    for (const nlohmann::json &s : *steps) {
      Row row;
      row.step = text(s, "name");
      row.number = real(s, "value");
      row.unit = text(s, "unit");
      row.low = real(s, "low");
      row.high = real(s, "high");
      row.verdict = s.value("verdict", "") == "SKIP" ? Verdict::Skip : verdict(s);
      row.seconds = real(s, "seconds").value_or(0.0);
      row.note = text(s, "note");
      r.rows.push_back(std::move(row));
    }
  }
  return r;
}

}  // namespace phone_test
