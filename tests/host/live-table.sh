#!/usr/bin/env bash
# The live table of tarvik-host poll as a user sees it: in a tmux window of 80x24, then resized
# to 200x50, polling 30 tags with long names from the simulator. At each size the table must fit
# (no line wider than the window, the header on the first line and never in the scrollback, the
# tags beyond the window's height counted on a "+N more" line), and after the device stops
# answering properly the last good values stay, marked stale, and the drop of the link shows
# beneath the table without scrolling it. Ctrl-C leaves the whole table and
# the counts on the normal screen.
#
#   bash tests/host/live-table.sh --host PATH --sim PATH
#
# Prints SKIPPED (and exits 0) where tmux is missing.
set -euo pipefail
source "$(dirname "$0")/../../scripts/common.sh"

while [ $# -gt 0 ]; do
    case $1 in
    --host) host=$2; shift 2 ;;
    --sim) sim=$2; shift 2 ;;
    *) echo "usage: $0 --host PATH --sim PATH" >&2; exit 2 ;;
    esac
done
command -v tmux >/dev/null || { echo "SKIPPED: tmux is not installed"; exit 0; }
export LC_ALL=C.UTF-8 TZ=${TZ:-:/etc/localtime}

work=$(mktemp -d)
socket=$work/tmux.socket
sim_pid=
cleanup() {
    tmux -S "$socket" kill-server 2>/dev/null || true
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

"$sim" --port 0 --control-port 0 --pattern >"$work/sim.out" &
sim_pid=$!
for _ in $(seq 200); do
    grep -q '^ready' "$work/sim.out" && break
    sleep 0.05
done
udp=$(sed -n 's/^udp //p' "$work/sim.out")
control=$(sed -n 's/^control //p' "$work/sim.out")
[ -n "$udp" ] && [ -n "$control" ] || { echo "the simulator did not start" >&2; exit 1; }

for i in $(seq 1 30); do
    echo "boiler_house_inlet_temperature_sensor_$i,AI$i,Int16,4"
done >"$work/tags.csv"

failed=0
fail() {
    echo "FAILED: $*" >&2
    failed=1
}

# The window as the user sees it, wrapped lines joined (a wrapped line would show as too wide).
screen() {
    tmux -S "$socket" capture-pane -p -J -t table
}

# wait_for PATTERN: until the window shows it, at most 10 s.
wait_for() {
    for _ in $(seq 100); do
        screen | grep -E -- "$1" >/dev/null && return 0
        sleep 0.1
    done
    fail "the window never showed /$1/:"
    screen >&2
    return 1
}

control() {
    sim_control "$control" "$@"
}

# check_fits WIDTH HEIGHT: the window holds one table that fits it.
check_fits() {
    local width=$1 height=$2 shown
    shown=$(screen)
    local widest
    widest=$(wc -L <<<"$shown")
    [ "$widest" -le "$width" ] || fail "at ${width}x$height a line is $widest characters wide"
    [ "$(head -n 1 <<<"$shown" | cut -c1-3)" = TAG ] || fail "at ${width}x$height the header is not on the first line"
    local headers
    headers=$(tmux -S "$socket" capture-pane -p -J -S - -t table | grep -c '^TAG ' || true)
    [ "$headers" -eq 1 ] || fail "at ${width}x$height the header shows $headers times with the scrollback"
    local rows
    rows=$(grep -c '^boiler' <<<"$shown" || true)
    if [ "$rows" -lt 30 ]; then
        grep -qE "^\+$((30 - rows)) more *$" <<<"$shown" ||
            fail "at ${width}x$height $rows of 30 tags show and no '+$((30 - rows)) more' line"
    fi
    [ "$(wc -l <<<"$shown")" -lt "$height" ] || fail "at ${width}x$height the table fills the last line"
}

tmux -S "$socket" new-session -d -s table -x 80 -y 24 \
    "'$host' poll --tags '$work/tags.csv' --connect $udp --interval 100; echo exit status \$?; sleep 30"
tmux -S "$socket" set-option -t table window-size manual >/dev/null 2>&1 || true

echo "== 80x24"
wait_for '^\+[0-9]+ more *$' && check_fits 80 24
screen | grep '…' >/dev/null || fail "at 80x24 no long tag name is cut with an ellipsis"
screen | sed 's/^/  /'

echo "== 80x24, the device answers with wrong sequence bytes"
control "faults --wrong-seq"
wait_for 'stale: ' && check_fits 80 24
# The drop of the link is told beneath the table, within the window, not over it.
wait_for '^link to .* dropped .*; connecting again' && check_fits 80 24
screen | sed 's/^/  /'
control "faults"

echo "== resized to 200x50"
tmux -S "$socket" resize-window -t table -x 200 -y 50
wait_for 'sensor_30 ' && check_fits 200 50
screen | grep -E "^\+[0-9]+ more" >/dev/null && fail "at 200x50 the tags do not all show"
screen | grep '^boiler' | grep '…' >/dev/null && fail "at 200x50 a tag name is still cut"
screen | sed 's/^/  /'

echo "== Ctrl-C"
tmux -S "$socket" send-keys -t table C-c
wait_for '^exit status [0-9]+$'
screen | grep -E '^polls [0-9]+, answers' >/dev/null || fail "no counts after Ctrl-C"
tmux -S "$socket" capture-pane -p -S - -t table | tee "$work/final" | grep "^TAG " >/dev/null ||
    { fail "the last table is not left on the normal screen:"; cat "$work/final" >&2; }
screen | tail -n 8 | sed 's/^/  /'

[ $failed -eq 0 ] && echo "The live table fits 80x24 and 200x50 and follows the resize."
exit $failed
