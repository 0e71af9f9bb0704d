#!/usr/bin/env bash
# The main job: builds everything, starts the simulated power system on a pseudo-terminal,
# runs the plug-in in the bench host against it for a handful of cycles (alarms rise and clear)
# with a history database, and shows the last stored record. Run as root on Debian 12: missing
# packages are installed first. What it leaves behind is in build/default/demo/.
#
# Usage: scripts/demo.sh [CYCLES]      (default 6)
# RXP_DEMO_BUILD_DIR=DIR builds in DIR instead of the default preset's build/default.
set -euo pipefail
cd "$(dirname "$0")/.."

cycles="${1:-6}"
build="${RXP_DEMO_BUILD_DIR:-build/default}"
demo="$build/demo"

section() { printf '\n== %s ==\n' "$*"; }

section "Packages"
scripts/install-deps.sh
echo "all present"

section "Building (log: $demo/build.log)"
mkdir -p "$demo"
build_all() {
    if [[ -n "${RXP_DEMO_BUILD_DIR:-}" ]]; then
        cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo && cmake --build "$build" -j2
    else
        cmake --preset default && cmake --build --preset default
    fi
}
if ! build_all >"$demo/build.log" 2>&1; then
    tail -n 40 "$demo/build.log"
    echo "demo: the build failed; the whole log is $demo/build.log" >&2
    exit 1
fi
echo "built $build/rxp517_t36b2.so, rxp-sim, rxp-host and rxp-record"

rm -f "$demo/line" "$demo/history.db" "$demo/events.jsonl"
sim_pid=""
stop_sim() {
    if [[ -n "$sim_pid" ]] && kill -0 "$sim_pid" 2>/dev/null; then
        kill -TERM "$sim_pid"
        wait "$sim_pid" 2>/dev/null || true
    fi
}
trap stop_sim EXIT

section "Simulated power system"
"$build/rxp-sim" --scenario examples/scenario-demo.json --link "$demo/line" \
    >"$demo/sim.out" 2>"$demo/sim.err" &
sim_pid=$!
for _ in $(seq 100); do
    [[ -e "$demo/line" ]] && break
    if ! kill -0 "$sim_pid" 2>/dev/null; then
        cat "$demo/sim.err" >&2
        exit 1
    fi
    sleep 0.1
done
[[ -e "$demo/line" ]] || { echo "demo: the simulator did not start" >&2; exit 1; }
echo "rxp-sim answers on $(head -n 1 "$demo/sim.out") at 9600 bit/s"
description=$(sed -n 's/^ *"description": *"\([^"]*\)".*/\1/p' examples/scenario-demo.json | head -n 1)
echo "scenario examples/scenario-demo.json: ${description:-(no description)}"

section "Bench host: $cycles cycles with examples/settings.json"
"$build/rxp-host" --plugin "$build/rxp517_t36b2.so" --port "$demo/line" \
    --settings examples/settings.json --cycles "$cycles" \
    --events "$demo/events.jsonl" --history "$demo/history.db"

stop_sim
sim_pid=""
echo
echo "events for programs: $demo/events.jsonl ($(wc -l <"$demo/events.jsonl") lines)"
echo "history: $demo/history.db ($(sqlite3 "$demo/history.db" 'SELECT COUNT(*) FROM history') rows)"

section "Last stored record (rxp-record --db $demo/history.db)"
"$build/rxp-record" --db "$demo/history.db"
