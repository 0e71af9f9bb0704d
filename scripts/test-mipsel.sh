#!/usr/bin/env bash
# Cross-builds the plug-in, the stand-in runtime and the unit tests for the controllers (32-bit
# MIPS, little-endian), runs every test under qemu-mipsel, installs the stripped plug-in and
# reports what it needs from the controller. Run as root on a fresh Debian 12 machine: the cross
# compiler, the emulator and the mipsel libraries are fetched first.
#
# Usage: scripts/test-mipsel.sh
# Output: build/mipsel (build tree), build/mipsel/stage/lib/smd/plugins/rxp517_t36b2.so (the
# stripped plug-in). Exit status: 0 when every test passed, otherwise the failing step's.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh g++-mipsel-linux-gnu qemu-user
scripts/sysroot-mipsel.sh build/mipsel/sysroot

cmake --preset mipsel
cmake --build --preset mipsel
ctest --preset mipsel

stage=build/mipsel/stage
rm -rf "$stage"
cmake --install build/mipsel --strip --prefix "$stage"
plugin="$stage/lib/smd/plugins/rxp517_t36b2.so"

# What the controller must provide for the plug-in to load, as in the README's table.
binutil() {  # the cross binutils CMake found for this build
    sed -n "s/^CMAKE_$1:FILEPATH=//p" build/mipsel/CMakeCache.txt
}
readelf=$(binutil READELF)
size=$(stat -c %s "$plugin")
echo
echo "== $plugin"
printf 'stripped size: %d bytes (%d.%d KiB; goal: under 64 KiB)\n' "$size" \
    $((size / 1024)) $((size % 1024 * 10 / 1024))
if ((size >= 64 * 1024)); then
    echo "warning: the stripped plug-in is over the 64 KiB goal" >&2
fi
echo "needed libraries:"
"$readelf" -d "$plugin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/  \1/p'
echo "symbol versions required (library, versions from lowest to highest):"
"$readelf" -V "$plugin" | awk '
    /^Version needs section/ {on = 1; next}
    /^$/ {on = 0}
    on && /File:/ {file = $5}
    on && /Name:/ {print file, $3}' | sort -k1,1 -k2,2V |
    awk '$1 != last {if (line) print line; line = "  " $1 ":"; last = $1} {line = line " " $2}
         END {if (line) print line}'

