#!/usr/bin/env python3
"""Instructions executed per loaded object, from a qemu user-mode log of rxp_cycles_loaded.

Usage: qemu_trace_costs.py MAPS LOG PLUGIN_NM        counts of one run
       qemu_trace_costs.py --cycle COUNTS_N COUNTS_N_PLUS_10
                                                      one steady-state cycle from two runs

The log is written by `qemu-<arch> -d in_asm,exec,nochain`: every translated block is listed
with its instructions (in_asm), and with chaining off every execution of a block is logged
(exec). MAPS is the program's /proc/self/maps as rxp_cycles_loaded wrote it; PLUGIN_NM is
`nm --defined-only` of the unstripped plug-in, to name its functions.

Code of the plug-in, the stand-in runtime (libsmdhost) and the driver (rxp_cycles_loaded) counts
to that object. Library code (libc, libstdc++, Boost, the dynamic linker) counts to whichever of
the three ran last before it, that is to the object that called the library: the plug-in's own
calls of memchr, memcpy, the console and the clock count as the plug-in's, the runtime's as the
runtime's. Plug-in figures are also given per plug-in function in the same way.

The first form prints "name<TAB>value" lines: plugin, runtime, driver, then plugin:FUNCTION for
each function, sorted by name. The second takes two such outputs, of N and N + 10 cycles, and
prints the figures of one cycle as callgrind_costs.py does: plugin, receive (process and the
general receive path), commands (sending them, and encoding them in earlier builds), record
(process_payload and the field copies), alarms (the alarm pass), checksums (calc_crc called out
of line, in earlier builds by both receive and commands), end_of_cycle (the rest).
"""
import re
import sys
from bisect import bisect_right
from collections import defaultdict

OWNERS = (("plugin", "rxp517_t36b2.so"), ("runtime", "libsmdhost.so"),
          ("driver", "rxp_cycles_loaded"))


def read_maps(path):
    ranges = []  # (start, end, owner or None, path)
    for line in open(path):
        parts = line.split()
        if len(parts) < 2 or "x" not in parts[1]:
            continue
        start, end = (int(x, 16) for x in parts[0].split("-"))
        name = parts[5] if len(parts) > 5 else ""
        # A library may be mapped under its versioned file name (libsmdhost.so.0).
        base = name.rsplit("/", 1)[-1]
        owner = next((o for o, file in OWNERS if base == file or base.startswith(file + ".")),
                     None)
        ranges.append((start, end, owner, name))
    ranges.sort()
    return ranges


def read_functions(nm_path, base):
    funcs = []
    for line in open(nm_path):
        parts = line.split(None, 2)
        if len(parts) == 3 and parts[1] in "tTwW":
            funcs.append((base + int(parts[0], 16), parts[2].strip()))
    funcs.sort()
    return funcs


def read_counts(path):
    counts = {}
    for line in open(path):
        name, _, value = line.rstrip("\n").rpartition("\t")
        counts[name] = int(value)
    return counts


def cycle(path_n, path_m):
    a, b = read_counts(path_n), read_counts(path_m)
    per = {k: (b.get(k, 0) - a.get(k, 0)) / 10.0 for k in set(a) | set(b)}

    def group(pattern):
        rx = re.compile(pattern)
        return sum(v for k, v in per.items() if k.startswith("plugin:") and rx.search(k[7:]))

    plugin = per.get("plugin", 0.0)
    figures = [
        ("plugin", plugin),
        ("receive", group(r"^RXP517_T36B2::(process|collect)\(")),
        # calc_crc was the commands' checksum and the replies' alike in earlier builds.
        ("commands", group(r"^RXP517_T36B2::(write_cmd|send_command|send_command_anew)\(")),
        ("record", group(r"^RXP517_T36B2::process_payload\(|store_payload|StoreBytes")),
        ("alarms", group(r"RunCheckThreshold")),
        # Checksums computed out of line (earlier builds: both the replies' and the commands').
        ("checksums", group(r"^RXP517_T36B2::calc_crc\(|CharSum")),
    ]
    figures.append(("end_of_cycle", plugin - sum(v for _, v in figures[1:])))
    for name, value in figures:
        print(name, "%.0f" % value)
    return 0


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--cycle":
        return cycle(sys.argv[2], sys.argv[3])
    if len(sys.argv) != 4:
        sys.stderr.write(__doc__)
        return 2
    ranges = read_maps(sys.argv[1])
    starts = [r[0] for r in ranges]
    plugin_base = min(r[0] for r in ranges if r[2] == "plugin")
    funcs = read_functions(sys.argv[3], plugin_base)
    func_starts = [f[0] for f in funcs]

    block_size = {}
    counts = defaultdict(int)
    by_function = defaultdict(int)
    owner_of_block = {}
    function_of_block = {}
    owner = "driver"
    function = None
    trace = re.compile(r"^Trace \d+: \S+ \[[0-9a-f]+/([0-9a-f]+)/")
    insn = re.compile(r"^0x([0-9a-f]+):")
    current = None
    with open(sys.argv[2], errors="replace") as log:
        for line in log:
            if line.startswith("Trace"):
                m = trace.match(line)
                if not m:
                    continue
                pc = int(m.group(1), 16)
                if pc not in owner_of_block:
                    i = bisect_right(starts, pc) - 1
                    r = ranges[i] if i >= 0 and pc < ranges[i][1] else None
                    owner_of_block[pc] = r[2] if r else None
                    if owner_of_block[pc] == "plugin":
                        j = bisect_right(func_starts, pc) - 1
                        function_of_block[pc] = funcs[j][1] if j >= 0 else "?"
                block_owner = owner_of_block[pc]
                if block_owner is not None:
                    owner = block_owner
                    function = function_of_block.get(pc)
                n = block_size.get(pc, 0)
                counts[owner] += n
                if owner == "plugin":
                    by_function[function] += n
            elif line.startswith("IN:"):
                current = None
            elif line.startswith("0x"):
                m = insn.match(line)
                if m:
                    addr = int(m.group(1), 16)
                    if current is None:
                        current = addr
                        block_size[current] = 0
                    block_size[current] += 1
            elif not line.strip():
                current = None
    for name in ("plugin", "runtime", "driver"):
        print("%s\t%d" % (name, counts[name]))
    for name, n in sorted(by_function.items()):
        print("plugin:%s\t%d" % (name, n))
    return 0


if __name__ == "__main__":
    sys.exit(main())
