#!/usr/bin/env bash
# Runs the commands of the documents as written: every shell block of the site guide (the field
# case among them) and of the README's first run, against the tools of the default build and
# the simulator. Run as root on a fresh Debian 12 machine: missing packages are installed first.
#
# A shell block is a fence opened with ```sh. The line right before it says what it is:
#   <!-- test-docs: run -->              run here, in order, in one shell per document
#   <!-- test-docs: site: REASON -->     needs a real site (systemd, a serial port); not run
# A shell block without one of them, or a mark without a block, fails the check.
#
# The site guide's blocks run in an empty folder with the tools installed (cmake --install) into
# a temporary prefix first on PATH, as a package puts them on a site's PATH; the README's in the
# checkout, as its reader runs them. A block fails the check when a command in it fails
# (bash -e -o pipefail); a command the guide expects to fail says so itself (|| echo ...).
#
# Usage: scripts/test-docs.sh           run them
#        scripts/test-docs.sh --list    print what would run and what is left to a site
# RXP_DOCS_BIN=DIR takes the site guide's tools from DIR (another build tree) instead of
# installing build/default.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=build/default
documents=(docs/site-guide.md README.md)

# Writes DOCUMENT's runnable blocks as one script on standard output (or, with --list, a line
# per block); fails naming the line of an unmarked block or a stray mark.
extract() {
    local mode=$1 document=$2
    awk -v doc="$document" -v mode="$mode" '
        function problem(text) { printf "%s:%d: %s\n", doc, NR, text > "/dev/stderr"; bad = 1 }
        inside {
            if ($0 ~ /^```[[:space:]]*$/) { inside = 0; kind = ""; next }
            if (mode == "script" && kind == "run") print
            next
        }
        /^```/ {
            shell = ($0 ~ /^```(sh|bash|shell|console)[[:space:]]*$/)
            if (shell && kind == "") problem("shell block without a test-docs mark")
            if (!shell && kind != "") problem("test-docs mark before a block that is not ```sh")
            if (kind == "run") {
                runs++
                if (mode == "script") printf "__block %s:%d\n", doc, NR
                else printf "run   %s:%d\n", doc, NR
            } else if (kind == "site") {
                sites++
                if (mode == "list") printf "site  %s:%d  %s\n", doc, NR, reason
            }
            inside = 1
            if (!shell) kind = ""
            next
        }
        kind != "" { problem("test-docs mark not right before a ```sh block"); kind = "" }
        /^<!-- test-docs: run -->$/ { kind = "run"; next }
        /^<!-- test-docs: site: .* -->$/ {
            kind = "site"; reason = $0
            sub(/^<!-- test-docs: site: /, "", reason); sub(/ -->$/, "", reason)
            next
        }
        /test-docs:/ { problem("unknown test-docs mark: " $0) }
        END {
            if (inside) problem("block not closed")
            if (runs == 0) problem("no runnable block")
            if (mode == "list") printf "%s: %d blocks run, %d left to a site\n", doc, runs, sites
            exit bad
        }' "$document"
}

if [[ "${1:-}" == "--list" ]]; then
    for document in "${documents[@]}"; do extract list "$document"; done
    exit 0
fi

started=$SECONDS
scripts/install-deps.sh gnuplot-nox
[[ -f "$build/CMakeCache.txt" ]] || cmake --preset default >/dev/null
cmake --build "$build" --target rxp517_t36b2 rxp-sim rxp-host rxp-record rxp_man_pages >/dev/null

scratch=$(mktemp -d /tmp/rxp-docs.XXXXXX)
cleanup() { rm -rf "$scratch"; }
trap cleanup EXIT
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
tools=${RXP_DOCS_BIN:-$scratch/prefix/bin}

# Runs one document's script in a shell of its own, in FOLDER, and ends whatever it left
# running in the background (a simulator after a failed command) by the ids that shell gave.
run_document() {
    local document=$1 folder=$2
    local script=$scratch/$(basename "$document").sh
    extract script "$document" >"$scratch/blocks"
    {
        echo 'set -e -o pipefail'
        echo '__block() { printf "\n== %s\n" "$1"; }'
        echo 'trap '\''for p in $(jobs -p); do kill "$p" 2>/dev/null || true; done'\'' EXIT'
        sed -e 's/^__block \(.*\)/__block "\1"/' "$scratch/blocks"
    } >"$script"
    local log=$scratch/$(basename "$document").log
    if ! (cd "$folder" && HOME=$scratch/home timeout 600 bash "$script") >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "test-docs: a command of $document failed: the last == line above names its block" >&2
        exit 1
    fi
    grep '^== ' "$log"
}

mkdir -p "$scratch/home" "$scratch/site"
PATH=$tools:$PATH MANPATH=$scratch/prefix/share/man run_document docs/site-guide.md "$scratch/site"
run_document README.md "$root"

for document in "${documents[@]}"; do extract list "$document" | tail -n 1; done
echo "test-docs: every runnable command passed in $((SECONDS - started)) s"
