#include "cell/carrier.h"

#include "cell/band.h"

namespace zolvane {
namespace {

struct ChannelRule {
  double spacing;
  int offset;  // subtracted from the channel number
  double reverseBase;
  double forwardBase;
};

// Cellular bands (USC, SEC800). The two ranges are inclusive; any other channel number takes
// the plain rule.
constexpr ChannelRule kCellularLow{0.03, 1023, 825.0, 870.0};     // 991 to 1023
constexpr ChannelRule kCellularHigh{0.03, 1024, 815.04, 860.04};  // 1024 to 1323
constexpr ChannelRule kCellular{0.03, 0, 825.0, 870.0};
// PCS bands (USPC, USPC1900).
constexpr ChannelRule kPcs{0.05, 0, 1850.0, 1930.0};
// The 1700/2100 MHz band: it has no band name, so only an index outside the name table could
// select it.
constexpr ChannelRule kAws{0.05, 0, 1710.0, 2110.0};

const ChannelRule *ruleFor(int band, int channel) {
  switch (band) {
    case 0:
    case 2:
      if (channel >= 991 && channel <= 1023) return &kCellularLow;
      if (channel >= 1024 && channel <= 1323) return &kCellularHigh;
      return &kCellular;
    case 1:
    case 3:
      return &kPcs;
    case 4:
      return &kAws;
    default:
      return nullptr;
  }
}

}  // namespace

void CaculateCarrierFrequency(int nChannel, double *lfReverseFreq, double *lfForwardFreq) {
  const ChannelRule *rule = ruleFor(m_nBandType, nChannel);
  if (rule == nullptr) return;
  // Only the two bounded cellular ranges have an offset, so the difference cannot overflow.
  const double steps = static_cast<double>(nChannel - rule->offset);
  *lfReverseFreq = rule->spacing * steps + rule->reverseBase;
  *lfForwardFreq = rule->spacing * steps + rule->forwardBase;
}

}  // namespace zolvane
