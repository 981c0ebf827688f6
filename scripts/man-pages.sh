#!/usr/bin/env bash
# The manual pages of tarvik-host, tarvik-sim and tarvik-gateway are made by help2man from the
# programs' own --help and --version, with the sections --help has no place for (NAME, EXAMPLES,
# SEE ALSO; the gateway's topics, signals and files) from docs/man/*.h2m. --check (CI, the test man_pages) fails when a page in docs/man/ differs from
# what the built programs say; --write makes the pages anew after a change of --help.
#
#   bash scripts/man-pages.sh --check|--write [--host PATH] [--sim PATH] [--gateway PATH]
#
# PATHs default to the programs of build/. The pages' dates are left out of the comparison.
set -euo pipefail
source "$(dirname "$0")/common.sh"

mode=
host=$TARVIK_ROOT/build/bin/tarvik-host
sim=$TARVIK_ROOT/build/sim/tarvik-sim
gateway=$TARVIK_ROOT/build/bin/tarvik-gateway
while [ $# -gt 0 ]; do
    case $1 in
    --check | --write) mode=$1; shift ;;
    --host) host=$2; shift 2 ;;
    --sim) sim=$2; shift 2 ;;
    --gateway) gateway=$2; shift 2 ;;
    -h | --help) script_usage; exit 0 ;;
    *) script_usage >&2; exit 2 ;;
    esac
done
[ -n "$mode" ] || { script_usage >&2; exit 2; }
command -v help2man >/dev/null || { echo "help2man is missing: apt-get install help2man" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The changelog's date, so a page made twice from the same program is the same page.
export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$TARVIK_ROOT/packaging/debian/changelog" -S Timestamp 2>/dev/null || date +%s)

# Everything but the help2man version comment and the date on the .TH line.
comparable() {
    sed -e '/^\.\\" DO NOT MODIFY/d' -e 's/^\(\.TH [^ ]* "1"\) "[^"]*"/\1/' "$1"
}

status=0
for program in "$host" "$sim" "$gateway"; do
    name=$(basename "$program")
    page=$TARVIK_ROOT/docs/man/$name.1
    # No locale of the machine's may slip into the page.
    LC_ALL=C.UTF-8 help2man --no-info --section=1 --manual="User Commands" \
        --include="$TARVIK_ROOT/docs/man/$name.h2m" --output="$work/$name.1" "$program"
    if [ "$mode" = --write ]; then
        cp "$work/$name.1" "$page"
        echo "wrote $page"
    elif ! diff -u <(comparable "$page") <(comparable "$work/$name.1") >"$work/$name.diff"; then
        echo "docs/man/$name.1 does not match $name --help; bash scripts/man-pages.sh --write makes it anew:" >&2
        cat "$work/$name.diff" >&2
        status=1
    else
        echo "docs/man/$name.1 matches $name --help"
    fi
done
exit $status
