# IP split scenario. First the filter's per-packet cost on prepared records
# (50 000 clients) beside a plain receiver call and beside the same split done
# with std::unordered_map; then the filter on the read+decode pipeline over
# the million-query capture (every query from its own client, the worst
# case: a new client record per packet) beside the same pipeline without it.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
count=${BENCH_READ_DECODE_COUNT:-1000000}
file=${BENCH_READ_DECODE_FILE:-$build/bench/dns-queries-$count.pcap}

"$build/bench/bench_ipsplit"

if [ ! -s "$file" ]; then
    python3 "$here/../tests/fixtures/bench_queries.py" "$file" "$count"
fi
cat "$file" >/dev/null

rate() {
    awk '{ if ($3 > 0) printf "%.0f\n", $2 / $3; else print 0 }'
}
best() {
    sort -n | tail -1
}
plain="" sequential="" random=""
for _ in 1 2 3; do
    for mode in plain ipsplit random; do
        line=$("$build/tarvex" "$here/ipsplit_push.lua" "$file" "$build/bench/libbench_source.so" "$mode" | rate)
        case $mode in
            plain) plain+=$line$'\n' ;;
            ipsplit) sequential+=$line$'\n' ;;
            random) random+=$line$'\n' ;;
        esac
    done
done
echo "group ipsplit on fpcap -> layer, $count DNS queries, one client each"
echo "baseline fpcap-layer-push $(best <<<"$plain") packets/s"
echo "result fpcap-layer-ipsplit-sequential $(best <<<"$sequential") packets/s"
echo "result fpcap-layer-ipsplit-random $(best <<<"$random") packets/s"
