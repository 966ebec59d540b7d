// The record of one phone, as a JSON line (--results) and as CSV rows (--csv). The summary and
// the HTML report read the JSON lines; README.md beside this file gives the schema.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "report.h"

namespace phone_test {

constexpr int kSchemaVersion = 1;

struct PhoneRecord {
  std::string serial, station, operatorName;
  std::string plan, planHash;
  std::string start;  // UTC, ISO 8601
  double seconds = 0.0;
  Verdict verdict = Verdict::Pass;
  std::vector<Row> rows;
};

nlohmann::json toJson(const PhoneRecord &record);
// One line, ending in a line feed; text that is not valid UTF-8 is replaced, never refused.
std::string jsonLine(const nlohmann::json &record);

// RFC 4180: CRLF line ends, a field with a comma, quote or line break in quotes, a quote doubled.
std::string csvHeader();
std::string csvRows(const PhoneRecord &record);

}  // namespace phone_test
