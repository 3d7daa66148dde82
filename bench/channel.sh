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
