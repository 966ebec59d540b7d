#!/usr/bin/env bash
# The line server's benchmark at CI's size: ingest into PostgreSQL (10,000 records of 23 steps in
# batches of 100), a generated store of 50,000 records (1.15 million steps; 200,000 took 5.5 min
# here, over the step's budget) with the line page, Pareto and yield API timed over a day and
# 30 days, and a station catching up 10,000 records.
# The figures are printed, not judged (the CI machine's load moves them); the step fails if the
# program fails: a request refused, a record missing, the cluster not starting.
# LINE_BENCH_RECORDS changes the store's size (the full size: LINE_BENCH_RECORDS=1000000).
set -euo pipefail
cd "$(dirname "$0")/../.."
step_start=$SECONDS

if [ ! -x /usr/lib/postgresql/15/bin/initdb ]; then
  apt-get update -qq && apt-get install -y -qq postgresql-15 >/dev/null
fi
# The suite's optimised build when CI has made it (only the benchmark is left to compile), else a
# build of its own.
build=${LINE_BENCH_BUILD_DIR:-build}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZOLVANE_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 --target zolvane_line_bench
timeout 900 line/bench/run.sh "$build" --records "${LINE_BENCH_RECORDS:-50000}" --repeat 5 \
  --ingest-records 10000
echo "line_bench: $((SECONDS - step_start)) s"
