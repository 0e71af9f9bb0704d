#!/usr/bin/env python3
"""Plug-in-only instruction counts from two callgrind profiles of rxp_cycles.

Usage: callgrind_costs.py PROFILE_N PROFILE_N_PLUS_10 RUNTIME_OBJECT_SUBSTRING

Both profiles are taken with collection switched on only inside the plug-in's entry points
(process, RefreshStatus), so the driver loop is never counted. Instructions executed in the
stand-in runtime (the object whose path contains RUNTIME_OBJECT_SUBSTRING) and everything it
calls are left out; library code the plug-in calls (libc, libstdc++, Boost) is counted. The
difference of the two profiles over 10 is one steady-state cycle.

Prints one line per figure, "name value", for scripts/bench.sh:
  plugin       the plug-in's own instructions and its library calls per cycle
  receive      process less the reply handling: find, decode and check the 25 replies
  commands     sending the 25 commands (send_command; write_cmd in earlier builds)
  record       reply handling less commands and end of cycle: 25 replies to the record
  alarms       the alarm pass, plug-in side
  end_of_cycle the rest of RoundDone: time stamp, console line, calls of the host
  refresh      RefreshStatus
"""
import re
import sys
from collections import defaultdict


def parse(path):
    """Self cost per function and inclusive cost per call arc, keyed by (object, function)."""
    names = {"ob": {}, "fl": {}, "fn": {}}
    kind_of = {"ob": "ob", "cob": "ob", "fl": "fl", "fi": "fl", "fe": "fl", "cfi": "fl",
               "cfl": "fl", "fn": "fn", "cfn": "fn"}
    self_cost = defaultdict(int)
    arcs = defaultdict(int)
    ob = fn = cob = cfn = None
    pending_call = False
    summary = 0

    def name(key, value):
        m = re.match(r"\((\d+)\)(?: (.*))?$", value)
        if not m:
            return value
        table = names[kind_of[key]]
        if m.group(2) is not None:
            table[m.group(1)] = m.group(2)
        return table[m.group(1)]

    with open(path) as f:
        for raw in f:
            line = raw.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            if line[0].isdigit() or line[0] in "+-*":
                parts = line.split()
                cost = int(parts[1]) if len(parts) > 1 else 0
                if pending_call:
                    arcs[((ob, fn), (cob if cob is not None else ob, cfn))] += cost
                    pending_call = False
                    cob = None
                else:
                    self_cost[(ob, fn)] += cost
                continue
            if line.startswith("summary:") or line.startswith("totals:"):
                summary = int(line.split(":", 1)[1].split()[0])
                continue
            key, _, value = line.partition("=")
            if key in ("ob", "fn", "cob", "cfn", "fl", "fi", "fe", "cfi", "cfl"):
                resolved = name(key, value)
                if key == "ob":
                    ob = resolved
                elif key == "fn":
                    fn = resolved
                    cob = None
                elif key == "cob":
                    cob = resolved
                elif key == "cfn":
                    cfn = resolved
            elif key == "calls":
                pending_call = True
    return self_cost, arcs, summary


class Profile:
    def __init__(self, path, runtime):
        self.self_cost, arcs, self.summary = parse(path)
        self.calls = defaultdict(list)
        for (caller, callee), cost in arcs.items():
            self.calls[caller].append((callee, cost))
        self.runtime = runtime
        self.memo = {}

    def is_runtime(self, key):
        return key[0] is not None and self.runtime in key[0]

    def inclusive(self, key):
        return self.self_cost.get(key, 0) + sum(c for _, c in self.calls.get(key, []))

    def plugin_share(self, key, active=()):
        """Instructions of `key` and its callees, less the runtime's (arcs split pro rata)."""
        if self.is_runtime(key):
            return 0.0
        if key in self.memo:
            return self.memo[key]
        if key in active:  # recursion: count the arc as it stands
            return float(self.inclusive(key))
        total = float(self.self_cost.get(key, 0))
        for callee, cost in self.calls.get(key, []):
            incl = self.inclusive(callee)
            if incl > 0:
                total += cost * self.plugin_share(callee, active + (key,)) / incl
        self.memo[key] = total
        return total

    def runtime_calls(self):
        """Inclusive cost of every call from outside the runtime into it."""
        return sum(cost for caller, lst in self.calls.items() if not self.is_runtime(caller)
                   for callee, cost in lst if self.is_runtime(callee))

    def matching(self, pattern):
        rx = re.compile(pattern)
        return [k for k in set(self.self_cost) | set(self.calls) if k[1] and rx.search(k[1])]

    def share_of(self, pattern):
        """Plug-in share of the matching functions, each instruction once when one of them
        calls another."""
        keys = set(self.matching(pattern))
        total = sum(self.plugin_share(k) for k in keys)
        for k in keys:
            for callee, cost in self.calls.get(k, []):
                incl = self.inclusive(callee)
                if callee in keys and incl > 0:
                    total -= cost * self.plugin_share(callee) / incl
        return total


def main():
    if len(sys.argv) != 4:
        sys.stderr.write(__doc__)
        return 2
    a, b = Profile(sys.argv[1], sys.argv[3]), Profile(sys.argv[2], sys.argv[3])

    def per_cycle(fn):
        return (fn(b) - fn(a)) / 10.0

    def share(pattern):
        return per_cycle(lambda p: p.share_of(pattern))

    plugin = per_cycle(lambda p: p.summary - p.runtime_calls())
    process = share(r"RXP517_T36B2::process\(")
    payload = share(r"RXP517_T36B2::process_payload\(")
    commands = share(r"RXP517_T36B2::(write_cmd|send_command|send_command_anew)\(")
    round_done = share(r"::RoundDone\(")
    alarms = share(r"RXP517_T36B2::RunCheckThreshold\(")
    figures = [
        ("plugin", plugin),
        ("receive", process - payload),
        ("commands", commands),
        ("record", payload - commands - round_done),
        ("alarms", alarms),
        ("end_of_cycle", round_done - alarms),
        ("refresh", share(r"RXP517_T36B2::RefreshStatus\(")),
    ]
    for name, value in figures:
        print(name, "%.0f" % value)
    return 0


if __name__ == "__main__":
    sys.exit(main())
