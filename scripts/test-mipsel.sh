#!/usr/bin/env bash
# Cross-builds the plug-in, the stand-in runtime and the unit tests for the controllers (32-bit
# MIPS, little-endian), runs every test under qemu-mipsel, installs the stripped plug-in and
# reports what it needs from the controller. Run as root on a fresh Debian 12 machine: the cross
# compiler, the emulator and the mipsel libraries are fetched first.
#
# Usage: scripts/test-mipsel.sh [PRESET]
#   PRESET: mipsel (default; the C++11 std::string ABI) or mipsel-oldabi (the pre-C++11 one, for
#   hosts built with an older compiler; jsoncpp and GoogleTest are built for it first, by
#   scripts/deps-oldabi.sh, and kept in build/mipsel-oldabi/deps for the next run).
# Output: build/PRESET (build tree), build/PRESET/stage/lib/smd/plugins/rxp517_t36b2.so (the
# stripped plug-in). Exit status: 0 when every test passed, otherwise the failing step's.
set -euo pipefail
cd "$(dirname "$0")/.."

preset="${1:-mipsel}"
case "$preset" in
mipsel | mipsel-oldabi) ;;
*)
    echo "test-mipsel: unknown preset '$preset' (mipsel or mipsel-oldabi)" >&2
    exit 2
    ;;
esac
build="build/$preset"

scripts/install-deps.sh g++-mipsel-linux-gnu qemu-user dpkg-dev
scripts/sysroot-mipsel.sh build/mipsel/sysroot
if [[ "$preset" == mipsel-oldabi ]]; then
    scripts/deps-oldabi.sh mipsel "$build/deps"
fi

cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset"

stage="$build/stage"
rm -rf "$stage"
cmake --install "$build" --strip --prefix "$stage"
plugin="$stage/lib/smd/plugins/rxp517_t36b2.so"

# What the controller must provide for the plug-in to load, as in the README's table.
binutil() {  # the cross binutils CMake found for this build
    sed -n "s/^CMAKE_$1:FILEPATH=//p" "$build/CMakeCache.txt"
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
nm=$(binutil NM)
if "$nm" -DC "$plugin" | grep -q 'std::__cxx11::'; then
    echo "std::string ABI: C++11 (std::__cxx11:: in its signatures)"
else
    echo "std::string ABI: pre-C++11 (no std::__cxx11:: in its signatures)"
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

