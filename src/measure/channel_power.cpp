// Channel power (CPOW) under three power-control set-ups: minimum power (DOWN), Rolop (ALT) and
// plain channel power (CPower, set up like minimum power). All three read the same fetch.
#include "Zolvane.h"
#include "measure/fetch.h"
#include "session/parse.h"

using namespace zolvane;

namespace {

// Where the three start-up lists differ; every other step is common to them.
struct ChannelPowerSetUp {
  bool dropTimerOff;           // "CALL:CONN:DROP:TIM OFF\n"
  const char *powerControl;    // reverse closed-loop power-control mode
  const char *timeOutOff;      // the short or the long form of the time-out command
  bool restart;                // "INIT:CPOW:OFF\n" before starting: stop a running measurement
};

constexpr ChannelPowerSetUp kMinPower{true, "CALL:CLPC:REV:MODE DOWN\n", "SET:CPOW:TIM:STAT OFF\n",
                                      false};
constexpr ChannelPowerSetUp kCPower{true, "CALL:CLPC:REV:MODE DOWN\n", "SET:CPOW:TIM:STATE OFF\n",
                                    false};
constexpr ChannelPowerSetUp kRolop{false, "CALL:CLPC:REV:MODE ALT\n", "SET:CPOW:TIM:STAT OFF\n",
                                   true};

int initChannelPower(const ChannelPowerSetUp &s) {
  return runChain({
      "CALL:PIL:STATE ON\n",
      "CALL:PIL -7\n",
      "CALL:CELL:FCH:STATE ON\n",
      "CALL:CELL:FCH -7.4\n",
      Step("CALL:CONN:DROP:TIM OFF\n").when(s.dropTimerOff),
      s.powerControl,
      "SET:CPOW:COUN:STAT OFF\n",
      "SET:CPOW:CONT ON\n",
      "SET:CPOW:MSP NORM\n",
      s.timeOutOff,
      Step("INIT:CPOW:OFF\n").when(s.restart),
      "INIT:CPOW\n",
  });
}

// Minimum power switched the call-drop timer off, so its Abort switches it on again; Rolop
// never touched it.
int abortChannelPower(bool restoreDropTimer) {
  return runChain({
      "CALL:CLPC:REV:MODE ACT\n",
      Step("CALL:CONN:DROP:TIM ON\n").when(restoreDropTimer),
      "INIT:CPOW:OFF\n",
      "*CLS\n",
  });
}

int fetchChannelPower(double *out) { return fetchMeasurement("FETC:CPOW?\n", extractTwoField, out); }

}  // namespace

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_InitMinPower(void) {
  return initChannelPower(kMinPower);
}

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_MeasMinPower(double *lfMeasPower) {
  return fetchChannelPower(lfMeasPower);
}

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_AbortMinPower(void) {
  return abortChannelPower(true);
}

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_InitRolop(void) {
  return initChannelPower(kRolop);
}

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_MeasRolop(double *lfMeasPower) {
  return fetchChannelPower(lfMeasPower);
}

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_AbortRolop(void) {
  return abortChannelPower(false);
}

// Leaves the call-drop timer off and power control DOWN: there is no Abort of its own.
extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_InitCPower(void) {
  return initChannelPower(kCPower);
}

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_FetchCPower(double *lfMeas) {
  return Zolvane_2K_MeasRolop(lfMeas);
}
