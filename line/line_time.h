// Times as the store keeps them: UTC text "YYYY-MM-DDTHH:MM:SS.mmmZ", which sorts as it reads in
// both stores, so that a range of time is a range of text and an hour is its first 13 letters.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace zolvane::line {

// "2026-12-08", "2026-12-08T17:03", "2026-12-08T17:03:40.123Z", "...+02:00" (a space may stand
// for the T; no zone means UTC) -> the store's text; nullopt for anything else.
std::optional<std::string> utcText(std::string_view iso);
std::string utcText(std::chrono::system_clock::time_point t);

// "15m", "8h", "30d" -> that span; nullopt for anything else (at most ten years).
std::optional<std::chrono::seconds> span(std::string_view text);

}  // namespace zolvane::line
