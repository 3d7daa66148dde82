# Read+decode scenario: one million DNS queries (Ethernet, IPv4 and IPv6
# sources, UDP) read from a PCAP file and decoded down to the payload, by
# the fpcap -> layer pipeline in push use (no script per packet) and by a
# script pull loop, beside a hand-written libpcap pcap_next_ex loop that
# decodes the same headers and beside tcpdump -r FILE -w /dev/null. Best of
# three runs each, alternating, after one warm-up read for the page cache.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
count=${BENCH_READ_DECODE_COUNT:-1000000}
file=${BENCH_READ_DECODE_FILE:-$build/bench/dns-queries-$count.pcap}

if [ ! -s "$file" ]; then
    python3 "$here/../tests/fixtures/bench_queries.py" "$file" "$count"
fi
cat "$file" >/dev/null

# "<packets> <seconds> ..." -> packets per second
rate() {
    awk '{ if ($2 > 0) printf "%.0f\n", $1 / $2; else print 0 }'
}
best() {
    sort -n | tail -1
}
seconds_of() {
    local start stop
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1
    stop=$(date +%s%N)
    awk -v n="$count" -v t="$((stop - start))" 'BEGIN { printf "%.0f\n", n / (t / 1e9) }'
}

libpcap="" tcpdump="" push="" pull=""
for _ in 1 2 3; do
    libpcap+=$("$build/bench/bench_libpcap_loop" "$file" | rate)$'\n'
    if command -v tcpdump >/dev/null; then
        tcpdump+=$(seconds_of tcpdump -r "$file" -w /dev/null)$'\n'
    fi
    push+=$("$build/tarvex" "$here/read_decode_push.lua" "$file" "$build/bench/libbench_source.so" | cut -d' ' -f2- | rate)$'\n'
    pull+=$("$build/tarvex" "$here/read_decode_pull.lua" "$file" | cut -d' ' -f2- | rate)$'\n'
done

echo "group read+decode, $count DNS queries from a PCAP file"
echo "baseline libpcap-pcap_next_ex $(best <<<"$libpcap") packets/s"
if [ -n "$tcpdump" ]; then
    echo "baseline tcpdump-r-w-devnull $(best <<<"$tcpdump") packets/s"
fi
echo "result fpcap-layer-push $(best <<<"$push") packets/s"
echo "result fpcap-layer-pull-script $(best <<<"$pull") packets/s"
