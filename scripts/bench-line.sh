#!/usr/bin/env bash
# Line benchmark: rxp-sim as a bus at 9600 bit/s on a pseudo-terminal (replies paced at line
# speed), rxp-host polling its devices round after round with no pause, as a service runs it
# (--history, --events --events-level changes, --state, --metrics). Prints figures; asserts
# nothing.
#
#   - for 1, 8 and 32 devices on one bus, with one character a write (an on-board UART with a
#     1-byte trigger) and with chunks of 1 to 32 bytes (rxp-sim --split 32, a USB adapter):
#     the round time against the line time of N cycles, N x 1236 characters x 10 bits / 9600
#     bit/s = N x 1.2875 s (goal: at most 1.03 times); the host's CPU time per device-cycle;
#     reads of the port and system calls on it per reply (the host's own counts, from --state);
#     resident memory. Steady state: a long run less a short one, so that start-up and the
#     first round cancel out;
#   - every system call of the host per device-cycle, one device, steady state (strace -f -c),
#     and those of its loop thread alone (strace -c, as the thread that polls counts them);
#   - with one of four devices unplugged, the round rate of the other three against three healthy
#     devices alone (goal: at least 90 %); the lost device is tried once every 6 rounds.
#
# Usage: scripts/bench-line.sh [ROUNDS] [BUILD_DIR]     (defaults: 6, build/default)
# ROUNDS sets the length of the unplugged runs (4 x ROUNDS rounds) and of the steady runs (one
# device: 2 x ROUNDS cycles more than the short run). About 12 minutes with the defaults. The
# build directory must hold a build (scripts/demo.sh or cmake --build --preset default).
set -euo pipefail
cd "$(dirname "$0")/.."

rounds="${1:-6}"
build="${2:-build/default}"
if ! [[ "$rounds" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: scripts/bench-line.sh [ROUNDS] [BUILD_DIR]  (ROUNDS a whole number)" >&2
    exit 2
fi
for program in rxp-sim rxp-host rxp517_t36b2.so; do
    [[ -e "$build/$program" ]] || { echo "bench-line: no $build/$program; build first" >&2; exit 1; }
done
scripts/install-deps.sh strace time python3 >/dev/null

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

# start_sim NAME "SIM_OPTIONS...": the simulator on $work/line; waits for its line.
start_sim() {
    local name=$1
    shift
    rm -f "$work/line"
    "$build/rxp-sim" --baud 9600 --link "$work/line" "$@" >"$work/$name.sim.out" \
        2>"$work/$name.sim.err" &
    sim_pid=$!
    for _ in $(seq 100); do
        [[ -e "$work/line" ]] && break
        sleep 0.1
    done
    [[ -e "$work/line" ]] || { cat "$work/$name.sim.err" >&2; exit 1; }
}

# host_args NAME N CYCLES: the host's command line for N devices (addresses 1..N), files of NAME.
host_args() {
    local name=$1 n=$2 cycles=$3 a
    host=("$build/rxp-host" --plugin "$build/rxp517_t36b2.so" --port "$work/line" --baud 9600
        --interval 0 --timeout 1 --cycles "$cycles" --history "$work/$name.db"
        --events "$work/$name.jsonl" --events-level changes --state "$work/$name.state"
        --metrics "$work/$name.prom")
    if ((n > 1)); then
        for a in $(seq "$n"); do host+=(--device "$a"); done
    fi
}

sim_devices() {  # sim_devices N: the simulator's options for N devices
    local a
    if (($1 > 1)); then
        for a in $(seq "$1"); do printf -- '--device %s ' "$a"; done
    fi
}

# timed NAME N CYCLES SPLIT: one run; leaves $work/NAME.time ("elapsed user system max_rss_kb",
# seconds and KiB).
timed() {
    local name=$1 n=$2 cycles=$3 split=$4
    # shellcheck disable=SC2046
    start_sim "$name" $(sim_devices "$n") --split "$split"
    host_args "$name" "$n" "$cycles"
    # The host's CPU time to the microsecond (/usr/bin/time prints hundredths), its resident
    # memory from /usr/bin/time (a child of Python would count Python's own pages from before it
    # started the host).
    python3 - "$work/$name.time" "$work/$name.out" "$work/$name.err" /usr/bin/time -f %M \
        -o "$work/$name.rss" "${host[@]}" <<'PY' ||
import os, subprocess, sys, time
start = time.monotonic()
with open(sys.argv[2], "w") as out, open(sys.argv[3], "w") as err:
    host = subprocess.Popen(sys.argv[4:], stdout=out, stderr=err)
    _, status, use = os.wait4(host.pid, 0)
elapsed = time.monotonic() - start
rss = open(sys.argv[sys.argv.index("-o") + 1]).read().split()[-1]
with open(sys.argv[1], "w") as f:
    f.write("%.4f %.6f %.6f %s\n" % (elapsed, use.ru_utime, use.ru_stime, rss))
sys.exit(os.waitstatus_to_exitcode(status))
PY
        { cat "$work/$name.err" >&2; exit 1; }
    stop_sim
}

# The host's counts of the line over all devices of a state file: "replies reads calls".
line_counts() {
    python3 - "$1" <<'PY'
import json, sys
state = json.load(open(sys.argv[1]))
devices = state["devices"]
print(sum(d["replies"] for d in devices), sum(d["line_reads"] for d in devices),
      sum(d["line_system_calls"] for d in devices))
PY
}

line=1.2875
echo "line benchmark: rxp-sim as a bus at 9600 bit/s (paced), rxp-host polling back to back with"
echo "--history, --events --events-level changes, --state and --metrics"
echo "line time of one device cycle: 1236 characters x 10 bits / 9600 bit/s = $line s"
echo
printf "%-8s %-10s %9s %7s %13s %11s %12s %9s\n" "devices" "writes" "round s" "x line" \
    "CPU ms/cycle" "reads/reply" "calls/reply" "RSS KiB"
for n in 1 8 32; do
    # Rounds in the short run, and more in the long one: the difference is steady state.
    case $n in
        1) short=3 more=$((2 * rounds)) ;;
        8) short=1 more=2 ;;
        *) short=1 more=1 ;;
    esac
    for split in 0 32; do
        timed "s$n-$split" "$n" "$short" "$split"
        timed "l$n-$split" "$n" "$((short + more))" "$split"
        read -r e1 u1 s1 _ <"$work/s$n-$split.time"
        read -r e2 u2 s2 rss <"$work/l$n-$split.time"
        read -r replies reads calls < <(line_counts "$work/l$n-$split.state")
        awk -v n="$n" -v more="$more" -v line="$line" -v e1="$e1" -v e2="$e2" -v u1="$u1" \
            -v s1="$s1" -v u2="$u2" -v s2="$s2" -v rss="$rss" -v r="$replies" -v rd="$reads" \
            -v c="$calls" -v w="$([[ $split == 0 ]] && echo "1 a write" || echo "1-$split")" 'BEGIN {
                round = (e2 - e1) / more
                cpu = ((u2 + s2) - (u1 + s1)) * 1000 / (n * more)
                printf "%-8d %-10s %9.3f %7.3f %13.2f %11.2f %12.2f %9d\n", n, w, round,
                       round / (n * line), cpu, rd / r, c / r, rss
            }'
    done
done
echo "goal: round at most 1.03 x line time; CPU time from the host's resource use (getrusage;"
echo "noisy on a shared machine), reads and system calls on the port per reply from the host's"
echo "--state counts"
echo

# Every system call of the host, one device, steady state: with every thread (-f) and the loop
# thread alone.
strace_calls() {  # strace_calls NAME CYCLES [-f]: prints the calls of the whole run
    local name=$1 cycles=$2
    shift 2
    start_sim "$name"
    host_args "$name" 1 "$cycles"
    strace "$@" -c -U name,calls -o "$work/$name.strace" "${host[@]}" >"$work/$name.out" \
        2>"$work/$name.err" || { cat "$work/$name.err" >&2; exit 1; }
    stop_sim
    awk '$1 == "total" { print $2 }' "$work/$name.strace"
}
short=3
more=$((2 * rounds))
all_short=$(strace_calls fs "$short" -f)
all_long=$(strace_calls fl "$((short + more))" -f)
loop_short=$(strace_calls ts "$short")
loop_long=$(strace_calls tl "$((short + more))")
awk -v as="$all_short" -v al="$all_long" -v ls="$loop_short" -v ll="$loop_long" -v m="$more" 'BEGIN {
    printf "system calls a device-cycle, one device: %.0f, every thread (strace -f -c); %.0f, the\n", \
        (al - as) / m, (ll - ls) / m
    print  "  loop thread alone (strace -c); steady state, the same files as above"
}'
echo

# Poll starts from a capture: "seconds address" per poll, in order.
poll_starts() {
    # The address byte is characters 2 and 3 of the frame, each a nibble + 0x30: hex "3X".
    awk '$3 == 1 && $4 == "->" {
        h = index("0123456789ABCDEF", substr($5, 4, 1)) - 1
        l = index("0123456789ABCDEF", substr($5, 6, 1)) - 1
        printf "%s %d\n", $1, h * 16 + l
    }' "$1"
}

# Cycles a second of the devices at `address`, from the start of its poll number `skip` + 1 to
# the start of its last poll.
rate_of() {
    local capture=$1 address=$2 skip=$3
    poll_starts "$capture" | awk -v a="$address" -v skip="$skip" '
        $2 == a { ++k; if (k == skip + 1) first = $1; last = $1 }
        END { if (k <= skip + 1) print "nan"; else printf "%.5f\n", (k - skip - 1) / (last - first) }'
}

# captured NAME "SIM_ADDRESSES" "HOST_ADDRESSES" CYCLES: one run with --capture.
captured() {
    local name=$1 sim_addresses=$2 host_addresses=$3 cycles=$4 a
    local answering=() polled=()
    for a in $sim_addresses; do answering+=(--device "$a"); done
    for a in $host_addresses; do polled+=(--device "$a"); done
    start_sim "$name" "${answering[@]}"
    "$build/rxp-host" --plugin "$build/rxp517_t36b2.so" --port "$work/line" --baud 9600 \
        --interval 0 --timeout 1 --cycles "$cycles" --capture "$work/$name.capture" \
        "${polled[@]}" >"$work/$name.out" 2>"$work/$name.err" ||
        { cat "$work/$name.err" >&2; exit 1; }
    stop_sim
}

# One of four unplugged: 4 answers nothing. Enough rounds for several retries of the lost one.
unplugged_rounds=$((rounds * 4))
captured "healthy3" "1 2 3" "1 2 3" "$((unplugged_rounds + 4))"
captured "unplugged" "1 2 3" "1 2 3 4" "$((unplugged_rounds + 4))"
healthy=$(rate_of "$work/healthy3.capture" 1 1)
unplugged=$(rate_of "$work/unplugged.capture" 1 4)
lost_polls=$(poll_starts "$work/unplugged.capture" | awk '$2 == 4' | wc -l)
awk -v h="$healthy" -v u="$unplugged" -v lost="$lost_polls" 'BEGIN {
    printf "one of four unplugged: address 1 completes %.4f cycles/s, with three healthy alone %.4f\n", u, h
    printf "  %.1f %% of the healthy rate (goal: at least 90 %%); the unplugged device was polled %d times\n", 100 * u / h, lost
}'
