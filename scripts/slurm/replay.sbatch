#!/bin/bash
# One replay sent from every task of a Slurm allocation: each task replays
# its shard of the capture's clients (task SLURM_PROCID of SLURM_NTASKS), all
# start together at one wall-clock time, each writes its result as JSON, and
# the job's last step merges them into one result with exact percentiles.
#
#   sbatch -N 4 --ntasks-per-node=1 scripts/slurm/replay.sbatch -r queries.pcap -s 192.0.2.53
#   CAPTURE=queries.pcap SERVER=192.0.2.53 RATE=50000 OUT_DIR=/shared/run1 sbatch -n 8 scripts/slurm/replay.sbatch
#
# Settings, from the environment (sbatch passes it on) or as arguments:
#   -r, CAPTURE     capture to replay; every task reads it, so it must be on
#                   a file system all nodes see, or at the same path on each
#   -s, SERVER      DNS server (default 127.0.0.1)
#   -p, PORT        server port (default 53)
#   -t, TRANSPORT   udp, tcp or tls (default udp)
#   -Q, RATE        queries per second over the whole job, split over the
#                   tasks (default: none, the capture's -T pacing)
#   -o, OUT_DIR     where shard-I.json, merged.json and merged.html go (default
#                   replay-$SLURM_JOB_ID); must be shared by all nodes
#   -l, LEAD        seconds from submission of the step to the common start,
#                   time for every task to be started (default 10)
#   TARVEX          the tarvex program (default: tarvex on PATH)
#   REPLAY_ARGS     further replay options given to every task, e.g. "-T keep -n 2"
# Each task runs with -q; its summary lines go to the job's output, labelled
# with the task number. The job fails when a task or the merge fails; the
# merge runs whenever every task wrote its result, so a failed task's
# partial figures are still merged and shown.
#SBATCH --job-name=tarvex-replay
#SBATCH --output=tarvex-replay-%j.out
set -u

capture=${CAPTURE:-}
server=${SERVER:-127.0.0.1}
port=${PORT:-53}
transport=${TRANSPORT:-udp}
rate=${RATE:-}
out_dir=${OUT_DIR:-replay-${SLURM_JOB_ID:-local}}
lead=${LEAD:-10}
tarvex=${TARVEX:-tarvex}

fail() {
    echo "replay.sbatch: $*" >&2
    exit 1
}

while getopts "r:s:p:t:Q:o:l:" option; do
    case $option in
    r) capture=$OPTARG ;;
    s) server=$OPTARG ;;
    p) port=$OPTARG ;;
    t) transport=$OPTARG ;;
    Q) rate=$OPTARG ;;
    o) out_dir=$OPTARG ;;
    l) lead=$OPTARG ;;
    *) fail "unknown option (see the header of this script)" ;;
    esac
done
shift $((OPTIND - 1))
[ $# -eq 0 ] || fail "unexpected argument $1"
[ -n "$capture" ] || fail "no capture: set CAPTURE or give -r FILE"
[ -r "$capture" ] || fail "cannot read $capture"
[ -n "${SLURM_NTASKS:-}" ] || fail "not inside a Slurm job (submit with sbatch)"
case $lead in '' | *[!0-9]*) fail "LEAD must be whole seconds" ;; esac
mkdir -p "$out_dir" || fail "cannot make $out_dir"
rm -f "$out_dir"/shard-*.json "$out_dir"/merged.json "$out_dir"/merged.html

# The whole job's rate is the sum of the tasks' rates.
rate_option=()
if [ -n "$rate" ]; then
    task_rate=$(awk -v total="$rate" -v tasks="$SLURM_NTASKS" 'BEGIN { printf "%.6f", total / tasks }')
    rate_option=(-Q "$task_rate")
fi

# One start time for all tasks, fixed here once: tasks launched a little
# apart still send their first queries together and keep the capture's pacing.
start_at=$(($(date +%s) + lead))
echo "replay.sbatch: $SLURM_NTASKS tasks replay $capture to $server port $port over $transport from $(date -d "@$start_at" '+%F %T')"

# SLURM_PROCID differs per task, so it is read inside each task's shell.
export TVX_BIN=$tarvex TVX_CAPTURE=$capture TVX_SERVER=$server TVX_PORT=$port TVX_TRANSPORT=$transport \
    TVX_START=$start_at TVX_OUT=$out_dir TVX_RATE="${rate_option[*]}" TVX_ARGS="${REPLAY_ARGS:-}"
# shellcheck disable=SC2016,SC2086
srun --label --kill-on-bad-exit=0 bash -c 'exec "$TVX_BIN" replay -q -r "$TVX_CAPTURE" -s "$TVX_SERVER" \
    -p "$TVX_PORT" -t "$TVX_TRANSPORT" $TVX_RATE $TVX_ARGS --shard "$SLURM_PROCID/$SLURM_NTASKS" \
    --start-at "$TVX_START" --json "$TVX_OUT/shard-$SLURM_PROCID.json"'
replay_status=$?

shards=()
for ((task = 0; task < SLURM_NTASKS; task++)); do
    if [ -s "$out_dir/shard-$task.json" ]; then
        shards+=("$out_dir/shard-$task.json")
    else
        echo "replay.sbatch: task $task wrote no result" >&2
    fi
done
[ ${#shards[@]} -eq "$SLURM_NTASKS" ] || fail "not merged: ${#shards[@]} of $SLURM_NTASKS results"

echo "replay.sbatch: merged result of $SLURM_NTASKS tasks"
srun --ntasks=1 --nodes=1 "$tarvex" replay -q --merge "$out_dir/merged.json" --report "$out_dir/merged.html" \
    "${shards[@]}" || fail "the merge failed"
[ "$replay_status" -eq 0 ] || fail "a task failed (status $replay_status); the merged result covers what was sent"
echo "replay.sbatch: $out_dir/merged.json, $out_dir/merged.html"
