# Shared by the two MinGW-w64 toolchain files, which set ZOLVANE_MINGW_TRIPLE.
# The posix thread model: std::mutex and std::thread need it with GCC 12.
set(CMAKE_C_COMPILER ${ZOLVANE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZOLVANE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZOLVANE_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZOLVANE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# A program built against an installed Zolvane outside the MinGW tree can pass
# -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=BOTH with its CMAKE_PREFIX_PATH.
if(NOT DEFINED CMAKE_FIND_ROOT_PATH_MODE_PACKAGE)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
endif()

# Every program and DLL carries its own GCC run-time, libstdc++ and winpthread, so nothing but
# the system's DLLs has to sit beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

