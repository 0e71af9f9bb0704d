#!/usr/bin/env bash
# Builds and runs the benchmarks (preset `bench`, an optimised build with debug information) and
# prints a summary: process throughput against a memchr/memcpy floor over the same bytes, time
# and instructions per complete cycle, heap allocations per steady-state cycle. The host does
# nothing. Figures are printed, never judged: timings depend on the machine and its load.
#
# Usage: scripts/bench.sh [repetitions]      (default 5; the summary shows medians)
# Files: build/bench/results/bench.json (Google Benchmark's JSON), callgrind and memcheck logs.
# Exit status: 0, 1 when a benchmark reports an error (for example a cycle that did not complete).
set -euo pipefail
cd "$(dirname "$0")/.."

repetitions="${1:-5}"
if ! [[ "$repetitions" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: scripts/bench.sh [repetitions]  (a whole number, got '$repetitions')" >&2
    exit 2
fi

scripts/install-deps.sh jq
cmake --preset bench >/dev/null
cmake --build --preset bench --parallel 2 --target rxp_bench rxp_cycles

bin=build/bench/benchmarks
out=build/bench/results
mkdir -p "$out"

"$bin/rxp_bench" --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true \
    --benchmark_min_time=0.5 --benchmark_out="$out/bench.json" --benchmark_out_format=json

if jq -e '[.benchmarks[] | select(.error_occurred == true)] | length > 0' "$out/bench.json" \
    >/dev/null; then
    echo "a benchmark reported an error:" >&2
    jq -r '.benchmarks[] | select(.error_occurred == true) | "  \(.name): \(.error_message)"' \
        "$out/bench.json" >&2
    exit 1
fi

# median <benchmark> <field>: the median aggregate, or with one repetition (no aggregates are
# reported then) the single run itself.
median() {
    jq -r --arg name "$1" --arg field "$2" \
        '[.benchmarks[] | select(.name == ($name + "_median"))] as $m
         | (if ($m | length) > 0 then $m
            else [.benchmarks[] | select(.name == $name and .run_type == "iteration")] end)
         | .[0][$field]' "$out/bench.json"
}

# Instructions and heap allocations are counted under valgrind over N and N + 10 cycles; the
# difference over 10 is one steady-state cycle (start-up and the first cycle cancel out).
n=100
callgrind_cmd="valgrind --tool=callgrind --callgrind-out-file=/dev/null $bin/rxp_cycles"
instructions() {
    $callgrind_cmd "$1" 2>"$out/callgrind-$1.log" >/dev/null
    sed -n 's/.*Collected : *\([0-9]*\).*/\1/p' "$out/callgrind-$1.log"
}
heap_allocs() {
    valgrind --tool=memcheck "$bin/rxp_cycles" "$1" 2>"$out/memcheck-$1.log" >/dev/null
    sed -n 's/.*total heap usage: *\([0-9,]*\) allocs.*/\1/p' "$out/memcheck-$1.log" | tr -d ,
}
ir_n=$(instructions "$n")
ir_m=$(instructions $((n + 10)))
heap_n=$(heap_allocs "$n")
heap_m=$(heap_allocs $((n + 10)))

stream_bps=$(median BM_ProcessReplyStream bytes_per_second)
floor_bps=$(median BM_FloorFindAndCopy bytes_per_second)
replies_bps=$(median BM_RepliesOfOneCycle bytes_per_second)

echo
echo "== Summary (medians of $repetitions runs, CPU time; host does nothing)"
awk -v s="$stream_bps" -v f="$floor_bps" -v r="$replies_bps" \
    -v bytes="$(median BM_ProcessReplyStream bytes_per_cycle)" \
    -v cycle="$(median BM_ProcessReplyStream cpu_time)" \
    -v replies="$(median BM_RepliesOfOneCycle cpu_time)" \
    -v end="$(median BM_EndOfCycle cpu_time)" \
    -v pass="$(median BM_AlarmPass cpu_time)" \
    -v allocs="$(median BM_ProcessReplyStream allocs_per_cycle)" \
    -v ir_n="$ir_n" -v ir_m="$ir_m" -v heap_n="$heap_n" -v heap_m="$heap_m" -v n="$n" \
    -v cmd="$callgrind_cmd" 'BEGIN {
    printf "process, complete cycles (%d bytes)   %10.1f MB/s\n", bytes, s / 1e6
    printf "floor, memchr + memcpy, same bytes    %10.1f MB/s\n", f / 1e6
    printf "ratio process / floor                 %10.3f      (goal >= 0.5)\n", s / f
    printf "  codec and polling only (24 replies) %10.1f MB/s, ratio %.3f\n", r / 1e6, r / f
    printf "time per complete cycle               %10.0f ns\n", cycle
    printf "  24 replies, no end of cycle         %10.0f ns\n", replies
    printf "  end of cycle (RoundDone)            %10.0f ns, of which the 139 rules %.0f ns\n", end, pass
    printf "instructions per complete cycle       %10.0f      (Ir of %d cycles - Ir of %d) / 10\n", (ir_m - ir_n) / 10, n + 10, n
    printf "  command: %s %d   and   ... %d\n", cmd, n, n + 10
    printf "heap allocations per steady cycle     %10g      operator new, counted in the benchmark\n", allocs
    printf "                                      %10g      malloc and new, valgrind memcheck (%d - %d cycles) / 10\n", (heap_m - heap_n) / 10, n + 10, n
    print  "RoundDone prints \"rvSize is 0\" every cycle: in rxp_bench into a sink that counts lines"
    print  "(formatting measured, terminal write not); under valgrind to standard output, /dev/null."
}'
