// A VISA for the process-exit check: it answers every call with success and appends the name of
// each call to the file that ZOLVANE_EXIT_PROBE_LOG names, with kernel32 only, so that the log
// shows what reached VISA after the program's last line.
#include <windows.h>

#include <cstring>

#include "session/visa_api.h"

namespace {

void note(const char *call) {
  char path[MAX_PATH];
  const DWORD length = GetEnvironmentVariableA("ZOLVANE_EXIT_PROBE_LOG", path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, call, static_cast<DWORD>(std::strlen(call)), &written, nullptr);
  WriteFile(file, "\n", 1, &written, nullptr);
  CloseHandle(file);
}

ViSession nextSession = 100;

}  // namespace

extern "C" __declspec(dllexport) ViStatus ZV_VI_FUNC viOpenDefaultRM(ViSession *rm) {
  note("viOpenDefaultRM");
  *rm = nextSession++;
  return kViSuccess;
}
extern "C" __declspec(dllexport) ViStatus ZV_VI_FUNC viOpen(ViSession, ViRsrc, ViAccessMode, ViUInt32,
                                                            ViSession *vi) {
  note("viOpen");
  *vi = nextSession++;
  return kViSuccess;
}
extern "C" __declspec(dllexport) ViStatus ZV_VI_FUNC viSetAttribute(ViObject, ViAttr, ViAttrState) {
  note("viSetAttribute");
  return kViSuccess;
}
extern "C" __declspec(dllexport) ViStatus ZV_VI_FUNC viClose(ViObject) {
  note("viClose");
  return kViSuccess;
}
extern "C" __declspec(dllexport) ViStatus ZV_VI_FUNCC viPrintf(ViSession, ViString, ...) {
  note("viPrintf");
  return kViSuccess;
}
extern "C" __declspec(dllexport) ViStatus ZV_VI_FUNCC viQueryf(ViSession, ViString, ViString,
                                                               ...) {
  note("viQueryf");
  return kViSuccess;
}
