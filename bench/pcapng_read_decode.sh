# pcapng read+decode scenario: the million DNS queries of read_decode,
# converted to pcapng by editcap, decoded down to the payload by reader ->
# layer in push use, each pcapng reader beside its PCAP sibling on the
# original file: stdio, mapped, and the mapping reader of a Zstandard file.
# Best of three runs each, alternating, after one warm-up read for the page
# cache. Without editcap the scenario prints nothing.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
count=${BENCH_READ_DECODE_COUNT:-1000000}
file=${BENCH_READ_DECODE_FILE:-$build/bench/dns-queries-$count.pcap}
sink=$build/bench/libbench_source.so
runs=${BENCH_RUNS:-3}

command -v editcap >/dev/null || exit 0
if [ ! -s "$file" ]; then
    python3 "$here/../tests/fixtures/bench_queries.py" "$file" "$count"
fi
ng=${file%.pcap}.pcapng
if [ ! -s "$ng" ]; then
    editcap -F pcapng "$file" "$ng.tmp" && mv "$ng.tmp" "$ng"
fi
for source in "$file" "$ng"; do
    if [ ! -s "$source.zst" ]; then
        zstd -q -c "$source" >"$source.zst.tmp" && mv "$source.zst.tmp" "$source.zst"
    fi
    cat "$source" "$source.zst" >/dev/null
done

rate_of() {
    awk '{ if ($3 > 0) printf "%.0f\n", $2 / $3; else print 0 }'
}
best() {
    sort -n | tail -1
}
tarvex_rate() {
    "$build/tarvex" "$here/zread_decode_push.lua" "$1" "$2" "$3" "$sink" | rate_of
}

declare -A pcap ng_rate
for _ in $(seq "$runs"); do
    pcap[f]+=$(tarvex_rate fpcap - "$file")$'\n'
    ng_rate[f]+=$(tarvex_rate fpcapng - "$ng")$'\n'
    pcap[mm]+=$(tarvex_rate mmpcap - "$file")$'\n'
    ng_rate[mm]+=$(tarvex_rate mmpcapng - "$ng")$'\n'
    pcap[zmm]+=$(tarvex_rate zmmpcap zstd "$file.zst")$'\n'
    ng_rate[zmm]+=$(tarvex_rate zmmpcapng zstd "$ng.zst")$'\n'
done

echo "group pcapng read+decode through stdio, $count DNS queries"
echo "baseline fpcap-layer-push $(best <<<"${pcap[f]}") packets/s"
echo "result fpcapng-layer-push $(best <<<"${ng_rate[f]}") packets/s"
echo "group pcapng read+decode through a mapping"
echo "baseline mmpcap-layer-push $(best <<<"${pcap[mm]}") packets/s"
echo "result mmpcapng-layer-push $(best <<<"${ng_rate[mm]}") packets/s"
echo "group pcapng read+decode from a mapped Zstandard file"
echo "baseline zmmpcap-zstd-layer-push $(best <<<"${pcap[zmm]}") packets/s"
echo "result zmmpcapng-zstd-layer-push $(best <<<"${ng_rate[zmm]}") packets/s"
