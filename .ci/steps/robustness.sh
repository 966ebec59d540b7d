#!/usr/bin/env bash
# Robustness: the fault matrix, hostile answers, bad input, reloads and the heap count with the
# figures they print; the binding's first-use race under ThreadSanitizer; the suite under
# Valgrind memcheck; each libFuzzer target for 30 s under AddressSanitizer and
# UndefinedBehaviorSanitizer. Each part builds in a folder of its own; the suite's builds made
# by .ci/run are reused where they already hold what a part needs.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
fuzz_seconds=${ZOLVANE_FUZZ_SECONDS:-30}  # each of the three targets

missing=()
for tool in clang++ valgrind jq; do command -v "$tool" > /dev/null || missing+=("$tool"); done
if ((${#missing[@]})); then
  packages=()
  for tool in "${missing[@]}"; do
    case $tool in clang++) packages+=(clang) ;; *) packages+=("$tool") ;; esac
  done
  apt-get update -qq && apt-get install -y -qq "${packages[@]}" > /dev/null
fi

figures=()
figure() { figures+=("$1"); echo "$1"; }

echo "-- robustness programs"
programs=(fault_matrix_test hostile_answers_test boundary_test reload_test binding_race_reload_test
          no_heap_test)
pattern="^($(IFS='|'; echo "${programs[*]}"))\$"
# Where the suite's own builds already hold the programs, they are not built again.
built_in() {
  [ -f "$1/CTestTestfile.cmake" ] &&
    ctest --test-dir "$1" -N -R "$pattern" | grep -q "Total Tests: ${#programs[@]}\$"
}
mkdir -p build-robust
if built_in build; then
  programs_dir=build
else
  programs_dir=build-robust
  cmake -S tests/robustness -B build-robust > /dev/null
  cmake --build build-robust -j2 --target "${programs[@]}" > build-robust/build.log ||
    { tail -50 build-robust/build.log; exit 1; }
fi
ctest --test-dir "$programs_dir" -R "$pattern" --output-on-failure -V > build-robust/ctest.log ||
  { grep -v '^[0-9]*: \[ *\(RUN\|OK\) ' build-robust/ctest.log | tail -80; exit 1; }
# The programs' figure lines, without ctest's test-number prefix.
lines='fault matrix: .*\|hostile answers: .*\|boundary: [0-9]* bad inputs\|reload: .*'
lines="$lines\\|binding race: .*\\|no heap: .*"
while IFS= read -r line; do figure "$line"; done < <(
  sed -n "s/^[0-9]*: \\($lines\\)\$/\\1/p" build-robust/ctest.log)

echo "-- the binding race under ThreadSanitizer"
tsan=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS=-fsanitize=thread
      -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread
      -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread)
cmake -S tests/robustness -B build-tsan "${tsan[@]}" > /dev/null
cmake --build build-tsan -j2 --target binding_race_test binding_race_reload_test > build-tsan/build.log ||
  { tail -50 build-tsan/build.log; exit 1; }
TSAN_OPTIONS=halt_on_error=1:exitcode=66 \
  ctest --test-dir build-tsan -R '^binding_race(_reload)?_test$' --output-on-failure
figure "ThreadSanitizer: binding_race_test and binding_race_reload_test, no data race reported"

echo "-- the suite under Valgrind memcheck"
suite=build
if [ ! -f "$suite/CTestTestfile.cmake" ]; then
  suite=build-valgrind
  cmake -S . -B "$suite" > /dev/null
  cmake --build "$suite" -j2 > /dev/null
fi
logs=build-robust/valgrind
rm -rf "$logs" && mkdir -p "$logs"
# Name, environment and command of every test that runs a program of the build, German-locale
# repeats left out; the robustness programs come from wherever they were built above.
list_tests() {
  ctest --test-dir "$1" --show-only=json-v1 | jq -r --arg build "$(cd "$1" && pwd -P)" --arg only "$2" '
    .tests[]
    | select(.name | test("\\.de_DE$") | not)
    | select(.name | test($only))
    | select(.command[0] | startswith($build))
    | [.name, ([.properties[]? | select(.name == "ENVIRONMENT") | .value[]] | join("\u001f")),
       (.command | join("\u001f"))]
    | join("\u001e")'
}
# The PostgreSQL cluster a line test starts runs outside Valgrind (too slow under it to start);
# the test program that talks to it runs inside.
# Left out: the heap count, whose interposed allocator Valgrind replaces with its own; the
# phone-test program's end-to-end runs and the replay of whole recorded phone tests, which run
# under AddressSanitizer already and would take minutes here (the replay alone 107 s), the
# library's own code and the simulator's replay being under Valgrind through every other test.
left_out=(no_heap_test 'phone_test\..*' trace_replay_test)
mine=()
for program in "${programs[@]}"; do
  [[ " ${left_out[*]} " == *" $program "* ]] || mine+=("$program")
done
{
  list_tests "$suite" "^(?!($(IFS='|'; echo "${programs[*]}|${left_out[*]}"))$)"
  list_tests "$programs_dir" "^($(IFS='|'; echo "${mine[*]}"))$"
} > "$logs/tests"
[ -s "$logs/tests" ] || { echo "no test programs found for Valgrind"; exit 1; }
echo "left out: ${left_out[*]}"
run_under_valgrind() {
  local name=$1 environment=$2 command=$3 logs=$4 supp=$5 started=$SECONDS outcome=ok
  local -a env_list cmd
  IFS=$'\x1f' read -r -a env_list <<< "$environment"
  IFS=$'\x1f' read -r -a cmd <<< "$command"
  env ${env_list[@]+"${env_list[@]}"} valgrind --tool=memcheck --error-exitcode=99 \
    --trace-children=yes --trace-children-skip='*/pg-test-cluster.sh,*/postgres,*/pg_ctl,*/initdb' \
    --leak-check=full --errors-for-leak-kinds=definite --suppressions="$supp" \
    --log-file="$logs/$name.pid-%p.valgrind" "${cmd[@]}" > "$logs/$name.out" 2>&1 ||
    outcome="failed ($?)"
  # One log per process (a test that starts programs of its own would otherwise have them
  # overwrite each other's log). A log without a summary is a process that left Valgrind by
  # exec'ing a program it does not follow (the PostgreSQL scripts); every other must say 0 errors.
  local log clean=0 bad=0
  for log in "$logs/$name".pid-*.valgrind; do
    [ -e "$log" ] || continue
    if grep -aq 'ERROR SUMMARY: 0 errors' "$log"; then
      clean=$((clean + 1))
    elif grep -aq 'ERROR SUMMARY:' "$log"; then
      bad=$((bad + 1))
    fi
  done
  if ((clean == 0 || bad > 0)); then
    outcome="${outcome/#ok/failed}"
    echo "$name: $outcome, $bad processes with errors, $clean without, $((SECONDS - started)) s"
  else
    echo "$name: $outcome, ERROR SUMMARY: 0 errors in $clean processes, $((SECONDS - started)) s"
  fi
}
export -f run_under_valgrind
started=$SECONDS
# binding_test runs itself again with a loader path of its own through /proc/self/exe, which
# under Valgrind is Valgrind; it is given that path from the start instead.
binding_dir=$(mktemp -d)
sed -i "s|^binding_test\x1e|binding_test\x1eZOLVANE_BINDING_DIR=$binding_dir\x1fLD_LIBRARY_PATH=$binding_dir|" \
  "$logs/tests"
while IFS=$'\x1e' read -r name environment command; do
  printf '%s\0%s\0%s\0%s\0%s\0' "$name" "$environment" "$command" "$logs" "$root/tests/robustness/valgrind.supp"
done < "$logs/tests" | xargs -0 -n5 -P2 bash -c 'run_under_valgrind "$@"' _ | tee "$logs/summary"
ran=$(wc -l < "$logs/summary")
bad=$(grep -vc ': ok, ERROR SUMMARY: 0 errors' "$logs/summary" || true)
if ((bad)); then
  grep -v ': ok, ERROR SUMMARY: 0 errors' "$logs/summary"
  for log in "$logs"/*.valgrind; do
    grep -aq 'ERROR SUMMARY: [1-9]' "$log" && head -60 "$log"
  done
  exit 1
fi
figure "Valgrind memcheck: $ran test programs, 0 errors, $((SECONDS - started)) s"

echo "-- fuzzing under AddressSanitizer and UndefinedBehaviorSanitizer"
CC=clang CXX=clang++ cmake -S tests/robustness -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZOLVANE_FUZZ=ON -DZOLVANE_SANITIZE=ON > /dev/null
# The robustness programs run under the same sanitizers here unless the suite's sanitized build
# already ran them; every seed runs once before the fuzzing.
sanitized="zolvane_fuzz_seeds|simulator_fuzz_seeds|trace_format_fuzz_seeds"
targets=(zolvane_fuzz simulator_fuzz trace_format_fuzz)
ran_here="the seeds; the robustness programs ran in the suite's sanitized build"
if ! built_in build-asan; then
  sanitized="$sanitized|$(IFS='|'; echo "${programs[*]}")"
  targets+=("${programs[@]}")
  ran_here="the robustness programs and the seeds"
fi
cmake --build build-fuzz -j2 --target "${targets[@]}" > build-fuzz/build.log ||
  { tail -50 build-fuzz/build.log; exit 1; }
ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build-fuzz -R "^($sanitized)\$" --output-on-failure > build-fuzz/ctest.log ||
  { tail -80 build-fuzz/ctest.log; exit 1; }
figure "AddressSanitizer and UndefinedBehaviorSanitizer: $ran_here, $(grep -o '[0-9]* tests failed out of [0-9]*' build-fuzz/ctest.log)"
rm -rf build-fuzz/corpus && mkdir -p build-fuzz/corpus && cp tests/fuzz/corpus/* build-fuzz/corpus/
if ! LD_LIBRARY_PATH="$root/build-fuzz/visa_double_path" \
     ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
     build-fuzz/tests/fuzz/zolvane_fuzz -max_total_time="$fuzz_seconds" -timeout=10 \
       -rss_limit_mb=2048 -print_final_stats=1 -dict=tests/fuzz/zolvane.dict \
       -artifact_prefix=build-fuzz/ build-fuzz/corpus > build-fuzz/fuzz.log 2>&1; then
  grep -v '^#' build-fuzz/fuzz.log | tail -60
  exit 1
fi
runs=$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 executions in \2 s/p' build-fuzz/fuzz.log)
coverage=$(grep -o 'cov: [0-9]* ft: [0-9]* corp: [0-9]*' build-fuzz/fuzz.log | tail -1)
figure "fuzzing: $runs, no failure ($coverage; seeds $(ls tests/fuzz/corpus | wc -l))"

echo "-- fuzzing the simulated test set's VISA front"
rm -rf build-fuzz/simulator_corpus && mkdir -p build-fuzz/simulator_corpus &&
  cp tests/fuzz/simulator_corpus/* build-fuzz/simulator_corpus/
if ! ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
     build-fuzz/tests/fuzz/simulator_fuzz -max_total_time="$fuzz_seconds" -timeout=10 \
       -rss_limit_mb=2048 -max_len=8192 -print_final_stats=1 -dict=tests/fuzz/simulator.dict \
       -artifact_prefix=build-fuzz/simulator- build-fuzz/simulator_corpus > build-fuzz/simulator_fuzz.log 2>&1; then
  grep -v '^#' build-fuzz/simulator_fuzz.log | tail -60
  exit 1
fi
runs=$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 executions in \2 s/p' build-fuzz/simulator_fuzz.log)
[ -n "$runs" ] || { tail -20 build-fuzz/simulator_fuzz.log; echo "the simulator's fuzzer did not report its runs"; exit 1; }
coverage=$(grep -o 'cov: [0-9]* ft: [0-9]* corp: [0-9]*' build-fuzz/simulator_fuzz.log | tail -1)
figure "fuzzing the simulator's front: $runs, no failure ($coverage; seeds $(ls tests/fuzz/simulator_corpus | wc -l))"

echo "-- fuzzing the trace and profile readers"
rm -rf build-fuzz/trace_format_corpus && mkdir -p build-fuzz/trace_format_corpus &&
  cp tests/fuzz/trace_format_corpus/* build-fuzz/trace_format_corpus/
if ! ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
     build-fuzz/tests/fuzz/trace_format_fuzz -max_total_time="$fuzz_seconds" -timeout=10 \
       -rss_limit_mb=2048 -max_len=16384 -print_final_stats=1 \
       -artifact_prefix=build-fuzz/trace-format- build-fuzz/trace_format_corpus > build-fuzz/trace_format_fuzz.log 2>&1; then
  grep -v '^#' build-fuzz/trace_format_fuzz.log | tail -60
  exit 1
fi
runs=$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 executions in \2 s/p' build-fuzz/trace_format_fuzz.log)
[ -n "$runs" ] || { tail -20 build-fuzz/trace_format_fuzz.log; echo "the trace reader's fuzzer did not report its runs"; exit 1; }
coverage=$(grep -o 'cov: [0-9]* ft: [0-9]* corp: [0-9]*' build-fuzz/trace_format_fuzz.log | tail -1)
figure "fuzzing the trace and profile readers: $runs, no failure ($coverage; seeds $(ls tests/fuzz/trace_format_corpus | wc -l))"

echo "-- robustness figures"
printf '%s\n' "${figures[@]}"
echo "robustness: $SECONDS s"
