// Moving a connected call to another traffic channel, in the current band or another one.
#include "Zolvane.h"
#include "cell/band.h"
#include "session/chain.h"

using namespace zolvane;

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_HandOff(int nBandSel, int nChannel) {
  // Only the four named bands can be handed off to; the current band is always one of them.
  if (!isBandIndex(nBandSel)) return ZOLVANE_ERROR_INV_PARAMETER;

  if (nBandSel == m_nBandType) {
    // Within the band the channel is simply retuned; Zolvane_2K_SetChannel closes with its own
    // error-queue read, so a successful run takes two.
    return runChain({
        "CALL:SET:SYST:TYPE DIG2000\n",
        Step::call(Zolvane_2K_SetChannel, nChannel, 0),
    });
  }
  // The band is remembered only once the test set was told to hand off, and the wait lets the
  // call settle on the new band before the next command.
  return runChain({
      "CALL:SET:SYST:TYPE DIG2000\n",
      Step::send("CALL:SET:BAND %s\n", szBandType[nBandSel]),
      Step::send("CALL:SET:CHAN %d\n", nChannel),
      Step("CALL:HAND\n").onSuccess(&m_nBandType, nBandSel),
      Step::pause(2.0),
  });
}
