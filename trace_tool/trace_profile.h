// A test set's profile, learned from traces: for every query its answers (readings as count,
// mean, standard deviation, min and max per band and channel), the error-queue answers that
// followed each command, and the delays the station waited on. Written and read as TOML;
// `zolvane_trace learn` writes it, the simulator's `profile=` setting reads it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "trace_reader.h"

namespace zolvane::trace {

struct Stats {
  unsigned long count = 0;
  double mean = 0.0, std = 0.0, min = 0.0, max = 0.0;
  void add(double x);  // Welford's running mean and variance; std is the sample deviation
 private:
  double m2_ = 0.0;
};

// A query whose answer is one or more numbers, at least one written as a real ("0,2.31E+01"):
// each comma-separated field's statistics and the printf format it was written in.
struct Reading {
  std::string query;
  std::string band;  // empty: over every band and channel
  int channel = -1;
  std::string control;  // the reverse power-control mode it was read under (UP, DOWN, ...)
  std::vector<Stats> fields;
  std::vector<std::string> formats;  // "%.6E", "%.2f", "%.0f"
};

// Answers counted by their text: those of a query that are not readings, or the error-queue
// answers that followed a command.
struct Answers {
  std::string key;  // the query, or the command
  std::vector<std::string> values;
  std::vector<unsigned long> counts;
  void add(const std::string &value);
};

struct Profile {
  unsigned runs = 0;
  Stats registration, connection, measurement;  // s
  std::vector<Reading> readings;
  std::vector<Answers> answers;
  std::vector<Answers> errors;

  // The reading for this query on this band and channel under this power control, else over
  // every band; null when none.
  const Reading *reading(std::string_view query, std::string_view band, int channel,
                         std::string_view control) const;
  const Answers *errorsAfter(std::string_view command) const;
};

Profile learn(const std::vector<Trace> &traces);

std::string toToml(const Profile &p);
// False with "line N: why" (or the key at fault) in `error`.
bool parseProfile(std::string_view text, Profile &out, std::string &error);
bool readProfile(const std::string &path, Profile &out, std::string &error);

// The printf format a number was written in: "2.312000E+01" gives "%.6E".
std::string numberFormat(std::string_view text);

}  // namespace zolvane::trace
