// The station's own database of phone records: one SQLite file, written as each phone finishes.
// Tables (phone_test/README.md documents every column):
//   phone_run  one row per phone run, keyed by record_id, with the whole record in record_json
//              and forwarded_at (NULL until the line server has it);
//   step       one row per step of a run.
// Opened in WAL mode with synchronous FULL: a committed run survives a crash or a power cut, and a
// process killed at any moment leaves a database that passes PRAGMA integrity_check. The schema's
// version is PRAGMA user_version; an older file is brought forward when opened, a newer one is
// refused.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

struct sqlite3;

namespace zolvane::records {

// The schema version this program writes (PRAGMA user_version).
inline constexpr int kDatabaseVersion = 1;

class StationDb {
 public:
  StationDb() = default;
  StationDb(const StationDb &) = delete;
  StationDb &operator=(const StationDb &) = delete;
  ~StationDb();

  // Opens or creates the database at `path` (its folder must exist) and brings its tables up to
  // date. busyMs: how long a write waits for another process's before it fails.
  bool open(const std::string &path, std::string &error, int busyMs = 10000);
  bool isOpen() const { return db_ != nullptr; }
  const std::string &path() const { return path_; }

  // A new run of the station: in one transaction, sets the record's "attempt" (1 + the runs of
  // its serial already stored) and "previous_record_id" (the latest of them, or null), then
  // stores it. A run with an empty serial is attempt 1 with no previous one.
  bool addRun(nlohmann::json &record, std::string &error);

  // The attempt a new run of `serial` would be, and its previous record, without storing one.
  struct Attempt {
    int attempt = 1;
    std::optional<std::string> previous;
  };
  bool nextAttempt(const std::string &serial, Attempt &out, std::string &error);

  // Stores a record as it is (checked with checkRecord first), unless one with its record_id is
  // already there: `added` says which.
  bool importRecord(const nlohmann::json &record, bool &added, std::string &error);

  // Transactions around many imports; addRun and importRecord outside them make their own.
  bool begin(std::string &error);
  bool commit(std::string &error);
  void rollback();

  // Every stored record whose start is at or after `since` (ISO 8601 text, compared as text;
  // empty: all), oldest first, as stored. `each` returns false to stop.
  bool forEachRecord(const std::string &since,
                     const std::function<bool(const nlohmann::json &)> &each,
                     std::string &error);

 private:
  bool exec(const char *sql, std::string &error);
  bool migrate(std::string &error);
  int userVersion(std::string &error);
  bool storeRow(const nlohmann::json &record, const std::string &id, bool &added,
                std::string &error);
  bool nextAttemptLocked(const std::string &serial, Attempt &out, std::string &error);
  std::string fault(const char *doing) const;

  sqlite3 *db_ = nullptr;
  std::string path_;
  bool inTransaction_ = false;
};

// The default database: $XDG_DATA_HOME/zolvane/results.sqlite, else
// ~/.local/share/zolvane/results.sqlite; on Windows %LOCALAPPDATA%\Zolvane\results.sqlite. Empty
// with a reason when neither variable gives a folder.
std::string defaultDatabasePath(std::string &error);

// Creates the folders on the way to `file`.
bool makeParentFolders(const std::string &file, std::string &error);

}  // namespace zolvane::records
