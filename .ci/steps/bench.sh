#!/usr/bin/env bash
# The benchmark programs build and run through once, briefly: every operation's VISA calls
# against the minimum and its heap allocations are checked, and so are the PyVISA comparison's
# plans and conversations (they fail the step); the timings are printed, not judged, since they
# depend on the CI machine's load.
set -euo pipefail
cd "$(dirname "$0")/../.."
start=$SECONDS

if ! dpkg -s libbenchmark-dev >/dev/null 2>&1; then
  apt-get update -qq && apt-get install -y -qq libbenchmark-dev >/dev/null
fi
if ! /usr/bin/python3 -c 'import pyvisa' 2>/dev/null; then
  apt-get update -qq && apt-get install -y -qq python3-pyvisa >/dev/null
fi

source .ci/release_build.sh
configure_release_build
build=$release_build_dir
cmake --build "$build" -j2 --target zolvane_bench zolvane_visa_compare
# About 20 s: the polling loops run to their real limits (1 s, 1 s, 5 s) and the plan waits 2 s.
timeout 300 "$build"/bench/zolvane_bench --benchmark_repetitions=1 --benchmark_min_time=0.01 \
  --zolvane_plan_runs=1
# About 20 s: ten plans, each with its 2 s handoff wait.
timeout 300 /usr/bin/python3 bench/compare.py "$build" --runs 2
echo "bench: $((SECONDS - start)) s"
