#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and runs every test
# under them (build/asan). Run as root on Debian 12: missing packages are installed first.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh gnuplot-nox faketime
cmake --preset asan
cmake --build --preset asan --parallel 2
ctest --preset asan
