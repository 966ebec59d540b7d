// The phone record: the versions a reader accepts, the check that a record is well formed, and
// record ids. A record is one JSON object per phone run (phone_test/README.md gives the keys).
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace zolvane::records {

// The version written.
inline constexpr int kSchemaVersion = 2;
// The oldest version a reader accepts.
inline constexpr int kOldestSchemaVersion = 1;

// Whether `r` is a record of version 1 or 2 with every key a reader relies on of the right type;
// if not, why (one line, without file or line).
bool checkRecord(const nlohmann::json &r, std::string &why);

// A new UUID version 7, lowercase 8-4-4-4-12: 48 bits of Unix time in milliseconds, then random
// bits. Safe from any thread; within a process each id is greater than the one before.
std::string newRecordId();

// The record's record_id; for a record without one (version 1), a UUID version 8 derived from
// its content, the same for the same content whatever the key order or spacing.
std::string recordId(const nlohmann::json &r);

// Whether `s` is a UUID in lowercase 8-4-4-4-12 text.
bool isUuidText(const std::string &s);

}  // namespace zolvane::records
