#!/usr/bin/env bash
# The README's field case, end to end: a session captured at the "site" (the simulator spoiling
# replies stands in for the power system), the capture read back with a verdict per reply,
# replayed in the "lab" under the host's trace, and a day of history plotted with the site's
# units. Leaves everything in build/default/field-case/; the plot is field-case-phase-a.png.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/default
work="$build/field-case"
# The site's zone (central Europe, +02:00 in summer): every time the tools print carries it.
export TZ="${TZ:-CET-1CEST,M3.5.0,M10.5.0/3}"
section() { printf '\n== %s ==\n' "$*"; }

scripts/install-deps.sh gnuplot-nox
cmake --preset default >/dev/null
cmake --build "$build" --target rxp517_t36b2 rxp-sim rxp-host rxp-record history_fill >/dev/null
rm -rf "$work"
mkdir -p "$work"

sim_pid=""
stop_sim() {
    if [[ -n "$sim_pid" ]] && kill -0 "$sim_pid" 2>/dev/null; then
        kill -TERM "$sim_pid"
        wait "$sim_pid" 2>/dev/null || true
    fi
    sim_pid=""
}
trap stop_sim EXIT
start_sim() {  # LINK ARGS...: the simulator on a pseudo-terminal linked at LINK
    local link=$1
    shift
    "$build/rxp-sim" --baud 0 --link "$link" "$@" >"$link.log" 2>"$link.err" &
    sim_pid=$!
    for _ in $(seq 100); do [[ -e "$link" ]] && return 0; sleep 0.1; done
    cat "$link.err" >&2
    exit 1
}
host() { "$build/rxp-host" --plugin "$build/rxp517_t36b2.so" --interval 0 --timeout 0.5 "$@"; }

section "1. At the site: five cycles, every chunk captured"
start_sim "$work/site-line" --scenario examples/scenario-demo.json --split 40 --noise 3 \
    --corrupt-every 45 --short-every 70 --seed 9
host --port "$work/site-line" --cycles 5 --capture "$work/site.capture" \
    --events "$work/site-events.jsonl" --events-level changes --state "$work/state.json" \
    --metrics "$work/rxp.prom" >"$work/site.out" 2>"$work/site.err"
stop_sim
cat "$work/site.err"
echo "capture: $work/site.capture ($(grep -vc '^#' "$work/site.capture") chunks)"

section "2. The capture read back: every reply the host did not accept"
"$build/rxp-sim" --show-capture "$work/site.capture" >"$work/site.notation"
grep -e 'dropped:' -e 'late or unexpected' -e incomplete "$work/site.notation" | cut -c1-160

section "3. In the lab: the capture replayed, the host traced"
start_sim "$work/lab-line" --replay "$work/site.capture"
host --port "$work/lab-line" --cycles 5 --trace --events "$work/lab-events.jsonl" \
    --events-level changes >"$work/lab.out" 2>"$work/lab.trace"
stop_sim
grep -B1 'dropped:' "$work/lab.trace" | grep -v '^--' | cut -c1-160
records() {  # the published records without their time stamps (the last 7 bytes)
    sed -n 's/.*"record":"\([0-9a-f]*\)".*/\1/p' "$1" | cut -c1-564
}
if [[ "$(records "$work/site-events.jsonl")" == "$(records "$work/lab-events.jsonl")" ]]; then
    echo "the lab published the site's $(records "$work/site-events.jsonl" | wc -l) records"
else
    echo "the lab's records differ from the site's" >&2
    exit 1
fi

section "4. A day of history, phase A plotted in the site's units"
"$build/history_fill" "$work/day.db" 86400 2026-06-01T00:00:00+02:00
"$build/rxp-record" --db "$work/day.db" --plot phase_a_value1 --units examples/site-units.json \
    --since 2026-06-01T00:00:00+02:00 --until 2026-06-02T00:00:00+02:00 \
    --out "$work/field-case-phase-a.png"
"$build/rxp-record" --db "$work/day.db" --format csv --fields phase_a_value1,dc_value1 \
    --units examples/site-units.json --since 2026-06-01T12:00:00+02:00 \
    --until 2026-06-01T12:00:03+02:00
echo "plot: $work/field-case-phase-a.png"
