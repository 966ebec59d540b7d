/* Zolvane.h on its own, as C: it must compile first in a translation unit with nothing included
 * before it, and OperMode must have the values and the 32-bit width the header promises, since
 * callers in other languages pass it as a plain 32-bit int. A C compiler may make the enumeration
 * unsigned (GCC does, as no value is negative); what counts is that any int passes through it
 * bit for bit. */
#include "Zolvane.h"

#include <stdio.h>

#define STATIC_CHECK(name, cond) typedef char static_check_##name[(cond) ? 1 : -1]

STATIC_CHECK(width, sizeof(OperMode) == sizeof(int32_t));
STATIC_CHECK(call, OPER_MODE_CALL == 0);
STATIC_CHECK(cell, OPER_MODE_CELL == 1);
STATIC_CHECK(test, OPER_MODE_TEST == 2);
STATIC_CHECK(off, OPER_MODE_OFF == 3);
STATIC_CHECK(pbt, OPER_MODE_PBT == 4);
STATIC_CHECK(pbpt, OPER_MODE_PBPT == 5);
STATIC_CHECK(gbtt, OPER_MODE_GBTT == 6);
STATIC_CHECK(cw, OPER_MODE_CW == 7);
STATIC_CHECK(statuses_are_32_bit, sizeof(ZOLVANE_ERROR_LIBRARY_NFOUND) == 4);

/* Every prototype, taken by address with the type a caller in C would write for it. */
typedef int(ZOLVANE_CALL *IntOfVoid)(void);
typedef int(ZOLVANE_CALL *IntOfInt)(int);
typedef int(ZOLVANE_CALL *IntOfIntInt)(int, int);
typedef int(ZOLVANE_CALL *IntOfDouble)(double);
typedef int(ZOLVANE_CALL *IntOfDoublePtr)(double *);
typedef int(ZOLVANE_CALL *IntOfOperMode)(OperMode);

int main(void) {
  int failures = 0;
  IntOfOperMode setOperMode = Zolvane_SetOperMode;
  IntOfVoid none[] = {Zolvane_2K_AbortFER,       Zolvane_2K_AbortMaxPower, Zolvane_2K_AbortMinPower,
                      Zolvane_2K_AbortRolop,     Zolvane_2K_InitFER,       Zolvane_2K_InitMinPower,
                      Zolvane_2K_InitRolop,      Zolvane_2K_OpenAct,       Zolvane_ConfigMeasDAP,
                      Zolvane_EndCall,           Zolvane_InitCPower,       Zolvane_InitDAPower,
                      Zolvane_ReleaseTester,     Zolvane_ResetTester,      Zolvane_SetOperModeCALL,
                      Zolvane_SetOperModeCW,     Zolvane_SetOrig};
  IntOfInt ints[] = {Zolvane_2K_InitMaxPower, Zolvane_2K_SetBand,   Zolvane_2K_SetRFPort,
                     Zolvane_2K_SyncNetwork,  Zolvane_CheckConnect, Zolvane_ConfigCDMA2K,
                     Zolvane_InitTester};
  IntOfIntInt pairs[] = {Zolvane_2K_HandOff, Zolvane_2K_SetChannel, Zolvane_2K_SetNetwork};
  IntOfDouble doubles[] = {Zolvane_2K_SetCellPower, Zolvane_2K_SetLoss, Zolvane_SetCarrierFrequency};
  IntOfDoublePtr outs[] = {Zolvane_2K_MeasFER,     Zolvane_2K_MeasMaxPower, Zolvane_2K_MeasMinPower,
                           Zolvane_2K_MeasRolop,   Zolvane_FetchCPower,     Zolvane_FetchDAPower};
  size_t count = sizeof none / sizeof none[0] + sizeof ints / sizeof ints[0] +
                 sizeof pairs / sizeof pairs[0] + sizeof doubles / sizeof doubles[0] +
                 sizeof outs / sizeof outs[0] + 1;
  if (count != 37) {
    printf("%u prototypes checked, not 37\n", (unsigned)count);
    ++failures;
  }
  if (setOperMode == 0) ++failures;
  {
    const int32_t passed[] = {-1, 8, INT32_MIN, INT32_MAX};
    size_t i;
    for (i = 0; i < sizeof passed / sizeof passed[0]; ++i) {
      OperMode mode = (OperMode)passed[i];
      if ((int32_t)mode != passed[i]) {
        printf("%ld does not pass through OperMode unchanged\n", (long)passed[i]);
        ++failures;
      }
    }
  }
  if (NO_RESULT_VALUE != 99999.0) {
    printf("NO_RESULT_VALUE is %f\n", NO_RESULT_VALUE);
    ++failures;
  }
  if (ZOLVANE_ERROR_LIBRARY_NFOUND != -1073807202 || ZOLVANE_ERROR_SYSTEM_ERROR != -1073807360 ||
      ZOLVANE_ERROR_USER_BUF != -1073807247 || ZOLVANE_ERROR_INV_PARAMETER != -1073807240) {
    printf("a status constant does not have its VISA value\n");
    ++failures;
  }
  return failures == 0 ? 0 : 1;
}
