#!/usr/bin/env bash
# The main job: installs what is missing, builds, starts the controller simulator on loopback
# and drives the library through the host program, over UDP and over the simulator's
# pseudo-terminal.
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_packages "${TARVIK_PACKAGES[@]}"
BUILD_TARGETS="LibTarvik tarvik-host tarvik-sim" build_tree "$TARVIK_ROOT/build" -DTARVIK_SANITIZE=OFF

bin=$TARVIK_ROOT/build/bin
sim=$TARVIK_ROOT/build/sim/tarvik-sim
host=$bin/tarvik-host
export TZ=${TZ:-:/etc/localtime}

announce=$(mktemp)
"$sim" --port 0 --pty --pattern >"$announce" &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null; wait $sim_pid 2>/dev/null; rm -f "$announce"' EXIT
for _ in $(seq 100); do
    grep -q '^ready' "$announce" && break
    kill -0 $sim_pid 2>/dev/null || { echo "the simulator did not start" >&2; exit 1; }
    sleep 0.05
done
grep -q '^ready' "$announce" || { echo "the simulator did not announce itself" >&2; exit 1; }
udp=$(sed -n 's/^udp //p' "$announce")
pty=$(sed -n 's/^pty //p' "$announce")
echo "simulator: UDP $udp, serial $pty"

run() {
    echo
    echo "\$ tarvik-host $*"
    "$host" "$@"
}

run info
run connect "$udp"
run connect "$pty,9600,8,1"

# Tags of every type from the simulator's image, over UDP and over its pseudo-terminal.
run read AI_F12 --type Int16 --count 3 --connect "$udp"
run read DI1 --type Bool --count 8 --connect "$udp" --json
run read LW1 --type Int32 --count 2 --connect "$pty,9600,8,1"
run read SI1 --type String --count 2 --connect "$pty,9600,8,1" --json

# Writes, read back.
run write AO1 --type Float --connect "$udp" 21.5 -3.25
run read AO1 --type Float --count 2 --connect "$udp" --json
# The controller takes 64-bit integers least significant byte first and hands them out most
# significant byte first: 1 comes back as 72057594037927936.
run write LA2 --type Int64 --connect "$pty,9600,8,1" 1
run read LA2 --type Int64 --connect "$pty,9600,8,1" --json
run write SI3 --type String --connect "$udp" "hello" "world"
run read SI3 --type String --count 2 --connect "$pty,9600,8,1" --json
run write DO1 --type Bool --connect "$udp" true false true
run read DO1 --type Bool --count 3 --connect "$udp" --json
# A value out of range is refused before anything is sent.
run write AI1 --type Int16 --connect "$udp" 40000 || echo "(exit status $?)"
# Three reads, one every 200 ms, with the counts at the end.
run poll AI1 --type UInt16 --count 2 --connect "$udp" --interval 200 --times 3
# A tag list over one link, each tag at its own interval, as records with time stamps and as CSV.
tags=$TARVIK_ROOT/docs/examples/tags.csv
run poll --tags "$tags" --connect "$udp" --times 2
run read --tags "$TARVIK_ROOT/docs/examples/tags.json" --connect "$pty,115200,8,1" --csv
# What the link looks like, in figures and in words.
run diagnose "$udp" --reads 10 --interval 20
# A port where nothing answers: the link check fails and the host says so.
run connect 127.0.0.1:9 || echo "(exit status $?)"
echo
echo "done"
