// Loads the Zolvane.dll named by argv[1], opens the test set and returns 7: with "keep" the
// session stays open to the end of the process, with "free" the DLL is unloaded first.
#include <windows.h>

#include <cstring>

int main(int argc, char **argv) {
  if (argc != 3) return 2;
  HMODULE lib = LoadLibraryA(argv[1]);
  if (lib == nullptr) return 3;
  using IntOfInt = int(__cdecl *)(int);
  auto init = reinterpret_cast<IntOfInt>(
      reinterpret_cast<void *>(GetProcAddress(lib, "Zolvane_InitTester")));
  if (init == nullptr || init(5) != 0) return 4;
  if (std::strcmp(argv[2], "free") == 0 && !FreeLibrary(lib)) return 5;
  return 7;
}
