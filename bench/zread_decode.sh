# Mapped and compressed read+decode scenario: one million DNS queries decoded
# down to the payload by reader -> layer in push use, read
#   - through mmpcap, beside fpcap and a hand-written decode loop over a map;
#   - through zpcap and zmmpcap from LZ4, Zstandard, gzip and xz files, each
#     beside "DECOMPRESSOR -dc FILE | tcpdump -r - -w /dev/null" and beside the
#     decompressor alone writing to /dev/null.
# Best of three runs each, after one warm-up read for the page cache.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
count=${BENCH_READ_DECODE_COUNT:-1000000}
file=${BENCH_READ_DECODE_FILE:-$build/bench/dns-queries-$count.pcap}
sink=$build/bench/libbench_source.so
runs=${BENCH_RUNS:-3}

if [ ! -s "$file" ]; then
    python3 "$here/../tests/fixtures/bench_queries.py" "$file" "$count"
fi
declare -A tool=([lz4]=lz4 [zstd]=zstd [gzip]=gzip [lzma]=xz)
declare -A ext=([lz4]=lz4 [zstd]=zst [gzip]=gz [lzma]=xz)
for kind in lz4 zstd gzip lzma; do
    packed=$file.${ext[$kind]}
    if [ ! -s "$packed" ]; then
        "${tool[$kind]}" -q -c "$file" >"$packed.tmp" && mv "$packed.tmp" "$packed"
    fi
    cat "$packed" >/dev/null
done
cat "$file" >/dev/null

# "<name> <packets> <seconds>" or "<packets> <seconds> ..." -> packets per second
rate_of() {
    awk '{ if (NF >= 3 && $1 !~ /^[0-9]+$/) { p = $2; t = $3 } else { p = $1; t = $2 }
           if (t > 0) printf "%.0f\n", p / t; else print 0 }'
}
best() {
    sort -n | tail -1
}
# Packets per second of a shell command that handles the whole capture.
seconds_of() {
    local start stop
    start=$(date +%s%N)
    bash -c "$1" >/dev/null 2>&1
    stop=$(date +%s%N)
    awk -v n="$count" -v t="$((stop - start))" 'BEGIN { printf "%.0f\n", n / (t / 1e9) }'
}
tarvex_rate() {
    "$build/tarvex" "$here/zread_decode_push.lua" "$1" "$2" "$3" "$sink" | rate_of
}

loop="" fpcap="" mmpcap=""
for _ in $(seq "$runs"); do
    loop+=$("$build/bench/bench_mmap_loop" "$file" | rate_of)$'\n'
    fpcap+=$(tarvex_rate fpcap - "$file")$'\n'
    mmpcap+=$(tarvex_rate mmpcap - "$file")$'\n'
done
echo "group read+decode through a memory map, $count DNS queries"
echo "baseline hand-written-mmap-loop $(best <<<"$loop") packets/s"
echo "result mmpcap-layer-push $(best <<<"$mmpcap") packets/s"
echo "result fpcap-layer-push $(best <<<"$fpcap") packets/s"

for kind in lz4 zstd gzip lzma; do
    packed=$file.${ext[$kind]}
    pipe="" alone="" zpcap="" zmmpcap=""
    for _ in $(seq "$runs"); do
        if command -v tcpdump >/dev/null; then
            pipe+=$(seconds_of "${tool[$kind]} -dc '$packed' | tcpdump -r - -w /dev/null")$'\n'
        fi
        alone+=$(seconds_of "${tool[$kind]} -dc '$packed' >/dev/null")$'\n'
        zpcap+=$(tarvex_rate zpcap "$kind" "$packed")$'\n'
        zmmpcap+=$(tarvex_rate zmmpcap "$kind" "$packed")$'\n'
    done
    echo "group read+decode of a ${tool[$kind]} file, $count DNS queries"
    if [ -n "$pipe" ]; then
        echo "baseline ${tool[$kind]}-dc-pipe-tcpdump $(best <<<"$pipe") packets/s"
    fi
    echo "baseline ${tool[$kind]}-dc-to-devnull $(best <<<"$alone") packets/s"
    echo "result zpcap-layer-push $(best <<<"$zpcap") packets/s"
    echo "result zmmpcap-layer-push $(best <<<"$zmmpcap") packets/s"
done
