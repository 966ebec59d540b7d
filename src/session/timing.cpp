#include "session/timing.h"

#include <cmath>

#include "session/platform.h"

namespace zolvane {

std::uint32_t clock() {
  return static_cast<std::uint32_t>(platform::monotonicMilliseconds());
}

void Delay(double seconds) {
  if (!(seconds > 0.0) || !std::isfinite(seconds)) return;
  platform::sleepMilliseconds(static_cast<std::uint64_t>(std::llround(seconds * 1000.0)));
}

}  // namespace zolvane
