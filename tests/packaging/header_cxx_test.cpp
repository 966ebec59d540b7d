// Zolvane.h on its own, as C++: first in the translation unit, every declaration with C linkage,
// and OperMode a signed 32-bit enumeration with the values the header promises.
#include "Zolvane.h"

#include <cstdio>
#include <type_traits>

static_assert(std::is_same<std::underlying_type<OperMode>::type, std::int32_t>::value,
              "OperMode is a signed 32-bit type");
static_assert(sizeof(OperMode) == 4, "OperMode is 32 bits wide");
static_assert(OPER_MODE_CALL == 0 && OPER_MODE_CELL == 1 && OPER_MODE_TEST == 2 &&
                  OPER_MODE_OFF == 3 && OPER_MODE_PBT == 4 && OPER_MODE_PBPT == 5 &&
                  OPER_MODE_GBTT == 6 && OPER_MODE_CW == 7,
              "OperMode values");
// Unscoped, so C++ callers write the same names as C callers.
static_assert(std::is_convertible<OperMode, int>::value, "OperMode converts to int");
static_assert(ZOLVANE_ERROR_LIBRARY_NFOUND == -1073807202 && ZOLVANE_ERROR_SYSTEM_ERROR == -1073807360,
              "VISA values");

// Redeclaring with C linkage is only valid if the header gave these names C linkage too.
extern "C" {
ZOLVANE_API int ZOLVANE_CALL Zolvane_InitTester(int nGpibAddress);
ZOLVANE_API int ZOLVANE_CALL Zolvane_SetOperMode(OperMode mode);
ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_MeasFER(double *lfFER);
}

int main() {
  int (ZOLVANE_CALL *setOperMode)(OperMode) = Zolvane_SetOperMode;
  int (ZOLVANE_CALL *measure)(double *) = Zolvane_FetchCPower;
  int (ZOLVANE_CALL *handOff)(int, int) = Zolvane_2K_HandOff;
  int (ZOLVANE_CALL *setLoss)(double) = Zolvane_2K_SetLoss;
  if (!setOperMode || !measure || !handOff || !setLoss) return 1;
  if (NO_RESULT_VALUE != 99999.0) {
    std::printf("NO_RESULT_VALUE is %f\n", NO_RESULT_VALUE);
    return 1;
  }
  return 0;
}
