# DNS over HTTPS to one local unbound: answered queries/s of the DoH client
# with 100 streams in flight on one connection (the server's stream limit),
# beside dnsperf -m doh with one client and 100 queries outstanding, POST and
# GET, on the same queries and server; and tarvex replay -t doh on one
# connection with the same number in flight. Best of three.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/.." && pwd)
count=${BENCH_DOH_COUNT:-50000}
streams=100
work=$build/bench/doh
mkdir -p "$work"

if ! command -v dnsperf >/dev/null; then
    echo "group DoH: dnsperf not installed, skipped"
    exit 0
fi
capture=$work/queries-$count.pcap
if [ ! -s "$capture" ]; then
    python3 "$src/tests/fixtures/bench_queries.py" "$capture" "$count"
fi
"$build/bench/bench_sendto_loop" names "$capture" >"$work/queries.txt"

python3 "$src/tests/servers/unbound_doh.py" start --dir "$work/unbound" --streams "$streams" >/dev/null
trap 'python3 "$src/tests/servers/unbound_doh.py" stop --dir "$work/unbound" >/dev/null' EXIT
port=$(awk '$1 == "doh" {print $2}' "$work/unbound/ports")

best() {
    grep . | sort -n | tail -1
}

for method in POST GET; do
    echo "group DoH $method to local unbound, $count queries, 1 connection, $streams in flight (queries/s)"
    perf="" doh="" replay=""
    get=""
    [ "$method" = GET ] && get=--doh-get
    for _ in 1 2 3; do
        perf+=$(dnsperf -m doh -O doh-method="$method" -O doh-uri="https://127.0.0.1:$port/dns-query" \
            -s 127.0.0.1 -p "$port" -d "$work/queries.txt" -n 1 -q "$streams" -c 1 2>/dev/null \
            | awk '/Queries per second:/ {print $4}')$'\n'
        doh+=$("$build/tarvex" "$here/doh.lua" "$capture" "$port" "$method" | awk '{print $3}')$'\n'
        "$build/tarvex" replay -q -r "$capture" -t doh $get -p "$port" -c 1 -w "$streams" --json "$work/replay.json" \
            >/dev/null || true
        replay+=$(python3 -c 'import json,sys; print(int(json.load(open(sys.argv[1]))["rate"]["answered_qps"] or 0))' \
            "$work/replay.json")$'\n'
    done
    echo "baseline dnsperf-doh-$method $(best <<<"$perf") queries/s"
    echo "result dohcli-$method $(best <<<"$doh") queries/s"
    echo "result replay-doh-$method $(best <<<"$replay") queries/s"
done
