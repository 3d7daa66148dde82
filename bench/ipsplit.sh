# IP split scenario: the filter's per-packet cost beside a plain receiver
# call and beside the same split done with std::unordered_map.
set -euo pipefail
"$1/bench/bench_ipsplit"
