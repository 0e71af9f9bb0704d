#!/usr/bin/env python3
"""The stand-in runtime's instructions per device-cycle from two callgrind profiles.

Usage: runtime_costs.py PROFILE_N PROFILE_N_PLUS_10 DEVICES

Both profiles are of rxp_runtime_cycles (N and N + 10 rounds of DEVICES devices), collected
whole. The difference over 10 x DEVICES is one steady-state device-cycle. The runtime's share is
every call from outside libsmdhost into it, inclusive of the library code it calls (locks, the
observer table), less what it hands on to the host program's observers.

Prints one line per figure, "name value", for scripts/bench-runtime.sh:
  total     every instruction of the program per device-cycle
  runtime   the stand-in runtime's share of them
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from callgrind_costs import Profile  # noqa: E402

RUNTIME = "libsmdhost"
DRIVER = "rxp_runtime_cycles"


def runtime_share(profile):
    into = profile.runtime_calls()
    handed_on = sum(cost for caller, lst in profile.calls.items() if profile.is_runtime(caller)
                    for callee, cost in lst
                    if callee[0] is not None and DRIVER in os.path.basename(callee[0]))
    return into - handed_on


def main():
    if len(sys.argv) != 4:
        sys.stderr.write(__doc__)
        return 2
    a, b = Profile(sys.argv[1], RUNTIME), Profile(sys.argv[2], RUNTIME)
    cycles = 10.0 * int(sys.argv[3])
    print("total %.0f" % ((b.summary - a.summary) / cycles))
    print("runtime %.0f" % ((runtime_share(b) - runtime_share(a)) / cycles))
    return 0


if __name__ == "__main__":
    sys.exit(main())
