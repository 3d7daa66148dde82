# tarvex replay as a load generator, beside dnsperf and a bare C loop in
# the same run, on two sinks: the test unbound and bench_reflector (which
# answers at next to no cost, so that the generator is what is measured).
#   - UDP with answers matched and timed: answered queries/s and answered
#     queries per CPU second (user + system of the generator's process) at
#     the same clients and in-flight limit (-c, -w beside dnsperf -c, -q),
#     and beside a bare C loop that sends the same way and only counts
#     answers (the floor of the socket calls themselves).
#   - TCP and TLS with a connection per client: tarvex on a capture with
#     that many clients beside dnsperf -m tcp / dot -c with as many.
#   - Latency: p50 against the reflector delaying 1 ms and 10 ms, and at
#     50,000 q/s against the bare loop timing the same reflector.
#   - Clients held: 100,000 over UDP and 10,000 over TCP, peak RSS beside
#     one shared socket on the same capture.
# Best of three for the rates; one run each for latency and memory.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/.." && pwd)
count=${BENCH_LOAD_COUNT:-200000}
work=$build/bench/load
mkdir -p "$work"

if ! command -v dnsperf >/dev/null || [ ! -x /usr/bin/time ]; then
    echo "group replay load: dnsperf or /usr/bin/time not installed, skipped"
    exit 0
fi

# capture NAME COUNT [CLIENTS]: a generated capture, made once.
capture() {
    local path=$work/$1.pcap
    if [ ! -s "$path" ]; then
        python3 "$src/tests/fixtures/bench_queries.py" "$path" "${@:2}"
    fi
    echo "$path"
}
queries=$(capture queries-$count "$count")
per_conn=$(capture clients32-$count "$count" 32)
rated=$(capture queries-100000 100000)
tcp_clients=$(capture clients10000-100000 100000 10000)
"$build/bench/bench_sendto_loop" names "$queries" >"$work/queries.txt"

pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    python3 "$src/tests/servers/unbound_tls.py" stop --dir "$work/unbound" >/dev/null 2>&1 || true
}
trap cleanup EXIT
python3 "$src/tests/servers/unbound_tls.py" start --dir "$work/unbound" >/dev/null
port_of() {
    awk -v kind="$1" '$1 == kind {print $2}' "$work/unbound/ports"
}

# reflector NAME [OPTIONS]: starts one in the background; sets $reflector_port
# (UDP and TCP, the port file's first line) and, when started with -T,
# $reflector_tls_port (its second line).
reflector() {
    local name=$1 pid
    shift
    rm -f "$work/$name.port"
    "$build/bench/bench_reflector" "$@" "$work/$name.port" >"$work/$name.counters" &
    pid=$!
    pids+=("$pid")
    while [ ! -s "$work/$name.port" ]; do
        if ! kill -0 "$pid" 2>/dev/null; then
            echo "bench_reflector $name did not start" >&2
            exit 1
        fi
        sleep 0.05
    done
    reflector_port=$(sed -n 1p "$work/$name.port")
    reflector_tls_port=$(sed -n 2p "$work/$name.port")
}
# The plain one serves DNS over TLS too, with the certificate made for unbound.
reflector plain -t -T "$work/unbound/server.pem:$work/unbound/server.key"
plain_port=$reflector_port
plain_tls_port=$reflector_tls_port
reflector delay1ms -d 1000
delay1ms_port=$reflector_port
reflector delay10ms -d 10000
delay10ms_port=$reflector_port

# json FILE EXPRESSION: a figure from a replay result (d is the document).
json() {
    python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); print(eval(sys.argv[2]))' "$1" "$2" \
        2>/dev/null || echo 0
}

# figures ANSWERED QPS: "answered/s answered-per-cpu-second peak-rss-kb" from
# the run's /usr/bin/time line.
figures() {
    awk -v n="${1:-0}" -v qps="${2:-0}" '{cpu = $1 + $2; printf "%.0f %.0f %d\n", qps, (cpu > 0 ? n / cpu : 0), $3}' \
        "$work/time.txt"
}

# tarvex_run ARGS...: the figures of one replay; the answered rate is over
# the sending period, as dnsperf's is.
tarvex_run() {
    rm -f "$work/run.json"
    /usr/bin/time -f "%U %S %M" -o "$work/time.txt" "$build/tarvex" replay -q --json "$work/run.json" "$@" \
        >/dev/null 2>"$work/run.err" || true
    local answered qps
    answered=$(json "$work/run.json" 'd["queries"]["answered"]')
    qps=$(json "$work/run.json" 'd["rate"]["answered_qps"] or 0')
    figures "$answered" "$qps"
}

# dnsperf_run ARGS...: the same three figures of one dnsperf run.
dnsperf_run() {
    /usr/bin/time -f "%U %S %M" -o "$work/time.txt" dnsperf -d "$work/queries.txt" -n 1 "$@" \
        >"$work/dnsperf.out" 2>/dev/null || true
    local answered qps
    answered=$(awk '/Queries completed:/ {print $3}' "$work/dnsperf.out")
    qps=$(awk '/Queries per second:/ {print $4}' "$work/dnsperf.out")
    figures "$answered" "$qps"
}

# bare_run PORT: the same three figures of the bare C loop (8 connected
# sockets in turn, 100 in flight, answers counted and matched to nothing).
bare_run() {
    local out
    out=$(/usr/bin/time -f "%U %S %M" -o "$work/time.txt" "$build/bench/bench_sendto_loop" window "$queries" "$1" 8 100 \
        2>/dev/null) || true
    figures "$(awk '{print $2}' <<<"$out")" "$(awk '{print $3}' <<<"$out")"
}

# best FIELD: the highest of that field over the runs on standard input.
best() {
    awk -v f="$1" '$f > top {top = $f} END {printf "%.0f\n", top}'
}

# side_by_side TITLE DNSPERF_ARGS NAME TARVEX_ARGS [NAME TARVEX_ARGS...]:
# three rounds of each, then a group of answered rates and one of answered
# queries per CPU second. With $bare_port set, the bare loop to that port
# runs in each round too, as a second baseline.
side_by_side() {
    local title=$1 perf_args=$2
    shift 2
    local names=() args=() perf="" bare="" i
    while [ $# -gt 0 ]; do
        names+=("$1")
        args+=("$2")
        shift 2
    done
    local runs=()
    for ((i = 0; i < ${#names[@]}; i++)); do runs+=(""); done
    for _ in 1 2 3; do
        # shellcheck disable=SC2086
        perf+=$(dnsperf_run $perf_args)$'\n'
        if [ -n "${bare_port:-}" ]; then
            bare+=$(bare_run "$bare_port")$'\n'
        fi
        for ((i = 0; i < ${#names[@]}; i++)); do
            # shellcheck disable=SC2086
            runs[i]+=$(tarvex_run ${args[i]})$'\n'
        done
    done
    echo "group $title (answered queries/s)"
    echo "baseline dnsperf $(best 1 <<<"$perf") queries/s"
    if [ -n "$bare" ]; then echo "baseline bare-loop $(best 1 <<<"$bare") queries/s"; fi
    for ((i = 0; i < ${#names[@]}; i++)); do
        echo "result ${names[i]} $(best 1 <<<"${runs[i]}") queries/s"
    done
    echo "group $title (answered queries per CPU second)"
    echo "baseline dnsperf $(best 2 <<<"$perf") queries/cpu-s"
    if [ -n "$bare" ]; then echo "baseline bare-loop $(best 2 <<<"$bare") queries/cpu-s"; fi
    for ((i = 0; i < ${#names[@]}; i++)); do
        echo "result ${names[i]} $(best 2 <<<"${runs[i]}") queries/cpu-s"
    done
}

udp=$(port_of udp)
for sink in unbound reflector; do
    port=$udp
    [ $sink = reflector ] && port=$plain_port
    bare_port=$port side_by_side "UDP to $sink, $count queries, 8 clients, 100 in flight" \
        "-s 127.0.0.1 -p $port -c 8 -q 100" \
        replay-c8 "-r $queries -p $port -c 8 -w 100" \
        replay-per-client "-r $queries -p $port -w 100"
done

for case in "tcp unbound $(port_of tcp)" "tcp reflector $plain_port" "tls unbound $(port_of tls)" \
    "tls reflector $plain_tls_port"; do
    read -r transport sink port <<<"$case"
    mode=$transport
    [ "$transport" = tls ] && mode=dot
    side_by_side "$transport to $sink, $count queries, a connection per client, 32 clients, 100 in flight" \
        "-m $mode -s 127.0.0.1 -p $port -c 32 -q 100" \
        replay-per-client "-r $per_conn -p $port -t $transport -w 100"
done

# Latency against a fixed delay: p50 in ns beside the delay itself and
# beside the bare loop timing the same reflector at the same rate (what the
# reflector itself adds).
for delay_us in 1000 10000; do
    port=$delay1ms_port
    [ $delay_us = 10000 ] && port=$delay10ms_port
    floor_p50=$("$build/bench/bench_latency_loop" "$port" 20000 2 | awk '{print $6}')
    tarvex_run -r "$rated" -p "$port" -c 8 -w 1000 -Q 20000 --duration 2 >/dev/null
    p50_ns=$(json "$work/run.json" 'round(d["latency_us"]["p50"] * 1000)')
    awk -v p="$p50_ns" -v d="$delay_us" -v l="$floor_p50" 'BEGIN {
        off = p / 1000 - d; allowed = d * 0.02 + 50
        printf "group latency against the reflector delaying %d us, 20000 q/s: p50 %.1f us, off by %+.1f us " \
            "(allowed %.0f), the bare loop %.1f us (ns)\n", d, p / 1000, off, allowed, l
        printf "baseline delay %d ns\n", d * 1000
        printf "baseline latency-loop %d ns\n", l * 1000
        printf "result replay-p50 %d ns\n", p }'
done

# At 50,000 q/s on the undelayed reflector: tarvex's p50 beside the bare loop's.
loop_p50=$("$build/bench/bench_latency_loop" "$plain_port" 50000 2 | awk '{print $6}')
tarvex_run -r "$rated" -p "$plain_port" -c 1 -w 1000 -Q 50000 >/dev/null
replay_p50=$(json "$work/run.json" 'd["latency_us"]["p50"]')
replay_rate=$(json "$work/run.json" 'round(d["rate"]["achieved_qps"])')
awk -v l="$loop_p50" -v r="$replay_p50" -v q="$replay_rate" 'BEGIN {
    printf "group latency at 50000 q/s on the reflector (achieved %d): p50 %.1f us beside the bare loop %.1f us, " \
        "off by %+.1f us (allowed 20) (ns)\n", q, r, l, r - l
    printf "baseline latency-loop %d ns\n", l * 1000
    printf "result replay-p50 %d ns\n", r * 1000 }'

# Clients held: a socket (connection) per client beside one shared, same
# capture; the difference in peak RSS per client.
held() {
    local transport=$1 file=$2 clients=$3 port=$4 shared full opened answered
    shared=$(tarvex_run -r "$file" -p "$port" -t "$transport" -c 1 -w 1000 | awk '{print $3}')
    full=$(tarvex_run -r "$file" -p "$port" -t "$transport" -w 1000 | awk '{print $3}')
    opened=$(json "$work/run.json" 'd["sockets"]["opened"]')
    answered=$(json "$work/run.json" 'd["queries"]["answered"]')
    awk -v s="$shared" -v f="$full" -v c="$clients" -v o="$opened" -v a="$answered" -v t="$transport" 'BEGIN {
        printf "group %d clients over %s held: %d sockets opened, %d answered, %.0f bytes per client above one " \
            "shared socket (peak RSS, KB; lower is better)\n", c, t, o, a, (f - s) * 1024 / c
        printf "baseline one-socket %d KB\n", s
        printf "result per-client %d KB\n", f }'
}
held udp "$rated" 100000 "$plain_port"
held tcp "$tcp_clients" 10000 "$plain_port"
