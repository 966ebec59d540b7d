// Locale-free text for numbers and times, shared by every renderer.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "results.h"

namespace zolvane::analysis {

// Four significant figures (general form), "-" for none or a number that is not finite.
std::string sig4(double v);
std::string sig4(const std::optional<double> &v);
// A fraction as a percentage to four significant figures ("91.67 %"), "-" for none.
std::string percent(const std::optional<double> &fraction);
// `decimals` after the point, no "-0".
std::string fixed(double v, int decimals);

// ISO 8601 in UTC: "2026-12-08T17:03:40.123Z", also without the fraction, without the zone
// (taken as UTC), with a space for the T, or a date alone (midnight). None for anything else.
std::optional<TimeMs> parseTime(std::string_view text);
// "2026-12-08 17:03:40Z" (the seconds cut, as a person reads it).
std::string timeText(TimeMs t);
// "2026-12-08".
std::string dateText(TimeMs t);

// Text from records for a terminal: control characters (C0, DEL, C1) and bytes that are not
// UTF-8 shown as '?', never obeyed.
std::string printable(std::string_view s);

// Calls each(code point, its bytes) for every character of UTF-8 text; a byte that does not
// begin a valid character (overlong, surrogate, past U+10FFFF, cut short) comes alone as -1.
template <typename Each>
void forEachChar(std::string_view s, Each each) {
  const auto *p = reinterpret_cast<const unsigned char *>(s.data());
  const auto *end = p + s.size();
  while (p < end) {
    const unsigned char c = *p;
    const std::size_t len = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3
                                      : c >= 0xF0 && c <= 0xF4   ? 4 : 0;
    bool good = len != 0 && static_cast<std::size_t>(end - p) >= len;
    for (std::size_t i = 1; good && i < len; ++i) good = (p[i] & 0xC0) == 0x80;
    if (good && len == 3) good = !(c == 0xE0 && p[1] < 0xA0) && !(c == 0xED && p[1] >= 0xA0);
    if (good && len == 4) good = !(c == 0xF0 && p[1] < 0x90) && !(c == 0xF4 && p[1] >= 0x90);
    if (!good) {
      each(-1L, std::string_view(reinterpret_cast<const char *>(p), 1));
      ++p;
      continue;
    }
    long code = len == 1 ? c : c & (0xFF >> (len + 1));
    for (std::size_t i = 1; i < len; ++i) code = code << 6 | (p[i] & 0x3F);
    each(code, std::string_view(reinterpret_cast<const char *>(p), len));
    p += len;
  }
}

// At most `chars` code points of UTF-8 text, with "…" when cut; never splits a character.
std::string shortened(std::string_view s, std::size_t chars);

}  // namespace zolvane::analysis
