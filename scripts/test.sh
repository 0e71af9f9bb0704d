#!/usr/bin/env bash
# Builds everything and runs every test (native build). Run as root on a fresh Debian 12 machine:
# missing packages are installed first.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh gnuplot-nox faketime
cmake --preset default
cmake --build --preset default
ctest --preset default
