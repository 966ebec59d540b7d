#include "radio.h"

namespace zolvane_sim {
namespace {

constexpr Band kBands[] = {
    {"USC", false},
    {"USPC", true},
    {"SEC800", false},
    {"USPC1900", true},
};

}  // namespace

const Band *findBand(std::string_view name) {
  for (const Band &b : kBands)
    if (name == b.name) return &b;
  return nullptr;
}

bool isValidChannel(const Band &band, int channel) {
  if (band.pcs) return channel >= 0 && channel <= 1199;
  return (channel >= 1 && channel <= 799) || (channel >= 991 && channel <= 1323);
}

double reverseMHz(const Band &band, int channel) {
  if (band.pcs) return 1850.0 + 0.05 * channel;
  if (channel >= 991 && channel <= 1023) return 825.0 + 0.03 * (channel - 1023);
  if (channel >= 1024 && channel <= 1323) return 815.04 + 0.03 * (channel - 1024);
  return 825.0 + 0.03 * channel;
}

double forwardMHz(const Band &band, int channel) {
  return reverseMHz(band, channel) + (band.pcs ? 80.0 : 45.0);
}

double openLoopConstant(const Band &band) { return band.pcs ? -76.0 : -73.0; }

}  // namespace zolvane_sim
