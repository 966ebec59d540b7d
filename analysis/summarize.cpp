#include "summarize.h"

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "format.h"
#include "output.h"
#include "render.h"

#if defined(ZOLVANE_ANALYSIS_HAVE_SQLITE)
#include <sqlite3.h>
#endif

namespace zolvane::analysis {
namespace {

using nlohmann::json;

// One record line (or none), named where it came from; false when it was skipped.
void take(Analysis &analysis, std::string_view text, const std::string &where, std::FILE *err) {
  std::string why;
  json record = json::parse(text, nullptr, false);
  if (record.is_discarded()) {
    why = "not a JSON line (torn?)";
  } else if (analysis.add(record, why) != Analysis::Added::Refused) {
    return;
  }
  const std::string named = where + ": " + why + ", skipped";
  analysis.skip(named);
  if (err) std::fprintf(err, "%s\n", printable(named).c_str());
}

#if defined(ZOLVANE_ANALYSIS_HAVE_SQLITE)
// The records of a station database, oldest first, opened read only: a wrong path is an error,
// never a new empty database.
bool readDatabase(const std::string &path, Analysis &analysis, std::size_t &rows,
                  std::string &error, std::FILE *err) {
  sqlite3 *db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt *q = nullptr;
  if (rc == SQLITE_OK) {
    sqlite3_busy_timeout(db, 10000);
    rc = sqlite3_prepare_v2(db, "SELECT record_id, record_json FROM phone_run ORDER BY start, record_id",
                            -1, &q, nullptr);
  }
  if (rc == SQLITE_OK) {
    while ((rc = sqlite3_step(q)) == SQLITE_ROW) {
      const auto *id = reinterpret_cast<const char *>(sqlite3_column_text(q, 0));
      const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(q, 1));
      const int bytes = sqlite3_column_bytes(q, 1);
      ++rows;
      const std::string where = path + ": record " + (id ? id : "?");
      if (static_cast<std::size_t>(bytes) > kMaxLineBytes) {
        analysis.skip(where + ": longer than 1 MiB, skipped");
        continue;
      }
      take(analysis, std::string_view(text ? text : "", static_cast<std::size_t>(bytes)), where,
           err);
    }
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
  }
  if (rc != SQLITE_OK) error = path + ": cannot be read as a station database: " + sqlite3_errmsg(db);
  sqlite3_finalize(q);
  sqlite3_close(db);
  return rc == SQLITE_OK;
}
#endif

}  // namespace

bool canReadDatabases() {
#if defined(ZOLVANE_ANALYSIS_HAVE_SQLITE)
  return true;
#else
  return false;
#endif
}

bool readLines(std::FILE *in, const std::string &name, Analysis &analysis, std::size_t &lines,
               std::FILE *err) {
  std::string line;
  bool tooLong = false;
  std::size_t lineNo = 0;
  char buf[65536];
  auto finish = [&] {
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const bool blank = line.find_first_not_of(" \t") == std::string::npos;
    if (tooLong) {
      ++lines;
      const std::string named =
          name + ":" + std::to_string(lineNo) + ": longer than 1 MiB, skipped";
      analysis.skip(named);
      if (err) std::fprintf(err, "%s\n", printable(named).c_str());
    } else if (!blank) {
      ++lines;
      take(analysis, line, name + ":" + std::to_string(lineNo), err);
    }
    line.clear();
    tooLong = false;
  };
  for (;;) {
    const std::size_t n = std::fread(buf, 1, sizeof buf, in);
    for (std::size_t at = 0; at < n;) {
      const void *nl = std::memchr(buf + at, '\n', n - at);
      const std::size_t end = nl ? static_cast<std::size_t>(static_cast<const char *>(nl) - buf) : n;
      // A line past the limit is dropped as it is read: it never takes more than the limit.
      if (!tooLong) {
        if (line.size() + (end - at) > kMaxLineBytes) {
          tooLong = true;
          line.clear();
          line.shrink_to_fit();
        } else {
          line.append(buf + at, end - at);
        }
      }
      at = end;
      if (nl) {
        finish();
        ++at;
      }
    }
    if (n < sizeof buf) break;
  }
  if (std::ferror(in)) return false;
  if (!line.empty() || tooLong) finish();  // a last line without its line feed
  return true;
}

int summarize(const SummarizeRequest &rq, std::FILE *out, std::FILE *err) {
  auto refuse = [&](const std::string &message) {
    std::fprintf(err, "summarize: %s\n", printable(message).c_str());
    return 2;
  };
  if (rq.files.empty() && rq.db.empty()) return refuse("no records file or --db given");
  Filter filter;
  filter.station = rq.station;
  filter.plan = rq.plan;
  for (const auto &[option, text, into] :
       {std::tuple{"--since", &rq.since, &filter.since},
        std::tuple{"--until", &rq.until, &filter.until}}) {
    if (text->empty()) continue;
    *into = parseTime(*text);
    if (!*into)
      return refuse(std::string(option) + " needs a UTC time such as 2026-12-08 or " +
                    "2026-12-08T17:00:00Z, not \"" + *text + "\"");
  }
  std::string error;
  // The report's path first: a directory or a socket is refused before anything is read.
  if (!rq.html.empty() && !checkOutput(rq.html, error)) return refuse("--html: " + error);

  Analysis analysis(filter);
  for (const std::string &file : rq.files) {
    const bool stdinput = file == "-";
    std::FILE *in = stdinput ? stdin : std::fopen(file.c_str(), "rb");
    if (!in) return refuse(file + ": cannot be read: " + std::strerror(errno));
    const std::string name = stdinput ? "(standard input)" : file;
    analysis.addSource(name);
    std::size_t lines = 0;
    const std::size_t before = analysis.input().skipped;
    const bool ok = readLines(in, name, analysis, lines, err);
    const int cause = errno;
    if (!stdinput) std::fclose(in);
    if (!ok) return refuse(name + ": cannot be read: " + std::strerror(cause));
    // Lines and not one record: not a records file at all (a CSV given by mistake).
    if (lines > 0 && analysis.input().skipped - before == lines)
      return refuse(name + ": not one line is a phone record");
  }
  if (!rq.db.empty()) {
#if defined(ZOLVANE_ANALYSIS_HAVE_SQLITE)
    analysis.addSource(rq.db);
    std::size_t rows = 0;
    if (!readDatabase(rq.db, analysis, rows, error, err)) return refuse(error);
#else
    return refuse("--db: this build cannot read station databases (no SQLite)");
#endif
  }

  const Report report = analysis.report();
  const std::string text = rq.json ? jsonText(jsonReport(report), 2) + "\n" : textReport(report);
  std::fputs(text.c_str(), out);
  std::fflush(out);
  if (!rq.html.empty() && !writeOutput(rq.html, htmlReport(report).str(), error))
    return refuse("--html: " + error);
  return 0;
}

}  // namespace zolvane::analysis
