// The trace reader and the profile reader on any bytes: each input is read as a trace and as a
// profile; a profile that reads is written and must read back the same.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "trace_profile.h"
#include "trace_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  zolvane::trace::Trace trace;
  std::string error;
  if (zolvane::trace::parseTrace(text, trace, error)) (void)zolvane::trace::learn({trace});
  zolvane::trace::Profile profile, again;
  if (zolvane::trace::parseProfile(text, profile, error)) {
    const std::string written = zolvane::trace::toToml(profile);
    if (!zolvane::trace::parseProfile(written, again, error) || zolvane::trace::toToml(again) != written)
      __builtin_trap();
  }
  return 0;
}
