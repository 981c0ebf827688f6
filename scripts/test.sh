#!/usr/bin/env bash
# Installs what is missing, builds the project twice (plain, and with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every test in both builds.
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_packages "${TARVIK_PACKAGES[@]}" "${TARVIK_TEST_PACKAGES[@]}"

export QT_QPA_PLATFORM=offscreen
export TZ=${TZ:-:/etc/localtime}
status=0

echo "== plain build"
build_tree "$TARVIK_ROOT/build" -DTARVIK_TESTS=ON -DTARVIK_BENCH=ON -DTARVIK_SANITIZE=OFF
(cd "$TARVIK_ROOT/build" && ctest --output-on-failure -j 2 --timeout 600) || status=1

echo "== sanitizer build (ASan + UBSan)"
build_tree "$TARVIK_ROOT/build-asan" -DTARVIK_SANITIZE=ON -DTARVIK_TESTS=ON -DTARVIK_BENCH=OFF
(cd "$TARVIK_ROOT/build-asan" &&
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --output-on-failure -j 2 --timeout 900) || status=1

exit $status
