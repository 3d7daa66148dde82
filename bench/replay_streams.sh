# Replay over each transport to one local unbound: queries/s of
# tarvex replay with answers matched (-a, 100 in flight) over UDP, TCP
# and TLS, each beside dnsperf in the same mode on the same queries and
# server. Best of three.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/.." && pwd)
count=${BENCH_STREAMS_COUNT:-50000}
work=$build/bench/streams
mkdir -p "$work"

if ! command -v dnsperf >/dev/null; then
    echo "group replay over UDP, TCP and TLS: dnsperf not installed, skipped"
    exit 0
fi
capture=$work/queries-$count.pcap
if [ ! -s "$capture" ]; then
    python3 "$src/tests/fixtures/bench_queries.py" "$capture" "$count"
fi
"$build/bench/bench_sendto_loop" names "$capture" >"$work/queries.txt"

python3 "$src/tests/servers/unbound_tls.py" start --dir "$work/unbound" >/dev/null
trap 'python3 "$src/tests/servers/unbound_tls.py" stop --dir "$work/unbound" >/dev/null' EXIT
port_of() {
    awk -v kind="$1" '$1 == kind {print $2}' "$work/unbound/ports"
}

best() {
    grep . | sort -n | tail -1
}

# Answered queries per second of one replay run, from its wall time.
replay_rate() {
    local transport=$1 port=$2 start end answered
    start=$(date +%s.%N)
    answered=$("$build/tarvex" replay -r "$capture" -s 127.0.0.1 -p "$port" \
        -t "$transport" -a -w 100 2>/dev/null | awk '$1 == "answered" {sub(",", "", $2); print $2}')
    end=$(date +%s.%N)
    awk -v n="$answered" -v s="$start" -v e="$end" 'BEGIN {printf "%.0f\n", n / (e - s)}'
}

for transport in udp tcp tls; do
    case $transport in
    udp) port=$(port_of udp) mode=udp ;;
    tcp) port=$(port_of tcp) mode=tcp ;;
    tls) port=$(port_of tls) mode=dot ;;
    esac
    echo "group replay over $transport to local unbound, $count queries, 100 in flight (queries/s)"
    perf="" replay=""
    for _ in 1 2 3; do
        perf+=$(dnsperf -m "$mode" -s 127.0.0.1 -p "$port" -d "$work/queries.txt" -n 1 -q 100 -c 1 2>/dev/null \
            | awk '/Queries per second:/ {print $4}')$'\n'
        replay+=$(replay_rate "$transport" "$port")$'\n'
    done
    echo "baseline dnsperf-$mode $(best <<<"$perf") queries/s"
    echo "result replay-$transport $(best <<<"$replay") queries/s"
done
