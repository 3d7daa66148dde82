# Runs every benchmark scenario (each bench/*.sh) against a build directory
# and prints each result beside its baselines as a ratio.
#
# A scenario script is run as "bash SCENARIO.sh BUILD_DIR" and prints lines
#   group TITLE...            (optional) starts a group of its own baselines
#   baseline NAME VALUE UNIT
#   result NAME VALUE UNIT
# where a higher VALUE is better; every result is compared with every
# baseline of its group. Adding a scenario is adding a file.
set -uo pipefail
build=${1:?usage: run.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$build" && pwd)
status=0

for scenario in "$here"/*.sh; do
    [ "$(basename "$scenario")" = run.sh ] && continue
    name=$(basename "$scenario" .sh)
    echo "== $name"
    if ! output=$(bash "$scenario" "$build"); then
        echo "   scenario failed"
        status=1
        continue
    fi
    awk '
        function flush(   r, b) {
            for (r = 1; r <= nr; r++) {
                printf "   %-26s %14.0f %s", rname[r], rvalue[r], runit[r]
                for (b = 1; b <= nb; b++) {
                    if (bvalue[b] > 0) {
                        printf "  %.2fx %s", rvalue[r] / bvalue[b], bname[b]
                    }
                }
                printf "\n"
            }
            nr = 0; nb = 0
        }
        $1 == "group"    { flush(); $1 = ""; print "  " $0 }
        $1 == "baseline" { bname[++nb] = $2; bvalue[nb] = $3
                           printf "   %-26s %14.0f %s  (baseline)\n", $2, $3, $4 }
        $1 == "result"   { rname[++nr] = $2; rvalue[nr] = $3; runit[nr] = $4 }
        END { flush() }' <<<"$output"
done
exit $status
