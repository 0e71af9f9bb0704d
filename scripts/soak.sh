#!/usr/bin/env bash
# Fault soak of the bench host against the simulator (delayed, dropped, corrupted, short and
# noisy replies, one simulator restart) for SECONDS (default 120); prints the figures and fails
# when a stored record differs from the simulator's, an alarm rises that the simulator did not
# set, history rows and publications differ or the host's memory grows. Installs what it needs.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_TO_RUN="${1:-120}"

scripts/install-deps.sh
cmake --preset default
cmake --build --preset default --target host_soak
RXP_SOAK_SECONDS="$SECONDS_TO_RUN" build/default/tools/rxp-host/tests/host_soak
