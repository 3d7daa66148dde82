#!/usr/bin/env bash
# Runs the main job on the sample capture that the build writes: what its DNS
# traffic is made of, its DNS packets copied into a new capture, and that
# copy read back.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
cd "$(dirname "$0")/.."
tarvex="$build/tarvex"
sample="$build/sample/sample.pcap"
dns_only="$build/sample/dns-only.pcap"
if [ ! -f "$sample" ]; then
    python3 tests/fixtures/sample.py "$sample"
fi

echo "== examples/qstats.lua -r $sample"
"$tarvex" examples/qstats.lua -r "$sample" -n 5
echo
echo "== examples/filter.lua $sample $dns_only"
"$tarvex" examples/filter.lua "$sample" "$dns_only"
echo
echo "== examples/qstats.lua -r $dns_only (first lines)"
"$tarvex" examples/qstats.lua -r "$dns_only" -n 0 | sed -n '1,3p'
echo
echo "== examples/dumpdns.lua $dns_only (first message)"
# awk reads to the end, so the script never writes into a closed pipe.
"$tarvex" examples/dumpdns.lua "$dns_only" | awk '/^packet / { n++ } n == 1'
