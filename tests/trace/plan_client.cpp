// The phone test's plan through Zolvane's public API, for the trace tests: prints each step's
// status and reading, one a line; exit status 0 when every step succeeded, 1 at the first that
// did not (after printing it).
#include <cstdio>

#include "Zolvane.h"

namespace {

bool step(const char *name, int status) {
  std::printf("%s %d\n", name, status);
  return status == 0;
}

bool reading(const char *name, int (*fetch)(double *)) {
  double v = 0;
  const int status = fetch(&v);
  std::printf("%s %d %.6f\n", name, status, v);
  return status == 0;
}

bool measure() {
  return step("InitFER", Zolvane_2K_InitFER()) && reading("MeasFER", Zolvane_2K_MeasFER) &&
         step("AbortFER", Zolvane_2K_AbortFER()) &&
         step("InitMaxPower", Zolvane_2K_InitMaxPower(10)) &&
         reading("MeasMaxPower", Zolvane_2K_MeasMaxPower) &&
         step("AbortMaxPower", Zolvane_2K_AbortMaxPower()) &&
         step("InitMinPower", Zolvane_2K_InitMinPower()) &&
         reading("MeasMinPower", Zolvane_2K_MeasMinPower) &&
         step("AbortMinPower", Zolvane_2K_AbortMinPower()) &&
         step("InitRolop", Zolvane_2K_InitRolop()) && reading("MeasRolop", Zolvane_2K_MeasRolop) &&
         step("AbortRolop", Zolvane_2K_AbortRolop());
}

}  // namespace

int main() {
  const bool ok =
      step("InitTester", Zolvane_InitTester(14)) && step("ResetTester", Zolvane_ResetTester()) &&
      step("ConfigCDMA2K", Zolvane_ConfigCDMA2K(0)) &&
      step("SetChannel", Zolvane_2K_SetChannel(384, 2)) && step("SetLoss", Zolvane_2K_SetLoss(0.5)) &&
      step("OpenAct", Zolvane_2K_OpenAct()) && step("SetCellPower", Zolvane_2K_SetCellPower(-65.0)) &&
      step("SetNetwork", Zolvane_2K_SetNetwork(1, 1)) &&
      step("SyncNetwork", Zolvane_2K_SyncNetwork(10)) && step("SetOrig", Zolvane_SetOrig()) &&
      step("CheckConnect", Zolvane_CheckConnect(5)) && measure() &&
      step("HandOff", Zolvane_2K_HandOff(1, 25)) && step("CheckConnect", Zolvane_CheckConnect(5)) &&
      measure() && step("EndCall", Zolvane_EndCall()) &&
      step("ReleaseTester", Zolvane_ReleaseTester());
  return ok ? 0 : 1;
}
