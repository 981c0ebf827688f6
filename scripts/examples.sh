#!/usr/bin/env bash
# The host examples (examples/) as a host author builds them: against the installed Debian
# packages. Builds and installs the packages (scripts/package.sh --keep), builds poll-host with
# CMake's find_package(Tarvik) and again with pkg-config, dlopen-host, which never links the
# library, and every-header, which uses every installed header; builds every code block of
# docs/ (scripts/doc-code.sh); runs the examples against the installed simulator, once healthy
# and once with every answer late; then removes the packages again.
#
#   bash scripts/examples.sh           # as root
#   bash scripts/examples.sh --keep    # leaves the packages installed
set -euo pipefail
source "$(dirname "$0")/common.sh"

read_keep_option "$@"

bash "$TARVIK_ROOT/scripts/package.sh" --keep
start=$SECONDS
build=$TARVIK_ROOT/build-examples
rm -rf "$build"
mkdir -p "$build"
announce=$build/sim.out
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    if [ "$keep" -eq 0 ]; then
        echo "== dpkg -r liblibtarvik1 liblibtarvik-dev tarvik-gateway tarvik-tools (--keep leaves" \
            "them installed)"
        dpkg -r tarvik-tools tarvik-gateway liblibtarvik-dev liblibtarvik1 >/dev/null
    fi
}
trap cleanup EXIT

# Warnings fail the examples: they are what host authors copy.
strict="-Wall -Wextra -Werror"
echo "== examples, built against the installed packages"
for example in poll-host dlopen-host every-header; do
    echo "\$ cmake -S examples/$example -B build-examples/$example && cmake --build ..."
    { cmake -S "$TARVIK_ROOT/examples/$example" -B "$build/$example" -G Ninja \
        -DCMAKE_CXX_FLAGS="$strict" && cmake --build "$build/$example"; } >"$build/$example.log" 2>&1 ||
        { cat "$build/$example.log" >&2; exit 1; }
done
echo "\$ g++ -std=c++17 examples/poll-host/main.cpp \$(pkg-config --cflags --libs tarvik)"
# shellcheck disable=SC2046,SC2086 # pkg-config's words are separate arguments
g++ -std=c++17 $strict "$TARVIK_ROOT/examples/poll-host/main.cpp" \
    $(pkg-config --cflags --libs tarvik) -o "$build/poll-host-pkgconfig"
for program in poll-host/poll-host dlopen-host/dlopen-host every-header/every-header poll-host-pkgconfig; do
    echo "  $program: $(readelf -d "$build/$program" | grep -c 'NEEDED.*libLibTarvik') link(s) to libLibTarvik"
done

echo "== the code blocks of docs/, built against the installed packages"
bash "$TARVIK_ROOT/scripts/doc-code.sh"

# Starts the installed simulator with the options given.
start_sim() {
    start_simulator /usr/bin/tarvik-sim --port 0 --pattern "$@" ||
        { echo "the installed simulator did not start" >&2; exit 1; }
}

stop_sim() {
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
}

# run EXPECTED_TEXT PROGRAM ARGS...: runs an example (bounded), shows its output and checks that
# it exits 0 and prints the expected text.
failed=0
run() {
    local expect=$1 output status=0
    shift
    echo "\$ ${*#"$build/"}"
    output=$(timeout 60 "$@" 2>&1) || status=$?
    echo "$output" | sed 's/^/  /'
    if [ $status -ne 0 ]; then
        echo "FAILED: exit status $status" >&2
        failed=1
    elif ! grep -qF -- "$expect" <<<"$output"; then
        echo "FAILED: no '$expect' in its output" >&2
        failed=1
    fi
}

export TZ=${TZ:-:/etc/localtime}
echo "== against tarvik-sim --pattern"
start_sim
# The pattern's AI_F12 as two Int16 is 6928 12582; DI3 as five Bool reads 1 0 0 1 0.
run "AI_F12   0 (ok) 6928 12582" "$build/poll-host/poll-host" "$udp" 2
run "DI3      0 (ok) true false false true false" "$build/poll-host-pkgconfig" "$udp" 1
run "AI_F12 result 0: 6928 12582" "$build/dlopen-host/dlopen-host" "$udp"
run "no area: refused, nothing sent               as described" "$build/every-header/every-header" "$udp"
stop_sim

echo "== against tarvik-sim --pattern --late 400 (beyond the driver's wait)"
start_sim --late 400
run "AI_F12   8 (no valid answer in time)" "$build/poll-host/poll-host" "$udp" 1
stop_sim

echo "== times: examples $((SECONDS - start)) s"
exit $failed
