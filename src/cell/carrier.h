// Channel number to carrier frequencies, by the band last written to the test set.
#pragma once

namespace zolvane {

// Writes the reverse (phone transmit) and forward (test set transmit) frequencies in MHz of
// `nChannel` for the band in m_nBandType. A band index without a rule writes neither.
void CaculateCarrierFrequency(int nChannel, double *lfReverseFreq, double *lfForwardFreq);

}  // namespace zolvane
