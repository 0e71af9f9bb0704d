#!/usr/bin/env bash
# Line benchmark: rxp-sim as a bus at 9600 bit/s on a pseudo-terminal (replies paced at line
# speed), rxp-host polling its devices round after round with no pause. Prints figures; asserts
# nothing.
#
#   - round time per number of devices N = 1, 4, 8, against the line time of N cycles: N x 1236
#     characters x 10 bits / 9600 bit/s = N x 1.2875 s (goal: at most 1.03 times);
#   - with one of four devices unplugged, the round rate of the other three against three healthy
#     devices alone (goal: at least 90 %); the lost device is tried once every 6 rounds;
#   - host CPU time per device cycle (start-up included) and resident memory for N = 1 and 8,
#     from runs without --capture.
#
# Times come from the host's --capture: a round starts with the first command of its first
# poll. The first round (the devices start) and, unplugged, the rounds before the device is lost
# are left out.
#
# Usage: scripts/bench-line.sh [ROUNDS] [BUILD_DIR]     (defaults: 6, build/default)
# The build directory must hold a build (scripts/demo.sh or cmake --build --preset default).
set -euo pipefail
cd "$(dirname "$0")/.."

rounds="${1:-6}"
build="${2:-build/default}"
for program in rxp-sim rxp-host rxp517_t36b2.so; do
    [[ -e "$build/$program" ]] || { echo "bench-line: no $build/$program; build first" >&2; exit 1; }
done

work=$(mktemp -d)
sim_pid=""
stop_sim() {
    if [[ -n "$sim_pid" ]] && kill -0 "$sim_pid" 2>/dev/null; then
        kill -TERM "$sim_pid"
        wait "$sim_pid" 2>/dev/null || true
    fi
    sim_pid=""
}
cleanup() {
    stop_sim
    rm -rf "$work"
}
trap cleanup EXIT

# run NAME "SIM_ADDRESSES" "HOST_ADDRESSES" CYCLES [capture]: one run; leaves $work/NAME.time
# ("user system max_rss_kb") and, asked for, $work/NAME.capture.
run() {
    local name=$1 sim_addresses=$2 host_addresses=$3 cycles=$4 capture=${5:-}
    local sim_args=() host_args=()
    [[ -n "$capture" ]] && host_args+=(--capture "$work/$name.capture")
    for a in $sim_addresses; do sim_args+=(--device "$a"); done
    for a in $host_addresses; do host_args+=(--device "$a"); done
    rm -f "$work/line"
    "$build/rxp-sim" --baud 9600 --link "$work/line" "${sim_args[@]}" \
        >"$work/$name.sim.out" 2>"$work/$name.sim.err" &
    sim_pid=$!
    for _ in $(seq 100); do
        [[ -e "$work/line" ]] && break
        sleep 0.1
    done
    [[ -e "$work/line" ]] || { cat "$work/$name.sim.err" >&2; exit 1; }
    /usr/bin/time -f "%U %S %M" -o "$work/$name.time" \
        "$build/rxp-host" --plugin "$build/rxp517_t36b2.so" --port "$work/line" --baud 9600 \
        --interval 0 --timeout 1 --cycles "$cycles" "${host_args[@]}" >"$work/$name.out" 2>"$work/$name.err" ||
        { cat "$work/$name.err" >&2; exit 1; }
    stop_sim
}

# Poll starts from a capture: "seconds address" per poll, in order.
poll_starts() {
    # The address byte is characters 2 and 3 of the frame, each a nibble + 0x30: hex "3X".
    awk '$3 == 1 && $4 == "->" {
        h = index("0123456789ABCDEF", substr($5, 4, 1)) - 1
        l = index("0123456789ABCDEF", substr($5, 6, 1)) - 1
        printf "%s %d\n", $1, h * 16 + l
    }' "$1"
}

# Median seconds between the starts of successive rounds of N polls each, skipping the first.
round_time() {
    local capture=$1 n=$2
    poll_starts "$capture" | awk -v n="$n" '
        { t[NR] = $1 }
        END { for (i = 1 + n; i + n <= NR; i += n) print t[i + n] - t[i] }' | sort -g |
        awk '{ d[NR] = $1 }
             END {
                 if (NR == 0) { print "nan"; exit }
                 print (NR % 2) ? d[(NR + 1) / 2] : (d[NR / 2] + d[NR / 2 + 1]) / 2
             }'
}

# Cycles a second of the devices at `address`, from the start of its poll number `skip` + 1 to
# the start of its last poll.
rate_of() {
    local capture=$1 address=$2 skip=$3
    poll_starts "$capture" | awk -v a="$address" -v skip="$skip" '
        $2 == a { ++k; if (k == skip + 1) first = $1; last = $1 }
        END { if (k <= skip + 1) print "nan"; else printf "%.5f\n", (k - skip - 1) / (last - first) }'
}

line=1.2875
echo "line benchmark: rxp-sim as a bus at 9600 bit/s (paced), rxp-host polling back to back"
echo "line time of one device cycle: 1236 characters x 10 bits / 9600 bit/s = $line s"
echo
printf "%-8s %10s %10s %8s %14s %10s\n" "devices" "round s" "line s" "x line" "CPU ms/cycle" "RSS KiB"
for n in 1 4 8; do
    addresses=$(seq -s ' ' 1 "$n")
    run "bus$n" "$addresses" "$addresses" "$((rounds + 1))" capture
    t=$(round_time "$work/bus$n.capture" "$n")
    # CPU and memory from a run without the capture, which writes a line for every character
    # the simulator paces out and would dominate the host's own work.
    user=nan system=nan rss=nan
    if [[ $n != 4 ]]; then
        run "cpu$n" "$addresses" "$addresses" "$((rounds + 1))"
        read -r user system rss <"$work/cpu$n.time"
    fi
    awk -v n="$n" -v t="$t" -v line="$line" -v u="$user" -v s="$system" -v rss="$rss" \
        -v cycles="$((n * (rounds + 1)))" 'BEGIN {
            cpu = (u == "nan") ? "-" : sprintf("%.2f", (u + s) * 1000 / cycles)
            printf "%-8d %10.3f %10.3f %8.3f %14s %10s\n", n, t, n * line, t / (n * line), cpu,
                   (rss == "nan") ? "-" : rss
        }'
done
echo "goal: round at most 1.03 x line time"
echo

# One of four unplugged: 4 answers nothing. Enough rounds for several retries of the lost one.
unplugged_rounds=$((rounds * 4))
run "healthy3" "1 2 3" "1 2 3" "$((unplugged_rounds + 4))" capture
run "unplugged" "1 2 3" "1 2 3 4" "$((unplugged_rounds + 4))" capture
healthy=$(rate_of "$work/healthy3.capture" 1 1)
unplugged=$(rate_of "$work/unplugged.capture" 1 4)
lost_polls=$(poll_starts "$work/unplugged.capture" | awk '$2 == 4' | wc -l)
awk -v h="$healthy" -v u="$unplugged" -v lost="$lost_polls" -v r="$unplugged_rounds" 'BEGIN {
    printf "one of four unplugged: address 1 completes %.4f cycles/s, with three healthy alone %.4f\n", u, h
    printf "  %.1f %% of the healthy rate (goal: at least 90 %%); the unplugged device was polled %d times\n", 100 * u / h, lost
}'
