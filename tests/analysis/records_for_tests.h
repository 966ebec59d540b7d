// Records made up for the analysis tests: schema 1, or schema 2 when an attempt is given.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "record_schema.h"

namespace test_records {

using nlohmann::json;

inline json step(const std::string &name, std::optional<double> value, std::optional<double> low,
                 std::optional<double> high, const char *verdict, const char *unit = "dBm",
                 const char *note = "") {
  auto num = [](const std::optional<double> &v) { return v ? json(*v) : json(nullptr); };
  return {{"index", 1},          {"name", name},     {"value", num(value)}, {"unit", unit},
          {"low", num(low)},     {"high", num(high)}, {"verdict", verdict},  {"seconds", 0.05},
          {"note", note}};
}

// `at` is "HH:MM" on 2026-12-08 (UTC).
inline json rec(const std::string &serial, const char *verdict, const std::string &at,
                const std::string &station = "A", std::vector<json> steps = {},
                std::optional<int> attempt = std::nullopt, const std::string &id = "",
                bool simulated = true) {
  json r = {{"schema_version", 1}, {"serial", serial},
            {"station", station},  {"operator", "ana"},
            {"plan", "default"},   {"plan_hash", "fnv1a64:0123456789abcdef"},
            {"library_version", "1.0.0"}, {"program_version", "1.0.0"},
            {"start", "2026-12-08T" + at + ":00.000Z"}, {"duration_s", 3.0},
            {"verdict", verdict},  {"steps", steps}};
  if (attempt) {
    r["schema_version"] = 2;
    r["record_id"] = id.empty() ? zolvane::records::newRecordId() : id;
    r["attempt"] = *attempt;
    r["previous_record_id"] = nullptr;
    r["host"] = "bench";
    r["test_set"] = {{"simulated", simulated}, {"resource", "GPIB0::14::INSTR"}, {"visa", "sim"}};
  }
  return r;
}

}  // namespace test_records
