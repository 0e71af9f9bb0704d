#!/usr/bin/env bash
# Makes the packages (scripts/package.sh) and checks them as a site would get them:
#   Debian package: installed with dpkg -i; lintian finds no error and no warning; every program
#     says the build's version; `man rxp-host` works; Depends names the Debian package of every
#     library linked; the private libraries need no ldconfig; rxp-host@.service passes
#     systemd-analyze verify and rates at most 1.0 with systemd-analyze security.
#   The service's command line, from the unit and the shipped conffile, under the unit's
#     restrictions: with systemd as PID 1 the unit itself runs (one instance on a simulator's
#     pseudo-terminal); without it, as the unit's user with the dialout group, no capabilities,
#     no new privileges and no network, its system calls recorded with strace and checked
#     against the unit's SystemCallFilter, RestrictAddressFamilies, MemoryDenyWriteExecute and
#     ProtectSystem=strict (writes only to its own folders and the port).
#   Monitoring: promtool check metrics on the instance's metrics; promtool test rules on the
#     shipped alerting rules; prometheus-node-exporter on 127.0.0.1 serving the series of two
#     instances side by side.
#   Rotation: logrotate -f with /etc/logrotate.d/rxp-host while the instance runs, then SIGHUP:
#     it goes on, and every record it published is in the rotated or the new events file.
#   Removal: dpkg -r stops and disables the instances; dpkg --purge removes their state.
#   Controller tarballs (both std::string ABIs): SHA-256, version, stripped mipsel plug-in
#     exporting get_providers only, NEEDS.txt, CONTROLLER-GUIDE.txt.
# Run as root on a fresh Debian 12 machine (it installs what it needs). Leaves the package purged;
# a package of the same name installed before is purged too. Takes about a minute beyond the
# packages' build.
#
# Usage: scripts/test-package.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/package.sh
scripts/install-deps.sh lintian man-db systemd logrotate prometheus prometheus-node-exporter \
    strace curl util-linux

version=$(cat build/debian/version.txt)
debs=(build/package/rxp517-t36b2_*.deb)
((${#debs[@]} == 1)) || { echo "test-package: expected one .deb, found: ${debs[*]}" >&2; exit 1; }

work=$(mktemp -d /tmp/rxp-package.XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
    for pid in ${pids[@]+"${pids[@]}"}; do kill "$pid" 2>/dev/null || true; done
    for pid in ${pids[@]+"${pids[@]}"}; do wait "$pid" 2>/dev/null || true; done
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
started=$SECONDS

echo "== ${debs[0]}"
lintian --fail-on error,warning "${debs[0]}" | tee "$work/lintian.txt" ||
    fail "lintian: $(cat "$work/lintian.txt")"
echo "lintian: $(grep -c '^E:' "$work/lintian.txt") errors, $(grep -c '^W:' "$work/lintian.txt") warnings"

dpkg -i "${debs[0]}"
[[ "$(dpkg-query -W -f '${Version}' rxp517-t36b2)" == "$version" ]] ||
    fail "the package's version is not $version"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
private=/usr/lib/$multiarch/rxp517-t36b2
for file in /usr/bin/rxp-host /usr/bin/rxp-sim /usr/bin/rxp-record "$private/libsmdhost.so.0" \
    "$private/rxp517_t36b2.so" /usr/lib/systemd/system/rxp-host@.service \
    /etc/rxp-host/example.conf /etc/rxp-host/example.json /etc/logrotate.d/rxp-host \
    /usr/share/doc/rxp517-t36b2/copyright /usr/share/doc/rxp517-t36b2/changelog.gz \
    /usr/share/doc/rxp517-t36b2/monitoring/rxp-host.rules.yml; do
    [[ -e "$file" ]] || fail "$file is not installed"
done
! dpkg -L rxp517-t36b2 | grep -E '/usr/lib/(smd|[^/]+\.so$)|\.so$' | grep -v "^$private/" ||
    fail "a library outside $private"
getent passwd rxp-host >/dev/null || fail "no user rxp-host"
id -nG rxp-host | grep -qw dialout || fail "rxp-host is not in the dialout group"

for tool in rxp-host rxp-sim rxp-record; do
    said=$("$tool" --version)
    [[ "$said" == "$tool (rxp517_t36b2) $version" ]] || fail "$tool --version says '$said'"
done
MANPAGER=cat MANWIDTH=80 man rxp-host >"$work/man.txt" 2>&1 || fail "man rxp-host: $(cat "$work/man.txt")"
grep -q -- '--plugin' "$work/man.txt" || fail "man rxp-host lacks the options"

# Every library linked, apart from the package's own libsmdhost.so.0, is named in Depends by the
# Debian package that holds it; the private ones are found through RUNPATH, without ldconfig.
depends=$(dpkg-query -W -f '${Depends}' rxp517-t36b2)
for elf in /usr/bin/rxp-host /usr/bin/rxp-sim /usr/bin/rxp-record "$private/libsmdhost.so.0" \
    "$private/rxp517_t36b2.so"; do
    libraries=$(ldd "$elf")
    ! grep -q 'not found' <<<"$libraries" || fail "$elf: $libraries"
    for lib in $(objdump -p "$elf" | awk '$1 == "NEEDED" {print $2}'); do
        [[ "$lib" == libsmdhost.so.0 ]] && continue
        path=$(awk -v lib="$lib" '$1 == lib && $2 == "=>" {print $3}
            $2 != "=>" {n = split($1, part, "/"); if (part[n] == lib) print $1}' <<<"$libraries")
        owner=$(dpkg -S "*/$multiarch/$(basename "$(readlink -f "$path")")" | head -1 | cut -d: -f1)
        [[ ", $depends," == *", $owner "* || ", $depends," == *", $owner,"* ]] ||
            fail "$elf links $lib from $owner, which Depends ($depends) does not name"
    done
done
found=$(ldd /usr/bin/rxp-host | awk '$1 == "libsmdhost.so.0" {print $3}')
[[ -n "$found" && "$(readlink -f "$found")" == "$private/libsmdhost.so.0" ]] ||
    fail "rxp-host does not find libsmdhost.so.0 in $private: $found"
echo "Depends: $depends"

unit=/usr/lib/systemd/system/rxp-host@.service
said=$(systemd-analyze verify "$unit" 2>&1) || fail "systemd-analyze verify: $said"
[[ -z "$said" ]] || fail "systemd-analyze verify: $said"
systemd-analyze security --offline=true "$unit" >"$work/security.txt" 2>&1 || true
score=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p' "$work/security.txt")
[[ -n "$score" ]] || fail "systemd-analyze security: $(cat "$work/security.txt")"
awk -v s="$score" 'BEGIN {exit !(s <= 1.0)}' || fail "systemd-analyze security rates the unit $score"
echo "rxp-host@.service: systemd-analyze security $score (at most 1.0)"

# A simulator on a pseudo-terminal that stands for a serial port: root:dialout 0660.
start_sim() {  # NAME: the link at $work/NAME
    rxp-sim --link "$work/$1" --baud 0 >"$work/$1.sim" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do [[ -e "$work/$1" ]] && break; sleep 0.1; done
    [[ -e "$work/$1" ]] || fail "rxp-sim made no line: $(cat "$work/$1.sim")"
    chgrp dialout "$(readlink -f "$work/$1")"
    chmod 660 "$(readlink -f "$work/$1")"
}
state_of() {  # FILE KEY: a number of the live state (0 while there is none)
    python3 -c 'import json,sys
try: print(json.load(open(sys.argv[1])).get(sys.argv[2], 0))
except Exception: print(0)' "$1" "$2"
}
wait_cycles() {  # FILE N [PID: the host, that must not end meanwhile]
    for _ in $(seq 300); do
        (($(state_of "$1" cycles) >= $2)) && return 0
        if [[ -n "${3:-}" ]] && ! kill -0 "$3" 2>/dev/null; then
            fail "rxp-host ended before $2 cycles (on SIGHUP instead of reopening its files?)"
        fi
        sleep 0.1
    done
    fail "$1: fewer than $2 cycles"
}

# The unit's command line with the shipped conffile's options, for one instance. The conffile's
# --interval 10 becomes 0.2 so that the test takes seconds.
options=$(sed -n 's/^RXP_HOST_OPTIONS=//p' /etc/rxp-host/example.conf)
[[ -n "$options" ]] || fail "example.conf sets no RXP_HOST_OPTIONS"
options=${options/--interval 10/--interval 0.2}
command_line() {  # PORT INSTANCE
    sed -n 's/^ExecStart=//p' "$unit" |
        sed -e "s|/dev/%I|$1|; s|%t|/run|g; s|%i|$2|g; s|\$RXP_HOST_OPTIONS|$options|"
}
mkdir -p /run/rxp-host && chmod 755 /run/rxp-host && chown rxp-host:rxp-host /run/rxp-host

start_sim line
if [[ -d /run/systemd/system ]]; then
    # The unit itself, on the pseudo-terminal (a pts device, allowed for this instance only).
    instance=$(systemd-escape --path "$(readlink -f "$work/line")")
    port=$(readlink -f "$work/line")
    echo "RXP_HOST_OPTIONS=$options" >"/etc/rxp-host/$instance.conf"
    mkdir -p "/run/systemd/system/rxp-host@$instance.service.d"
    printf '[Service]\nDeviceAllow=char-pts rw\n' >"/run/systemd/system/rxp-host@$instance.service.d/test.conf"
    systemctl daemon-reload
    systemctl start "rxp-host@$instance"
    state=/run/rxp-host/$instance.json
    metrics=/run/rxp-host/$instance.prom
    events=/var/lib/rxp-host/$instance/events.jsonl
    wait_cycles "$state" 3
    host_pid=$(systemctl show -p MainPID --value "rxp-host@$instance")
    echo "the unit runs under systemd: rxp-host@$instance"
else
    # The same command line as the unit's user, with dialout, no capabilities, no new
    # privileges and no network, in its state folder; its system calls recorded.
    instance=test-a
    port=$(readlink -f "$work/line")
    state=/run/rxp-host/$instance.json
    metrics=/run/rxp-host/$instance.prom
    mkdir -p "/var/lib/rxp-host/$instance"
    chown rxp-host:rxp-host /var/lib/rxp-host /var/lib/rxp-host/$instance
    events=/var/lib/rxp-host/$instance/events.jsonl
    read -ra argv <<<"$(command_line "$port" "$instance")"
    touch "$work/strace.txt" && chown rxp-host "$work/strace.txt"
    (cd "/var/lib/rxp-host/$instance" &&
        exec unshare --net setpriv --reuid rxp-host --regid rxp-host --init-groups \
            --inh-caps=-all --bounding-set=-all --no-new-privs \
            strace -f -qq -o "$work/strace.txt" -- "${argv[@]}") >"$work/host.out" 2>&1 &
    strace_pid=$!
    pids+=("$strace_pid")
    wait_cycles "$state" 3
    host_pid=$(ps -o pid= --ppid "$strace_pid" | head -1)
    echo "systemd is not PID 1: the unit's command line runs as rxp-host (dialout), no" \
        "capabilities, no new privileges, no network"
fi

# Rotation while it runs: what logrotate's postrotate does under systemd (SIGHUP to every
# instance), done here to the host itself when systemd does not run it.
before=$(state_of "$state" cycles)
logrotate -f -s "$work/logrotate.state" /etc/logrotate.d/rxp-host || fail "logrotate failed"
[[ -e "$events.1" ]] || fail "logrotate did not rotate $events"
[[ -d /run/systemd/system ]] || kill -HUP "$host_pid"
wait_cycles "$state" $((before + 3)) "$host_pid"
[[ -s "$events" ]] || fail "after SIGHUP nothing is written to the new $events"
if [[ -d /run/systemd/system ]]; then
    systemctl stop "rxp-host@$instance"
else
    kill -TERM "$host_pid"
    wait "$strace_pid" || fail "rxp-host under the restrictions: exit $?: $(tail -5 "$work/host.out")"
fi
published=$(cat "$events.1" "$events" | grep -c '"event":"publish"')
cycles=$(state_of "$state" cycles)
((published == cycles)) || fail "$cycles records published, $published in the events files"
echo "logrotate -f and SIGHUP: $cycles records, all in $events.1 and $events"

if [[ ! -d /run/systemd/system ]]; then
    # The recorded system calls against the unit's filter: every one in @system-service and in
    # neither @privileged nor @resources; sockets of AF_UNIX only; no writable and executable
    # memory; files written only in the instance's folders and the port.
    unit_filter() {  # GROUP: its system calls, one a line, the groups in it expanded
        local entry
        systemd-analyze syscall-filter "$1" | sed -n 's/^ \{4\}\([@a-z_0-9-]*\)$/\1/p' |
            while read -r entry; do
                if [[ "$entry" == @* ]]; then unit_filter "$entry"; else echo "$entry"; fi
            done
    }
    declare -A allowed=()
    for call in $(unit_filter @system-service); do allowed[$call]=1; done
    for call in $(unit_filter @privileged) $(unit_filter @resources); do unset "allowed[$call]"; done
    used=$(sed -n 's/^[0-9]* \{1,\}\([a-z_0-9]*\)(.*/\1/p' "$work/strace.txt" | sort -u)
    [[ -n "$used" ]] || fail "strace recorded nothing: $(head -3 "$work/strace.txt")"
    exec_seen=false
    for call in $used; do
        if [[ "$call" == execve ]]; then exec_seen=true; fi
        [[ -n "${allowed[$call]:-}" ]] || fail "rxp-host calls $call, which the unit's SystemCallFilter refuses"
    done
    $exec_seen || fail "strace did not see rxp-host start"
    ! grep -E 'socket\(AF_' "$work/strace.txt" | grep -v 'socket(AF_UNIX' ||
        fail "rxp-host opens sockets beside AF_UNIX"
    ! grep -E '(mmap|mprotect)\(.*PROT_WRITE\|PROT_EXEC|PROT_EXEC\|PROT_WRITE' "$work/strace.txt" ||
        fail "rxp-host maps memory writable and executable (MemoryDenyWriteExecute)"
    written=$(grep -E 'open(at)?\(.*(O_WRONLY|O_RDWR|O_CREAT)' "$work/strace.txt" |
        grep -v ' = -1 ' | sed -n 's/.*"\([^"]*\)".*/\1/p' | sort -u)
    for file in $written; do
        case "$file" in
        /run/rxp-host/* | "/var/lib/rxp-host/$instance/"* | "$port" | /dev/null) ;;
        /*) fail "rxp-host writes $file, read-only under ProtectSystem=strict" ;;
        *) ;;  # relative: in its folder, the working directory
        esac
    done
    echo "system calls: $(wc -w <<<"$used") distinct, all allowed by the unit's filter; AF_UNIX" \
        "only; no writable and executable memory; writes only to its folders and the port"
fi

# Monitoring: the metrics as Prometheus reads them, the alerting rules' tests, and node exporter
# serving this instance beside a second one.
promtool check metrics <"$metrics" || fail "promtool check metrics complains about $metrics"
echo "promtool check metrics: $metrics is clean"
cp /usr/share/doc/rxp517-t36b2/monitoring/rxp-host.rules.yml "$work/"
cp monitoring/rxp-host.rules.test.yml "$work/"
(cd "$work" && promtool test rules rxp-host.rules.test.yml) || fail "promtool test rules"

start_sim line2
port2=$(readlink -f "$work/line2")
timeout 60 rxp-host --port "$port2" --baud 0 --cycles 2 --interval 0 --settings /etc/rxp-host/example.json \
    --state /run/rxp-host/test-b.json --metrics /run/rxp-host/test-b.prom >"$work/host2.out" 2>&1 ||
    fail "the second instance: $(tail -3 "$work/host2.out")"
listen=127.0.0.1:$((20000 + RANDOM % 20000))
prometheus-node-exporter --web.listen-address="$listen" --collector.disable-defaults \
    --collector.textfile --collector.textfile.directory=/run/rxp-host >"$work/node.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    curl -sf "http://$listen/metrics" >"$work/scrape.txt" 2>/dev/null && break
    sleep 0.1
done
grep -q '^node_textfile_scrape_error 0' "$work/scrape.txt" ||
    fail "node exporter could not read /run/rxp-host: $(grep textfile "$work/scrape.txt" "$work/node.out")"
for p in "$port" "$port2"; do
    grep -qF "rxp_build_info{port=\"$p\",version=\"$version\"} 1" "$work/scrape.txt" ||
        fail "node exporter does not serve rxp_build_info of $p"
    grep -qE "^rxp_polls_total\{address=\"1\",device_id=\"1\",port=\"$p\"\} [1-9]" "$work/scrape.txt" ||
        fail "node exporter does not serve rxp_polls_total of $p"
done
echo "node exporter on $listen serves both instances: $(grep -c '^rxp_' "$work/scrape.txt") series"

# Removal: instances stopped and disabled; purge: their state gone.
wants=/etc/systemd/system/multi-user.target.wants
mkdir -p "$wants"
ln -sf "$unit" "$wants/rxp-host@$instance.service"
if [[ -d /run/systemd/system ]]; then
    systemctl daemon-reload
    systemctl start "rxp-host@$instance"
fi
dpkg -r rxp517-t36b2 >/dev/null
[[ ! -e "$wants/rxp-host@$instance.service" && ! -L "$wants/rxp-host@$instance.service" ]] ||
    fail "dpkg -r left rxp-host@$instance enabled"
if [[ -d /run/systemd/system ]]; then
    ! systemctl is-active -q "rxp-host@$instance" || fail "dpkg -r left rxp-host@$instance running"
fi
for file in /usr/bin/rxp-host "$private" "$unit"; do
    [[ ! -e "$file" ]] || fail "$file is still there after dpkg -r"
done
[[ -d "/var/lib/rxp-host/$instance" ]] || fail "dpkg -r removed the state (only purge should)"
dpkg --purge rxp517-t36b2 >/dev/null
for folder in /var/lib/rxp-host /run/rxp-host /etc/rxp-host/example.conf; do
    [[ ! -e "$folder" ]] || fail "$folder is still there after dpkg --purge"
done
if [[ -d /run/systemd/system ]]; then
    rm -rf "/etc/rxp-host/$instance.conf" "/run/systemd/system/rxp-host@$instance.service.d"
    rmdir --ignore-fail-on-non-empty /etc/rxp-host
    systemctl daemon-reload
fi
echo "dpkg -r: disabled and stopped; dpkg --purge: state gone"
echo "Debian package checked in $((SECONDS - started)) s"

# The controller tarballs, one per std::string ABI.
for abi in cxx11abi oldabi; do
    tarballs=(build/package/rxp517_t36b2-*-mipsel-linux-gnu-"$abi".tar.gz)
    ((${#tarballs[@]} == 1)) || fail "expected one $abi tarball: ${tarballs[*]}"
    echo "== ${tarballs[0]}"
    tar -xzf "${tarballs[0]}" -C "$work"
    top="$work/$(basename "${tarballs[0]}" .tar.gz)"
    for file in rxp517_t36b2.so rxp517_t36b2.so.sha256 VERSION NEEDS.txt CONTROLLER-GUIDE.txt; do
        [[ -f "$top/$file" ]] || fail "the tarball lacks $file"
    done
    (cd "$top" && sha256sum -c rxp517_t36b2.so.sha256) || fail "the SHA-256 does not match"
    [[ "$(cat "$top/VERSION")" == "$version" ]] || fail "VERSION is $(cat "$top/VERSION"), not $version"
    grep -q 'sha256sum -c' "$top/CONTROLLER-GUIDE.txt" || fail "the guide does not say how to check the copy"
    so="$top/rxp517_t36b2.so"
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
    # The ABI in the name is the plug-in's: C++11 signatures carry std::__cxx11.
    cxx11=$(readelf --dyn-syms -W "$so" | grep -c '__cxx11' || true)
    if [[ "$abi" == cxx11abi ]]; then ((cxx11 > 0)) || fail "the cxx11abi plug-in has no __cxx11 symbols"
    else ((cxx11 == 0)) || fail "the oldabi plug-in has __cxx11 symbols"; fi
    echo "$(basename "$top"): SHA-256, version, stripped mipsel, get_providers only, NEEDS.txt, guide"
done
echo "test-package: all good"
