#include "session/parse.h"

#include <charconv>
#include <cstring>
#include <limits>

#include "Zolvane.h"

namespace zolvane {
namespace {

bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Whether a number too far out of range for a double was too large (true) or too small: the
// power of ten of its first significant digit, plus the exponent.
bool overflows(const char *p) {
  long position = 0;
  bool significant = false;
  for (; isDigit(*p); ++p) {
    if (*p != '0') significant = true;
    if (significant) ++position;
  }
  if (*p == '.') {
    for (++p; isDigit(*p); ++p) {
      if (significant) continue;
      if (*p != '0') significant = true;
      else --position;
    }
  }
  long exponent = 0;
  if (*p == 'e' || *p == 'E') {
    ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    for (; isDigit(*p); ++p) {
      if (exponent < 100000) exponent = exponent * 10 + (*p - '0');
    }
    if (negative) exponent = -exponent;
  }
  return significant && position + exponent > 0;
}

}  // namespace

int Sep_Str(char *str, const char *sep, char **fields) {
  const char separator = sep[0];
  int count = 0;
  fields[0] = str;
  for (char *p = str; *p != '\0'; ++p) {
    if (*p != separator) continue;
    if (count == kMaxFields - 1) break;
    ++count;
    *p = '\0';
    if (p[1] == '\0') return count;
    fields[count] = p + 1;
  }
  return count + 1;
}

double parseNumber(const char *text) {
  const char *p = text;
  while (isSpace(*p)) ++p;
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  // std::from_chars would also take "inf", "nan" and (in hex mode) "0x"; atof's decimal grammar
  // starts with a digit or a point followed by one.
  if (!isDigit(*p) && !(*p == '.' && isDigit(p[1]))) return 0.0;

  double value = 0.0;
  const auto [end, ec] = std::from_chars(p, p + std::strlen(p), value, std::chars_format::general);
  (void)end;
  if (ec == std::errc::result_out_of_range) {
    value = overflows(p) ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (ec != std::errc{}) {
    value = 0.0;
  }
  return negative ? -value : value;
}

void extractSingleValue(char *token, double *out) {
  *out = std::strcmp(token, "NAN") == 0 ? NO_RESULT_VALUE : parseNumber(token);
}

void extractTwoField(char *token, double *out) {
  if (std::strstr(token, "NAN") != nullptr) {
    *out = NO_RESULT_VALUE;
    return;
  }
  char *fields[kMaxFields];
  const int count = Sep_Str(token, ",", fields);
  *out = count >= 2 ? parseNumber(fields[1]) : NO_RESULT_VALUE;
}

}  // namespace zolvane
