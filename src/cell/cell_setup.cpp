// Putting the test set into CDMA2000 call processing and configuring the emulated cell.
#include <cstddef>
#include <string_view>

#include "Zolvane.h"
#include "cell/band.h"
#include "session/chain.h"
#include "session/fixed_text.h"

namespace zolvane {
namespace {

// The path-loss table's frequency points in Hz, fixed, so the command is fixed text; every
// point gets the same gain.
constexpr const char *kLossFrequencies =
    "SYST:CORR:FREQ 800000000,825570000,825600000,847410000,847440000,1000000000,1010000000,"
    "1712500000,1712550000,1751850000,1751900000,1790000000,1800000000,1853750000,1853800000,"
    "1906250000,1906300000,2200000000\n";
constexpr int kLossPoints = 18;

constexpr Step kOpenAct[] = {
    "CALL:SYNC:STATE ON\n", "CALL:SYNC -16\n",          "CALL:PAG:STATE ON\n",
    "CALL:PAG -12\n",       "CALL:CELL:FCH:STATE ON\n", "CALL:CELL:FCH -15.6\n",
};


}  // namespace
}  // namespace zolvane

using namespace zolvane;

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_ConfigCDMA2K(int nBandSel) {
  if (!isBandIndex(nBandSel)) return ZOLVANE_ERROR_INV_PARAMETER;
  // Both calls close with their own error-queue reads, so this chain adds none.
  const Step steps[] = {
      "*CLS\n",
      "INIT:CFER:OFF\n",
      "INIT:DAP:OFF\n",
      "INIT:CPOW:OFF\n",
      "INIT:CAPP:OFF\n",
      "INIT:ATXP:OFF\n",
      "INIT:FM:OFF\n",
      "INIT:AFAN:OFF\n",
      "AFG:VOLT:STAT OFF\n",
      "DISP:MODE TRACK\n",
      Step::call(Zolvane_2K_SetBand, nBandSel),
      Step::call(Zolvane_2K_SetRFPort, 0),
  };
  return runChain(steps, Closing::Nothing);
}

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_SetBand(int nBandSel) {
  if (!isBandIndex(nBandSel)) return ZOLVANE_ERROR_INV_PARAMETER;
  FixedText<128> band;
  band.append("CALL:BAND ").append(szBandType[nBandSel]).append("\n");
  // The operating mode is a plain command here: calling Zolvane_SetOperMode would add an
  // error-queue read in the middle of the chain.
  const Step steps[] = {
      "CALL:OPER:MODE CALL\n",
      "CALL:SYSTEM DIG2000\n",
      // The band names hold no '%', so the text can go as the command itself.
      Step(band.c_str()).onSuccess(&m_nBandType, nBandSel),
      "CALL:PROT PREV6\n",
      "CALL:RCON F1R1\n",
      "CALL:PAG:STATE OFF\n",
      "CALL:CELL:FCH:STATE OFF\n",
  };
  return runChain(steps);
}

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_SetLoss(double lfLoss) {
  // The gain is formatted once and copied to every point.
  FixedText<kNumberTextSize> gain;
  gain.appendFixed(-lfLoss, 2);
  const std::string_view gainText(gain.c_str(), gain.size());
  FixedText<512> gains;
  gains.append("SYST:CORR:GAIN ").append(gainText);
  for (int i = 1; i < kLossPoints; ++i) gains.append(",").append(gainText);
  gains.append("\n");
  // A loss that is not finite, or too large for eighteen copies to fit, is refused whole rather
  // than sent cut short.
  if (!gain.ok() || !gains.ok()) return ZOLVANE_ERROR_INV_PARAMETER;
  return runChain({Step(kLossFrequencies), Step(gains.c_str()), "SYST:CORR:STAT ON\n"});
}

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_SetRFPort(int nPortType) {
  return runChain({nPortType == 0 ? "RFGenerator:OUTPut IO\n" : "RFGenerator:OUTPut OUT\n"});
}

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_OpenAct(void) { return runChain(kOpenAct); }

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_SetCellPower(double lfCellPower) {
  FixedText<kNumberTextSize> power;
  // "nan" or "inf" on the wire would be taken as success; refuse them instead.
  if (!power.appendFixed(lfCellPower, 2).ok()) return ZOLVANE_ERROR_INV_PARAMETER;
  return runChain({Step::send("CALL:POW %sDBM\n", power.c_str())});
}

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_SetNetwork(int nSID, int nNID) {
  return runChain({Step::send("CALL:SID %d\n", nSID), Step::send("CALL:NID %d\n", nNID)});
}
