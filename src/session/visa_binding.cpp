#include "session/visa_binding.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "session/platform.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace zolvane::visa {
namespace {

#if defined(_WIN32)
constexpr const char *kLibraryNames[] = {"visa32.dll"};
#elif defined(__APPLE__)
constexpr const char *kLibraryNames[] = {"/Library/Frameworks/VISA.framework/VISA"};
#else
constexpr const char *kLibraryNames[] = {"libivivisa.so.7", "libvisa.so", "librsvisa.so",
                                         "libiovisa.so"};
#endif

struct EntryPoints {
  ViOpenDefaultRMFn openDefaultRM;
  ViOpenFn open;
  ViSetAttributeFn setAttribute;
  ViCloseFn close;
  ViPrintfFn printf;
  ViQueryfFn queryf;
};

constexpr std::size_t kRememberedLimit = 256;

// Written once under the binding lock, before `bound` is set; read freely after.
std::atomic<bool> bound{false};
EntryPoints entry{};
void *library = nullptr;

ViSession remembered[kRememberedLimit];
std::size_t rememberedCount = 0;

template <typename Fn>
bool resolve(void *lib, const char *name, Fn &out) {
  void *symbol = platform::findSymbol(lib, name);
  // Entry points are plain functions; the loader hands them back as object pointers.
  out = reinterpret_cast<Fn>(reinterpret_cast<std::uintptr_t>(symbol));
  return symbol != nullptr;
}

ViStatus bind() {
  if (bound.load(std::memory_order_acquire)) return kViSuccess;
  platform::BindingLock lock;
  if (!lock.held()) return kViErrorSystemError;
  if (bound.load(std::memory_order_relaxed)) return kViSuccess;

  void *lib = nullptr;
  for (const char *name : kLibraryNames) {
    lib = platform::loadLibrary(name);
    if (lib != nullptr) break;
  }
  if (lib == nullptr) return kViErrorLibraryNfound;

  EntryPoints found{};
  const bool complete = resolve(lib, "viOpenDefaultRM", found.openDefaultRM) &&
                        resolve(lib, "viOpen", found.open) &&
                        resolve(lib, "viSetAttribute", found.setAttribute) &&
                        resolve(lib, "viClose", found.close) &&
                        resolve(lib, "viPrintf", found.printf) &&
                        resolve(lib, "viQueryf", found.queryf);
  if (!complete) {
    platform::freeLibrary(lib);
    return kViErrorSystemError;
  }
  entry = found;
  library = lib;
  bound.store(true, std::memory_order_release);
  return kViSuccess;
}

void remember(ViSession rm) {
  if (rememberedCount < kRememberedLimit) remembered[rememberedCount++] = rm;
}

void forget(ViObject session) {
  for (std::size_t i = 0; i < rememberedCount; ++i) {
    if (remembered[i] == session) {
      remembered[i] = remembered[--rememberedCount];
      return;
    }
  }
}

// VISA takes non-const text; it does not write to it.
char *text(const char *s) { return const_cast<char *>(s); }

}  // namespace

ViStatus openDefaultRM(ViSession *rm) {
  if (ViStatus s = bind(); s != kViSuccess) return s;
  const ViStatus status = entry.openDefaultRM(rm);
  if (status >= kViSuccess) remember(*rm);
  return status;
}

ViStatus open(ViSession rm, const char *resource, ViAccessMode mode, ViUInt32 openTimeout,
              ViSession *vi) {
  if (ViStatus s = bind(); s != kViSuccess) return s;
  return entry.open(rm, text(resource), mode, openTimeout, vi);
}

ViStatus setAttribute(ViObject vi, ViAttr attr, ViAttrState value) {
  if (ViStatus s = bind(); s != kViSuccess) return s;
  return entry.setAttribute(vi, attr, value);
}

ViStatus close(ViObject vi) {
  if (ViStatus s = bind(); s != kViSuccess) return s;
  const ViStatus status = entry.close(vi);
  if (status >= kViSuccess) forget(vi);
  return status;
}

namespace {
// The first use binds VISA and then makes the call; kept out of line so that every later call
// goes straight to the entry point without a frame of its own.
template <typename... Args>
[[gnu::noinline]] ViStatus bindThenPrintf(ViSession vi, const char *format, Args... args) {
  if (ViStatus s = bind(); s != kViSuccess) return s;
  return entry.printf(vi, text(format), args...);
}
[[gnu::noinline]] ViStatus bindThenQueryf(ViSession vi, const char *query, const char *readFormat,
                                          char *destination) {
  if (ViStatus s = bind(); s != kViSuccess) return s;
  return entry.queryf(vi, text(query), text(readFormat), destination);
}
bool isBound() { return bound.load(std::memory_order_acquire); }
}  // namespace

ViStatus printf(ViSession vi, const char *format) {
  if (!isBound()) return bindThenPrintf(vi, format);
  return entry.printf(vi, text(format));
}

ViStatus printf(ViSession vi, const char *format, int value) {
  if (!isBound()) return bindThenPrintf(vi, format, value);
  return entry.printf(vi, text(format), value);
}

ViStatus printf(ViSession vi, const char *format, const char *argument) {
  if (!isBound()) return bindThenPrintf(vi, format, argument);
  return entry.printf(vi, text(format), argument);
}

ViStatus queryf(ViSession vi, const char *query, const char *readFormat, char *destination) {
  if (!isBound()) return bindThenQueryf(vi, query, readFormat, destination);
  return entry.queryf(vi, text(query), text(readFormat), destination);
}

void unbind() {
  if (!bound.load(std::memory_order_acquire)) return;
  while (rememberedCount > 0) entry.close(remembered[--rememberedCount]);
  platform::freeLibrary(library);
  library = nullptr;
  entry = EntryPoints{};
  bound.store(false, std::memory_order_release);
}

#if !defined(_WIN32)
// Runs when the library is unloaded (dlclose or process exit).
[[gnu::destructor]] static void unbindAtUnload() { unbind(); }
#endif

}  // namespace zolvane::visa

#if defined(_WIN32)
// FreeLibrary: the process goes on, visa32 is still loaded (this library holds a reference to it)
// and its threads still run, so the remembered sessions are closed and VISA is released.
// Process exit: the loader lock is held, every other thread is gone and visa32 may already have
// been detached, so nothing is called into it; ending the process releases what VISA held.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) zolvane::visa::unbind();
  return TRUE;
}
#endif
