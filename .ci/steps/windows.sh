#!/usr/bin/env bash
# Windows: cross-builds Zolvane for 32- and 64-bit Windows with MinGW-w64 and runs the same Wine
# suite for both, in the C locale and in a German one: every operation against the VISA test
# double built as visa32.dll, the DLL's unload, the VISA search with a planted visa32.dll, the
# export names of every visa32.dll the project builds, and the whole station (the phone test on
# the simulated test set, passing, with a fault and behind the trace VISA, and from the station
# ZIP that CPack makes, unzipped into an empty folder). Each bitness ends with "N passed, N failed".
# Wine that cannot run a program is a failure, never a skip.
set -euo pipefail
start=$SECONDS
cd "$(dirname "$0")/../.."
root=$PWD

have() { command -v "$1" >/dev/null 2>&1; }
export DEBIAN_FRONTEND=noninteractive

# The compilers first; Wine (wine32 is an i386 package: the architecture is added once) installs
# in the background while the 32-bit side builds.
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
apt_install() {
  timeout 900 apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}
tools=()
have i686-w64-mingw32-g++-posix || tools+=(g++-mingw-w64-i686)
have x86_64-w64-mingw32-g++-posix || tools+=(g++-mingw-w64-x86-64)
have unzip || tools+=(unzip)
have curl || tools+=(curl)
have sqlite3 || tools+=(sqlite3)
have npm || tools+=(npm)
wine_packages=()
for package in wine wine64 wine32:i386; do
  installed "$package" || wine_packages+=("$package")
done
if ((${#tools[@]} + ${#wine_packages[@]})); then
  if ((${#wine_packages[@]})); then
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  fi
  timeout 300 apt-get update -qq
fi
if ((${#tools[@]})); then
  echo "installing ${tools[*]}"
  apt_install "${tools[@]}"
fi
# One 64-bit prefix runs both bitnesses; a 32-bit program's system folder in it is syswow64.
export WINEPREFIX=$root/build-win64/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$root/build-win64"
(
  if ((${#wine_packages[@]})); then
    echo "installing ${wine_packages[*]} while building"
    apt_install "${wine_packages[@]}"
    echo "Wine installed at $((SECONDS - start)) s"
  fi
  timeout 300 wineboot --init >/dev/null 2>&1
) &
wine_ready=$!

# The tests that run under Wine. Together they call each of the 37 operations; the check below
# keeps it so.
run_tests=(session_test cell_test cell_carrier_test call_control_test call_handoff_test measure_test
           header_c99_test header_c11_test header_cxx11_test header_cxx20_test win_unload_test
           win_visa_search_test)
# Tests that exist only in a Windows build: the export names and the station.
windows_tests=(exports_test visa32_exports_test station_test station_fault_test station_trace_test)

for name in $(grep -o 'ZOLVANE_CALL Zolvane_[A-Za-z0-9_]*' include/Zolvane.h | cut -d' ' -f2); do
  if ! grep -qw "$name" tests/session/session_test.cpp tests/cell/*.cpp tests/call/*.cpp \
       tests/measure/*.cpp; then
    echo "no test run under Wine calls $name" >&2
    exit 1
  fi
done

# SQLite for the station database: Debian has no MinGW build of it, so the amalgamation
# (public domain) is compiled in, taken from the npm registry's better-sqlite3 package, pinned by
# version and SHA-256 of the tarball, and unpacked into the build tree (never into git).
sqlite_package=better-sqlite3@12.9.0  # carries SQLite 3.53.0
sqlite_sha256=ad0e29650140c49d0335b1d356596aa8166f12b758f418a98446130e3278f250
sqlite_dir=$root/build-win-sqlite
fetch_sqlite() {
  # Unpacked before from the same pinned tarball: nothing to fetch.
  [ "$(cat "$sqlite_dir/tarball.sha256" 2>/dev/null)" = "$sqlite_sha256" ] && return 0
  rm -rf "$sqlite_dir" && mkdir -p "$sqlite_dir/pack"
  (cd "$sqlite_dir/pack" && timeout 300 npm pack --silent "$sqlite_package" >/dev/null)
  local tarball
  tarball=$(ls "$sqlite_dir"/pack/better-sqlite3-*.tgz)
  echo "$sqlite_sha256  $tarball" | sha256sum -c --quiet - || {
    echo "$sqlite_package: the tarball's SHA-256 is not the pinned one" >&2
    exit 1
  }
  tar -xzf "$tarball" -C "$sqlite_dir/pack" package/deps/sqlite3/sqlite3.c package/deps/sqlite3/sqlite3.h
  mv "$sqlite_dir"/pack/package/deps/sqlite3/sqlite3.[ch] "$sqlite_dir/"
  rm -rf "$sqlite_dir/pack"
  echo "$sqlite_sha256" >"$sqlite_dir/tarball.sha256"
  echo "SQLite $(sed -n 's/^#define SQLITE_VERSION  *"\(.*\)"/\1/p' "$sqlite_dir/sqlite3.h") from $sqlite_package"
}
fetch_sqlite

# configure <bits> <toolchain triple>: GoogleTest from Debian's sources, built once per bitness,
# then the project, every program and DLL in one bin folder so that each finds the DLLs beside it.
configure() {
  local bits=$1 arch=$2
  local build=$root/build-win$bits
  local toolchain=$root/cmake/mingw-w64-$arch.cmake
  if [ ! -f "$build/googletest/lib/cmake/GTest/GTestConfig.cmake" ]; then
    cmake -S /usr/src/googletest -B "$build/googletest-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$build/googletest" >/dev/null
    cmake --build "$build/googletest-build" -j2 >/dev/null
    cmake --install "$build/googletest-build" >/dev/null
  fi
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_RUNTIME_OUTPUT_DIRECTORY="$build/bin" -DCMAKE_CROSSCOMPILING_EMULATOR=/usr/bin/wine \
    -DGTest_DIR="$build/googletest/lib/cmake/GTest" -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
    -DZOLVANE_SQLITE_AMALGAMATION="$sqlite_dir" >/dev/null
}

# check <name> <command...>: one packaging check, counted with the suite.
check() {
  local name=$1
  shift
  if "$@"; then
    echo "    Passed  $name"
    passed=$((passed + 1))
  else
    echo "*** Failed  $name" >&2
    failed=$((failed + 1))
  fi
}

# zip_holds <zip> <path...>: the ZIP holds each path (below its top folder).
zip_holds() {
  local zip=$1 entries path
  shift
  entries=$(unzip -Z1 "$zip" | cut -d/ -f2-)
  for path in "$@"; do
    grep -qxF "$path" <<<"$entries" || { echo "$(basename "$zip") lacks $path" >&2; return 1; }
  done
  # The simulator's visa32.dll is never beside Zolvane.dll, where it would shadow the real VISA.
  if grep -qx 'bin/visa32.dll' <<<"$entries"; then
    echo "$(basename "$zip") puts a visa32.dll beside Zolvane.dll" >&2
    return 1
  fi
}

# msvc_imports <bits> <lib>: the MSVC import library names the 37 functions as MSVC links them
# (cdecl: one leading underscore on 32-bit, none on 64-bit).
msvc_imports() {
  local prefix=__imp_ count
  [ "$1" = 32 ] && prefix=__imp__
  count=$("$arch-w64-mingw32-nm" "$2" 2>/dev/null | grep -cE " I ${prefix}Zolvane_[A-Za-z0-9_]+\$" || true)
  [ "$count" = 37 ] || { echo "$(basename "$2"): $count of 37 imports named ${prefix}Zolvane_*" >&2; return 1; }
}

# zip_station <zip> <folder>: unzipped into an empty folder, the phone test runs from there on
# the simulated test set the ZIP carries.
zip_station() {
  local zip=$1 folder=$2 out top
  rm -rf "$folder" && mkdir -p "$folder"
  unzip -q "$zip" -d "$folder"
  top=$(unzip -Z1 "$zip" | head -1 | cut -d/ -f1)
  out=$(cd "$folder/$top" && timeout 120 wine bin/zolvane_phone_test.exe 2>&1) || { echo "$out"; return 1; }
  grep -q 'Summary: 23 steps, 23 passed, 0 failed' <<<"$out" || { echo "$out"; return 1; }
  grep -qi 'lib.zolvane.simulator' <<<"$out" || { echo "$out"; echo "not on the ZIP's simulator" >&2; return 1; }
}

# zip_forwarding <folder> <bits>: the station unzipped by zip_station forwards its records to the
# Linux line server on 127.0.0.1: while the phones run; then, the server killed, they wait in the
# station's database, `forward --once` says so, and with the server back they all go, once.
line_program=$root/build/line/zolvane_line
zip_forwarding() {
  local folder=$1 bits=$2 work top port=$((18700 + $2)) out server rc
  work=$folder/forwarding
  top=$(ls "$folder" | grep -v '^forwarding$' | head -1)
  rm -rf "$work" && mkdir -p "$work"
  echo "win$bits-token-$RANDOM$RANDOM" >"$work/token"
  local url=http://127.0.0.1:$port station=WIN$bits db token
  db=$(winepath -w "$work/station.sqlite") token=$(winepath -w "$work/token")
  serve() {
    "$line_program" serve --store "sqlite:$work/line.sqlite" --listen "127.0.0.1:$port" \
      --token-file "$work/token" >>"$work/server.log" 2>&1 &
    server=$!
    for _ in $(seq 50); do curl -sf "$url/api/v1/yield" >/dev/null && return 0; sleep 0.1; done
    echo "the line server did not start" >&2
    return 1
  }
  held() { curl -sf "$url/api/v1/records?station=$station" | grep -c record_id; }
  forwarded() { sqlite3 "$work/station.sqlite" "SELECT COUNT(*) FROM phone_run WHERE forwarded_at IS NOT NULL"; }
  runs() { sqlite3 "$work/station.sqlite" "SELECT COUNT(*) FROM phone_run"; }
  serve || return 1
  out=$(cd "$folder/$top" && timeout 120 wine bin/zolvane_phone_test.exe --repeat 3 --serial "$station-1" \
        --station "$station" --db "$db" --forward-to "$url" --token-file "$token" 2>&1) ||
    { echo "$out"; kill "$server"; return 1; }
  grep -q 'every record forwarded' <<<"$out" || { echo "$out"; kill "$server"; return 1; }
  [ "$(held)" = 3 ] && [ "$(forwarded)" = 3 ] ||
    { echo "after the run: $(held) held, $(forwarded) forwarded of 3" >&2; kill "$server"; return 1; }
  kill -9 "$server"
  wait "$server" 2>/dev/null || true
  out=$(cd "$folder/$top" && timeout 120 wine bin/zolvane_phone_test.exe --repeat 2 --serial "$station-2" \
        --station "$station" --db "$db" --forward-to "$url" --token-file "$token" 2>&1) || true
  set +e
  out=$(cd "$folder/$top" && timeout 120 wine bin/zolvane_phone_test.exe forward --db "$db" --to "$url" \
        --token-file "$token" --once 2>&1)
  rc=$?
  set -e
  [ "$rc" = 1 ] && [ "$(runs)" = 5 ] && [ "$(forwarded)" = 3 ] ||
    { echo "$out"; echo "server down: forward --once exit $rc, $(runs) runs, $(forwarded) forwarded" >&2; return 1; }
  serve || return 1
  out=$(cd "$folder/$top" && timeout 120 wine bin/zolvane_phone_test.exe forward --db "$db" --to "$url" \
        --token-file "$token" --once 2>&1) || { echo "$out"; kill "$server"; return 1; }
  local h f
  h=$(held) f=$(forwarded)
  kill "$server"
  wait "$server" 2>/dev/null || true
  [ "$h" = 5 ] && [ "$f" = 5 ] || { echo "server back: $h held, $f forwarded of 5" >&2; return 1; }
  echo "    $bits-bit station forwarded 5 records to the Linux line server, 2 of them after it was killed"
}

# check_imports <bits> <objdump>: imports from system DLLs only, so that a test station needs
# Zolvane.dll and its VISA and nothing else.
check_imports() {
  local build=$root/build-win$1 objdump=$2
  local imports
  imports=$("$objdump" -p "$build/bin/Zolvane.dll" | sed -n 's/^\tDLL Name: //p' | sort -f | tr '\n' ' ')
  echo "Zolvane.dll ($1-bit) imports: $imports"
  if [ "$imports" != "KERNEL32.dll msvcrt.dll " ]; then
    echo "Zolvane.dll ($1-bit) needs more than the system's DLLs" >&2
    exit 1
  fi
}

# consumer <bits> <triple>: installs the library alone, builds the C consumer through
# find_package(Zolvane) and puts it in a folder with nothing but Zolvane.dll.
consumer() {
  local build=$root/build-win$1 arch=$2
  rm -rf "$build/station-test" "$build/consumer-station"
  cmake --install "$build" --component Zolvane --prefix "$build/station-test/prefix" >/dev/null
  cmake -S tests/packaging/consumer -B "$build/station-test/consumer" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$arch.cmake" -DCMAKE_C_FLAGS=-Werror \
    -DCMAKE_PREFIX_PATH="$build/station-test/prefix" -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=BOTH >/dev/null
  cmake --build "$build/station-test/consumer" >/dev/null
  mkdir "$build/consumer-station"
  cp "$build/station-test/consumer/consumer.exe" "$build/station-test/prefix/bin/Zolvane.dll" \
    "$build/consumer-station/"
}


# The Linux line server the Windows stations forward to: the suite's build when CI made it.
[ -f build/CMakeCache.txt ] || cmake -S . -B build >/dev/null
cmake --build build -j2 --target zolvane_line >/dev/null

report=()
status=0
for target in 32:i686 64:x86_64; do
  bits=${target%%:*} arch=${target#*:}
  build=build-win$bits
  echo "-- $bits-bit"
  t0=$SECONDS
  configure "$bits" "$arch"
  cmake --build "$build" -j2 --target "${run_tests[@]}" zolvane_phone_test zolvane_msvc_lib >/dev/null
  check_imports "$bits" "$arch-w64-mingw32-objdump"
  consumer "$bits" "$arch"
  echo "built in $((SECONDS - t0)) s"

  if [ -n "${wine_ready:-}" ]; then
    wait "$wine_ready" || { echo "Wine could not be installed or make its prefix at $WINEPREFIX" >&2; exit 1; }
    wine_ready=
  fi
  # A program that cannot start fails here, before any count.
  probe=$(cd "$build/consumer-station" && timeout 60 wine consumer.exe no-visa 2>&1) || {
    echo "$probe"
    echo "Wine cannot run the $bits-bit consumer.exe" >&2
    exit 1
  }
  echo "$probe"
  cp "$build/bin/visa32.dll" "$build/consumer-station/"
  (cd "$build/consumer-station" && timeout 60 wine consumer.exe visa) || status=1

  regex="^($(IFS='|'; echo "${run_tests[*]} ${windows_tests[*]}" | tr ' ' '|'))(\\.de_DE)?\$"
  log=$root/$build/wine-suite.log
  set +e
  timeout 600 ctest --test-dir "$build" -R "$regex" -j2 --timeout 120 --output-on-failure >"$log" 2>&1
  rc=$?
  set -e
  grep -E '^ *[0-9]+/[0-9]+ Test|tests passed|tests failed out of' "$log" || true
  summary=$(grep -E 'tests failed out of [0-9]+' "$log" || true)
  if [ -z "$summary" ]; then
    cat "$log"
    echo "$bits-bit: ctest ran nothing (exit $rc)" >&2
    exit 1
  fi
  failed=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$summary")
  total=$(sed -E 's/.* tests failed out of ([0-9]+).*/\1/' <<<"$summary")
  # Every test named above must have run, in both locales where it has two.
  expected=$(ctest --test-dir "$build" -N -R "$regex" | sed -n 's/^Total Tests: //p')
  if [ "$total" != "$expected" ] || [ "$total" -lt $(( ${#run_tests[@]} + ${#windows_tests[@]} )) ]; then
    echo "$bits-bit: $total tests ran, $expected registered" >&2
    status=1
  fi
  if [ "$rc" != 0 ] || [ "$failed" != 0 ]; then
    sed -n '/The following tests FAILED/,$p' "$log"
    grep -B2 -A40 -E 'Failed|\*\*\*' "$log" | head -200 || true
    status=1
  fi
  passed=$((total - failed))

  # The station ZIP, made by CPack from what the install rules name.
  packaged=(Zolvane zolvane_phone_test zolvane_simulator_path zolvane_msvc_lib)
  [ -f trace/CMakeLists.txt ] && packaged+=(zolvane_trace_path)
  [ -f trace_tool/CMakeLists.txt ] && packaged+=(zolvane_trace_tool)
  cmake --build "$build" -j2 --target "${packaged[@]}" >/dev/null
  rm -rf "$build/package"
  (cd "$build" && cpack -G ZIP -B "$root/$build/package" >/dev/null)
  zip=$(ls "$build"/package/Zolvane-*-win$bits.zip)
  echo "$(basename "$zip"): $(stat -c %s "$zip") bytes, $(unzip -Z1 "$zip" | grep -vc '/$') files"
  wanted=(README.txt bin/Zolvane.dll bin/zolvane_phone_test.exe include/Zolvane.h
          lib/libZolvane.dll.a lib/Zolvane.def lib/Zolvane.lib lib/cmake/Zolvane/ZolvaneConfig.cmake
          lib/zolvane/simulator/visa32.dll)
  [ -f trace/CMakeLists.txt ] && wanted+=(lib/zolvane/trace/visa32.dll)
  if [ -f python/CMakeLists.txt ]; then
    wanted+=(lib/zolvane/python/zolvane/__init__.py)
  else
    wanted+=(python/zolvane/__init__.py)
  fi
  check "zip contents" zip_holds "$zip" "${wanted[@]}"
  check "msvc import library" msvc_imports "$bits" "$build/msvc/Zolvane.lib"
  check "station from the zip" zip_station "$zip" "$root/$build/zip-test"
  check "forwarding to the line server" zip_forwarding "$root/$build/zip-test" "$bits"

  [ "$failed" = 0 ] || status=1
  report+=("$bits-bit: $passed passed, $failed failed")
  echo "${report[-1]}"
done
wineserver -k || true

for line in "${report[@]}"; do echo "$line"; done
echo "windows step: $((SECONDS - start)) s"
exit "$status"
