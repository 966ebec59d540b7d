// Frame error rate: the CFER measurement, started in continuous mode and read as often as the
// caller likes.
#include "Zolvane.h"
#include "measure/fetch.h"
#include "session/parse.h"

using namespace zolvane;

namespace {

constexpr Step kInitFer[] = {
    "CALL:PIL:STATE ON\n",
    "CALL:PIL -7\n",
    "CALL:CELL:FCH:STATE ON\n",
    "CALL:CELL:FCH -15.6\n",
    "SET:CFER:CONF:STAT ON\n",
    "SET:CFER:CONF:LEV 95PCT\n",
    "SET:CFER:CONF:REQ 5\n",
    "SET:CFER:COUN:MAX 1000\n",
    "SET:CFER:COUN:MIN 50\n",
    "SET:CFER:CONT ON\n",
    "SET:CFER:TIM:STAT OFF\n",
    "INIT:CFER\n",
};

constexpr Step kAbortFer[] = {"INIT:CFER:OFF\n", "*CLS\n"};

}  // namespace

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_InitFER(void) { return runChain(kInitFer); }

// The ratio is handed back as the test set answers it, unscaled.
extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_MeasFER(double *lfFER) {
  return fetchMeasurement("FETC:CFER:RAT?\n", extractSingleValue, lfFER);
}

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_AbortFER(void) { return runChain(kAbortFer); }
