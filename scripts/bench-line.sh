#!/usr/bin/env bash
# Line benchmark: the simulator at 9600 bit/s on a pseudo-terminal, the bench host polling
# back to back, and the time of each complete cycle (first command sent to record published)
# against the line time of its 1236 characters at 10 bits a character: 1.2875 s. The goal is at
# most 1.03 times the line time. Prints figures; asserts nothing.
#
# Usage: scripts/bench-line.sh [CYCLES] [BUILD_DIR]     (defaults: 10, build/default)
# The build directory must hold a build (scripts/demo.sh or cmake --build --preset default).
set -euo pipefail
cd "$(dirname "$0")/.."

cycles="${1:-10}"
build="${2:-build/default}"
for program in rxp-sim rxp-host rxp517_t36b2.so; do
    [[ -e "$build/$program" ]] || { echo "bench-line: no $build/$program; build first" >&2; exit 1; }
done

work=$(mktemp -d)
sim_pid=""
cleanup() {
    if [[ -n "$sim_pid" ]] && kill -0 "$sim_pid" 2>/dev/null; then
        kill -TERM "$sim_pid"
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

"$build/rxp-sim" --baud 9600 --link "$work/line" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do
    [[ -e "$work/line" ]] && break
    sleep 0.1
done
[[ -e "$work/line" ]] || { cat "$work/sim.err" >&2; exit 1; }

"$build/rxp-host" --plugin "$build/rxp517_t36b2.so" --port "$work/line" --baud 9600 \
    --interval 0 --timeout 1 --cycles "$cycles" --events "$work/events.jsonl" \
    >"$work/host.out" 2>"$work/host.err" || { cat "$work/host.err" >&2; exit 1; }

# One "cycle" event per completed cycle, with its duration in milliseconds.
grep '"event":"cycle"' "$work/events.jsonl" |
    sed -n 's/.*"milliseconds":\([0-9]*\).*/\1/p' >"$work/ms"
failed=$(grep -c '"event":"poll_failed"' "$work/events.jsonl" || true)

echo "line benchmark: rxp-sim at 9600 bit/s, rxp-host polling back to back, $cycles cycles"
echo "line time of one cycle: 1236 characters x 10 bits / 9600 bit/s = 1.2875 s"
sort -n "$work/ms" | awk -v failed="$failed" '
    { t[NR] = $1 / 1000.0; sum += t[NR] }
    END {
        if (NR == 0) { print "no cycle completed"; exit 1 }
        line = 1.2875
        median = (NR % 2) ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2
        printf "%-8s %9s %8s\n", "", "seconds", "x line"
        printf "%-8s %9.3f %8.3f\n", "min", t[1], t[1] / line
        printf "%-8s %9.3f %8.3f\n", "median", median, median / line
        printf "%-8s %9.3f %8.3f\n", "mean", sum / NR, sum / NR / line
        printf "%-8s %9.3f %8.3f\n", "max", t[NR], t[NR] / line
        printf "cycles %d, failed polls %d; goal: median at most 1.03 x line time: %s\n",
               NR, failed, (median / line <= 1.03) ? "met" : "NOT met"
    }'
