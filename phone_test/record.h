// The record of one phone, as a JSON line (--results) and as CSV rows (--csv). The summary and
// the HTML report read the JSON lines; README.md beside this file gives the schema.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "report.h"

namespace phone_test {

// The test set a run was made on.
struct TestSetUsed {
  bool simulated = true;
  std::string resource;  // "GPIB0::14::INSTR"
  std::string visa;      // the VISA library bound, a path or a name
  std::map<std::string, std::string> simulator;  // the simulator's settings given
};

struct PhoneRecord {
  std::string recordId;  // UUID version 7, made per run
  int attempt = 1;       // 0: not known (a version-1 record read back)
  std::optional<std::string> previousRecordId;
  std::string serial, station, operatorName, host;
  std::string plan, planHash;
  std::string start;  // UTC, ISO 8601
  double seconds = 0.0;
  Verdict verdict = Verdict::Pass;
  std::vector<Row> rows;
  std::optional<TestSetUsed> testSet;  // none: not known (a version-1 record read back)
};

// The record as written, schema version 2 (zolvane::records::kSchemaVersion).
nlohmann::json toJson(const PhoneRecord &record);
// A stored record (version 1 or 2, checked with checkRecord) back into its fields, for the CSV.
PhoneRecord fromJson(const nlohmann::json &record);
// One line, ending in a line feed; text that is not valid UTF-8 is replaced, never refused.
std::string jsonLine(const nlohmann::json &record);

// RFC 4180: CRLF line ends, a field with a comma, quote or line break in quotes, a quote doubled.
std::string csvHeader();
std::string csvRows(const PhoneRecord &record);

}  // namespace phone_test
