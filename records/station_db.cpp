#include "station_db.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <sqlite3.h>

#include "record_schema.h"

namespace zolvane::records {
namespace {

using nlohmann::json;

// Each entry brings the schema from user_version N to N + 1; a release only ever appends.
constexpr const char *kMigrations[] = {
    // 0 -> 1
    "CREATE TABLE phone_run ("
    "  record_id TEXT PRIMARY KEY NOT NULL,"
    "  serial TEXT NOT NULL,"
    "  attempt INTEGER,"
    "  previous_record_id TEXT,"
    "  station TEXT NOT NULL,"
    "  host TEXT,"
    "  operator TEXT NOT NULL,"
    "  plan TEXT NOT NULL,"
    "  plan_hash TEXT NOT NULL,"
    "  start TEXT NOT NULL,"
    "  duration_s REAL,"
    "  verdict TEXT NOT NULL,"
    "  simulated INTEGER,"
    "  schema_version INTEGER NOT NULL,"
    "  record_json TEXT NOT NULL,"
    "  forwarded_at TEXT);"
    "CREATE TABLE step ("
    "  record_id TEXT NOT NULL REFERENCES phone_run(record_id) ON DELETE CASCADE,"
    "  idx INTEGER NOT NULL,"
    "  name TEXT NOT NULL,"
    "  value REAL,"
    "  unit TEXT NOT NULL,"
    "  low REAL,"
    "  high REAL,"
    "  verdict TEXT NOT NULL,"
    "  seconds REAL,"
    "  note TEXT NOT NULL,"
    "  PRIMARY KEY (record_id, idx));"
    "CREATE INDEX phone_run_serial ON phone_run(serial, start);"
    "CREATE INDEX phone_run_start ON phone_run(start);"
    "CREATE INDEX phone_run_unforwarded ON phone_run(start) WHERE forwarded_at IS NULL;",
};
static_assert(std::size(kMigrations) == kDatabaseVersion);

// A prepared statement that finalizes itself.
class Statement {
 public:
  Statement(sqlite3 *db, const char *sql) { sqlite3_prepare_v2(db, sql, -1, &s_, nullptr); }
  ~Statement() { sqlite3_finalize(s_); }
  Statement(const Statement &) = delete;
  Statement &operator=(const Statement &) = delete;
  explicit operator bool() const { return s_ != nullptr; }
  sqlite3_stmt *get() const { return s_; }

  void text(int i, const std::string &v) {
    sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
  }
  void null(int i) { sqlite3_bind_null(s_, i); }
  void integer(int i, long long v) { sqlite3_bind_int64(s_, i, v); }
  void real(int i, double v) { sqlite3_bind_double(s_, i, v); }
  // A JSON value as the column's type: text, number, true/false as 1/0, null otherwise.
  void value(int i, const json &v) {
    if (v.is_string())
      text(i, v.get<std::string>());
    else if (v.is_number_integer())
      integer(i, v.get<long long>());
    else if (v.is_number())
      real(i, v.get<double>());
    else if (v.is_boolean())
      integer(i, v.get<bool>() ? 1 : 0);
    else
      null(i);
  }
  int step() { return sqlite3_step(s_); }

 private:
  sqlite3_stmt *s_ = nullptr;
};

json member(const json &obj, const char *key) {
  const auto it = obj.find(key);
  return it == obj.end() ? json() : *it;
}

std::string textOf(const json &obj, const char *key) {
  const auto it = obj.find(key);
  return it != obj.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

StationDb::~StationDb() {
  if (inTransaction_) rollback();
  sqlite3_close_v2(db_);
}

std::string StationDb::fault(const char *doing) const {
  std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
  const int code = db_ ? sqlite3_errcode(db_) & 0xff : SQLITE_NOMEM;
  // The faults a station meets, in its words.
  if (code == SQLITE_FULL) why = "the disk is full (" + why + ")";
  if (code == SQLITE_BUSY || code == SQLITE_LOCKED)
    why = "another program kept it locked past the busy time-out (" + why + ")";
  if (code == SQLITE_READONLY || code == SQLITE_CANTOPEN || code == SQLITE_PERM)
    why = "it cannot be written (" + why + ")";
  return "database " + path_ + ": cannot " + doing + ": " + why;
}

bool StationDb::exec(const char *sql, std::string &error) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  error = fault("write");
  return false;
}

bool StationDb::open(const std::string &path, std::string &error, int busyMs) {
  path_ = path;
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    error = fault("open");
    sqlite3_close_v2(db_);
    db_ = nullptr;
    return false;
  }
  sqlite3_extended_result_codes(db_, 0);
  sqlite3_busy_timeout(db_, busyMs);
  // WAL: readers (an export, the line server's forwarder) never block the station, and a killed
  // writer leaves the file whole. FULL: each commit is on the disk before the run is reported.
  {
    Statement wal(db_, "PRAGMA journal_mode=WAL");
    if (!wal || wal.step() != SQLITE_ROW) {
      error = fault("open");
      return false;
    }
    const auto *mode = reinterpret_cast<const char *>(sqlite3_column_text(wal.get(), 0));
    if (!mode || std::string(mode) != "wal") {
      error = "database " + path + ": cannot use write-ahead logging here (journal mode " +
              (mode ? mode : "?") + ")";
      return false;
    }
  }
  if (!exec("PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON", error)) return false;
  return migrate(error);
}

int StationDb::userVersion(std::string &error) {
  Statement q(db_, "PRAGMA user_version");
  if (!q || q.step() != SQLITE_ROW) {
    error = fault("read");
    return -1;
  }
  return sqlite3_column_int(q.get(), 0);
}

bool StationDb::migrate(std::string &error) {
  // An up-to-date file needs no write lock, so that opening never waits for another writer.
  int version = userVersion(error);
  if (version == kDatabaseVersion) return true;
  if (version < 0 || !begin(error)) return false;
  version = userVersion(error);  // another program may have brought it forward meanwhile
  if (version < 0) {
    rollback();
    return false;
  }
  if (version > kDatabaseVersion) {
    error = "database " + path_ + ": made by a newer program (schema " + std::to_string(version) +
            ", this program knows up to " + std::to_string(kDatabaseVersion) + ")";
    rollback();
    return false;
  }
  for (; version < kDatabaseVersion; ++version) {
    if (!exec(kMigrations[version], error)) {
      rollback();
      return false;
    }
  }
  const std::string setVersion = "PRAGMA user_version=" + std::to_string(kDatabaseVersion);
  if (!exec(setVersion.c_str(), error)) {
    rollback();
    return false;
  }
  return commit(error);
}

bool StationDb::begin(std::string &error) {
  // IMMEDIATE: the write lock is taken (or waited for) now, not half-way through.
  if (!exec("BEGIN IMMEDIATE", error)) return false;
  inTransaction_ = true;
  return true;
}

bool StationDb::commit(std::string &error) {
  if (!exec("COMMIT", error)) {
    rollback();
    return false;
  }
  inTransaction_ = false;
  return true;
}

void StationDb::rollback() {
  if (db_ && !sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  inTransaction_ = false;
}

bool StationDb::nextAttemptLocked(const std::string &serial, Attempt &out, std::string &error) {
  out = Attempt{};
  if (serial.empty()) return true;
  Statement q(db_,
              "SELECT (SELECT count(*) FROM phone_run WHERE serial = ?1),"
              "       (SELECT record_id FROM phone_run WHERE serial = ?1"
              "        ORDER BY start DESC, record_id DESC LIMIT 1)");
  if (!q) {
    error = fault("read");
    return false;
  }
  q.text(1, serial);
  if (q.step() != SQLITE_ROW) {
    error = fault("read");
    return false;
  }
  out.attempt = sqlite3_column_int(q.get(), 0) + 1;
  if (const auto *id = sqlite3_column_text(q.get(), 1))
    out.previous = reinterpret_cast<const char *>(id);
  return true;
}

bool StationDb::nextAttempt(const std::string &serial, Attempt &out, std::string &error) {
  return nextAttemptLocked(serial, out, error);
}

bool StationDb::storeRow(const json &r, const std::string &id, bool &added, std::string &error) {
  added = false;
  Statement run(db_,
                "INSERT OR IGNORE INTO phone_run (record_id, serial, attempt, previous_record_id,"
                " station, host, operator, plan, plan_hash, start, duration_s, verdict, simulated,"
                " schema_version, record_json) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
  if (!run) {
    error = fault("write");
    return false;
  }
  run.text(1, id);
  run.text(2, textOf(r, "serial"));
  run.value(3, member(r, "attempt"));
  run.value(4, member(r, "previous_record_id"));
  run.text(5, textOf(r, "station"));
  run.value(6, member(r, "host"));
  run.text(7, textOf(r, "operator"));
  run.text(8, textOf(r, "plan"));
  run.text(9, textOf(r, "plan_hash"));
  run.text(10, textOf(r, "start"));
  run.value(11, member(r, "duration_s"));
  run.text(12, textOf(r, "verdict"));
  run.value(13, r.contains("test_set") ? member(r["test_set"], "simulated") : json());
  run.value(14, member(r, "schema_version"));
  run.text(15, r.dump(-1, ' ', false, json::error_handler_t::replace));
  if (run.step() != SQLITE_DONE) {
    error = fault("write");
    return false;
  }
  if (sqlite3_changes(db_) == 0) return true;  // already there
  added = true;

  const auto steps = r.find("steps");
  if (steps == r.end()) return true;
  Statement step(db_,
                 "INSERT INTO step (record_id, idx, name, value, unit, low, high, verdict,"
                 " seconds, note) VALUES (?,?,?,?,?,?,?,?,?,?)");
  if (!step) {
    error = fault("write");
    return false;
  }
  long long idx = 0;
  for (const json &s : *steps) {
    sqlite3_reset(step.get());
    step.text(1, id);
    step.integer(2, ++idx);
    step.text(3, textOf(s, "name"));
    step.value(4, member(s, "value"));
    step.text(5, textOf(s, "unit"));
    step.value(6, member(s, "low"));
    step.value(7, member(s, "high"));
    step.text(8, textOf(s, "verdict"));
    step.value(9, member(s, "seconds"));
    step.text(10, textOf(s, "note"));
    if (step.step() != SQLITE_DONE) {
      error = fault("write");
      return false;
    }
  }
  return true;
}

bool StationDb::addRun(json &record, std::string &error) {
  if (!begin(error)) return false;
  Attempt a;
  bool added = false;
  if (!nextAttemptLocked(textOf(record, "serial"), a, error)) {
    rollback();
    return false;
  }
  record["attempt"] = a.attempt;
  record["previous_record_id"] = a.previous ? json(*a.previous) : json();
  if (!checkRecord(record, error)) {
    rollback();
    error = "not stored: " + error;
    return false;
  }
  if (!storeRow(record, recordId(record), added, error)) {
    rollback();
    return false;
  }
  return commit(error);
}

bool StationDb::importRecord(const json &record, bool &added, std::string &error) {
  added = false;
  if (!checkRecord(record, error)) return false;
  const bool own = !inTransaction_;
  if (own && !begin(error)) return false;
  if (!storeRow(record, recordId(record), added, error)) {
    if (own) rollback();
    return false;
  }
  return !own || commit(error);
}

bool StationDb::forEachRecord(const std::string &since,
                              const std::function<bool(const json &)> &each, std::string &error) {
  Statement q(db_,
              "SELECT record_json FROM phone_run WHERE start >= ?1 ORDER BY start, record_id");
  if (!q) {
    error = fault("read");
    return false;
  }
  q.text(1, since);
  int rc;
  while ((rc = q.step()) == SQLITE_ROW) {
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(q.get(), 0));
    json r = json::parse(text ? text : "", nullptr, false);
    if (r.is_discarded()) {
      error = "database " + path_ + ": a record_json that is not JSON";
      return false;
    }
    if (!each(r)) return true;
  }
  if (rc != SQLITE_DONE) {
    error = fault("read");
    return false;
  }
  return true;
}

std::string defaultDatabasePath(std::string &error) {
#if defined(_WIN32)
  const char *local = std::getenv("LOCALAPPDATA");
  if (local && *local) return std::string(local) + "\\Zolvane\\results.sqlite";
  error = "LOCALAPPDATA is not set: give --db PATH or --no-db";
  return "";
#else
  if (const char *data = std::getenv("XDG_DATA_HOME"); data && *data == '/')
    return std::string(data) + "/zolvane/results.sqlite";
  if (const char *home = std::getenv("HOME"); home && *home)
    return std::string(home) + "/.local/share/zolvane/results.sqlite";
  error = "neither XDG_DATA_HOME nor HOME is set: give --db PATH or --no-db";
  return "";
#endif
}

bool makeParentFolders(const std::string &file, std::string &error) {
  const std::filesystem::path parent = std::filesystem::path(file).parent_path();
  if (parent.empty()) return true;
  std::error_code ec;
  std::filesystem::create_directories(parent, ec);
  if (ec) {
    error = "cannot make the folder " + parent.string() + ": " + ec.message();
    return false;
  }
  return true;
}

}  // namespace zolvane::records
