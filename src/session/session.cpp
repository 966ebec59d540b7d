// Opening, resetting and releasing the test set.
#include "Zolvane.h"
#include "session/fixed_text.h"
#include "session/transport.h"
#include "session/visa_binding.h"

namespace zolvane {
namespace {
constexpr ViUInt32 kIoTimeoutMs = 20000;
}
}  // namespace zolvane

using namespace zolvane;

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_InitTester(int nGpibAddress) {
  FixedText<128> resource;
  resource.append("GPIB0::").append(nGpibAddress).append("::INSTR");

  // Nothing is closed when a step fails: the caller sees the step's status, and whatever was
  // opened is closed by Zolvane_ReleaseTester or at unload.
  int status = visa::openDefaultRM(&TestSetResourceManagerHandle);
  if (status == 0) {
    status = visa::open(TestSetResourceManagerHandle, resource.c_str(), kViNoLock, 0, &viInstr);
  }
  if (status == 0) status = visa::setAttribute(viInstr, kViAttrTmoValue, kIoTimeoutMs);
  if (status == 0) status = send("*CLS\n");
  return status;
}

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_ReleaseTester(void) {
  if (viInstr == 0 && TestSetResourceManagerHandle == 0) return 0;
  // An open whose viOpen failed left the resource manager alone: it is closed here too, or a
  // station that retries an absent instrument would leave one open per attempt.
  int status = viInstr != 0 ? visa::close(viInstr) : 0;
  if (status == 0) status = visa::close(TestSetResourceManagerHandle);
  // A resource manager left open here is still remembered by the binding and closed at unload.
  viInstr = 0;
  TestSetResourceManagerHandle = 0;
  return status;
}

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_ResetTester(void) { return send("*RST\n"); }
