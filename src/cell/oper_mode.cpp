// The test set's operating mode.
#include <iterator>

#include "Zolvane.h"
#include "session/chain.h"

namespace zolvane {
namespace {

// Indexed by OperMode.
constexpr const char *kOperModeCommands[] = {
    "CALL:OPER:MODE CALL\n", "CALL:OPER:MODE CELL\n", "CALL:OPER:MODE TEST\n",
    "CALL:OPER:MODE OFF\n",  "CALL:OPER:MODE PBT\n",  "CALL:OPER:MODE PBPT\n",
    "CALL:OPER:MODE GBTT\n", "CALL:OPER:MODE CW\n",
};
static_assert(std::size(kOperModeCommands) == OPER_MODE_CW + 1, "one command per mode");

const char *operModeCommand(OperMode mode) {
  const int index = static_cast<int>(mode);
  if (index < 0 || index > OPER_MODE_CW) return kOperModeCommands[OPER_MODE_CELL];
  return kOperModeCommands[index];
}

}  // namespace
}  // namespace zolvane

using namespace zolvane;

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_SetOperMode(OperMode mode) {
  return runChain({operModeCommand(mode)});
}

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_SetOperModeCALL(void) {
  return Zolvane_SetOperMode(OPER_MODE_CALL);
}

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_SetOperModeCW(void) {
  return Zolvane_SetOperMode(OPER_MODE_CW);
}
