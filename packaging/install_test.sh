#!/usr/bin/env bash
# Installs the build into a temporary prefix and runs the installed programs from there with an
# empty environment: the layout, --version, libsmdhost.so.0 found through the install RUNPATH in
# the private folder (and no unversioned libsmdhost.so), the installed rxp-host polling the
# installed rxp-sim for a cycle with the plug-in it finds itself, in the build's install folder
# and in the private folder where the Debian package puts it, the same from the build tree, and
# the service unit through systemd-analyze when it is there.
#
# Usage: install_test.sh CMAKE BUILD_DIR
set -euo pipefail

cmake=$1
build=$2
version=$(cat "$build/version.txt")
prefix=$(mktemp -d /tmp/rxp-install.XXXXXX)
sim=""
cleanup() {
    if [[ -n "$sim" ]]; then kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; fi
    rm -rf "$prefix"
}
trap cleanup EXIT
fail() {
    echo "install test: $*" >&2
    exit 1
}

"$cmake" --install "$build" --prefix "$prefix" >/dev/null

private=$(cd "$prefix" && echo lib*/rxp517-t36b2)
for file in bin/rxp-host bin/rxp-sim bin/rxp-record "$private/libsmdhost.so.0" \
    lib/smd/plugins/rxp517_t36b2.so lib/systemd/system/rxp-host@.service \
    share/man/man1/rxp-host.1.gz share/man/man1/rxp-sim.1.gz share/man/man1/rxp-record.1.gz \
    share/doc/rxp517-t36b2/README.md share/doc/rxp517-t36b2/examples/settings.json \
    share/doc/rxp517-t36b2/examples/rxp-host.conf \
    share/doc/rxp517-t36b2/examples/site-units.json; do
    [[ -f "$prefix/$file" ]] || fail "$file is not installed"
done

for tool in rxp-host rxp-sim rxp-record; do
    said=$(env -i "$prefix/bin/$tool" --version) || fail "$tool --version failed"
    [[ "$said" == "$tool (rxp517_t36b2) $version" ]] || fail "$tool --version says '$said'"
done
LC_ALL=C grep -qaF "rxp517_t36b2 version $version" "$prefix/lib/smd/plugins/rxp517_t36b2.so" ||
    fail "the installed plug-in does not carry version $version"

[[ -z "$(find "$prefix" -name 'libsmdhost.so')" ]] || fail "an unversioned libsmdhost.so is installed"
libraries=$(env -i ldd "$prefix/bin/rxp-host")
grep -qF "libsmdhost.so.0 => $prefix/bin/../$private/libsmdhost.so.0" <<<"$libraries" ||
    fail "rxp-host does not find libsmdhost.so.0 in $prefix/$private: $libraries"

"$prefix/bin/rxp-sim" --link "$prefix/line" --baud 0 >"$prefix/sim.out" 2>&1 &
sim=$!
for _ in $(seq 100); do
    [[ -e "$prefix/line" ]] && break
    sleep 0.1
done
[[ -e "$prefix/line" ]] || fail "rxp-sim made no line: $(cat "$prefix/sim.out")"

# One cycle, no --plugin: the installed host takes the installed plug-in (where the build installs
# it, then where the Debian package does), the build tree's host the one built beside it.
for host in "$prefix/bin/rxp-host" private "$build/rxp-host"; do
    if [[ "$host" == private ]]; then
        mv "$prefix/lib/smd/plugins/rxp517_t36b2.so" "$prefix/$private/"
        host="$prefix/bin/rxp-host"
    fi
    rm -f "$prefix/events.jsonl"
    timeout 30 env -i "$host" --port "$prefix/line" --baud 0 --cycles 1 --timeout 2 \
        --events "$prefix/events.jsonl" >"$prefix/host.out" 2>&1 ||
        fail "$host did not complete a cycle: $(cat "$prefix/host.out")"
    grep -q '"event":"publish"' "$prefix/events.jsonl" || fail "$host published no record"
done

# Without its plug-in, the installed host names where it looked.
mv "$prefix/$private/rxp517_t36b2.so" "$prefix/moved.so"
if env -i "$prefix/bin/rxp-host" --port "$prefix/line" --cycles 1 >"$prefix/host.out" 2>&1; then
    fail "rxp-host ran without its plug-in"
fi
grep -qF "$prefix/$private/rxp517_t36b2.so" "$prefix/host.out" ||
    fail "rxp-host without its plug-in says: $(cat "$prefix/host.out")"

if command -v systemd-analyze >/dev/null; then
    # Checks the unit's keys, that ExecStart is executable and that man:rxp-host(1) is found.
    unit="$prefix/lib/systemd/system/rxp-host@.service"
    grep -qF "ExecStart=$prefix/bin/rxp-host " "$unit" || fail "the unit does not start $prefix/bin/rxp-host"
    said=$(MANPATH="$prefix/share/man" systemd-analyze verify "$unit" 2>&1) ||
        fail "systemd-analyze verify: $said"
    [[ -z "$said" ]] || fail "systemd-analyze verify: $said"
else
    echo "install test: systemd-analyze not found, service unit not checked"
fi
echo "install test: $prefix: layout, versions, RUNPATH, a cycle without --plugin: all good"
