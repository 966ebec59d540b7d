// The line format of the trace VISA and of the simulated test set's trace:
//
//   # zolvane-trace 2; Zolvane trace VISA, process 4711, started 2025-01-01 10:00:00; ...
//   [    2.000853] > CALL:CONN:STAT?
//
// a header line naming the format's version, then one line per record: seconds since the trace
// started, a kind ('>' bytes written, '<' bytes read, '=' a session event, '!' a failure, '*' the
// instrument's own event, '#' a note), and text in which every byte outside printable ASCII,
// '"' and '\' are escaped, so that one record is always one line. A record longer than
// kMaxLine is cut and ends with the marker capLine() appends. trace_tool/ holds the reader.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>

#include "status_text.h"
#include "visa_types.h"

namespace zolvane::trace_format {

// Version 1 had no header; the simulator's trace then left '"' and '\' unescaped.
inline constexpr int kVersion = 2;
inline constexpr std::string_view kHeaderTag = "# zolvane-trace ";

// The longest line a writer writes, line feed included: each line goes out in one write(), so
// that lines of processes appending to one file never mix.
inline constexpr std::size_t kMaxLine = 65536;
inline constexpr std::string_view kCutTag = " [cut: ";

// "# zolvane-trace 2; <who>, started <local time>; times in seconds since <since>"
inline std::string header(std::string_view who, std::string_view since) {
  std::time_t wall = std::time(nullptr);
  char when[64] = "";
  if (const std::tm *local = std::localtime(&wall))
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", local);
  std::string out(kHeaderTag);
  out += std::to_string(kVersion);
  out += "; ";
  out += who;
  out += ", started ";
  out += when;
  out += "; times in seconds since ";
  out += since;
  return out;
}

inline void appendEscaped(std::string &out, std::string_view bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c < 0x20 || c >= 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else out += ch;
  }
}

// Cuts a line (without its line feed) that would be longer than kMaxLine, and marks it:
// "... [cut: 1048576 bytes left out]". The cut never splits an escape sequence.
inline void capLine(std::string &line) {
  constexpr std::size_t kRoom = kMaxLine - 64;
  if (line.size() < kMaxLine) return;
  std::size_t keep = 0;
  while (keep < kRoom) {
    std::size_t step = line[keep] != '\\' ? 1 : keep + 1 < line.size() && line[keep + 1] == 'x' ? 4 : 2;
    if (keep + step > kRoom) break;
    keep += step;
  }
  const std::size_t left = line.size() - keep;
  line.resize(keep);
  line += kCutTag;
  line += std::to_string(left);
  line += " bytes left out]";
}

// "[    2.000853] > "
inline void appendPrefix(std::string &out, double seconds, char kind) {
  char head[48];
  int n = std::snprintf(head, sizeof head, "[%12.6f] %c ", seconds, kind);
  if (n > 0) out.append(head, static_cast<std::size_t>(n) < sizeof head ? static_cast<std::size_t>(n) : sizeof head - 1);
}

// "VI_ERROR_TMO (0xBFFF0015)"; a code without a name is shown by its value alone.
inline void appendStatus(std::string &out, ViStatus status) {
  if (const visa_status::StatusText *t = visa_status::find(status)) {
    out += t->name;
    out += ' ';
  }
  char code[16];
  std::snprintf(code, sizeof code, "(0x%08X)", static_cast<unsigned>(status));
  out += code;
}

}  // namespace zolvane::trace_format
