#!/usr/bin/env bash
# Runs every benchmark program of a build directory, one after another (the
# machine may be shared: nothing runs in parallel). Usage: bench/run.sh BUILD
set -euo pipefail
build=${1:-build-bench}
status=0
for program in "$build"/bench/bench_*; do
    [ -x "$program" ] || continue
    echo "== ${program##*/bench_}"
    "$program" || status=1
done
exit $status
