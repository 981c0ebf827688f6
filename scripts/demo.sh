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
# A port where nothing answers: the link check fails and the host says so.
run connect 127.0.0.1:9 || echo "(exit status $?)"
echo
echo "done"
