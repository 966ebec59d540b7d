#include "line_time.h"

#include <charconv>
#include <cstdio>

namespace zolvane::line {
namespace {

using namespace std::chrono;

// Exactly `n` digits at `at`, advancing it.
bool digits(std::string_view s, std::size_t &at, std::size_t n, int &out) {
  if (at + n > s.size()) return false;
  out = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const char c = s[at + i];
    if (c < '0' || c > '9') return false;
    out = out * 10 + (c - '0');
  }
  at += n;
  return true;
}

bool take(std::string_view s, std::size_t &at, char c) {
  if (at < s.size() && s[at] == c) {
    ++at;
    return true;
  }
  return false;
}

}  // namespace

std::optional<std::string> utcText(std::string_view s) {
  std::size_t at = 0;
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0, ms = 0;
  if (!digits(s, at, 4, y) || !take(s, at, '-') || !digits(s, at, 2, mo) || !take(s, at, '-') ||
      !digits(s, at, 2, d))
    return std::nullopt;
  const year_month_day date{year(y), month(static_cast<unsigned>(mo)),
                            day(static_cast<unsigned>(d))};
  if (!date.ok() || y < 1970) return std::nullopt;
  int offsetMinutes = 0;
  if (at < s.size()) {
    if (!take(s, at, 'T') && !take(s, at, ' ')) return std::nullopt;
    if (!digits(s, at, 2, h) || !take(s, at, ':') || !digits(s, at, 2, mi)) return std::nullopt;
    if (take(s, at, ':')) {
      if (!digits(s, at, 2, sec)) return std::nullopt;
      if (take(s, at, '.')) {  // milliseconds kept, further digits dropped
        const std::size_t first = at;
        int scale = 100, digit = 0;
        while (at < s.size() && s[at] >= '0' && s[at] <= '9') {
          digits(s, at, 1, digit);
          ms += digit * scale;
          scale /= 10;
        }
        if (at == first) return std::nullopt;
      }
    }
    if (h > 23 || mi > 59 || sec > 60) return std::nullopt;
    if (take(s, at, 'Z') || take(s, at, 'z')) {
    } else if (at < s.size() && (s[at] == '+' || s[at] == '-')) {
      const int sign = s[at++] == '-' ? -1 : 1;
      int oh = 0, om = 0;
      if (!digits(s, at, 2, oh)) return std::nullopt;
      take(s, at, ':');
      if (!digits(s, at, 2, om) || oh > 23 || om > 59) return std::nullopt;
      offsetMinutes = sign * (oh * 60 + om);
    }
    if (at != s.size()) return std::nullopt;
  }
  if (sec == 60) sec = 59;  // a leap second, kept in its minute
  const auto t = sys_days(date) + hours(h) + minutes(mi - offsetMinutes) + seconds(sec) +
                 milliseconds(ms);
  return utcText(time_point_cast<system_clock::duration>(t));
}

std::string utcText(system_clock::time_point t) {
  const auto ms = time_point_cast<milliseconds>(t);
  const auto dayStart = floor<days>(ms);
  const year_month_day ymd(dayStart);
  const hh_mm_ss hms(ms - dayStart);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<int>(hms.hours().count()), static_cast<int>(hms.minutes().count()),
                static_cast<int>(hms.seconds().count()),
                static_cast<int>(hms.subseconds().count()));
  return buf;
}

std::optional<std::chrono::seconds> span(std::string_view text) {
  if (text.size() < 2) return std::nullopt;
  long long n = 0;
  const char *end = text.data() + text.size() - 1;
  auto [p, ec] = std::from_chars(text.data(), end, n);
  if (ec != std::errc() || p != end || n <= 0) return std::nullopt;
  long long unit = 0;
  switch (text.back()) {
    case 'm': unit = 60; break;
    case 'h': unit = 3600; break;
    case 'd': unit = 86400; break;
    default: return std::nullopt;
  }
  if (n > 3660LL * 86400 / unit) return std::nullopt;
  return std::chrono::seconds(n * unit);
}

}  // namespace zolvane::line
