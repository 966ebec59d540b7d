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

#if defined(__APPLE__)
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

#if defined(_WIN32)
  void *lib = loadVisa();
#else
  void *lib = nullptr;
  for (const char *name : kLibraryNames) {
    lib = platform::loadLibrary(name);
    if (lib != nullptr) break;
  }
#endif
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

#if defined(_WIN32)
namespace {
// Longest folder plus file name the search tries; a longer one is passed over. On the stack.
constexpr DWORD kPathCapacity = 1024;
constexpr wchar_t kVisaFile[] = L"\\visa32.dll";

// Loads <folder>\visa32.dll, the folder being the first `length` characters of `path`; nullptr
// when the name does not fit or nothing loads. The altered search lets a VISA in that folder
// find its own DLLs beside it.
HMODULE loadFromFolder(wchar_t (&path)[kPathCapacity], DWORD length) {
  constexpr DWORD fileLength = sizeof kVisaFile / sizeof kVisaFile[0];  // with the NUL
  if (length == 0 || length > kPathCapacity - fileLength) return nullptr;
  if (path[length - 1] == L'\\') --length;
  for (DWORD i = 0; i < fileLength; ++i) path[length + i] = kVisaFile[i];
  return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
}  // namespace

void *loadVisaByFullPaths() {
  wchar_t path[kPathCapacity];
  // The program's folder.
  DWORD n = GetModuleFileNameW(nullptr, path, kPathCapacity);
  if (n > 0 && n < kPathCapacity) {
    while (n > 0 && path[n - 1] != L'\\') --n;
    if (HMODULE lib = loadFromFolder(path, n)) return lib;
  }
  // The folder the program gave SetDllDirectory.
  n = GetDllDirectoryW(kPathCapacity, path);
  if (n > 0 && n < kPathCapacity) {
    if (HMODULE lib = loadFromFolder(path, n)) return lib;
  }
  // System32; a 32-bit program on 64-bit Windows reads SysWOW64 through that name.
  n = GetSystemDirectoryW(path, kPathCapacity);
  if (n > 0 && n < kPathCapacity) {
    if (HMODULE lib = loadFromFolder(path, n)) return lib;
  }
  return nullptr;
}

void *loadVisa() {
  // The search flags came with AddDllDirectory (Windows 8; 7 and Vista with KB2533623).
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel != nullptr && GetProcAddress(kernel, "AddDllDirectory") != nullptr) {
    HMODULE lib = LoadLibraryExW(kVisaFile + 1, nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (lib != nullptr || GetLastError() != ERROR_INVALID_PARAMETER) return lib;
  }
  return loadVisaByFullPaths();
}
#endif

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
