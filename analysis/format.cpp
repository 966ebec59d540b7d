#include "format.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace zolvane::analysis {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's days_from_civil).
long long daysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

struct Civil {
  long long y;
  unsigned m, d;
};

Civil civilFromDays(long long z) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<long long>(yoe) + era * 400 + (m <= 2), m, d};
}

// Exactly `n` digits at `at`, advancing it.
bool digits(std::string_view s, std::size_t &at, std::size_t n, unsigned &out) {
  if (at + n > s.size()) return false;
  out = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const char c = s[at + i];
    if (c < '0' || c > '9') return false;
    out = out * 10 + static_cast<unsigned>(c - '0');
  }
  at += n;
  return true;
}

std::string twoDigits(unsigned v) {
  return std::string{static_cast<char>('0' + v / 10 % 10), static_cast<char>('0' + v % 10)};
}

}  // namespace

const char *verdictName(Verdict v) {
  switch (v) {
    case Verdict::Pass: return "PASS";
    case Verdict::Fail: return "FAIL";
    case Verdict::Error: return "ERROR";
    case Verdict::Aborted: break;
  }
  return "ABORTED";
}

std::string sig4(double v) {
  if (!std::isfinite(v)) return "-";
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 4);
  std::string s(buf, r.ptr);
  if (s == "-0") s = "0";
  return s;
}

std::string sig4(const std::optional<double> &v) { return v ? sig4(*v) : "-"; }

std::string percent(const std::optional<double> &fraction) {
  if (!fraction || !std::isfinite(*fraction)) return "-";
  return sig4(100.0 * *fraction) + " %";
}

std::string fixed(double v, int decimals) {
  char buf[400];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
  std::string s(buf, r.ptr);
  if (s.find_first_not_of("-0.") == std::string::npos && !s.empty() && s[0] == '-') s.erase(0, 1);
  return s;
}

std::optional<TimeMs> parseTime(std::string_view s) {
  std::size_t at = 0;
  unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0, ms = 0;
  if (!digits(s, at, 4, y) || at >= s.size() || s[at++] != '-' || !digits(s, at, 2, mo) ||
      at >= s.size() || s[at++] != '-' || !digits(s, at, 2, d))
    return std::nullopt;
  if (mo < 1 || mo > 12 || d < 1 || d > 31) return std::nullopt;
  if (at < s.size() && (s[at] == 'T' || s[at] == ' ')) {
    ++at;
    if (!digits(s, at, 2, h) || at >= s.size() || s[at++] != ':' || !digits(s, at, 2, mi))
      return std::nullopt;
    if (at < s.size() && s[at] == ':') {
      ++at;
      if (!digits(s, at, 2, sec)) return std::nullopt;
      if (at < s.size() && s[at] == '.') {
        ++at;
        unsigned scale = 100;
        const std::size_t begin = at;
        for (; at < s.size() && s[at] >= '0' && s[at] <= '9'; ++at) {
          ms += static_cast<unsigned>(s[at] - '0') * scale;
          scale /= 10;
        }
        if (at == begin) return std::nullopt;
      }
    }
    if (at < s.size() && s[at] == 'Z') ++at;
  }
  if (at != s.size() || h > 23 || mi > 59 || sec > 60) return std::nullopt;
  const long long days = daysFromCivil(y, mo, d);
  if (civilFromDays(days).d != d) return std::nullopt;  // 2026-02-30
  return ((days * 24 + h) * 60 + mi) * 60'000LL + sec * 1000LL + ms;
}

std::string dateText(TimeMs t) {
  const long long days = t >= 0 ? t / 86'400'000 : -((-t + 86'399'999) / 86'400'000);
  const Civil c = civilFromDays(days);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u", c.y, c.m, c.d);
  return buf;
}

std::string timeText(TimeMs t) {
  const long long dayMs = 86'400'000;
  const long long inDay = ((t % dayMs) + dayMs) % dayMs;
  const auto s = static_cast<unsigned>(inDay / 1000);
  return dateText(t) + " " + twoDigits(s / 3600) + ":" + twoDigits(s / 60 % 60) + ":" +
         twoDigits(s % 60) + "Z";
}

std::string printable(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  forEachChar(s, [&](long code, std::string_view bytes) {
    if (code < 0x20 || (code >= 0x7F && code <= 0x9F))
      out += '?';
    else
      out += bytes;
  });
  return out;
}

std::string shortened(std::string_view s, std::size_t chars) {
  std::size_t at = 0, n = 0;
  while (at < s.size() && n < chars) {
    ++at;
    while (at < s.size() && (static_cast<unsigned char>(s[at]) & 0xC0) == 0x80) ++at;
    ++n;
  }
  if (at >= s.size()) return std::string(s);
  return std::string(s.substr(0, at)) + "\xE2\x80\xA6";
}

}  // namespace zolvane::analysis
