// The station database: attempts, idempotent imports, export, migrations and the faults a station
// meets (another writer, a full disk, a newer file).
#include "station_db.h"

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "record_schema.h"

namespace zolvane::records {
namespace {

using nlohmann::json;

std::string freshPath(const std::string &name) {
  std::string p = ::testing::TempDir() + "records_" + std::to_string(getpid()) + "_" + name;
  for (const char *suffix : {"", "-wal", "-shm"}) std::remove((p + suffix).c_str());
  return p;
}

json run(const std::string &serial, const std::string &start, const char *verdict = "PASS") {
  return {{"schema_version", 2}, {"record_id", newRecordId()}, {"attempt", 1},
          {"previous_record_id", nullptr}, {"serial", serial}, {"station", "line-3"},
          {"host", "bench"}, {"operator", "ana"}, {"plan", "default"},
          {"plan_hash", "fnv1a64:0"}, {"start", start}, {"duration_s", 1.5},
          {"verdict", verdict}, {"test_set", {{"simulated", true}}},
          {"steps", {{{"index", 1}, {"name", "FER"}, {"value", 0.1}, {"unit", "%"},
                      {"low", nullptr}, {"high", 0.5}, {"verdict", "PASS"}, {"seconds", 0.05},
                      {"note", ""}}}}};
}

// One value from the file, read with a connection of the test's own.
std::string query(const std::string &path, const std::string &sql) {
  sqlite3 *db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt *s = nullptr;
  std::string out = "(error)";
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK &&
      sqlite3_step(s) == SQLITE_ROW)
    out = sqlite3_column_text(s, 0) ? reinterpret_cast<const char *>(sqlite3_column_text(s, 0))
                                    : "(null)";
  sqlite3_finalize(s);
  sqlite3_close(db);
  return out;
}

TEST(StationDb, RunsOfASerialAreNumberedAndLinked) {
  const std::string path = freshPath("attempts.sqlite");
  StationDb db;
  std::string error;
  ASSERT_TRUE(db.open(path, error)) << error;
  EXPECT_EQ(query(path, "PRAGMA journal_mode"), "wal");
  EXPECT_EQ(query(path, "PRAGMA user_version"), std::to_string(kDatabaseVersion));

  const struct {
    const char *serial;
    int attempt;
    int previous;  // index into the runs before, -1 none
  } runs[] = {{"SN1", 1, -1}, {"SN2", 1, -1}, {"SN1", 2, 0}, {"", 1, -1}, {"SN1", 3, 2},
              {"", 1, -1}};
  std::vector<json> stored;
  for (const auto &r : runs) {
    json rec = run(r.serial, "2026-12-08T10:00:0" + std::to_string(stored.size()) + ".000Z");
    ASSERT_TRUE(db.addRun(rec, error)) << error;
    EXPECT_EQ(rec["attempt"], r.attempt) << r.serial;
    EXPECT_EQ(rec["previous_record_id"],
              r.previous < 0 ? json() : stored[static_cast<std::size_t>(r.previous)]["record_id"])
        << r.serial << " attempt " << r.attempt;
    stored.push_back(rec);
  }
  StationDb::Attempt next;
  ASSERT_TRUE(db.nextAttempt("SN1", next, error)) << error;
  EXPECT_EQ(next.attempt, 4);
  EXPECT_EQ(next.previous, stored[4]["record_id"].get<std::string>());
  // The columns hold the record, and the record_json is the record as written.
  EXPECT_EQ(query(path, "SELECT count(*) FROM step"), "6");
  EXPECT_EQ(query(path, "SELECT group_concat(attempt) FROM phone_run WHERE serial='SN1'"),
            "1,2,3");
  EXPECT_EQ(query(path, "SELECT simulated || step.verdict || high FROM step JOIN phone_run"
                        " USING (record_id) LIMIT 1"),
            "1PASS0.5");
  EXPECT_EQ(json::parse(query(path, "SELECT record_json FROM phone_run WHERE record_id='" +
                                        stored[2]["record_id"].get<std::string>() + "'")),
            stored[2]);
  EXPECT_EQ(query(path, "SELECT count(*) FROM phone_run WHERE forwarded_at IS NULL"), "6");
}

TEST(StationDb, ImportsStoreEachRecordOnceAndExportGivesThemBack) {
  const std::string path = freshPath("import.sqlite");
  StationDb db;
  std::string error;
  ASSERT_TRUE(db.open(path, error)) << error;
  json v1 = run("SN9", "2026-12-07T09:00:00.000Z");
  for (const char *key : {"record_id", "attempt", "previous_record_id", "host", "test_set"})
    v1.erase(key);
  v1["schema_version"] = 1;
  const json records[] = {run("SN1", "2026-12-08T10:00:00.000Z"), v1,
                          run("SN2", "2026-12-09T10:00:00.000Z")};
  for (int pass = 0; pass < 2; ++pass) {
    for (const json &r : records) {
      bool added = false;
      ASSERT_TRUE(db.importRecord(r, added, error)) << error;
      EXPECT_EQ(added, pass == 0) << r["serial"];
    }
  }
  bool added = true;
  EXPECT_FALSE(db.importRecord(json{{"schema_version", 9}}, added, error));
  EXPECT_FALSE(added);

  std::vector<json> out;
  ASSERT_TRUE(db.forEachRecord("", [&](const json &r) { return out.push_back(r), true; }, error));
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0], v1);  // oldest first, as it came: version 1 stays version 1
  EXPECT_EQ(out[1], records[0]);
  out.clear();
  ASSERT_TRUE(db.forEachRecord("2026-12-08T10", [&](const json &r) { return out.push_back(r), true; },
                               error));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0]["serial"], "SN1");
  EXPECT_EQ(query(path, "SELECT attempt IS NULL AND simulated IS NULL FROM phone_run"
                        " WHERE serial='SN9'"),
            "1");
}

TEST(StationDb, TwoStationsWritingTheSameSerialNeverShareAnAttempt) {
  const std::string path = freshPath("concurrent.sqlite");
  {
    StationDb first;
    std::string error;
    ASSERT_TRUE(first.open(path, error)) << error;
  }
  constexpr int kEach = 40;
  std::vector<int> attempts[2];
  std::thread writers[2];
  for (int w = 0; w < 2; ++w)
    writers[w] = std::thread([&, w] {
      StationDb db;
      std::string error;
      ASSERT_TRUE(db.open(path, error)) << error;
      for (int i = 0; i < kEach; ++i) {
        json rec = run("SN1", "2026-12-08T10:00:00.000Z");
        ASSERT_TRUE(db.addRun(rec, error)) << error;
        attempts[w].push_back(rec["attempt"].get<int>());
      }
    });
  for (auto &t : writers) t.join();
  std::set<int> all(attempts[0].begin(), attempts[0].end());
  all.insert(attempts[1].begin(), attempts[1].end());
  EXPECT_EQ(all.size(), 2u * kEach);
  EXPECT_EQ(*all.rbegin(), 2 * kEach);
  EXPECT_EQ(query(path, "PRAGMA integrity_check"), "ok");
}

TEST(StationDb, FaultsAreReportedAndLeaveTheFileWhole) {
  std::string error;
  // Another program holds the write lock past the busy time-out.
  const std::string locked = freshPath("locked.sqlite");
  StationDb db;
  ASSERT_TRUE(db.open(locked, error, 50)) << error;
  json first = run("SN1", "2026-12-08T10:00:00.000Z");
  ASSERT_TRUE(db.addRun(first, error)) << error;
  sqlite3 *other = nullptr;
  sqlite3_open(locked.c_str(), &other);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  json second = run("SN1", "2026-12-08T10:00:01.000Z");
  EXPECT_FALSE(db.addRun(second, error));
  EXPECT_NE(error.find("locked past the busy time-out"), std::string::npos) << error;
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  ASSERT_TRUE(db.addRun(second, error)) << error;  // the station goes on once it is free
  EXPECT_EQ(second["attempt"], 2);

  // A full disk: the file may grow no more than it is.
  const std::string full = freshPath("full.sqlite");
  StationDb small;
  ASSERT_TRUE(small.open(full, error)) << error;
  ASSERT_TRUE(small.addRun(first, error)) << error;
  json big = run("SN2", "2026-12-08T11:00:00.000Z");
  big["steps"][0]["note"] = std::string(200000, 'x');
  auto *previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit was{};
  getrlimit(RLIMIT_FSIZE, &was);
  rlimit limit = was;
  limit.rlim_cur = 100000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  const bool stored = small.addRun(big, error);
  setrlimit(RLIMIT_FSIZE, &was);
  std::signal(SIGXFSZ, previous);
  EXPECT_FALSE(stored);
  EXPECT_NE(error.find("database " + full + ": cannot write"), std::string::npos) << error;
  EXPECT_EQ(query(full, "PRAGMA integrity_check"), "ok");
  EXPECT_EQ(query(full, "SELECT group_concat(serial) FROM phone_run"), "SN1");

  // A file from a newer program is left alone.
  const std::string newer = freshPath("newer.sqlite");
  sqlite3 *raw = nullptr;
  sqlite3_open(newer.c_str(), &raw);
  sqlite3_exec(raw, "PRAGMA user_version=99", nullptr, nullptr, nullptr);
  sqlite3_close(raw);
  StationDb later;
  EXPECT_FALSE(later.open(newer, error));
  EXPECT_NE(error.find("made by a newer program (schema 99"), std::string::npos) << error;
  EXPECT_EQ(query(newer, "SELECT count(*) FROM sqlite_master"), "0");
  // Not a database at all.
  const std::string junk = freshPath("junk.sqlite");
  FILE *f = std::fopen(junk.c_str(), "wb");
  std::fputs(std::string(8192, 'j').c_str(), f);
  std::fclose(f);
  StationDb wrong;
  EXPECT_FALSE(wrong.open(junk, error));
  EXPECT_NE(error.find("database " + junk), std::string::npos) << error;
}

}  // namespace
}  // namespace zolvane::records
