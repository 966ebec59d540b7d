// Text built on the stack: commands with numbers formatted by the library itself, with a point
// as the decimal separator whatever the process locale.
#pragma once

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <string_view>

namespace zolvane {

// Room for any finite double in fixed notation with up to three decimals, its sign and the NUL.
inline constexpr std::size_t kNumberTextSize = 320;

template <std::size_t N>
class FixedText {
 public:
  FixedText() { text_[0] = '\0'; }

  // Appends while it fits; once something does not fit (or cannot be written), ok() is false
  // and the text stays what it was before that append.
  FixedText &append(std::string_view s) {
    if (!ok_ || s.size() > room()) return fail();
    // One copy: a byte loop would reload size_ after every store, since char may alias it.
    std::memcpy(text_ + size_, s.data(), s.size());
    size_ += s.size();
    text_[size_] = '\0';
    return *this;
  }

  FixedText &append(int value) {
    char digits[16];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    if (ec != std::errc{}) return fail();
    return append(std::string_view(digits, static_cast<std::size_t>(end - digits)));
  }

  // Fixed-point with `decimals` places, as "%.<decimals>f" in the C locale, except that a value
  // that rounds to zero is written without a minus sign. A value that is not finite fails.
  FixedText &appendFixed(double value, int decimals) {
    if (!std::isfinite(value)) return fail();
    char digits[400];  // the longest finite double in fixed notation, with room for decimals
    const auto [end, ec] =
        std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, decimals);
    if (ec != std::errc{}) return fail();
    std::string_view written(digits, static_cast<std::size_t>(end - digits));
    if (written.front() == '-' && written.find_first_not_of("-0.") == std::string_view::npos) {
      written.remove_prefix(1);
    }
    return append(written);
  }

  const char *c_str() const { return text_; }
  std::size_t size() const { return size_; }
  bool ok() const { return ok_; }

 private:
  std::size_t room() const { return N - 1 - size_; }
  FixedText &fail() {
    ok_ = false;
    return *this;
  }

  char text_[N];
  std::size_t size_ = 0;
  bool ok_ = true;
};

}  // namespace zolvane
