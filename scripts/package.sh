#!/usr/bin/env bash
# Makes the packages into build/package/:
#   rxp517-t36b2_VERSION_ARCH.deb
#       with Debian's tools (dpkg-buildpackage, debhelper) from debian/: the bench tools
#       (rxp-host, rxp-sim, rxp-record), libsmdhost.so.0 and the plug-in for this machine in
#       /usr/lib/<multiarch>/rxp517-t36b2, man pages, README and examples, the hardened service
#       unit rxp-host@.service, /etc/rxp-host/ (example conffile and settings),
#       /etc/logrotate.d/rxp-host, the Prometheus alerting rules
#   rxp517_t36b2-VERSION-mipsel-linux-gnu-cxx11abi.tar.gz, ...-oldabi.tar.gz
#       for the controllers, one per std::string ABI (CPack, presets mipsel and mipsel-oldabi):
#       the stripped plug-in, its SHA-256, VERSION, NEEDS.txt (what the controller must
#       provide) and CONTROLLER-GUIDE.txt
# Run as root on a fresh Debian 12 machine: missing packages, the cross compiler, the mipsel
# libraries and the old-ABI jsoncpp (built from Debian's source, slow the first time) are
# fetched first. dpkg-buildpackage writes beside the source folder; the results are moved here.
#
# Usage: scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/package
name=rxp517-t36b2

scripts/install-deps.sh debhelper dpkg-dev fakeroot scdoc g++-mipsel-linux-gnu qemu-user

mkdir -p "$out"
rm -rf "$out"/*.deb "$out"/*.tar.gz "$out"/*.buildinfo "$out"/*.changes "$out/_CPack_Packages"

# This machine: the Debian package.
rm -f ../"${name}"_*.deb ../"${name}"-dbgsym_*.deb ../"${name}"_*.buildinfo ../"${name}"_*.changes
dpkg-buildpackage -b --no-sign -j2
mv ../"${name}"_*.deb ../"${name}"-dbgsym_*.deb ../"${name}"_*.buildinfo ../"${name}"_*.changes "$out/"

# The controllers: the plug-in of each std::string ABI.
scripts/sysroot-mipsel.sh build/mipsel/sysroot
scripts/deps-oldabi.sh mipsel build/mipsel-oldabi/deps
for preset in mipsel mipsel-oldabi; do
    cmake --preset "$preset"
    cmake --build --preset "$preset" --target rxp517_t36b2
    cpack --config "build/$preset/CPackConfig.cmake" -B "$out"
done
rm -rf "$out/_CPack_Packages"

echo
echo "== packages in $out, version $(cat build/debian/version.txt)"
(cd "$out" && for p in *.deb *.tar.gz; do printf '  %-68s %8d bytes\n' "$p" "$(stat -c %s "$p")"; done)
