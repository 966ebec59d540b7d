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

std::uint64_t monotonicMilliseconds() { return GetTickCount64(); }

void sleepMilliseconds(std::uint64_t milliseconds) {
  while (milliseconds > 0) {
    const DWORD chunk = milliseconds > 0x7FFFFFFFU ? 0x7FFFFFFFU : static_cast<DWORD>(milliseconds);
    Sleep(chunk);
    milliseconds -= chunk;
  }
}

}  // namespace zolvane::platform
