#!/usr/bin/env bash
# Prints how long the record reader takes over a history database of ROWS one-second cycles
# (default 100,000, a little over a day): a CSV of two fields for one hour and for the whole
# table, a plot of one field over a day, and SQLite's plan for the range query. Figures are
# printed, never judged. Usage: scripts/bench-record.sh [ROWS] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

rows="${1:-100000}"
build="${2:-build/default}"
if ! [[ "$rows" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: scripts/bench-record.sh [ROWS] [BUILD_DIR]  (ROWS a whole number, got '$rows')" >&2
    exit 2
fi

scripts/install-deps.sh gnuplot-nox
if [[ "$build" == build/default ]]; then cmake --preset default >/dev/null; fi
cmake --build "$build" --target rxp-record history_fill

work="$build/bench-record"
mkdir -p "$work"
db="$work/history.db"
rm -f "$db"
start=2026-06-01T00:00:00Z
"$build/history_fill" "$db" "$rows" "$start"

seconds() {  # wall seconds of a command, its output dropped
    local t0 t1
    t0=$(date +%s.%N)
    "$@" >/dev/null
    t1=$(date +%s.%N)
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }'
}
fields=phase_a_value1,dc_value1
hour=$(seconds "$build/rxp-record" --db "$db" --format csv --fields "$fields" \
    --since 2026-06-01T12:00:00Z --until 2026-06-01T13:00:00Z)
all=$(seconds "$build/rxp-record" --db "$db" --format csv --fields "$fields" --since "$start")
plot=$(seconds "$build/rxp-record" --db "$db" --plot phase_a_value1 --out "$work/day.png" \
    --since 2026-06-01T00:00:00Z --until 2026-06-02T00:00:00Z)
lines=$("$build/rxp-record" --db "$db" --format csv --fields "$fields" --since "$start" | wc -l)

echo
echo "== rxp-record over $rows rows of one-second history ($(du -h "$db" | cut -f1))"
echo "  CSV of $fields, one hour (3,600 rows):     $hour s"
echo "  CSV of $fields, every row ($((lines - 1)) rows): $all s"
echo "  plot of phase_a_value1 over a day:               $plot s"
echo "  range query plan: $(sqlite3 "$db" "EXPLAIN QUERY PLAN SELECT id FROM history WHERE \
julianday(time) >= julianday('$start') AND julianday(time) < julianday('2026-06-02') \
ORDER BY julianday(time), id" | tail -1)"
