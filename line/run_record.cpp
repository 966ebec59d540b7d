#include "run_record.h"

#include "line_time.h"
#include "record_schema.h"

namespace zolvane::line {
namespace {

using nlohmann::json;

std::string text(const json &r, const char *key) {
  const auto it = r.find(key);
  return it != r.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::optional<double> number(const json &r, const char *key) {
  const auto it = r.find(key);
  if (it == r.end() || !it->is_number()) return std::nullopt;
  return it->get<double>();
}

bool fail(std::string &why, std::string text) {
  why = std::move(text);
  return false;
}

}  // namespace

bool readRun(const json &r, RunColumns &out, std::string &why) {
  if (!records::checkRecord(r, why)) return false;
  out = RunColumns{};
  out.recordId = records::recordId(r);
  out.serial = text(r, "serial");
  out.station = text(r, "station");
  if (out.serial.empty()) return fail(why, "no serial");
  if (out.station.empty()) return fail(why, "no station");
  const auto start = utcText(text(r, "start"));
  if (!start) return fail(why, "start is not an ISO 8601 time");
  out.start = *start;
  out.operatorName = text(r, "operator");
  out.plan = text(r, "plan");
  out.planHash = text(r, "plan_hash");
  out.host = text(r, "host");
  for (const std::string *s : {&out.serial, &out.station, &out.operatorName, &out.plan,
                               &out.planHash, &out.host})
    if (s->size() > kMaxText) return fail(why, "a text over " + std::to_string(kMaxText) + " bytes");
  out.duration = number(r, "duration_s");
  out.verdict = text(r, "verdict");
  if (const auto a = r.find("attempt"); a != r.end() && a->is_number_integer())
    out.attempt = a->get<long long>();
  if (const auto ts = r.find("test_set"); ts != r.end() && ts->is_object())
    if (const auto sim = ts->find("simulated"); sim != ts->end() && sim->is_boolean())
      out.simulated = sim->get<bool>();
  if (const auto steps = r.find("steps"); steps != r.end()) {
    if (steps->size() > kMaxSteps)
      return fail(why, "more than " + std::to_string(kMaxSteps) + " steps");
    int index = 0;
    for (const json &s : *steps) {
      StepColumns c;
      c.index = ++index;  // the position is the key; the record keeps its own numbering
      c.name = text(s, "name");
      c.unit = text(s, "unit");
      c.verdict = text(s, "verdict");
      c.note = text(s, "note");
      if (c.name.size() > kMaxText || c.unit.size() > kMaxText || c.note.size() > kMaxText)
        return fail(why, "step " + std::to_string(index) + ": a text over " +
                             std::to_string(kMaxText) + " bytes");
      c.value = number(s, "value");
      c.low = number(s, "low");
      c.high = number(s, "high");
      c.seconds = number(s, "seconds");
      out.steps.push_back(std::move(c));
    }
  }
  out.json = r.dump(-1, ' ', false, json::error_handler_t::replace);
  return true;
}

}  // namespace zolvane::line
