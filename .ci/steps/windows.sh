#!/usr/bin/env bash
# Windows: cross-builds Zolvane.dll for 32- and 64-bit Windows with MinGW-w64, checks that each
# exports exactly the 37 names undecorated and imports nothing but system DLLs, and runs a part of
# the suite that covers every operation under Wine, against the VISA test double built as
# visa32.dll, in the C locale and in a German one.
#
# The 32-bit DLL is built and checked but not run: Wine runs 32-bit programs only with wine32,
# which needs the i386 architecture added to dpkg, and on this Debian that upgrades some sixty
# amd64 system packages (systemd, libssl, zlib, ...) to match; CI does not remake its machine.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

have() { command -v "$1" >/dev/null 2>&1; }

missing=()
have i686-w64-mingw32-g++-posix || missing+=(g++-mingw-w64-i686)
have x86_64-w64-mingw32-g++-posix || missing+=(g++-mingw-w64-x86-64)
have wine || missing+=(wine wine64)
if ((${#missing[@]})); then
  echo "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  timeout 300 apt-get update -qq
  timeout 600 apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The tests that run under Wine. Together they call each of the 37 operations; the check below
# keeps it so.
run_tests=(session_test cell_test cell_carrier_test call_control_test call_handoff_test measure_test
           header_c99_test header_c11_test header_cxx11_test header_cxx20_test win_unload_test)
# Built for 32-bit too: the DLL, the double, and what needs nothing but them to compile.
compile_only=(Zolvane visa_double header_c99_test header_cxx20_test win_unload_test)

for name in $(grep -o 'ZOLVANE_CALL Zolvane_[A-Za-z0-9_]*' include/Zolvane.h | cut -d' ' -f2); do
  if ! grep -qw "$name" tests/session/session_test.cpp tests/cell/*.cpp tests/call/*.cpp \
       tests/measure/*.cpp; then
    echo "no test run under Wine calls $name" >&2
    exit 1
  fi
done

# configure <bits> <toolchain triple> [cmake options]: GoogleTest from Debian's sources, then
# the project, every program and DLL in one bin folder so that each finds the DLLs beside it.
configure() {
  local bits=$1 arch=$2
  shift 2
  local build=$root/build-win$bits
  local toolchain=$root/cmake/mingw-w64-$arch.cmake
  if [ ! -f "$build/googletest/lib/cmake/GTest/GTestConfig.cmake" ]; then
    cmake -S /usr/src/googletest -B "$build/googletest-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$build/googletest" >/dev/null
    cmake --build "$build/googletest-build" -j2 >/dev/null
    cmake --install "$build/googletest-build" >/dev/null
  fi
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_RUNTIME_OUTPUT_DIRECTORY="$build/bin" \
    -DGTest_DIR="$build/googletest/lib/cmake/GTest" "$@" >/dev/null
}

# check_dll <bits> <objdump>: the 37 exports, and imports from system DLLs only, so that a test
# station needs Zolvane.dll and its VISA and nothing else.
check_dll() {
  local build=$root/build-win$1 objdump=$2
  ctest --test-dir "$build" -R "^exports_test\$" --output-on-failure
  local imports
  imports=$("$objdump" -p "$build/bin/Zolvane.dll" | sed -n 's/^\tDLL Name: //p' | sort -f | tr '\n' ' ')
  echo "Zolvane.dll ($1-bit) imports: $imports"
  if [ "$imports" != "KERNEL32.dll msvcrt.dll " ]; then
    echo "Zolvane.dll ($1-bit) needs more than the system's DLLs" >&2
    exit 1
  fi
}

# station <bits> <triple>: installs the tree, builds the C consumer through find_package(Zolvane)
# and puts it in a folder with nothing but Zolvane.dll: the test station's files.
station() {
  local build=$root/build-win$1 arch=$2
  rm -rf "$build/station-test"
  cmake --install "$build" --component Zolvane --prefix "$build/station-test/prefix" >/dev/null
  cmake -S tests/packaging/consumer -B "$build/station-test/consumer" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$arch.cmake" -DCMAKE_C_FLAGS=-Werror \
    -DCMAKE_PREFIX_PATH="$build/station-test/prefix" -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=BOTH >/dev/null
  cmake --build "$build/station-test/consumer" >/dev/null
  mkdir "$build/station"
  cp "$build/station-test/consumer/consumer.exe" "$build/station-test/prefix/bin/Zolvane.dll" \
    "$build/station/"
}

echo "-- 32-bit"
configure 32 i686
cmake --build build-win32 -j2 --target "${compile_only[@]}" >/dev/null
check_dll 32 i686-w64-mingw32-objdump
rm -rf build-win32/station && station 32 i686

echo "-- 64-bit"
configure 64 x86_64 -DCMAKE_CROSSCOMPILING_EMULATOR="$(command -v wine || echo wine)"
cmake --build build-win64 -j2 --target "${run_tests[@]}" >/dev/null
check_dll 64 x86_64-w64-mingw32-objdump
rm -rf build-win64/station && station 64 x86_64

export WINEPREFIX=$root/build-win64/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if ! timeout 120 wine cmd /c exit 0 >/dev/null 2>&1; then
  echo "Wine cannot run programs here: the cross-builds and export checks above stand alone"
  exit 0
fi
status=0
# The station folder alone, first without a VISA (the library loads and says so), then with the
# double as its visa32.dll.
echo "station folder: $(ls build-win64/station | tr '\n' ' ')"
(cd build-win64/station && timeout 60 wine consumer.exe no-visa) || status=1
cp build-win64/bin/visa32.dll build-win64/station/
(cd build-win64/station && timeout 60 wine consumer.exe visa) || status=1
[ "$status" = 0 ] && echo "the consumer ran from the station folder, without and with a VISA"

regex="^($(IFS='|'; echo "${run_tests[*]}"))(\\.de_DE)?\$"
timeout 300 ctest --test-dir build-win64 -R "$regex" -j2 --timeout 120 --output-on-failure || status=$?
wineserver -k || true
exit "$status"
