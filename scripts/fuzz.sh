#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer) and runs
# each for a bounded time from the committed seed corpus (fuzz/corpus/<target>). Fails on any
# finding: a crash, a sanitizer report, a broken invariant, a leak, a time-out or running out of
# memory; the input that caused it is kept in build/fuzz/findings/. Inputs that reach new code
# are kept in build/fuzz/runs/corpus/<target>, so a later run goes on from there.
#
# Usage: scripts/fuzz.sh [seconds-per-target]       (default 60)
#   scripts/fuzz.sh 1800                            a longer run: 30 minutes per target
# Exit status: 0 nothing found, 1 a finding (see the log named in the output), other: build error.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: scripts/fuzz.sh [seconds-per-target]  (a whole number of seconds, got '$seconds')" >&2
    exit 2
fi

scripts/install-deps.sh clang libclang-rt-14-dev
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --parallel 2

bin=build/fuzz/fuzz
runs=build/fuzz/runs
findings=build/fuzz/findings
rm -rf "$findings"
mkdir -p "$runs" "$findings"

# Per target: extra libFuzzer options.
declare -A options=(
    [receive]="-max_len=8192"
    [settings]="-max_len=4096 -dict=fuzz/settings.dict"
)

status=0
printf '%-10s %8s %14s %10s %8s %6s  %s\n' target seconds executions exec/s corpus cov result
for target in receive settings; do
    corpus="$runs/corpus/$target"
    log="$runs/$target.log"
    mkdir -p "$corpus"
    result=ok
    # shellcheck disable=SC2086  # the options are separate words
    if ! "$bin/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$findings/$target-" ${options[$target]} \
        "$corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
        result="FINDING, see $log"
        status=1
    fi
    stat() { sed -n "s/^stat::$1: *//p" "$log" | tail -1; }
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    printf '%-10s %8s %14s %10s %8s %6s  %s\n' "$target" "$seconds" \
        "$(stat number_of_executed_units)" "$(stat average_exec_per_sec)" \
        "$(find "$corpus" -type f | wc -l)" "${cov:-?}" "$result"
done

if ((status != 0)); then
    echo "fuzzing found a problem; the inputs are in $findings/:" >&2
    ls -l "$findings" >&2 || true
fi
exit "$status"
