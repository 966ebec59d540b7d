// Helpers shared by the cell-configuration tests.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "conversation.h"

namespace cell_test {

// DBL_MAX in decimal: the longest integer part any finite double has (309 digits).
inline constexpr const char *kDblMaxDigits =
    "179769313486231570814527423731704356798070567525844996598917476803157260780028538760589558"
    "632766878171540458953514382464234321326889464182768467546703537516986049910576551282076245"
    "490090389328944075868508455133942304583236903222948165808559332123348274797826204144723168"
    "738177180919299881250404026184124858368";

// A write that succeeds, for texts built at run time.
visa_double::Exchange write(const std::string &command);

// The exchanges of a successful Zolvane_2K_SetBand for a band name, closing read included.
std::vector<visa_double::Exchange> setBandExchanges(const char *bandName);

// Selects a band through a scripted, successful Zolvane_2K_SetBand run.
void selectBand(int band);

// Whether the band remembered by the library converts channels by the cellular rule (true) or
// the PCS rule (false): tunes channel 25 and reads the frequency that goes out.
void expectRemembersCellularBand(bool cellular);

// The fault sweep for an operation whose successful run holds error-queue reads other than a
// closing one (an operation whose steps call other chains): a failing read changes nothing and
// the run goes on; any other failing exchange k ends the run after exchanges 0..k with its status.
// `reads` holds the positions of every error-queue read in `success`.
void expectEachStepEndsTheNestedChain(const std::function<int()> &operation,
                                      const std::vector<visa_double::Exchange> &success,
                                      const std::vector<std::size_t> &reads,
                                      const std::function<void()> &before = {});

}  // namespace cell_test
