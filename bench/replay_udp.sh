# UDP replay scenarios. (a) Send rate of fpcap -> layer -> udpcli to a
# loopback sink that drains on the other core, beside a plain C sendto loop
# over the same payloads (preloaded in memory). (b) Queries/s replayed to a
# local unbound, beside dnsperf on the same queries and server. Best of
# three, alternating baseline and tarvex runs.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/.." && pwd)
count=${BENCH_REPLAY_COUNT:-300000}
work=$build/bench/replay
mkdir -p "$work"

capture=$work/queries-$count.pcap
if [ ! -s "$capture" ]; then
    python3 "$src/tests/fixtures/bench_queries.py" "$capture" "$count"
fi

best() {
    sort -n | tail -1
}

send_cpu=0
sink_cpu=0
if [ "$(nproc)" -ge 2 ]; then
    sink_cpu=1
fi

# One sink per run: it prints what it received once the sender has gone quiet.
with_sink() {
    rm -f "$work/sink.port"
    "$build/bench/bench_sendto_loop" sink "$work/sink.port" "$sink_cpu" >"$work/sink.out" &
    local sink_pid=$!
    while [ ! -s "$work/sink.port" ]; do sleep 0.05; done
    "$@" "$(cat "$work/sink.port")"
    wait "$sink_pid"
}

echo "group UDP send rate, $count queries, sink on cpu $sink_cpu (datagrams/s)"
plain="" replay=""
for _ in 1 2 3; do
    plain+=$(with_sink "$build/bench/bench_sendto_loop" send "$capture" "$send_cpu" | awk '{print $3}')$'\n'
    replay+=$(with_sink taskset -c "$send_cpu" "$build/tarvex" "$here/replay_udp.lua" "$capture" \
        | awk '{print $3}')$'\n'
done
echo "baseline sendto-loop $(grep . <<<"$plain" | best) datagrams/s"
echo "result fpcap-layer-udpcli $(grep . <<<"$replay" | best) datagrams/s"

if ! command -v dnsperf >/dev/null; then
    echo "group replay to unbound: dnsperf not installed, skipped"
    exit 0
fi
"$build/bench/bench_sendto_loop" names "$capture" >"$work/queries.txt"
python3 "$src/tests/servers/unbound_ctl.py" start "$work/unbound" 120 >/dev/null
trap 'python3 "$src/tests/servers/unbound_ctl.py" stop "$work/unbound"' EXIT
port=$(cat "$work/unbound/port")
echo "group replay to local unbound, $count queries (queries/s)"
perf="" replay=""
for _ in 1 2 3; do
    perf+=$(dnsperf -s 127.0.0.1 -p "$port" -d "$work/queries.txt" -n 1 -l 5 -q 500 2>/dev/null \
        | awk '/Queries per second:/ {print $4}')$'\n'
    replay+=$(taskset -c "$send_cpu" "$build/tarvex" "$here/replay_udp.lua" "$capture" "$port" \
        | awk '{print $3}')$'\n'
done
echo "baseline dnsperf $(grep . <<<"$perf" | best) queries/s"
echo "result fpcap-layer-udpcli $(grep . <<<"$replay" | best) queries/s"
