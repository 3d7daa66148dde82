# Channel scenario: tarvex channels, driven by components and by script
# loops, against the raw ck_ring SPSC loop with the same capacity and yield
# policy. Each side pins its thread: both on one core (the software cost per
# item) and, where there are two cores, one core each (adds the cache-line
# traffic between cores, and much more noise). Best of three runs each,
# alternating baseline and tarvex runs.
set -euo pipefail
build=$1
here=$(dirname "$0")
count=${BENCH_CHANNEL_COUNT:-10000000}
capacity=2048

best() {
    sort -n | tail -1
}

placements=("0 0")
if [ "$(nproc)" -ge 2 ]; then
    placements+=("0 1")
fi

for placement in "${placements[@]}"; do
    read -r producer consumer <<<"$placement"
    if [ "$producer" = "$consumer" ]; then
        echo "group channel, producer and consumer on one core"
    else
        echo "group channel, producer and consumer on two cores"
    fi
    # Alternate the two sides so that both see the same background load.
    raw="" runs=""
    for _ in 1 2 3; do
        raw+=$("$build/bench/bench_ck_ring" "$count" "$capacity" "$producer" "$consumer")$'\n'
        runs+=$("$build/tarvex" "$here/channel.lua" "$count" "$capacity" "$build/bench/libbench_source.so" \
            "$producer" "$consumer")$'\n'
    done
    raw=$(best <<<"$raw")
    echo "baseline raw-ck_ring $raw items/s"
    echo "result channel-component $(grep '^component ' <<<"$runs" | cut -d' ' -f2 | best) items/s"
    echo "result channel-script $(grep '^script ' <<<"$runs" | cut -d' ' -f2 | best) items/s"
done

# The feed that fills the replay workers' lanes from one reader, beside
# reading and decoding the same capture alone: the million-query capture of
# the read benchmarks (a client per query, so every query numbers a new
# client) and one of a million queries from 1,000 clients.
feed_group() {
    local capture=$1 title=$2 decode="" feed="" out
    for _ in 1 2 3; do
        out=$("$build/tarvex" "$here/replay_feed.lua" "$capture")
        decode+=$(awk '$1 == "decode" {print $2}' <<<"$out")$'\n'
        feed+=$(awk '$1 == "feed" {print $2}' <<<"$out")$'\n'
    done
    echo "group replay feed, $title, one reader into two lanes drained by two threads (queries/s)"
    echo "baseline read-decode $(best <<<"$decode") queries/s"
    echo "result feed-two-lanes $(best <<<"$feed") queries/s"
}
for clients in "" 1000; do
    capture=$build/bench/dns-queries-1000000${clients:+-clients$clients}.pcap
    if [ ! -s "$capture" ]; then
        python3 "$here/../tests/fixtures/bench_queries.py" "$capture" 1000000 $clients
    fi
    feed_group "$capture" "${clients:-a million} clients"
done
