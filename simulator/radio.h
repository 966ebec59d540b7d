// The radio facts the test set and its phone share: the bands the test set offers, their
// channel numbers and frequencies, and the open-loop power rule of each band class.
#pragma once

#include <string_view>

namespace zolvane_sim {

struct Band {
  const char *name;  // as "CALL:BAND" takes it
  bool pcs;          // the 1900 MHz rule; otherwise the 800 MHz cellular one
};

// The band of that name (upper case), or nullptr.
const Band *findBand(std::string_view name);
inline bool isBandName(std::string_view name) { return findBand(name) != nullptr; }

bool isValidChannel(const Band &band, int channel);
// The phone's transmit frequency and the test set's, in MHz.
double reverseMHz(const Band &band, int channel);
double forwardMHz(const Band &band, int channel);
// The open-loop rule: mean output power = constant - mean input power (dBm).
double openLoopConstant(const Band &band);

}  // namespace zolvane_sim
