#!/usr/bin/env bash
# Installs the Debian packages the build needs, if any is missing. Run as root on Debian 12.
# Usage: scripts/install-deps.sh [extra-package ...]
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    libboost-dev libboost-thread-dev libboost-date-time-dev libboost-system-dev
    libboost-program-options-dev
    libjsoncpp-dev libgtest-dev libgmock-dev libbenchmark-dev
    libsqlite3-dev sqlite3 libsystemd-dev valgrind scdoc groff-base
    "$@"
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # Another install under way (a second script, unattended upgrades) is waited for.
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
fi
