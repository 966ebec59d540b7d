// Record checks and record ids.
#include "record_schema.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace zolvane::records {
namespace {

using nlohmann::json;

json version1() {
  return json::parse(R"({"schema_version": 1, "serial": "SN1", "station": "line-3",
    "operator": "ana", "plan": "default", "plan_hash": "fnv1a64:0123456789abcdef",
    "library_version": "1.0.0", "program_version": "1.0.0",
    "start": "2026-12-08T17:03:40.123Z", "duration_s": 3.16, "verdict": "PASS",
    "steps": [{"index": 1, "name": "FER", "value": 0.0, "unit": "%", "low": null, "high": 0.5,
               "verdict": "PASS", "seconds": 0.05, "note": ""}]})");
}

json version2() {
  json r = version1();
  r["schema_version"] = 2;
  r["record_id"] = "01890a5d-ac96-774b-bcce-b302099a8057";
  r["attempt"] = 2;
  r["previous_record_id"] = "01890a5d-ac96-774b-bcce-b302099a8056";
  r["host"] = "bench-7";
  r["test_set"] = {{"simulated", true}, {"resource", "GPIB0::14::INSTR"},
                   {"visa", "libivivisa.so.7"}, {"simulator", {{"max_power", "23"}}}};
  return r;
}

TEST(RecordSchema, MalformedRecordsAreRefusedWithTheReason) {
  struct Case {
    const char *what;
    json record;
    const char *why;
  };
  auto with = [](json r, const json::json_pointer &at, json v) {
    if (v.is_discarded())
      r.at(at.parent_pointer()).erase(at.back());
    else
      r[at] = std::move(v);
    return r;
  };
  const json gone(json::value_t::discarded);
  const Case cases[] = {
      {"an array", json::array(), "not a JSON object"},
      {"no version", with(version1(), "/schema_version"_json_pointer, gone), "no schema_version"},
      {"version 3", with(version1(), "/schema_version"_json_pointer, 3), "unknown schema_version 3"},
      {"version 0", with(version1(), "/schema_version"_json_pointer, 0), "unknown schema_version 0"},
      {"version as text", with(version1(), "/schema_version"_json_pointer, "2"),
       "unknown schema_version"},
      {"odd verdict", with(version1(), "/verdict"_json_pointer, "OK"), "verdict is not"},
      {"serial a number", with(version1(), "/serial"_json_pointer, 7), "serial is not text"},
      {"steps an object", with(version1(), "/steps"_json_pointer, json::object()),
       "steps is not an array"},
      {"step without name", with(version1(), "/steps/0/name"_json_pointer, gone),
       "step 1: not an object with a name"},
      {"value as text", with(version1(), "/steps/0/value"_json_pointer, "1.5"),
       "step 1: value is neither"},
      {"step verdict", with(version1(), "/steps/0/verdict"_json_pointer, "pass"),
       "step 1: verdict is not"},
      {"v2 without id", with(version2(), "/record_id"_json_pointer, gone), "record_id is not"},
      {"v2 upper-case id",
       with(version2(), "/record_id"_json_pointer, "01890A5D-AC96-774B-BCCE-B302099A8057"),
       "record_id is not"},
      {"v2 attempt 0", with(version2(), "/attempt"_json_pointer, 0), "attempt is not"},
      {"v2 attempt 1.5", with(version2(), "/attempt"_json_pointer, 1.5), "attempt is not"},
      {"v2 previous missing", with(version2(), "/previous_record_id"_json_pointer, gone),
       "previous_record_id is neither"},
      {"v2 previous is itself",
       with(version2(), "/previous_record_id"_json_pointer, version2()["record_id"]),
       "own id"},
      {"v2 no host", with(version2(), "/host"_json_pointer, gone), "no host"},
      {"v2 simulated as text", with(version2(), "/test_set/simulated"_json_pointer, "yes"),
       "test_set.simulated"},
      {"v2 no test_set", with(version2(), "/test_set"_json_pointer, gone), "test_set is not"},
      {"v2 simulator a list", with(version2(), "/test_set/simulator"_json_pointer, json::array()),
       "test_set.simulator"},
  };
  for (const Case &c : cases) {
    std::string why;
    EXPECT_FALSE(checkRecord(c.record, why)) << c.what;
    EXPECT_NE(why.find(c.why), std::string::npos) << c.what << ": " << why;
  }
  std::string why;
  EXPECT_TRUE(checkRecord(version1(), why)) << why;
  EXPECT_TRUE(checkRecord(version2(), why)) << why;
  EXPECT_TRUE(checkRecord(with(version2(), "/previous_record_id"_json_pointer, nullptr), why))
      << why;
}

TEST(RecordSchema, NewIdsAreVersion7UniqueAndRiseInEveryThread) {
  constexpr int kThreads = 8, kEach = 5000;
  const auto msNow = [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  const long long before = msNow();
  std::vector<std::vector<std::string>> ids(kThreads);
  std::vector<std::thread> threads;
  for (auto &mine : ids)
    threads.emplace_back([&mine] {
      for (int i = 0; i < kEach; ++i) mine.push_back(newRecordId());
    });
  for (auto &t : threads) t.join();
  const long long after = msNow();

  std::set<std::string> all;
  for (const auto &mine : ids) {
    EXPECT_TRUE(std::is_sorted(mine.begin(), mine.end()));
    all.insert(mine.begin(), mine.end());
    for (const std::string &id : {mine.front(), mine.back()}) {
      ASSERT_TRUE(isUuidText(id)) << id;
      EXPECT_EQ(id[14], '7') << id;
      EXPECT_NE(std::string("89ab").find(id[19]), std::string::npos) << id;
      const long long ms = std::stoll(id.substr(0, 8) + id.substr(9, 4), nullptr, 16);
      EXPECT_GE(ms, before) << id;
      EXPECT_LE(ms, after + 1) << id;  // + 1: a millisecond may be borrowed
    }
  }
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kEach));
  // One thread's ids made after another's have ended are greater still.
  const std::string later = newRecordId();
  for (const auto &mine : ids) EXPECT_LT(mine.back(), later);
}

TEST(RecordSchema, DerivedIdsDependOnContentAlone) {
  const json r = version1();
  const std::string id = recordId(r);
  ASSERT_TRUE(isUuidText(id)) << id;
  EXPECT_EQ(id[14], '8');
  EXPECT_NE(std::string("89ab").find(id[19]), std::string::npos) << id;
  // The same record as another writer might lay it out: the same id.
  const json reread = json::parse(R"({"verdict":"PASS","steps":[{"note":"","seconds":0.05,
    "verdict":"PASS","high":0.5,"low":null,"unit":"%","value":0.0,"name":"FER","index":1}],
    "duration_s":3.16,"start":"2026-12-08T17:03:40.123Z","program_version":"1.0.0",
    "library_version":"1.0.0","plan_hash":"fnv1a64:0123456789abcdef","plan":"default",
    "operator":"ana","station":"line-3","serial":"SN1","schema_version":1})");
  EXPECT_EQ(recordId(reread), id);
  EXPECT_EQ(recordId(json::parse(r.dump(2))), id);
  // Any change of content: another id.
  const std::pair<const char *, json> changes[] = {
      {"/serial", "SN2"}, {"/start", "2026-12-08T17:03:40.124Z"}, {"/duration_s", 3.17},
      {"/steps/0/value", 0.1}, {"/steps/0/note", " "}};
  for (const auto &[at, v] : changes) {
    json other = r;
    other[json::json_pointer(at)] = v;
    EXPECT_NE(recordId(other), id) << at;
  }
  // A record with its own id keeps it.
  EXPECT_EQ(recordId(version2()), version2()["record_id"].get<std::string>());
  // The same on every machine and bitness, for ever: stored ids depend on it.
  EXPECT_EQ(recordId(json::parse(R"({"schema_version":1,"serial":"SN1","station":"line-3",
    "operator":"ana","plan":"default","plan_hash":"fnv1a64:0123456789abcdef",
    "library_version":"1.0.0","program_version":"1.0.0","start":"2026-12-08T17:03:40.123Z",
    "duration_s":3.16,"verdict":"PASS","steps":[]})")),
            "97df3981-26d7-80ae-9c5e-21a6e4c5230e");
}

}  // namespace
}  // namespace zolvane::records
