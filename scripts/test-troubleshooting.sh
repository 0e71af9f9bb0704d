#!/usr/bin/env bash
# The site guide's troubleshooting table against the tools: every row's cause that can be made
# to happen here is made to happen, and each message the row quotes (its `...` spans in the
# first column) must be in what the tools then print. A row this script does not know, or a
# known row gone from the table, fails the check too, so the table and the tools cannot drift
# apart. Rows that need a site (systemd, a real adapter, a controller) or quote no message are
# named below with the reason.
#
# In a quoted message, `...` stands for any text, a word in capitals (FILE, NAME, MODE) or a
# quoted name ('/dev/ttyUSB0') for the one of the case at hand, and a number for any number.
#
# Usage: scripts/test-troubleshooting.sh [BUILD_DIR]     (default build/default, already built)
# It needs root: the permission rows run the host as another user (setpriv). Without root it
# says so and exits 77, which ctest counts as skipped.
set -euo pipefail
if [[ $(id -u) != 0 ]]; then
    echo "test-troubleshooting: needs root, to run rxp-host as another user for the permission rows"
    exit 77
fi
cd "$(dirname "$0")/.."
root=$PWD
build=$(cd "${1:-build/default}" && pwd)
guide=docs/site-guide.md

scratch=$(mktemp -d /tmp/rxp-trouble.XXXXXX)
# The simulators a check started, by pid: the checks run in subshells, so the list is a file.
sims=$scratch/sims.pids
stop_sims() {
    [[ -f $sims ]] || return 0
    while read -r pid; do kill "$pid" 2>/dev/null || true; done <"$sims"
    rm -f "$sims"
}
# A user of the dialout group made for the check, on a machine where the group has none.
made_user=""
cleanup() {
    stop_sims
    [[ -z $made_user ]] || userdel "$made_user" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT
chmod 0755 "$scratch"
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
bin=$scratch/prefix/bin
cd "$scratch"

host() { "$bin/rxp-host" "$@" 2>&1 || echo "exit status $?"; }

# Starts rxp-sim with OPTIONS on the pseudo-terminal linked at LINK, and waits for the link.
sim() {
    local link=$1
    shift
    "$bin/rxp-sim" --link "$link" "$@" >"$link.log" 2>&1 &
    echo $! >>"$sims"
    local tries=0
    until [[ -e $link ]]; do
        ((++tries < 100)) || { echo "rxp-sim made no link $link" >&2; exit 1; }
        sleep 0.1
    done
}

as_user() {
    local user=$1
    shift
    setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups "$@" 2>&1 ||
        echo "exit status $?"
}

# --- the causes, one function a row -------------------------------------------------------
not_in_group() {
    sim grp-line --group dialout --mode 0660
    as_user nobody "$bin/rxp-host" --port grp-line --cycles 1
}

group_not_taken_up() {
    # A user the group database puts in dialout, run without its supplementary groups as a
    # process started before `usermod -aG` is.
    local member
    member=$(getent group dialout | cut -d: -f4 | cut -d, -f1)
    if [[ -z $member ]]; then
        member=rxp-doc-check
        useradd --system --no-create-home --no-user-group --gid nogroup --groups dialout \
            --shell /usr/sbin/nologin "$member"
        echo "$member" >"$scratch/made-user"
    fi
    sim grp2-line --group dialout --mode 0660
    as_user "$member" "$bin/rxp-host" --port grp2-line --cycles 1
}

owned_by_another() {
    sim own-line
    as_user nobody "$bin/rxp-host" --port own-line --cycles 1
}

port_is_a_file() {
    touch a-file
    host --port a-file --cycles 1
}

missing_folder() {
    sim dir-line
    host --port dir-line --cycles 1 --state DIR/state.json
}

settings_unusable() {
    sim set-line
    echo '{"deviceId": 3,' >broken.json
    host --port set-line --cycles 1 --settings broken.json
    host --port set-line --cycles 1 --settings missing.json
    mkdir -p a-folder
    host --port set-line --cycles 1 --settings a-folder
}

shared_device_id() {
    sim bus-line
    echo '{"deviceId": 4}' >one.json
    host --port bus-line --cycles 1 --deadline 10 --device 1=one.json --device 2=one.json
}

unknown_member() {
    sim unk-line
    echo '{"deviceId": 5, "devicId": 5}' >misspelt.json
    host --port unk-line --cycles 1 --settings misspelt.json
}

port_not_there() {
    host --port /dev/ttyUSB-not-there --cycles 1
}

plugin_missing() {
    sim plug-line
    host --port plug-line --cycles 1 --plugin "$scratch/lib/rxp517_t36b2.so"
}

libraries_left_behind() {
    mkdir -p alone
    cp "$bin/rxp-host" alone/
    alone/rxp-host --version 2>&1 || echo "exit status $?"
}

no_answer() {
    sim addr-line
    host --port addr-line --address 2 --cycles 1 --deadline 6 --trace
}

checksum() {
    sim sum-line --corrupt-every 3
    host --port sum-line --cycles 1 --deadline 20
}

short_reply() {
    sim short-line --short-every 3
    host --port short-line --cycles 1 --deadline 20
}

port_in_use() {
    sim use-line --mode 0666
    host --port use-line --cycles 3 --state first.json >first.out &
    local first=$!
    until [[ -e first.json ]]; do sleep 0.1; done
    host --port use-line --cycles 1
    wait "$first"
    # Another program's exclusive claim (TIOCEXCL, which root passes): the host run as another
    # user meets it.
    perl -e 'open(my $f, "+<", $ARGV[0]) or die; ioctl($f, 0x540C, 0) or die; sleep 30' \
        "$(readlink -f use-line)" &
    local holder=$!
    sleep 0.5
    as_user nobody "$bin/rxp-host" --port use-line --cycles 1
    kill "$holder"
}

unit_option_again() {
    RXP_HOST_CONF=/etc/rxp-host/ttyUSB0.conf host --port /dev/ttyUSB0 --state a.json \
        --metrics a.prom --state b.json
}

# --- the table's rows: a piece of the first column that names the row, and its check -------
# check:FUNCTION runs the cause; site:REASON and none:REASON are not run.
rows=(
    "add the user 'NAME' to the dialout group|check:not_in_group"
    "is in the dialout group, but this rxp-host runs without it|check:group_not_taken_up"
    "the port is owned by OWNER:GROUP|check:owned_by_another"
    "is a regular file, not a serial port|check:port_is_a_file"
    "folder 'DIR' does not exist|check:missing_folder"
    "cannot read settings file 'FILE'|check:settings_unusable"
    "have one device id|check:shared_device_id"
    "unknown member|check:unknown_member"
    "no such device|check:port_not_there"
    "cannot load plug-in|check:plugin_missing"
    "error while loading shared libraries|check:libraries_left_behind"
    "only \`->\` lines|check:no_answer"
    "lines that are not|none:quotes no message; the trace shows bytes, no words"
    "repeats the \`->\` line|none:quotes no message; an echoing adapter is hardware"
    "checksum expected XX got YY|check:checksum"
    "payload N bytes, step needs M|check:short_reply"
    "is in use by pid|check:port_in_use"
    "polls fail in bursts|none:quotes no message; another reader of the port takes bytes at random"
    "Failed to load environment files|site:systemd's own message, at the start of a unit"
    "stopped with status 2 and not restarted|none:quotes no message; systemd's restart policy"
    "the service gives --state itself|check:unit_option_again"
    "Watchdog timeout|site:systemd's watchdog, killing a frozen service"
    "GLIBCXX_3.4.21|site:needs a controller whose libstdc++ is older than GCC 5's"
)

# The table: lines from the header under "## Troubleshooting" to the first blank line.
mapfile -t table < <(awk '/^## Troubleshooting/ {on = 1; next} on && /^\| Symptom/ {t = 1; next}
    t && /^\|---/ {next} t && /^\|/ {print; next} t {exit}' "$root/$guide")
[[ ${#table[@]} -gt 0 ]] || { echo "$guide: no troubleshooting table" >&2; exit 1; }

# A quoted message as a Perl pattern (see the head of this file).
pattern_of() {
    perl -e '
        my $m = shift; my $p = "";
        while (length $m) {
            if ($m =~ s/^\.\.\.//) { $p .= ".*" }
            elsif ($m =~ s/^\x27[^\x27]*\x27//) { $p .= "\x27[^\x27]*\x27" }
            elsif ($m =~ s/^[A-Z][A-Z_:]*(?![a-z])//) { $p .= "\\S+" }
            elsif ($m =~ s/^[0-9]+//) { $p .= "[0-9]+" }
            else { $m =~ s/^(.)//s; $p .= quotemeta $1 }
        }
        print $p' -- "$1"
}

failed=0
checked=0
named=0
seen=()
for line in "${table[@]}"; do
    symptom=$(printf '%s\n' "$line" | awk -F' \\| ' '{sub(/^\| /, "", $1); print $1}')
    match=""
    for row in "${rows[@]}"; do
        if [[ $symptom == *"${row%%|*}"* ]]; then
            [[ -z $match ]] || { echo "two checks fit the row: $symptom" >&2; failed=1; }
            match=$row
        fi
    done
    if [[ -z $match ]]; then
        echo "FAIL row without a check in $0: $symptom"
        failed=1
        continue
    fi
    seen+=("${match%%|*}")
    action=${match#*|}
    case $action in
    site:* | none:*)
        echo "not provoked here (${action%%:*}: ${action#*:}): $symptom"
        named=$((named + 1))
        continue
        ;;
    esac
    output=$(${action#check:} 2>&1) || true
    stop_sims
    [[ ! -f $scratch/made-user ]] || made_user=$(cat "$scratch/made-user")
    mapfile -t quoted < <(printf '%s\n' "$symptom" | grep -o '`[^`]*`' | tr -d '`')
    row_ok=1
    [[ ${#quoted[@]} -gt 0 ]] || { echo "FAIL the row quotes no message to check: $symptom"; row_ok=0; }
    for message in "${quoted[@]}"; do
        # A span that is only the trace's arrow is the trace's, not a message.
        [[ $message == "->" || $message == "<-" ]] && continue
        pattern=$(pattern_of "$message")
        [[ -n $pattern ]] || { echo "cannot read the row's message: $message" >&2; exit 1; }
        if ! printf '%s\n' "$output" | perl -ne "BEGIN { \$p = shift } \$f = 1 if /\$p/; END { exit !\$f }" \
            -- "$pattern"; then
            echo "FAIL the row quotes \`$message\`, the tools print:"
            printf '%s\n' "$output" | grep -v ' -> \| <- ' | sed 's/^/    /' | head -n 12
            row_ok=0
        fi
    done
    if ((row_ok)); then
        echo "ok   ${action#check:}: $symptom"
        checked=$((checked + 1))
    else
        failed=1
    fi
done
for row in "${rows[@]}"; do
    key=${row%%|*}
    found=0
    for s in "${seen[@]}"; do [[ $s == "$key" ]] && found=1; done
    ((found)) || { echo "FAIL no row of the table says \"$key\" any more"; failed=1; }
done
echo "troubleshooting table: ${#table[@]} rows, $checked checked against the tools, $named not provoked here"
exit "$failed"
