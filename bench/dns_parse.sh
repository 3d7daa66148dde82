# DNS parse scenario: read, decode and parse every DNS message of the
# million-query capture (header, every question and record) in a
# script-driven pull loop, beside the read+decode libpcap loop walking the
# DNS header and question names by hand. Best of three runs each,
# alternating, after one warm-up read for the page cache.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
count=${BENCH_DNS_PARSE_COUNT:-1000000}
file=${BENCH_DNS_PARSE_FILE:-$build/bench/dns-queries-$count.pcap}

if [ ! -s "$file" ]; then
    python3 "$here/../tests/fixtures/bench_queries.py" "$file" "$count"
fi
cat "$file" >/dev/null

# "<packets> <seconds> <...> <messages>": packets per second, once every
# message was parsed whole.
rate() {
    awk -v want="$count" '{ if ($2 > 0 && $NF == want) printf "%.0f\n", $1 / $2; else print 0 }'
}
best() {
    sort -n | tail -1
}

libpcap="" tarvex=""
for _ in 1 2 3; do
    libpcap+=$("$build/bench/bench_libpcap_loop" "$file" dns | rate)$'\n'
    tarvex+=$("$build/tarvex" "$here/dns_parse.lua" "$file" | cut -d' ' -f2- | rate)$'\n'
done

echo "group read+decode+DNS parse, $count DNS queries from a PCAP file"
echo "baseline libpcap-walk-dns-question $(best <<<"$libpcap") packets/s"
echo "result fpcap-layer-dns-pull-script $(best <<<"$tarvex") packets/s"
