#!/usr/bin/env bash
# Checks the built man pages:
#  - groff (-ww, every warning) and man (--warnings) have nothing to say about any page;
#  - every page has NAME, SYNOPSIS, DESCRIPTION, OPTIONS, FILES, EXIT STATUS, EXAMPLES and
#    SEE ALSO, and SEE ALSO does not name the page itself;
#  - every option a tool's --help lists is an entry of its page's OPTIONS (entries for options
#    the tool does not have are named, not failed).
#
# Usage: check-pages.sh MAN_DIR RXP_HOST RXP_SIM RXP_RECORD
set -uo pipefail
export LC_ALL=C.UTF-8

man_dir=$1
declare -A tool=([rxp-host]=$2 [rxp-sim]=$3 [rxp-record]=$4)
pages=(rxp-host.1 rxp-sim.1 rxp-record.1 rxp-host.conf.5)
failures=0
fail() {
    echo "man pages: $*" >&2
    failures=$((failures + 1))
}

# A page as plain text, wide enough that no entry wraps, without its head and foot lines (they
# name the page).
render() {
    groff -man -Tascii -P-cbou -rLL=250n "$1" 2>/dev/null |
        awk 'NF { if (seen) print held; held = $0; seen = 1; next } seen { held = held "\n" }' | sed 1d
}

# The lines of one section of the rendered page (headings stand at the left margin).
section() {
    awk -v want="$2" '/^[A-Z]/ { inside = ($0 == want); next } inside' <<<"$1"
}

for page in "${pages[@]}"; do
    file="$man_dir/$page"
    [[ -s "$file" ]] || { fail "$file was not built"; continue; }

    said=$(groff -ww -man -z "$file" 2>&1)
    [[ -z "$said" ]] || fail "$page: groff -ww: $said"
    said=$(MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null)
    [[ -z "$said" ]] || fail "$page: man --warnings: $said"

    text=$(render "$file")
    for heading in NAME SYNOPSIS DESCRIPTION OPTIONS FILES "EXIT STATUS" EXAMPLES "SEE ALSO"; do
        grep -qx "$heading" <<<"$text" || fail "$page: no section $heading"
    done
    name=${page%.*}
    number=${page##*.}
    if section "$text" "SEE ALSO" | grep -qF "$name($number)"; then
        fail "$page: SEE ALSO names the page itself"
    fi
done

for name in rxp-host rxp-sim rxp-record; do
    file="$man_dir/$name.1"
    [[ -s "$file" ]] || continue
    help=$("${tool[$name]}" --help) || { fail "$name --help failed"; continue; }
    # The option table: an entry starts two spaces in ("  --port DEVICE", "  -h [ --help ]");
    # the lines of the text before it and wrapped descriptions stand elsewhere.
    listed=$(sed -nE 's/^  (-[[:alnum:]] \[ )?(--[[:alnum:]][[:alnum:]-]*).*/\2/p' <<<"$help" | sort -u)
    [[ -n "$listed" ]] || { fail "$name --help lists no option"; continue; }
    # The page's entries: the lines of OPTIONS that start with a dash at the entry indent.
    documented=$(section "$(render "$file")" OPTIONS |
        grep -E '^ {7}-' | grep -oE -- '--[[:alnum:]][[:alnum:]-]*' | sort -u)
    missing=$(comm -23 <(echo "$listed") <(echo "$documented"))
    extra=$(comm -13 <(echo "$listed") <(echo "$documented"))
    if [[ -n "$missing" ]]; then
        fail "$name.1 does not describe, in OPTIONS, what --help lists:" $missing
    else
        echo "$name: $(wc -l <<<"$listed") options in --help, each described in $name.1"
    fi
    # A page may run ahead of a build that lacks an option yet; said, not failed.
    [[ -z "$extra" ]] || echo "note: $name.1 describes options this $name does not have:" $extra
done

if ((failures)); then
    echo "man pages: $failures problem(s)" >&2
    exit 1
fi
echo "man pages: ${pages[*]}: no warnings, every section, every option"
