# Histogram scenario: recording 10M latencies and taking their percentiles,
# beside keeping only the moments and beside keeping every sample.
set -euo pipefail
"$1/bench/bench_histogram"
