# dnstap read+parse: a log of 500,000 query/response pairs (a million
# messages) read through the dnstap reader and its chain stage into a C sink,
# beside dnstap-ldns reading the same log and printing every message (time,
# kind, address, transport, size, question) to /dev/null: it has no way to
# read without printing. Best of three runs each, after one warm-up read for
# the page cache. Then the tools side by side: tarvex dump -b printing one
# line per message (time, kind, addresses, transport, size, id, question)
# beside the same dnstap-ldns run.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
pairs=${BENCH_DNSTAP_PAIRS:-500000}
dir=$build/bench/dnstap-$pairs
file=$dir/bench.dnstap
sink=$build/bench/libbench_source.so
runs=${BENCH_RUNS:-3}

if [ ! -s "$file" ]; then
    mkdir -p "$dir"
    python3 "$here/../tests/fixtures/dnstapgen.py" "$dir" --bench "$pairs"
fi
cat "$file" >/dev/null
messages=$((pairs * 2))

rate_of() {
    awk '{ if ($3 > 0) printf "%.0f\n", $2 / $3; else print 0 }'
}
best() {
    sort -n | tail -1
}
seconds_of() {
    local start stop
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1
    stop=$(date +%s%N)
    awk -v n="$messages" -v t="$((stop - start))" 'BEGIN { printf "%.0f\n", n / (t / 1e9) }'
}

tarvex=""
ldns=""
brief=""
for _ in $(seq "$runs"); do
    tarvex+="$("$build/tarvex" "$here/dnstap_read_push.lua" "$file" "$sink" | rate_of)"$'\n'
    brief+="$(seconds_of "$build/tarvex" dump -b -q "$file")"$'\n'
    if command -v dnstap-ldns >/dev/null; then
        ldns+="$(seconds_of dnstap-ldns -r "$file")"$'\n'
    fi
done
echo "group dnstap read+parse, $messages messages"
if [ -n "$ldns" ]; then
    echo "baseline dnstap-ldns-r-to-devnull $(best <<<"$ldns") messages/s"
fi
echo "result dnstap-reader-chain-push $(best <<<"$tarvex") messages/s"
echo "group dnstap printed one line per message, $messages messages"
if [ -n "$ldns" ]; then
    echo "baseline dnstap-ldns-r-to-devnull $(best <<<"$ldns") messages/s"
fi
echo "result tarvex-dump-brief-to-devnull $(best <<<"$brief") messages/s"
