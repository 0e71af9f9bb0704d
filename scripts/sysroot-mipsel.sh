#!/usr/bin/env bash
# Unpacks the mipsel (32-bit MIPS little-endian) builds of the libraries the plug-in, the stand-in
# runtime and the tests link against into a folder, for cross-building with
# cmake/toolchains/mipsel-linux-gnu.cmake.
#
# The mipsel -dev packages cannot be installed next to this machine's native ones (their versions
# differ from the security-updated native packages), so each package is downloaded with
# `apt-get download` and unpacked with `dpkg -x`. apt works on a private package list for the
# mipsel architecture kept under the folder: the machine's dpkg architectures and package lists
# stay as they are. Run again, it does nothing unless the archive's versions have changed.
#
# Usage: scripts/sysroot-mipsel.sh [FOLDER]     (default: build/mipsel/sysroot)
# Needs: apt-get, dpkg; network access to the Debian archive the machine is set up for.
set -euo pipefail

root_dir="$(cd "$(dirname "$0")/.." && pwd)"
sysroot="${1:-$root_dir/build/mipsel/sysroot}"
mkdir -p "$sysroot"
sysroot="$(cd "$sysroot" && pwd)"
state="$sysroot.apt"  # apt's lists, cache and downloads, beside the unpacked tree
arch=mipsel

# The packages asked for; their dependencies are followed as long as they are among the same
# libraries (libc, libstdc++ and libgcc come with the cross compiler instead).
wanted=(
    libboost-dev libboost-thread-dev libboost-date-time-dev libboost-system-dev
    libboost-atomic-dev libboost-chrono-dev
    libjsoncpp-dev
    libgtest-dev libgmock-dev
)
follow='^(libboost|libjsoncpp|libgtest|libgmock)'

mkdir -p "$state/lists/partial" "$state/cache/archives/partial" "$state/debs"
touch "$state/status"
apt_opts=(
    -o "APT::Architecture=$arch"
    -o "APT::Architectures::=$arch"
    -o "Dir::State::Lists=$state/lists"
    -o "Dir::State::status=$state/status"
    -o "Dir::Cache=$state/cache"
    -o "Dir::Cache::pkgcache=pkgcache.bin"
    -o "Dir::Cache::srcpkgcache=srcpkgcache.bin"
)
# Downloads are written as root into our folder; apt's unprivileged download user could not.
apt_opts+=(-o "APT::Sandbox::User=root")

# The package lists are refreshed at most once a day; between refreshes a tree unpacked for the
# same request is kept as it is.
request="$(printf '%s\n' "${wanted[@]}")"
if [[ -z "$(find "$state" -maxdepth 1 -name lists.updated -mtime -1 -print -quit)" ]]; then
    echo "sysroot-mipsel: updating the $arch package lists"
    apt-get "${apt_opts[@]}" -qq update
    touch "$state/lists.updated"
elif [[ -f "$sysroot/.packages" && -f "$sysroot/.request" &&
    "$(cat "$sysroot/.request")" == "$request" ]]; then
    echo "sysroot-mipsel: $sysroot is up to date ($(wc -l <"$sysroot/.packages") packages)"
    exit 0
fi

# Resolve the closure of `wanted` within `follow`: name=version for every package.
declare -A seen=()
queue=("${wanted[@]}")
resolved=()
while ((${#queue[@]})); do
    pkg="${queue[0]}"
    queue=("${queue[@]:1}")
    [[ -n "${seen[$pkg]:-}" ]] && continue
    seen[$pkg]=1
    version="$(apt-cache "${apt_opts[@]}" policy "$pkg" | awk '/Candidate:/ {print $2}')"
    if [[ -z "$version" || "$version" == "(none)" ]]; then
        echo "sysroot-mipsel: no $arch package '$pkg' in the archive" >&2
        exit 1
    fi
    resolved+=("$pkg=$version")
    while read -r dep; do
        [[ "$dep" =~ $follow ]] && queue+=("$dep")
    done < <(apt-cache "${apt_opts[@]}" depends --no-recommends --no-suggests --no-conflicts \
        --no-breaks --no-replaces --no-enhances "$pkg" |
        awk '/^ *(\|)?(Pre)?Depends:/ {print $NF}' | sed 's/:.*//; s/[<>]//g')
done

manifest="$(printf '%s\n' "${resolved[@]}" | sort)"
if [[ -f "$sysroot/.packages" && "$(cat "$sysroot/.packages")" == "$manifest" ]]; then
    printf '%s\n' "$request" >"$sysroot/.request"
    echo "sysroot-mipsel: $sysroot is up to date (${#resolved[@]} packages)"
    exit 0
fi

echo "sysroot-mipsel: downloading ${#resolved[@]} packages"
(cd "$state/debs" && rm -f ./*.deb && apt-get "${apt_opts[@]}" -qq download "${resolved[@]}")

# Unpack into a fresh tree, then swap it in, so that an interrupted run never leaves a half
# tree that looks complete.
fresh="$sysroot.new"
rm -rf "$fresh"
mkdir -p "$fresh"
for deb in "$state/debs"/*.deb; do
    dpkg -x "$deb" "$fresh"
done
printf '%s\n' "$manifest" >"$fresh/.packages"
printf '%s\n' "$request" >"$fresh/.request"
rm -rf "$sysroot"
mv "$fresh" "$sysroot"
echo "sysroot-mipsel: unpacked into $sysroot"
