// The VISA entry points of visa/entry_points.h, with the standard's C signatures and calling
// conventions. Each forwards to the member of the same name of the one simulated test set of the
// process; a variadic one forwards to its va_list form.
#include <cstdarg>

#include "entry_points.h"
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

#define ZV_SIM_UNPAREN(...) __VA_ARGS__

// No exception leaves a VISA call: one that escapes the model (memory exhausted) is a system error.
#define ZV_SIM_ENTRY(name, params, args)                      \
  ZV_SIM_EXPORT ViStatus ZV_VI_FUNC name params {             \
    try {                                                     \
      return front().name args;                               \
    } catch (...) {                                           \
      return kViErrorSystemError;                             \
    }                                                         \
  }

#define ZV_SIM_VARIADIC(name, params, last, vname, args)      \
  ZV_SIM_EXPORT ViStatus ZV_VI_FUNCC name(ZV_SIM_UNPAREN params, ...) { \
    va_list ap;                                               \
    va_start(ap, last);                                       \
    ViStatus s = kViErrorSystemError;                         \
    try {                                                     \
      s = front().vname(ZV_SIM_UNPAREN args, ap);             \
    } catch (...) {                                           \
    }                                                         \
    va_end(ap);                                               \
    return s;                                                 \
  }

extern "C" {
ZV_VISA_ENTRY_POINTS(ZV_SIM_ENTRY, ZV_SIM_VARIADIC)
}
