// The library's whole boundary, by name, for the programs that must show they covered all of it.
#pragma once

#include <algorithm>
#include <iterator>
#include <string_view>

namespace robustness {

inline constexpr std::string_view kExportedOperations[] = {
    "Zolvane_2K_AbortFER",      "Zolvane_2K_AbortMaxPower",    "Zolvane_2K_AbortMinPower",
    "Zolvane_2K_AbortRolop",    "Zolvane_2K_HandOff",          "Zolvane_2K_InitFER",
    "Zolvane_2K_InitMaxPower",  "Zolvane_2K_InitMinPower",     "Zolvane_2K_InitRolop",
    "Zolvane_2K_MeasFER",       "Zolvane_2K_MeasMaxPower",     "Zolvane_2K_MeasMinPower",
    "Zolvane_2K_MeasRolop",     "Zolvane_2K_OpenAct",          "Zolvane_2K_SetBand",
    "Zolvane_2K_SetCellPower",  "Zolvane_2K_SetChannel",       "Zolvane_2K_SetLoss",
    "Zolvane_2K_SetNetwork",    "Zolvane_2K_SetRFPort",        "Zolvane_2K_SyncNetwork",
    "Zolvane_CheckConnect",     "Zolvane_ConfigCDMA2K",        "Zolvane_ConfigMeasDAP",
    "Zolvane_EndCall",          "Zolvane_FetchCPower",         "Zolvane_FetchDAPower",
    "Zolvane_InitCPower",       "Zolvane_InitDAPower",         "Zolvane_InitTester",
    "Zolvane_ReleaseTester",    "Zolvane_ResetTester",         "Zolvane_SetCarrierFrequency",
    "Zolvane_SetOperMode",      "Zolvane_SetOperModeCALL",     "Zolvane_SetOperModeCW",
    "Zolvane_SetOrig",
};
static_assert(std::size(kExportedOperations) == 37);

// A row or case name starts with the operation's name; what follows it is the variant.
inline std::string_view operationOf(std::string_view caseName) {
  return caseName.substr(0, caseName.find(' '));
}

inline bool isExported(std::string_view name) {
  return std::find(std::begin(kExportedOperations), std::end(kExportedOperations), name) !=
         std::end(kExportedOperations);
}

}  // namespace robustness
