# Reassembly scenarios, best of five runs each, alternating (the two UDP rates
# differ by less than the run-to-run spread on a busy machine).
#
# 1. All UDP: the million-query capture of the read+decode scenario, read and
#    decoded (fpcap -> layer, push) with and without the IP fragment and TCP
#    stream reassemblers behind the decoder. Every datagram passes straight
#    through them, so the two rates should stay within a few percent.
# 2. DNS over TCP: a generated capture of many interleaved connections
#    (bench_tcp.py: handshake, queries, responses over two or three segments,
#    FINs; BENCH_TCP_MESSAGES messages, a million by default), as DNS messages
#    per second through fpcap -> layer -> ipfrag -> tcpstream beside
#    `tshark -r FILE -T fields -e dns.id -e dns.qry.name` on the same file.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
count=${BENCH_READ_DECODE_COUNT:-1000000}
udp_file=${BENCH_READ_DECODE_FILE:-$build/bench/dns-queries-$count.pcap}
messages=${BENCH_TCP_MESSAGES:-1000000}
tcp_file=$build/bench/dns-tcp-$messages.pcap
sink=$build/bench/libbench_source.so

if [ ! -s "$udp_file" ]; then
    python3 "$here/../tests/fixtures/bench_queries.py" "$udp_file" "$count"
fi
if [ ! -s "$tcp_file" ]; then
    python3 "$here/../tests/fixtures/bench_tcp.py" "$tcp_file" "$messages" >/dev/null
fi
cat "$udp_file" "$tcp_file" >/dev/null

best() {
    sort -n | tail -1
}
# "<mode> <packets> <seconds> <objects> <messages>" -> packets or messages per second
packet_rate() {
    awk '{ if ($3 > 0) printf "%.0f\n", $2 / $3; else print 0 }'
}
message_rate() {
    awk '{ if ($3 > 0) printf "%.0f\n", $5 / $3; else print 0 }'
}

plain="" reassembled="" streams="" tshark=""
for _ in 1 2 3 4 5; do
    plain+=$("$build/tarvex" "$here/reassembly_push.lua" "$udp_file" "$sink" plain | packet_rate)$'\n'
    reassembled+=$("$build/tarvex" "$here/reassembly_push.lua" "$udp_file" "$sink" reassemble | packet_rate)$'\n'
    streams+=$("$build/tarvex" "$here/reassembly_push.lua" "$tcp_file" "$sink" reassemble | message_rate)$'\n'
done
if command -v tshark >/dev/null; then
    # One run: tshark is slow enough for its rate to be steady.
    start=$(date +%s%N)
    seen=$(tshark -r "$tcp_file" -T fields -e dns.id -e dns.qry.name 2>/dev/null | cut -f1 | tr ',' '\n' | grep -c .)
    stop=$(date +%s%N)
    tshark=$(awk -v n="$seen" -v t="$((stop - start))" 'BEGIN { printf "%.0f\n", n / (t / 1e9) }')
fi

echo "group all-UDP capture, $count DNS queries: read+decode without and with the reassemblers"
echo "baseline fpcap-layer-push $(best <<<"$plain") packets/s"
echo "result fpcap-layer-ipfrag-tcpstream $(best <<<"$reassembled") packets/s"
echo "group DNS over TCP, $messages messages on interleaved connections"
if [ -n "$tshark" ]; then
    echo "baseline tshark-r-T-fields $tshark messages/s"
fi
echo "result fpcap-layer-ipfrag-tcpstream $(best <<<"$streams") messages/s"
