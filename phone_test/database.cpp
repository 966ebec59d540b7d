#include "database.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "record.h"
#include "record_schema.h"

namespace phone_test {
namespace {

using zolvane::records::StationDb;

constexpr int kExitStation = 2, kExitError = 3;

int refuse(const std::string &what, const std::string &message, int code = kExitStation) {
  std::fprintf(stderr, "zolvane_phone_test %s: %s\n", what.c_str(), message.c_str());
  return code;
}

// "2026-12-08", "2026-12-08T17:03", ...: a prefix of the records' own form, so that comparing
// text compares times.
bool isTimePrefix(const std::string &t) {
  static const std::string kForm = "dddd-dd-ddTdd:dd:dd.dddZ";
  if (t.size() < 10 || t.size() > kForm.size()) return false;
  for (std::size_t i = 0; i < t.size(); ++i) {
    const bool digit = t[i] >= '0' && t[i] <= '9';
    if (kForm[i] == 'd' ? !digit : t[i] != kForm[i]) return false;
  }
  return true;
}

}  // namespace

bool databasePath(const Options &o, std::string &path, std::string &error) {
  path.clear();
  if (o.noDb) return true;
  if (!o.db.empty()) {
    path = o.db;
    return true;
  }
  path = zolvane::records::defaultDatabasePath(error);
  return !path.empty();
}

std::unique_ptr<StationDb> openDatabase(const Options &o, std::string &error) {
  std::string path;
  if (!databasePath(o, path, error) || path.empty()) return nullptr;
  // The default's folder is made; a folder named with --db must be there (a mistyped one is not
  // quietly made).
  if (o.db.empty() && !zolvane::records::makeParentFolders(path, error)) return nullptr;
  auto db = std::make_unique<StationDb>();
  if (!db->open(path, error, static_cast<int>(o.dbTimeout * 1000.0))) return nullptr;
  return db;
}

StationDb::Attempt Attempts::next(const std::string &serial) {
  StationDb::Attempt a;
  if (serial.empty()) return a;
  std::string error;
  if (db_ && db_->nextAttempt(serial, a, error)) return a;
  if (auto it = seen_.find(serial); it != seen_.end()) a = it->second;
  return a;
}

void Attempts::done(const std::string &serial, int attempt, const std::string &recordId) {
  if (!serial.empty()) seen_[serial] = StationDb::Attempt{attempt + 1, recordId};
}

int exportCommand(const Options &o) {
  std::string path, error;
  if (!databasePath(o, path, error) || path.empty())
    return refuse("export", error.empty() ? "--no-db: nothing to export" : error);
  if (!o.since.empty() && !isTimePrefix(o.since))
    return refuse("export", "--since needs a UTC time like 2026-12-08 or 2026-12-08T17:03:40Z, "
                            "not \"" + o.since + "\"");
  if (!std::filesystem::is_regular_file(path))
    return refuse("export", "no database at " + path);
  StationDb db;
  if (!db.open(path, error, static_cast<int>(o.dbTimeout * 1000.0))) return refuse("export", error);
  std::string since = o.since;
  if (!since.empty() && since.back() == 'Z') since.pop_back();  // "...:40Z" is "...:40.000Z"
  const bool csv = o.format == "csv";
  bool written = true;
  if (csv) written = std::fputs(csvHeader().c_str(), stdout) >= 0;
  const bool read = db.forEachRecord(
      since,
      [&](const nlohmann::json &r) {
        const std::string text = csv ? csvRows(fromJson(r)) : jsonLine(r);
        written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
        return written;
      },
      error);
  if (!read) return refuse("export", error);
  if (!written || std::fflush(stdout) != 0)
    return refuse("export", "cannot write to standard output");
  return 0;
}

int importCommand(const Options &o) {
  std::string path, error;
  if (!databasePath(o, path, error) || path.empty())
    return refuse("import", error.empty() ? "--no-db: nowhere to import to" : error);
  auto db = openDatabase(o, error);
  if (!db) return refuse("import", error);
  for (const std::string &file : o.importFiles) {
    // Read and checked whole first: a file with a bad line is left out whole.
    std::ifstream in(file, std::ios::binary);
    if (!in) return refuse("import", file + ": cannot be read");
    std::vector<nlohmann::json> records;
    std::string line, why;
    for (std::size_t n = 1; std::getline(in, line); ++n) {
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      nlohmann::json r = nlohmann::json::parse(line, nullptr, false);
      if (r.is_discarded())
        return refuse("import", file + ":" + std::to_string(n) + ": not a JSON line");
      if (!zolvane::records::checkRecord(r, why))
        return refuse("import", file + ":" + std::to_string(n) + ": " + why);
      records.push_back(std::move(r));
    }
    if (in.bad()) return refuse("import", file + ": cannot be read");
    std::size_t added = 0;
    if (!db->begin(error)) return refuse("import", error, kExitError);
    for (const nlohmann::json &r : records) {
      bool isNew = false;
      if (!db->importRecord(r, isNew, error)) {
        db->rollback();
        return refuse("import", file + ": " + error, kExitError);
      }
      added += isNew ? 1 : 0;
    }
    if (!db->commit(error)) return refuse("import", file + ": " + error, kExitError);
    std::printf("%s: %zu records, %zu new, %zu already in %s\n", file.c_str(), records.size(),
                added, records.size() - added, path.c_str());
  }
  return 0;
}

}  // namespace phone_test
