#!/usr/bin/env bash
# Builds and runs the host sample of docs/integration.md as the guide prints it: installs the
# library into a staging directory with cmake --install, takes the sample's code and its build
# command out of the guide, runs that command with the staged headers and library standing in
# for /usr's, and runs the sample against the simulator on loopback. Exits non-zero when any
# step fails.
#
#   bash scripts/integration-sample.sh [--help]
#
# TARVIK_BUILD names the build tree (default build/); the library and the simulator are built
# there when they are missing.
set -euo pipefail
source "$(dirname "$0")/common.sh"

if [ "${1:-}" = "--help" ] || [ "${1:-}" = "-h" ]; then
    sed -n '2,11s/^# \{0,1\}//p' "$0"
    exit 0
fi
[ $# -eq 0 ] || { echo "usage: $0 [--help]" >&2; exit 2; }

guide=$TARVIK_ROOT/docs/integration.md
build=${TARVIK_BUILD:-$TARVIK_ROOT/build}
export TZ=${TZ:-:/etc/localtime}

ensure_packages "${TARVIK_PACKAGES[@]}"
BUILD_TARGETS="LibTarvik tarvik-sim tarvik-host" build_tree "$build"

work=$(mktemp -d)
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# The installation as a package lays it out, under a staging root instead of /.
DESTDIR=$work/root cmake --install "$build" --prefix /usr >"$work/install.log"
headers=$work/root/usr/include/tarvik
library=$(find "$work/root" -name libLibTarvik.so.1 | head -n 1)
[ -d "$headers" ] && [ -n "$library" ] || { echo "cmake --install left no headers or library" >&2; exit 1; }
libdir=$(dirname "$library")

# The first cpp block of the section "Loading the library", and the sh block that builds it.
mkdir -p "$work/sample"
awk '/^## Loading the library/ { section = 1 }
     section && /^```cpp/ { inside = 1; next }
     inside && /^```/ { exit }
     inside { print }' "$guide" >"$work/sample/host.cpp"
command=$(awk '/^ *```sh/ { inside = 1; block = ""; next }
               inside && /^ *```/ { inside = 0; if (block ~ /host\.cpp/) { print block; exit } }
               inside { sub(/^ +/, ""); block = block $0 "\n" }' "$guide")
[ -s "$work/sample/host.cpp" ] && [ -n "$command" ] || { echo "no sample or no build command in $guide" >&2; exit 1; }

# The printed command names the installed paths; the staged ones stand in for them. An older
# installation in /usr/include/tarvik would come first on the include path.
if [ -d /usr/include/tarvik ] && ! diff -rq /usr/include/tarvik "$headers" >/dev/null; then
    echo "/usr/include/tarvik differs from this tree's headers; remove it or install this tree" >&2
    exit 1
fi
echo "Building the sample: $command"
(cd "$work/sample" && CPATH=$headers LIBRARY_PATH=$libdir bash -euo pipefail -c "$command") ||
    { echo "the sample of $guide does not build as printed" >&2; exit 1; }

announce=$work/sim.out
"$build/sim/tarvik-sim" --port 0 >"$announce" &
sim_pid=$!
for _ in $(seq 100); do
    grep -q '^ready' "$announce" && break
    kill -0 "$sim_pid" 2>/dev/null || { echo "the simulator did not start" >&2; exit 1; }
    sleep 0.05
done
udp=$(sed -n 's/^udp //p' "$announce")
[ -n "$udp" ] || { echo "the simulator did not announce its UDP endpoint" >&2; exit 1; }

# Values for the sample to read, then the sample, then what it wrote.
host=$build/bin/tarvik-host
"$host" write AI_F12 --type Int16 --connect "$udp" 513 -1 >/dev/null
LD_LIBRARY_PATH=$libdir "$work/sample/host" "$udp" >"$work/sample.out" 2>&1 ||
    { cat "$work/sample.out" >&2; echo "the sample failed against $udp" >&2; exit 1; }
read_back=$("$host" read AO1 --type Int16 --count 2 --connect "$udp" --json)
if [ "$(tr -d ' ' <"$work/sample.out")" != $'513\n-1' ] || ! grep -q -- '10, *-20' <<<"$read_back"; then
    echo "the sample printed:" >&2
    cat "$work/sample.out" >&2
    echo "and left in AO1: $read_back" >&2
    exit 1
fi
echo "The sample printed $(tr '\n' ' ' <"$work/sample.out")and left in AO1: $read_back"
echo "The integration sample builds as printed and reads and writes through the installed library."
