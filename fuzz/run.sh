#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time each.
#
#   bash fuzz/run.sh BUILD [SECONDS]
#
# SECONDS per target: the argument, else $FUZZ_SECONDS, else 20.
# $FUZZ_TARGETS (names separated by blanks, e.g. "dns layer") runs only those.
# Seeds from fuzz/seeds.py are added to BUILD/corpus/TARGET; what a run adds
# to the corpus stays there for the next run. fuzz/regressions/TARGET,
# when present, is read too: inputs that once crashed a target.
# Stops at the first crash, leaving the input in BUILD/crashes/TARGET/ and the
# log in BUILD/fuzz-logs/TARGET.log, and exits 1. Prints per target the runs
# and the coverage (cov, ft) of libFuzzer's final status line.
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 BUILD [SECONDS]" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
seconds=${2:-${FUZZ_SECONDS:-20}}
here=$(cd "$(dirname "$0")" && pwd)
bin="$build/fuzz"

if [ -n "${FUZZ_TARGETS:-}" ]; then
  read -r -a targets <<<"$FUZZ_TARGETS"
else
  targets=()
  for exe in "$bin"/fuzz_*; do
    [ -x "$exe" ] && targets+=("$(basename "$exe" | sed 's/^fuzz_//')")
  done
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz targets in $bin (configure with -DTARVEX_FUZZ=ON and build)" >&2
  exit 2
fi

# Fresh seeds for the targets to run, added to what their corpora hold.
seeds=$(mktemp -d "$build/seeds.XXXXXX")
trap 'rm -rf "$seeds"' EXIT
python3 "$here/seeds.py" "$seeds"
for target in "${targets[@]}"; do
  mkdir -p "$build/corpus/$target"
  if [ -d "$seeds/$target" ]; then
    cp -n "$seeds/$target"/* "$build/corpus/$target/"
  fi
done
mkdir -p "$build/fuzz-logs"

# A smaller quarantine than the default: the compressed readers free large
# buffers on every input, and a full quarantine halves their speed.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=32}

# Per-target input limits: room for the largest DNS message and stream frame.
# The compressed mapping reader allocates a frame buffer of whatever snaplen a
# header gives (up to 4 GiB, untouched until frames fill it), so those targets
# allow single allocations that large.
options_for() {
  case "$1" in
    zpcap_*) echo "-max_len=70000 -malloc_limit_mb=4200" ;;
    pcap | tcpcli | stream_frame | dnstap) echo "-max_len=140000" ;;
    *) echo "-max_len=8192" ;;
  esac
}

printf '%-16s %8s %12s %8s %8s\n' target seconds runs cov ft
for target in "${targets[@]}"; do
  exe="$bin/fuzz_$target"
  if [ ! -x "$exe" ]; then
    echo "no fuzz target $target in $bin" >&2
    exit 2
  fi
  corpus="$build/corpus/$target"
  crashes="$build/crashes/$target"
  log="$build/fuzz-logs/$target.log"
  mkdir -p "$corpus" "$crashes"
  dirs=("$corpus")
  [ -d "$here/regressions/$target" ] && dirs+=("$here/regressions/$target")
  # shellcheck disable=SC2046
  if ! "$exe" $(options_for "$target") -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 \
      -print_final_stats=1 -artifact_prefix="$crashes/" "${dirs[@]}" >"$log" 2>&1; then
    echo "fuzz_$target crashed; log: $log; input in $crashes/" >&2
    grep -E 'ERROR|check failed|fatal|SUMMARY|Test unit written' "$log" | head -20 >&2 || tail -20 "$log" >&2
    exit 1
  fi
  status=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$status")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$status")
  time=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
  printf '%-16s %8s %12s %8s %8s\n' "$target" "${time:-?}" "${runs:-?}" "${cov:-?}" "${ft:-?}"
done
