// The few services the library takes from the operating system: the loader, one lock, a
// monotonic clock and a sleep. Everything platform-specific lives behind these functions.
#pragma once

#include <cstdint>

namespace zolvane::platform {

// Loads a shared library by the name given (a bare name keeps the loader's search path in
// charge); nullptr when it cannot be loaded.
void *loadLibrary(const char *name);
// nullptr when the library has no such symbol.
void *findSymbol(void *library, const char *name);
void freeLibrary(void *library);

// The process-private lock under which VISA is bound. held() is false when the lock could not
// be taken.
class BindingLock {
 public:
  BindingLock();
  ~BindingLock();
  BindingLock(const BindingLock &) = delete;
  BindingLock &operator=(const BindingLock &) = delete;
  bool held() const { return held_; }

 private:
  bool held_;
};

// Milliseconds from a clock that never goes back and keeps running while the thread sleeps.
std::uint64_t monotonicMilliseconds();
// Blocks the calling thread for about this many milliseconds.
void sleepMilliseconds(std::uint64_t milliseconds);

}  // namespace zolvane::platform
