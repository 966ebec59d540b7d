#include "cell/band.h"

namespace zolvane {

const char szBandType[kBandCount][9] = {"USC", "USPC", "SEC800", "USPC1900"};
int m_nBandType = 0;

}  // namespace zolvane
