#!/usr/bin/env bash
# Builds the project and runs every benchmark against the simulator on loopback. Figures are
# printed, nothing is asserted. Pass --quick for a tenth of the exchanges (and a 20 s broker
# outage in bench_gateway instead of 600 s); --outage S sets that outage's length.
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_packages "${TARVIK_PACKAGES[@]}" mosquitto
BUILD_TARGETS="bench_link bench_read bench_write bench_value bench_faults bench_gateway tarvik-sim" \
    build_tree "$TARVIK_ROOT/build" -DTARVIK_SANITIZE=OFF -DTARVIK_BENCH=ON -DTARVIK_TESTS=ON
export TZ=${TZ:-:/etc/localtime}
for b in bench_link bench_read bench_write bench_value bench_faults bench_gateway; do
    echo "== $b"
    "$TARVIK_ROOT/build/bench/$b" "$@"
done
