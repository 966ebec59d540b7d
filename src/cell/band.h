// The bands the test set is told about by name, and the band last written to it.
#pragma once

namespace zolvane {

inline constexpr int kBandCount = 4;
// Rows 0 to 3: "USC", "USPC", "SEC800", "USPC1900".
extern const char szBandType[kBandCount][9];

// The band index whose band command was last written without a VISA error (Zolvane_2K_SetBand)
// or last handed off to (Zolvane_2K_HandOff). 0, the cellular band, at load.
extern int m_nBandType;

constexpr bool isBandIndex(int nBandSel) { return nBandSel >= 0 && nBandSel < kBandCount; }

}  // namespace zolvane
