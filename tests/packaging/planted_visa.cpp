// A visa32.dll planted in the current folder: loading it is the fault, so its DllMain leaves a
// file, visa32.mark, beside it; it exports nothing a VISA would.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
  while (n > 0 && path[n - 1] != L'\\') --n;
  constexpr wchar_t kMark[] = L"visa32.mark";
  if (n == 0 || n + sizeof kMark / sizeof kMark[0] > MAX_PATH) return TRUE;
  for (wchar_t c : kMark) path[n++] = c;
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return TRUE;
}
