// The line format of the trace VISA, with the simulated test set's timestamp and kinds:
//
//   [    2.000853] > CALL:CONN:STAT?
//
// seconds since the trace started, a kind ('>' bytes written, '<' bytes read, '=' a session
// event, '!' a failure, '*' the instrument's own event, '#' a note), and text in which every
// byte outside printable ASCII is escaped, so that one record is always one line.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "status_text.h"
#include "visa_types.h"

namespace zolvane::trace_format {

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
