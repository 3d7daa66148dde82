# Pacing scenario: how late packets leave the timing filter in keep and fixed
# mode, against a plain clock_nanosleep loop with the same schedule, 1 ms
# apart. Lateness is lower-better, so each line reports 1e9 / p99 lateness
# (a ratio >= 0.83 means tarvex's p99 is within 1.2x of the plain loop's);
# the group title shows the lateness itself.
set -euo pipefail
build=$1
here=$(dirname "$0")
count=${BENCH_PACING_COUNT:-2000}
gap=1000000

for mode in keep fixed; do
    read -r _ base50 _ base99 < <("$build/bench/bench_pacing" "$mode" "$count" "$gap")
    read -r _ tvx50 _ tvx99 < <("$build/tarvex" "$here/pacing.lua" "$mode" "$count" "$gap" \
        "$build/bench/libbench_source.so")
    echo "group pacing, $mode mode, $count packets 1 ms apart: lateness p50/p99" \
        "tarvex $((tvx50 / 1000))/$((tvx99 / 1000)) us, clock_nanosleep $((base50 / 1000))/$((base99 / 1000)) us"
    echo "baseline clock_nanosleep-p99 $((1000000000 / (base99 > 0 ? base99 : 1))) 1/p99"
    echo "result timing-$mode-p99 $((1000000000 / (tvx99 > 0 ? tvx99 : 1))) 1/p99"
done
