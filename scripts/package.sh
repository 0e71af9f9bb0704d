#!/usr/bin/env bash
# Makes the two packages, with CPack, into build/package/:
#   rxp517-t36b2_VERSION_ARCH.deb
#       the bench tools (rxp-host, rxp-sim, rxp-record), libsmdhost.so, the plug-in for this
#       machine, man pages, README and examples, the service unit rxp-host@.service
#   rxp517_t36b2-VERSION-mipsel-linux-gnu.tar.gz
#       for the controllers: the stripped plug-in, its SHA-256, VERSION and NEEDS.txt (what the
#       controller must provide), from the mipsel cross build
# Run as root on a fresh Debian 12 machine: missing packages, the cross compiler and the mipsel
# libraries are fetched first. Builds only what the packages hold.
#
# Usage: scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/package

scripts/install-deps.sh g++-mipsel-linux-gnu qemu-user

# This machine: the default preset's build.
cmake --preset default
cmake --build --preset default --target rxp-host rxp-sim rxp-record rxp517_t36b2 rxp_man_pages

# The controllers: the mipsel preset's build, the plug-in only.
scripts/sysroot-mipsel.sh build/mipsel/sysroot
cmake --preset mipsel
cmake --build --preset mipsel --target rxp517_t36b2

mkdir -p "$out"
rm -rf "$out"/*.deb "$out"/*.tar.gz "$out/_CPack_Packages"
cpack --config build/default/CPackConfig.cmake -B "$out"
cpack --config build/mipsel/CPackConfig.cmake -B "$out"
rm -rf "$out/_CPack_Packages"

echo
echo "== packages in $out, version $(cat build/default/version.txt)"
(cd "$out" && for p in *.deb *.tar.gz; do printf '  %-60s %8d bytes\n' "$p" "$(stat -c %s "$p")"; done)
