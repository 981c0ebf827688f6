#!/usr/bin/env bash
# The transcripts of the documents against the programs: every "$ tarvik-host ..." line in a
# block of docs/host.md is run against a simulator (--pty --pattern, reset before each command)
# and what it prints must be what the block shows below it, times, latencies and the
# simulator's port aside; a block line "..." ends the part that is compared. The first sh block
# of the README's "Using the pieces" is run as printed (its port 7000 swapped for a free one),
# in a folder where build/ is the build tree, and must succeed.
#
#   bash scripts/doc-transcripts.sh --host PATH --sim PATH
set -euo pipefail
source "$(dirname "$0")/common.sh"

while [ $# -gt 0 ]; do
    case $1 in
    --host) host=$(realpath "$2"); shift 2 ;;
    --sim) sim=$(realpath "$2"); shift 2 ;;
    -h | --help) script_usage; exit 0 ;;
    *) script_usage >&2; exit 2 ;;
    esac
done
[ -n "${host:-}" ] && [ -n "${sim:-}" ] || { script_usage >&2; exit 2; }
export TZ=${TZ:-:/etc/localtime} LC_ALL=C.UTF-8
PATH=$(dirname "$host"):$PATH
export PATH

work=$(mktemp -d)
announce=$work/sim.out
sim_pid=
udp= # set by start_simulator
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
start_simulator "$sim" --port 0 --control-port 0 --pty --pattern ||
    { echo "the simulator did not start" >&2; exit 1; }
control=$(sed -n 's/^control //p' "$announce")

control() {
    sim_control "$control" "$@"
}

# What may differ from run to run: time stamps, latencies, the build's date and paths.
normalized() {
    sed -E -e 's/[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]+[+-][0-9]{2}:[0-9]{2}/TIME/g' \
        -e 's/[0-9]+(\.[0-9]+)? (ms|s)\b/N \2/g' \
        -e 's/"latency_ms":[0-9.]+/"latency_ms":N/g' \
        -e 's/"(median|p95)":[0-9.]+/"\1":N/g' \
        -e 's/\b(min|median|p90|p95|p99|max) [0-9.]+/\1 N/g' \
        -e 's/^(TIME,[^,]*,[^,]*,[^,]*,[0-9]+,[^,]*),[0-9.]+,/\1,N,/' \
        -e "s/${udp//./\\.}/127.0.0.1:7000/g"
}

failed=0
# check WHERE COMMAND EXPECTED_FILE: runs the command and compares.
check() {
    local where=$1 command=$2 expected=$3 lines
    control faults
    control reset
    (cd "$TARVIK_ROOT" && timeout 30 bash -c "${command//127.0.0.1:7000/$udp}") >"$work/actual" 2>&1 ||
        true
    if [ "$(tail -n 1 "$expected")" = "..." ]; then
        lines=$(($(wc -l <"$expected") - 1))
        sed -i '$d' "$expected"
        head -n "$lines" "$work/actual" >"$work/actual.head"
        mv "$work/actual.head" "$work/actual"
    fi
    if diff -u <(normalized <"$expected") <(normalized <"$work/actual") >"$work/diff"; then
        echo "  as shown: $where \$ $command"
    else
        echo "FAILED: $where \$ $command prints otherwise:" >&2
        cat "$work/diff" >&2
        failed=1
    fi
}

echo "== docs/host.md"
# Each "$ tarvik-host" line of a block with the lines under it, into numbered files.
mkdir -p "$work/cases"
awk -v out="$work/cases" '
    /^```/ { inside = !inside; n_open = 0; next }
    inside && /^\$ tarvik-host / { n++; print FNR > (out "/" n ".where");
        print substr($0, 3) > (out "/" n ".command"); printf "" > (out "/" n ".expected"); open_ = 1; next }
    inside && /^\$ / { open_ = 0; next }
    inside && open_ { print > (out "/" n ".expected") }
    !inside { open_ = 0 }' "$TARVIK_ROOT/docs/host.md"
count=0
for command in "$work"/cases/*.command; do
    case=${command%.command}
    check "docs/host.md:$(cat "$case.where")" "$(cat "$command")" "$case.expected"
    count=$((count + 1))
done
[ $count -gt 5 ] || { echo "FAILED: only $count transcripts found in docs/host.md" >&2; failed=1; }

echo "== README.md, Using the pieces"
kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
sim_pid=
# A port that was free a moment ago stands in for 7000.
start_simulator "$sim" --port 0 --control-port 0 || { echo "the simulator did not start" >&2; exit 1; }
port=${udp##*:}
kill "$sim_pid" && wait "$sim_pid" 2>/dev/null || true
sim_pid=
mkdir -p "$work/readme"
ln -s "$(dirname "$(dirname "$host")")" "$work/readme/build"
ln -s "$TARVIK_ROOT/docs" "$work/readme/docs"
awk '/^## Using the pieces/ { section = 1 }
     section && /^```sh/ { inside = 1; next }
     inside && /^```/ { exit }
     inside { print }' "$TARVIK_ROOT/README.md" | sed "s/7000/$port/g" >"$work/readme/pieces.sh"
# The block starts a simulator in the background and stops it on its last line: one that fails
# before then, or runs out of time, stops it on the way out.
sed -i "1i trap 'kill \$(jobs -p) 2>/dev/null || true' EXIT" "$work/readme/pieces.sh"
grep -q tarvik-sim "$work/readme/pieces.sh" || { echo "FAILED: no simulator line in the README's block" >&2; failed=1; }
if (cd "$work/readme" && timeout 120 bash -e pieces.sh) >"$work/readme.out" 2>&1; then
    echo "  the block runs as printed ($(grep -c . "$work/readme/pieces.sh") lines)"
else
    echo "FAILED: the README's block fails as printed:" >&2
    tail -n 30 "$work/readme.out" >&2
    failed=1
fi

[ $failed -eq 0 ] && echo "The transcripts of docs/host.md and the README's commands hold."
exit $failed
