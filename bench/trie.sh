# Trie scenario: a million IPv4 and a million IPv6 keys inserted and looked
# up in the trie, beside std::map and std::unordered_map in the same run.
set -euo pipefail
"$1/bench/bench_trie"
