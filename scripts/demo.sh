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

echo "== tarvex stats -r $sample"
"$tarvex" stats -r "$sample" -n 5
echo
echo "== tarvex filter $sample $dns_only"
"$tarvex" filter "$sample" "$dns_only"
echo
echo "== tarvex stats -r $dns_only (first lines)"
"$tarvex" stats -r "$dns_only" -n 0 | sed -n '1,3p'
echo
echo "== tarvex dump $dns_only (first message)"
# awk reads to the end, so the tool never writes into a closed pipe.
"$tarvex" dump "$dns_only" | awk '/^packet / { n++ } n == 1'
