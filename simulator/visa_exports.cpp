// The six VISA entry points the Zolvane binding resolves, with the standard's C signatures and
// calling conventions. Each forwards to the one simulated test set of the process.
#include <cstdarg>

#include "visa_front.h"

#if defined(_WIN32)
#define ZV_SIM_EXPORT __declspec(dllexport)
#else
#define ZV_SIM_EXPORT __attribute__((visibility("default")))
#endif

namespace {

// Never destroyed, and the library is never unloaded (it is linked -z nodelete): a VISA user may
// close its sessions from its own unload code, after this library's static objects would have
// gone (the Zolvane binding does exactly that at exit).
zolvane_sim::VisaFront &front() {
  static auto *clock = new zolvane_sim::SteadyClock;
  static auto *f = new zolvane_sim::VisaFront(zolvane_sim::loadFromEnvironment, *clock);
  return *f;
}

}  // namespace

extern "C" {

ZV_SIM_EXPORT ViStatus ZV_VI_FUNC viOpenDefaultRM(ViSession *rm) {
  return front().openDefaultRM(rm);
}

ZV_SIM_EXPORT ViStatus ZV_VI_FUNC viOpen(ViSession rm, ViRsrc name, ViAccessMode mode,
                                         ViUInt32 openTimeout, ViSession *vi) {
  return front().open(rm, name, mode, openTimeout, vi);
}

ZV_SIM_EXPORT ViStatus ZV_VI_FUNC viSetAttribute(ViObject vi, ViAttr attr, ViAttrState value) {
  return front().setAttribute(vi, attr, value);
}

ZV_SIM_EXPORT ViStatus ZV_VI_FUNC viClose(ViObject vi) { return front().close(vi); }

ZV_SIM_EXPORT ViStatus ZV_VI_FUNCC viPrintf(ViSession vi, ViString writeFmt, ...) {
  va_list args;
  va_start(args, writeFmt);
  ViStatus s = front().vprintf(vi, writeFmt, args);
  va_end(args);
  return s;
}

ZV_SIM_EXPORT ViStatus ZV_VI_FUNCC viQueryf(ViSession vi, ViString writeFmt, ViString readFmt,
                                            ...) {
  va_list args;
  va_start(args, readFmt);
  ViStatus s = front().vqueryf(vi, writeFmt, readFmt, args);
  va_end(args);
  return s;
}

}  // extern "C"
