#!/usr/bin/env bash
# The size figures the documents quote, measured: the tools of a build against the simulator,
# each figure printed with what it is. With --check, every place in the documents that quotes
# one (listed at the end of this script) must say it within 10 % of what was measured; a place
# whose sentence is gone fails the check too, so a figure cannot be changed by hand alone.
#
# Usage: scripts/doc-figures.sh [--check] [BUILD_DIR]      (default build/default, already built)
#
# What is measured (one device, the simulator's healthy power system):
#   events_all, events_changes  bytes of the events file a cycle at --events-level all and
#                               changes, the run's start event left out
#   capture_sim                 bytes of the capture a cycle against rxp-sim at 9600 bit/s
#   capture_spoilt              the same on the field case's spoilt line (--noise 3 --split 40)
#   capture_adapter             the simulator's capture with every reply cut into pieces of 16
#                               characters, as a USB adapter hands a reply over at 9600 bit/s
#                               (16 ms latency timer, the common default): a model, since no
#                               adapter is at hand here
#   history_row                 bytes a row adds to the history database (a run of rows added
#                               to a database of as many, divided by their number)
#   live                        the state and metrics files together
# and from them, with --interval 10 (8,640 cycles a day): events, capture and history a day and
# a year, and the two days logrotate keeps uncompressed (the file written and the newest one).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
check=0
if [[ "${1:-}" == "--check" ]]; then
    check=1
    shift
fi
build=$(cd "${1:-build/default}" && pwd)

scratch=$(mktemp -d /tmp/rxp-figures.XXXXXX)
sim_pid=""
cleanup() {
    [[ -z $sim_pid ]] || kill "$sim_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT
cd "$scratch"

# Runs the host for CYCLES against a simulator started with SIM_OPTIONS (a string), with
# HOST_OPTIONS after them; the simulator is stopped after.
run() {
    local cycles=$1 sim_options=$2
    shift 2
    rm -f line
    # shellcheck disable=SC2086
    "$build/rxp-sim" --link line $sim_options >sim.log 2>&1 &
    sim_pid=$!
    while [[ ! -e line ]]; do sleep 0.1; done
    "$build/rxp-host" --port line --cycles "$cycles" --summary none --plugin-output drop "$@" \
        >host.log 2>&1
    kill "$sim_pid" && wait "$sim_pid" || true
    sim_pid=""
}

size() { stat -c %s "$1"; }
# Bytes of the events file's lines but the start events.
event_bytes() { grep -v '"event":"start"' "$1" | wc -c; }
# Bytes of the capture's lines but the notes (its head).
capture_bytes() { grep -v '^#' "$1" | wc -c; }

fast=40
run "$fast" "--baud 0" --baud 0 --interval 0.05 --events all.jsonl --state state.json \
    --metrics metrics.prom
events_all=$((($(event_bytes all.jsonl) + fast / 2) / fast))
live=$(($(size state.json) + $(size metrics.prom)))
run "$fast" "--baud 0" --baud 0 --interval 0.05 --events changes.jsonl --events-level changes
events_changes=$((($(event_bytes changes.jsonl) + fast / 2) / fast))
rows=400
run "$rows" "--baud 0" --baud 0 --interval 0.05 --history history.db
before=$(size history.db)
run "$rows" "--baud 0" --baud 0 --interval 0.05 --history history.db
history_row=$((($(size history.db) - before) / rows))

slow=5
run "$slow" "" --capture sim.capture
capture_sim=$(($(capture_bytes sim.capture) / slow))
run "$slow" "--noise 3 --split 40 --seed 9" --capture spoilt.capture
capture_spoilt=$(($(capture_bytes spoilt.capture) / slow))
# The simulator's capture again, every reply (the <- lines of one poll and step) cut into
# pieces of 16 characters, each a line of its own with the same head.
capture_adapter=$(awk '
    function flush() {
        if (hex == "") return
        n = length(hex) / 2
        for (i = 0; i < n; i += 16) {
            piece = substr(hex, 2 * i + 1, 32)
            total += length(head) + length(piece) + 1
        }
        hex = ""
    }
    /^#/ { next }
    $4 == "<-" {
        if ($2 " " $3 != key) flush()
        key = $2 " " $3; head = $1 " " $2 " " $3 " <- "; hex = hex $5
        next
    }
    { flush(); key = ""; total += length($0) + 1 }
    END { flush(); print int(total / cycles) }' cycles="$slow" sim.capture)

day=8640
kb() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1000 }'; }
mb() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1000000 }'; }
gb() { awk -v b="$1" 'BEGIN { printf "%.2f", b / 1000000000 }'; }

cat >figures.txt <<EOF
events_all $events_all
events_changes $events_changes
events_all_day $((events_all * day))
events_changes_day $((events_changes * day))
events_changes_year $((events_changes * day * 365))
events_changes_2days $((events_changes * day * 2))
capture_sim $capture_sim
capture_spoilt $capture_spoilt
capture_adapter $capture_adapter
capture_adapter_day $((capture_adapter * day))
capture_year $((capture_adapter * day * 365))
capture_2days $((capture_adapter * day * 2))
history_row $history_row
history_day $((history_row * day))
history_year_1s $((history_row * 86400 * 365))
history_year_10s $((history_row * day * 365))
live $live
EOF

echo "Measured with $("$build/rxp-host" --version), one device, the simulator's healthy system:"
echo "  events, --events-level all      $(kb "$events_all") kB a cycle, $(mb $((events_all * day))) MB a day at --interval 10"
echo "  events, --events-level changes  $events_changes bytes a cycle, $(mb $((events_changes * day))) MB a day at --interval 10"
echo "  capture against rxp-sim         $(kb "$capture_sim") kB a cycle (9600 bit/s)"
echo "  capture on the spoilt line      $(kb "$capture_spoilt") kB a cycle (rxp-sim --noise 3 --split 40)"
echo "  capture as an adapter gives it  $(kb "$capture_adapter") kB a cycle, $(mb $((capture_adapter * day))) MB a day at --interval 10 (replies in 16-character pieces)"
echo "  history                         $history_row bytes a row, $(mb $((history_row * day))) MB a day at --interval 10;"
echo "                                  a year: $(gb $((history_row * 86400 * 365))) GB of 1 s cycles, $(gb $((history_row * day * 365))) GB of 10 s cycles"
echo "  state and metrics               $(kb "$live") kB"

((check)) || exit 0

# The places that quote a figure, @ between the parts: file, a Perl pattern whose first group is the number, the
# figure, and the unit the number is in.
places=(
    "docs/site-guide.md@about (\d+) bytes a row@history_row@1"
    "docs/site-guide.md@bytes a row: ([\d.]+) MB a day at@history_day@1e6"
    "docs/site-guide.md@about ([\d.]+) kB a cycle at \`--events-level all\`@events_all@1e3"
    "docs/site-guide.md@about ([\d.]+) kB at \`changes\`@events_changes@1e3"
    "docs/site-guide.md@at \`changes\` \(([\d.]+) MB a day@events_changes_day@1e6"
    "docs/site-guide.md@about ([\d.]+) kB a cycle against the simulator@capture_sim@1e3"
    "docs/site-guide.md@about ([\d.]+) kB a cycle from a USB adapter@capture_adapter@1e3"
    "docs/site-guide.md@from a USB adapter \(([\d.]+) MB a day@capture_adapter_day@1e6"
    "docs/site-guide.md@\| about ([\d.]+) kB, in memory@live@1e3"
    "docs/site-guide.md@grows by about ([\d.]+) kB a cycle@events_all@1e3"
    "docs/reference.md@Size: about ([\d.]+) kB a cycle with every evaluation@events_all@1e3"
    "docs/reference.md@about ([\d.]+) kB with \`changes\`@events_changes@1e3"
    "docs/reference.md@A row is about (\d+)@history_row@1"
    "docs/reference.md@one-second cycles is about ([\d.]+) GB@history_year_1s@1e9"
    "docs/reference.md@10-second cycles about ([\d.]+) GB@history_year_10s@1e9"
    "packaging/etc/rxp-host/example.conf@history.db    about ([\d.]+) MB a day@history_day@1e6"
    "packaging/etc/rxp-host/example.conf@a year's rows \(about ([\d.]+) GB@history_year_10s@1e9"
    "packaging/etc/rxp-host/example.conf@changes: about (\d+) bytes a cycle@events_changes@1"
    "packaging/etc/rxp-host/example.conf@record\): ([\d.]+) MB a day@events_changes_day@1e6"
    "packaging/etc/rxp-host/example.conf@MB a day, ([\d.]+) GB a year unrotated\. /etc@events_changes_year@1e9"
    "packaging/etc/rxp-host/example.conf@newest compressed: about ([\d.]+) MB@events_changes_2days@1e6"
    "packaging/etc/rxp-host/example.conf@--events-level all: ([\d.]+) kB a cycle@events_all@1e3"
    "packaging/etc/rxp-host/example.conf@evaluation\),\s+#\s+([\d.]+) MB a day@events_all_day@1e6"
    "packaging/etc/rxp-host/example.conf@capture.txt: about ([\d.]+) kB a cycle@capture_adapter@1e3"
    "packaging/etc/rxp-host/example.conf@kB a cycle, ([\d.]+) MB a day,@capture_adapter_day@1e6"
    "packaging/etc/rxp-host/example.conf@\s+([\d.]+) GB a year unrotated; rotated@capture_year@1e9"
    "packaging/etc/rxp-host/example.conf@events file, about ([\d.]+) MB@capture_2days@1e6"
    "packaging/etc/rxp-host/example.conf@state and metrics, about ([\d.]+) kB@live@1e3"
)
failed=0
for place in "${places[@]}"; do
    IFS='@' read -r file pattern figure unit <<<"$place"
    measured=$(awk -v f="$figure" '$1 == f { print $2 }' figures.txt)
    quoted=$(perl -0777 -ne "BEGIN { \$p = shift } print \$1 if /\$p/" -- "$pattern" "$root/$file")
    if [[ -z $quoted ]]; then
        echo "FAIL $file: no longer says /$pattern/ ($figure, measured $measured bytes)"
        failed=1
        continue
    fi
    verdict=$(awk -v q="$quoted" -v u="$unit" -v m="$measured" 'BEGIN {
        d = q * u / m; print (d >= 0.9 && d <= 1.1) ? "ok" : "FAIL" }')
    printf '%-4s %s: %s (%s, in units of %s) against %s bytes measured\n' "$verdict" "$file" \
        "$quoted" "$figure" "$unit" "$measured"
    [[ $verdict == ok ]] || failed=1
done
exit "$failed"
