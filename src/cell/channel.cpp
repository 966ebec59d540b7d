// Tuning the traffic channel and the RF generator.

#include "Zolvane.h"
#include "cell/carrier.h"
#include "session/chain.h"
#include "session/fixed_text.h"

using namespace zolvane;

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_SetChannel(int nChannel, int nMode) {
  const bool tunesChannel = nMode == 0 || nMode == 2;
  const bool setsGenerator = nMode == 1 || nMode == 2;
  // Defined even where the band has no rule; the conversion sends nothing, so it may run ahead.
  double lfReverseFreq = 0.0;
  double lfForwardFreq = 0.0;
  if (setsGenerator) CaculateCarrierFrequency(nChannel, &lfReverseFreq, &lfForwardFreq);
  // The generator takes the phone's transmit frequency; the forward one is not sent.
  return runChain({
      Step::send("CALL:CHAN %d\n", nChannel).when(tunesChannel),
      Step::call(Zolvane_SetCarrierFrequency, lfReverseFreq).when(setsGenerator),
  });
}

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_SetCarrierFrequency(double lfFrequency) {
  FixedText<kNumberTextSize> frequency;
  // "nan" or "inf" on the wire would be taken as success; refuse them instead.
  if (!frequency.appendFixed(lfFrequency, 3).ok()) return ZOLVANE_ERROR_INV_PARAMETER;
  return runChain({Step::send("CALL:RFG:FREQ %sMHz\n", frequency.c_str())});
}
