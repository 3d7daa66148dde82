# DNS parse scenario: read, decode and parse every DNS message of the
# million-query capture (header, questions and records) in a script-driven
# pull loop, against a libpcap pcap_next_ex loop that decodes the same
# headers and walks the DNS header and questions by hand. Best of three runs
# each, alternating the two sides.
set -euo pipefail
build=$1
here=$(dirname "$0")
capture="$build/bench/queries.pcap"
if [ ! -f "$capture" ]; then
    python3 "$here/../tests/fixtures/bench_queries.py" "$capture" >/dev/null
fi

rate() {
    sed -n 's/.* rate \([0-9]*\)$/\1/p'
}
best() {
    sort -n | tail -1
}

echo "group dns parse, one million queries"
baseline="" tarvex=""
for _ in 1 2 3; do
    baseline+=$("$build/bench/bench_dns_parse_pcap" "$capture" | rate)$'\n'
    tarvex+=$("$build/tarvex" "$here/dns_parse.lua" "$capture" | rate)$'\n'
done
echo "baseline libpcap-walk-dns $(best <<<"$baseline") packets/s"
echo "result tarvex-pull-parse-dns $(best <<<"$tarvex") packets/s"
