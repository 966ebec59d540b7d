// `zolvane_phone_test summarize`: records from JSON Lines files and a station database, through
// the analysis, to text (or JSON) on standard output and an HTML report.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "analysis.h"

namespace zolvane::analysis {

struct SummarizeRequest {
  std::vector<std::string> files;  // JSON Lines, as --results writes them
  std::string db;                  // a station database (read only), empty for none
  std::string station, plan;       // filters, empty for any
  std::string since, until;        // ISO 8601 (UTC), empty for open
  bool json = false;               // one JSON object instead of the text
  std::string html;                // the report to this file, empty for none
};

// Whether this build reads station databases (--db).
bool canReadDatabases();

// Runs the summary. Returns 0 when it summarized; 2 after a line on `err` when an input cannot be
// read (a missing file, a database that cannot be opened, input with lines but not one record), a
// filter time cannot be read, or the report cannot be written. Lines that are not records (torn
// by a full disk, too long, refused) are skipped, counted and named on `err` and in the summary.
int summarize(const SummarizeRequest &request, std::FILE *out, std::FILE *err);

// Reads one JSON Lines stream into the analysis: each line over kMaxLineBytes or not a record is
// skipped (named "NAME:LINE: why"). Returns the count of non-blank lines; false on a read error.
bool readLines(std::FILE *in, const std::string &name, Analysis &analysis, std::size_t &lines,
               std::FILE *err);

}  // namespace zolvane::analysis
