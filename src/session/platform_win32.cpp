#include "session/platform.h"

#include <windows.h>

namespace zolvane::platform {
namespace {
SRWLOCK bindingLock = SRWLOCK_INIT;
}

void *loadLibrary(const char *name) { return reinterpret_cast<void *>(LoadLibraryA(name)); }

void *findSymbol(void *library, const char *name) {
  return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void freeLibrary(void *library) { FreeLibrary(static_cast<HMODULE>(library)); }

// An SRW lock cannot fail to be taken.
BindingLock::BindingLock() : held_(true) { AcquireSRWLockExclusive(&bindingLock); }

BindingLock::~BindingLock() { ReleaseSRWLockExclusive(&bindingLock); }

// The performance counter, not GetTickCount64: the tick count moves in steps of the system timer
// (10 to 16 ms), so a poll could start a step after its time-out. Both keep running in sleep.
std::uint64_t monotonicMilliseconds() {
  static const std::uint64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);  // cannot fail since Windows XP
    return static_cast<std::uint64_t>(f.QuadPart);
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  const auto count = static_cast<std::uint64_t>(now.QuadPart);
  // Split, so that count * 1000 cannot overflow however long the machine has been up.
  return count / frequency * 1000U + count % frequency * 1000U / frequency;
}

void sleepMilliseconds(std::uint64_t milliseconds) {
  while (milliseconds > 0) {
    const DWORD chunk = milliseconds > 0x7FFFFFFFU ? 0x7FFFFFFFU : static_cast<DWORD>(milliseconds);
    Sleep(chunk);
    milliseconds -= chunk;
  }
}

}  // namespace zolvane::platform
