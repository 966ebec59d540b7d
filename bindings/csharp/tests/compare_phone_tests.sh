#!/usr/bin/env bash
# Runs zolvane_phone_test and the C# example on the simulated test set with the same simulator
# settings and compares their step tables, notes and summaries, times left out. Fails unless
# both print the same and the expected RESULT line.
#
#   compare_phone_tests.sh <zolvane_phone_test> <mono> <PhoneTest.exe> <simulator folder>
#                          <folder of libZolvane.so> <expected RESULT word> [key=value...]
#
# The key=value arguments are the simulator's settings, passed to both in ZOLVANE_SIM_OPTIONS.
set -euo pipefail
phone_test=$1 mono=$2 example=$3 sim_path=$4 lib_dir=$5 expected=$6
shift 6
ZOLVANE_SIM_OPTIONS=$(IFS=';'; echo "$*")
export ZOLVANE_SIM_OPTIONS
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The table from its header line on; times ("0.50 s", "  2.01 s") as T, blanks squeezed.
table() {
  sed -n '/^ *# *Step /,$p' "$1" | sed -E 's/[0-9]+\.[0-9]+ s\b/T s/g' | tr -s ' '
}

# Both at once: each process has its own simulated test set, and the waits overlap.
ZOLVANE_SIM_PATH=$sim_path "$phone_test" >"$work/c.txt" 2>"$work/c.err" &
c_pid=$!
LD_LIBRARY_PATH=$sim_path:$lib_dir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH} \
  "$mono" --debug "$example" >"$work/cs.txt" 2>"$work/cs.err" &
cs_pid=$!
c_status=0 cs_status=0
wait "$c_pid" || c_status=$?
wait "$cs_pid" || cs_status=$?

echo "== zolvane_phone_test (exit $c_status)"; cat "$work/c.txt" "$work/c.err"
echo "== C# example (exit $cs_status)"; cat "$work/cs.txt" "$work/cs.err"

table "$work/c.txt" >"$work/c.table"
table "$work/cs.txt" >"$work/cs.table"
rows=$(grep -cE '^ [0-9]+ ' "$work/c.table" || true)
if [ "$rows" -lt 1 ]; then
  echo "FAIL: no step table in zolvane_phone_test's output" >&2
  exit 1
fi
if ! diff -u "$work/c.table" "$work/cs.table"; then
  echo "FAIL: the C# example's table differs from zolvane_phone_test's (above, - C++ + C#)" >&2
  exit 1
fi
if [ "$c_status" != "$cs_status" ]; then
  echo "FAIL: exit status $c_status from zolvane_phone_test, $cs_status from the C# example" >&2
  exit 1
fi
if ! grep -q "^RESULT: $expected\b" "$work/c.table"; then
  echo "FAIL: expected RESULT: $expected" >&2
  exit 1
fi
echo "same $rows steps, verdicts and values; RESULT: $expected"
