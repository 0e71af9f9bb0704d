#!/usr/bin/env bash
# Makes both packages (scripts/package.sh) and checks them as a site would get them:
#   Debian package: installed with dpkg -i; every program says the build's version; `man rxp-host`
#     works; its Depends name the Debian package of every library the programs and the plug-in
#     link; the installed rxp-host polls the installed rxp-sim for a cycle without --plugin and
#     rxp-record shows the stored record; the service unit passes systemd-analyze verify; then
#     dpkg --purge takes it all away again.
#   Controller tarball: the SHA-256 matches, the plug-in is a stripped mipsel object carrying the
#     version, exporting get_providers only, and NEEDS.txt names its libraries and symbol versions.
# Run as root on a fresh Debian 12 machine (it installs man-db and systemd when missing). Leaves
# the package removed; a package of the same name installed before is removed too.
#
# Usage: scripts/test-package.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/package.sh
scripts/install-deps.sh man-db systemd

version=$(cat build/default/version.txt)
debs=(build/package/rxp517-t36b2_*.deb)
tarballs=(build/package/rxp517_t36b2-*-mipsel-linux-gnu.tar.gz)
((${#debs[@]} == 1)) || { echo "test-package: expected one .deb, found: ${debs[*]}" >&2; exit 1; }
((${#tarballs[@]} == 1)) || { echo "test-package: expected one tarball: ${tarballs[*]}" >&2; exit 1; }

work=$(mktemp -d /tmp/rxp-package.XXXXXX)
sim=""
cleanup() {
    if [[ -n "$sim" ]]; then kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; fi
    if [[ -n "$(dpkg-query -W -f '${db:Status-Abbrev}' rxp517-t36b2 2>/dev/null)" ]]; then
        dpkg --purge rxp517-t36b2 >/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "test-package: $*" >&2
    exit 1
}

echo "== ${debs[0]}"
dpkg -i "${debs[0]}"
[[ "$(dpkg-query -W -f '${Version}' rxp517-t36b2)" == "$version" ]] ||
    fail "the package's version is not $version"

for tool in rxp-host rxp-sim rxp-record; do
    [[ "$(command -v "$tool")" == "/usr/bin/$tool" ]] || fail "$tool is not /usr/bin/$tool"
    said=$("$tool" --version)
    [[ "$said" == "$tool (rxp517_t36b2) $version" ]] || fail "$tool --version says '$said'"
    echo "$said"
done

if [[ ! -e /usr/share/man/man1/rxp-host.1.gz ]] && grep -qs 'path-exclude=/usr/share/man' \
    /etc/dpkg/dpkg.cfg.d/*; then
    fail "dpkg is set to leave out man pages (path-exclude in /etc/dpkg/dpkg.cfg.d)"
fi
MANPAGER=cat MANWIDTH=80 man rxp-host >"$work/man.txt" 2>&1 || fail "man rxp-host: $(cat "$work/man.txt")"
grep -q -- '--plugin PATH' "$work/man.txt" || fail "man rxp-host lacks the options"

# Every library linked, apart from the package's own libsmdhost.so, is named in Depends by the
# Debian package that holds it.
depends=$(dpkg-query -W -f '${Depends}' rxp517-t36b2)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for elf in /usr/bin/rxp-host /usr/bin/rxp-sim /usr/bin/rxp-record /usr/lib/libsmdhost.so \
    /usr/lib/smd/plugins/rxp517_t36b2.so; do
    for lib in $(objdump -p "$elf" | awk '$1 == "NEEDED" {print $2}'); do
        [[ "$lib" == libsmdhost.so ]] && continue
        path=$(ldd "$elf" | awk -v lib="$lib" '
            $1 == lib && $2 == "=>" {print $3}
            $2 != "=>" {n = split($1, part, "/"); if (part[n] == lib) print $1}')
        [[ -n "$path" && -e "$path" ]] || fail "$elf needs $lib, which is not on this machine"
        file=$(basename "$(readlink -f "$path")")
        owner=$(dpkg -S "*/$multiarch/$file" | head -1 | cut -d: -f1)
        [[ ", $depends," == *", $owner "* || ", $depends," == *", $owner,"* ]] ||
            fail "$elf links $lib from $owner, which Depends ($depends) does not name"
    done
done
echo "Depends: $depends"

# The installed host, with the plug-in it finds itself, against the installed simulator.
rxp-sim --link "$work/line" --baud 0 >"$work/sim.out" 2>&1 &
sim=$!
for _ in $(seq 100); do
    [[ -e "$work/line" ]] && break
    sleep 0.1
done
[[ -e "$work/line" ]] || fail "rxp-sim made no line: $(cat "$work/sim.out")"
timeout 30 rxp-host --port "$work/line" --baud 0 --cycles 1 --timeout 2 \
    --history "$work/history.db" >"$work/host.out" 2>&1 ||
    fail "rxp-host did not complete a cycle: $(cat "$work/host.out")"
tail -1 "$work/host.out"
rxp-record --db "$work/history.db" >"$work/record.out" || fail "rxp-record: $(cat "$work/record.out")"
grep -q 'device_id' "$work/record.out" || fail "rxp-record shows no record: $(cat "$work/record.out")"

said=$(systemd-analyze verify /usr/lib/systemd/system/rxp-host@.service 2>&1) ||
    fail "systemd-analyze verify: $said"
[[ -z "$said" ]] || fail "systemd-analyze verify: $said"
echo "rxp-host@.service: systemd-analyze verify is content"

dpkg --purge rxp517-t36b2 >/dev/null
for file in /usr/bin/rxp-host /usr/lib/libsmdhost.so /usr/lib/smd/plugins/rxp517_t36b2.so \
    /usr/lib/systemd/system/rxp-host@.service; do
    [[ ! -e "$file" ]] || fail "$file is still there after dpkg -r"
done
echo "removed"

echo "== ${tarballs[0]}"
tar -xzf "${tarballs[0]}" -C "$work"
top="$work/$(basename "${tarballs[0]}" .tar.gz)"
for file in rxp517_t36b2.so rxp517_t36b2.so.sha256 VERSION NEEDS.txt; do
    [[ -f "$top/$file" ]] || fail "the tarball lacks $file"
done
(cd "$top" && sha256sum -c rxp517_t36b2.so.sha256) || fail "the SHA-256 does not match"
[[ "$(cat "$top/VERSION")" == "$version" ]] || fail "VERSION is $(cat "$top/VERSION"), not $version"
so="$top/rxp517_t36b2.so"
# (Outputs are read whole: grep -q leaving a pipe early would fail it under pipefail.)
header=$(readelf -h "$so")
grep -q 'Machine: *MIPS' <<<"$header" || fail "the plug-in is not a MIPS object"
grep -q 'little endian' <<<"$header" || fail "the plug-in is not little-endian"
! grep -q '\.symtab' <<<"$(readelf -S "$so")" || fail "the plug-in is not stripped"
grep -qxF "rxp517_t36b2 version $version" <<<"$(strings "$so")" || fail "strings finds no version"
exported=$(readelf --dyn-syms -W "$so" | awk '$5 == "GLOBAL" && $7 != "UND" {print $8}')
[[ "$exported" == "get_providers" ]] || fail "the plug-in exports: $exported"
for need in libc.so.6 libstdc++.so.6 libjsoncpp GLIBC_2. GLIBCXX_3.4 get_ttime; do
    grep -qF "$need" "$top/NEEDS.txt" || fail "NEEDS.txt does not mention $need"
done
echo "$(basename "$top"): SHA-256, version, stripped mipsel, get_providers only, NEEDS.txt"
echo "test-package: all good"
