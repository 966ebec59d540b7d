// The reader of the trace format (visa/trace_format.h): the trace VISA's records of VISA calls
// and the simulated test set's records of messages, in every version. `zolvane_trace`, the
// simulator's replay and the profile learner read traces only through it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zolvane::trace {

using Status = std::int32_t;

// One line of a trace that is a record.
struct Record {
  unsigned line = 0;    // in the file, from 1
  unsigned number = 0;  // among the calls (the trace VISA) or messages (the simulator), from 1; 0 for others
  int version = 1;      // of the format it was written in
  double time = 0.0;    // s since its trace started
  char kind = '=';      // > < = ! * #
  std::string text;     // everything after the kind, as written
  // A VISA call (the trace VISA's records): its name, arguments and what it read or gave, each
  // as written (strings still quoted and escaped), its status and the time it took.
  std::string name;
  std::vector<std::string> args;
  std::string read;
  bool hasStatus = false;
  Status status = 0;
  double took = 0.0;  // s
  bool cut = false;   // the line was cut at the writer's limit: what follows the cut is unknown
};

// What crossed the bus, in order: the unit that replay compares and that learning reads.
struct Exchange {
  enum Kind { Write, Read } kind = Write;
  std::string bytes;   // a message without its line feed, or an answer without its line feed
  bool known = true;   // false: the record does not show them (a cut line, an argument not listed)
  Status status = 0;   // of the call
  double at = 0.0;     // s since the trace started
  double took = 0.0;   // s the call took (for an answer: until it came)
  unsigned number = 0; // the record's number
  unsigned line = 0;
};

struct Trace {
  std::vector<Record> records;
  std::vector<Exchange> exchanges;
  unsigned runs = 0;  // trace starts (header lines, or first records) seen
};

// Undoes the escaping: "\\n \\r \\t \\\\ \\\" \\xHH". `lenient` (the simulator's version-1 trace)
// keeps any other backslash as it is; otherwise it is an error. False when malformed.
bool unescape(std::string_view text, std::string &out, bool lenient = false);

// A quoted, escaped string as written ("\"CALL:POW %sDBM\\n\"") into its bytes.
bool unquote(std::string_view quoted, std::string &out);

// Formats a VISA write format with its arguments as the trace VISA wrote them (numbers as text,
// strings quoted). False when a conversion or an argument cannot be reproduced (`...`, %b, ...).
bool formatWrite(const std::string &format, const std::vector<std::string> &args, std::size_t first,
                 std::string &out);

// Parses a whole trace. False with "line N: why" in `error`; a trace of a newer version than
// this reader knows is refused.
bool parseTrace(std::string_view text, Trace &out, std::string &error);
bool readTrace(const std::string &path, Trace &out, std::string &error);

// The whole file at `path` (a trace, a profile); false with "cannot read PATH" in `error`.
bool readWholeFile(const std::string &path, std::string &text, std::string &error);

// The record as `zolvane_trace show` and `diff` print it: session numbers renumbered in the
// order they appear (S1, S2, ...) when `sessions` is given, times left out.
std::string describe(const Record &r, std::vector<std::string> *sessions = nullptr);

// The status's name, or its code in hexadecimal.
std::string statusName(Status s);

}  // namespace zolvane::trace
