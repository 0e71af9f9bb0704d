#!/usr/bin/env bash
# Prints the stand-in host runtime's cost per device-cycle: the instructions of one complete
# polling cycle of a device of the loaded plug-in, whole program and the runtime's share (its
# framework operations, observer lookup and locks; not the host program's observers), for 1 and
# 4 devices driven in turn on one thread. Counted by callgrind over N and N + 10 rounds; the
# difference is one steady-state round, so the figures are deterministic.
# Usage: scripts/bench-runtime.sh        Files: build/bench/results/runtime-*.out
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh python3
cmake --preset bench >/dev/null
cmake --build --preset bench --parallel 2 --target rxp_runtime_cycles rxp517_t36b2

bin=build/bench/benchmarks/rxp_runtime_cycles
plugin=build/bench/rxp517_t36b2.so
out=build/bench/results
mkdir -p "$out"
n=10
m=$((n + 10))

printf '\n== Stand-in runtime, instructions per device-cycle (x86-64, callgrind)\n'
printf '%-10s %12s %12s %8s\n' devices total runtime share
for devices in 1 4; do
    for rounds in "$n" "$m"; do
        valgrind --tool=callgrind --callgrind-out-file="$out/runtime-$devices-$rounds.out" \
            "$bin" "$plugin" "$devices" "$rounds" >/dev/null 2>"$out/runtime-$devices-$rounds.log"
    done
    figures=$(python3 benchmarks/runtime_costs.py "$out/runtime-$devices-$n.out" \
        "$out/runtime-$devices-$m.out" "$devices")
    total=$(awk '$1 == "total" {print $2}' <<<"$figures")
    runtime=$(awk '$1 == "runtime" {print $2}' <<<"$figures")
    awk -v d="$devices" -v t="$total" -v r="$runtime" \
        'BEGIN { printf "%-10s %12d %12d %7.1f%%\n", d, t, r, 100 * r / t }'
done
echo "rounds of one cycle per device on one thread, each device with its own observer"
echo "(benchmarks/runtime_cycles.cpp); ($m - $n rounds) / 10 / devices"
