// The station database from the program's side: which file, the attempts of a serial, and the
// `export` and `import` subcommands.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "options.h"
#include "station_db.h"

namespace phone_test {

// The database the options name (--db, else the default); empty with no error for --no-db.
bool databasePath(const Options &o, std::string &path, std::string &error);

// Opens the station database (creating the default one's folder); null for --no-db, and null
// with a message in `error` when it cannot be opened.
std::unique_ptr<zolvane::records::StationDb> openDatabase(const Options &o, std::string &error);

// The attempt numbers a record carries: from the database when there is one (where
// StationDb::addRun settles them as it stores the run); else, and when the database cannot be
// read, from the runs of this program alone.
class Attempts {
 public:
  explicit Attempts(zolvane::records::StationDb *db) : db_(db) {}
  zolvane::records::StationDb::Attempt next(const std::string &serial);
  void done(const std::string &serial, int attempt, const std::string &recordId);

 private:
  zolvane::records::StationDb *db_;
  std::map<std::string, zolvane::records::StationDb::Attempt> seen_;
};

// `export`: 0, or 2 after one line on standard error.
int exportCommand(const Options &o);
// `import`: 0; 2 for a file that cannot be read or holds a line that is not a record (that file
// is left out whole); 3 when the database cannot be written.
int importCommand(const Options &o);

}  // namespace phone_test
