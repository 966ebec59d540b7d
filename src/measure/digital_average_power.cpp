// Maximum output power (power control UP, DAP counted over the caller's number of measurements)
// and the stand-alone digital average power set (configure, start, fetch).
#include "Zolvane.h"
#include "measure/fetch.h"
#include "session/parse.h"

using namespace zolvane;

namespace {

constexpr const char *kFetchDap = "FETC:DAP?\n";

constexpr Step kAbortMaxPower[] = {
    "CALL:CLPC:REV:MODE ACT\n",  // power control back to normal before the measurement stops
    "INIT:DAP:OFF\n",
    "*CLS\n",
};

// Stops a running channel-power measurement first; unlike the maximum-power set it counts
// nothing, switches the call-drop timer off and uses the long form of the time-out command.
constexpr Step kConfigMeasDap[] = {
    "INIT:CPOW:OFF\n",
    "CALL:PIL:STATE ON\n",
    "CALL:PIL -7\n",
    "CALL:CELL:FCH:STATE ON\n",
    "CALL:CELL:FCH -7.4\n",
    "CALL:CONN:DROP:TIM OFF\n",
    "CALL:CLPC:REV:MODE UP\n",
    "SET:DAP:COUN:STAT OFF\n",
    "SET:DAP:CONT ON\n",
    "SET:DAP:TIM:STATE OFF\n",
};

constexpr Step kInitDaPower[] = {"INIT:DAP:OFF\n", "INIT:CPOW:OFF\n", "INIT:DAP\n"};

}  // namespace

// The count goes to the test set as given; the test set answers for a value it does not take.
extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_InitMaxPower(int nTestCount) {
  return runChain({
      "CALL:PIL:STATE ON\n",
      "CALL:PIL -7\n",
      "CALL:CELL:FCH:STATE ON\n",
      "CALL:CELL:FCH -7.4\n",
      "CALL:CLPC:REV:MODE UP\n",
      "SET:DAP:COUN:STAT ON\n",
      Step::send("SET:DAP:COUN:NUMB %d\n", nTestCount),
      "SET:DAP:CONT ON\n",
      "SET:DAP:TIM:STAT OFF\n",
      "INIT:DAP\n",
  });
}

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_MeasMaxPower(double *lfMeasPower) {
  return fetchMeasurement(kFetchDap, extractTwoField, lfMeasPower);
}

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_AbortMaxPower(void) {
  return runChain(kAbortMaxPower);
}

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_ConfigMeasDAP(void) {
  return runChain(kConfigMeasDap);
}

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_InitDAPower(void) { return runChain(kInitDaPower); }

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_FetchDAPower(double *lfMeas) {
  return fetchMeasurement(kFetchDap, extractTwoField, lfMeas);
}
