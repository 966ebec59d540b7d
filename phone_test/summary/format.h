// Locale-free number text for the summary and the report.
#pragma once

#include <charconv>
#include <cmath>
#include <optional>
#include <string>

namespace phone_test::summary {

// `precision` significant digits (general), or the shortest text that reads back exactly.
inline std::string number(double v, int precision = 0) {
  char buf[64];
  const auto r =
      precision > 0 ? std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, precision)
                    : std::to_chars(buf, buf + sizeof buf, v);
  std::string s(buf, r.ptr);
  if (s == "-0") s = "0";
  return s;
}

inline std::string fixed(double v, int decimals) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
  std::string s(buf, r.ptr);
  if (s.find_first_not_of("-0.") == std::string::npos && s[0] == '-') s.erase(0, 1);
  return s;
}

// "-" for none, and for a statistic that overflowed (readings near the largest double).
inline std::string orDash(const std::optional<double> &v, int precision = 0) {
  return v && std::isfinite(*v) ? number(*v, precision) : "-";
}

// Text from a records file for a terminal: control characters (an escape sequence in a step
// name) are shown as '?', not obeyed.
inline std::string printable(std::string s) {
  for (char &c : s)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return s;
}

// Two decimals, as capability indices are read; a step with almost no spread gives huge ones.
inline std::string cpkText(const std::optional<double> &c) {
  if (!c || !std::isfinite(*c)) return "-";
  return std::abs(*c) < 1e4 ? fixed(*c, 2) : number(*c, 3);
}

}  // namespace phone_test::summary
