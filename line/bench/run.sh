#!/usr/bin/env bash
# The line benchmark in one command: a throwaway PostgreSQL 15 cluster with durable settings
# (fsync, synchronous_commit and full_page_writes on, as a line runs it), zolvane_line_bench
# against it, and the cluster removed at the end.
#
#   line/bench/run.sh BUILD_DIR [zolvane_line_bench options]
#   line/bench/run.sh build --records 1000000        the full size (the store alone takes about 13 min to generate here)
#
# The program must be built first: cmake --build BUILD_DIR --target zolvane_line_bench
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: run.sh BUILD_DIR [options]}
shift
program=$build/line/bench/zolvane_line_bench
[ -x "$program" ] || { echo "run.sh: no $program (cmake --build $build --target zolvane_line_bench)" >&2; exit 1; }
work=$(mktemp -d /tmp/zolvane-line-bench-XXXXXX)
cleanup() { "$here/../../scripts/pg-test-cluster.sh" destroy "$work" >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup EXIT
url=$("$here/../../scripts/pg-test-cluster.sh" start "$work" --watch $$)
"$program" --pg "$url" "$@"
