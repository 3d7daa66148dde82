#!/usr/bin/env bash
# Runs the main job: dumpdns on the sample capture that the build writes.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
cd "$(dirname "$0")/.."
sample="$build/sample/sample.pcap"
if [ ! -f "$sample" ]; then
    python3 tests/fixtures/sample.py "$sample"
fi
"$build/tarvex" examples/dumpdns.lua "$sample"
