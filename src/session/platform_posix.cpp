#include "session/platform.h"

#include <dlfcn.h>
#include <pthread.h>
#include <time.h>

#include <cerrno>

namespace zolvane::platform {
namespace {
pthread_mutex_t bindingMutex = PTHREAD_MUTEX_INITIALIZER;
}

void *loadLibrary(const char *name) { return dlopen(name, RTLD_NOW | RTLD_LOCAL); }

void *findSymbol(void *library, const char *name) { return dlsym(library, name); }

void freeLibrary(void *library) { dlclose(library); }

BindingLock::BindingLock() : held_(pthread_mutex_lock(&bindingMutex) == 0) {}

BindingLock::~BindingLock() {
  if (held_) pthread_mutex_unlock(&bindingMutex);
}

std::uint64_t monotonicMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000U +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000U;
}

void sleepMilliseconds(std::uint64_t milliseconds) {
  timespec left{static_cast<time_t>(milliseconds / 1000U),
                static_cast<long>((milliseconds % 1000U) * 1000000U)};
  // A signal cuts nanosleep short; sleep out the rest.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace zolvane::platform
