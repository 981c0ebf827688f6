#!/usr/bin/env bash
# valgrind memcheck over the integration tests: the tests that drive the library against the
# simulator or an in-test peer over UDP and pseudo-terminals, in a plain build (build-valgrind/).
# Fails on any memcheck error and on any definite leak; scripts/valgrind.supp holds the few
# suppressions of Qt's and glibc's own internals. The simulator itself is not run under valgrind.
#
#   scripts/valgrind.sh            every integration test, the hardening tests with short counts
#   scripts/valgrind.sh TEST...    only these (names as in tests/, e.g. tst_readpath)
#
# TARVIK_VALGRIND_BUILD names another build directory to use (CI may reuse its plain build/,
# configured the same way).
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_packages "${TARVIK_PACKAGES[@]}" valgrind

dir="${TARVIK_VALGRIND_BUILD:-$TARVIK_ROOT/build-valgrind}"
BUILD_TARGETS="" build_tree "$dir" -DTARVIK_SANITIZE=OFF -DTARVIK_TESTS=ON -DTARVIK_BENCH=ON

# The soak first: it takes as long as the others together, which run beside it.
tests=(tst_faultsoak tst_libtarvik tst_serialpacing tst_udplink tst_seriallink tst_readpath
    tst_readrequests tst_writepath tst_writerequests tst_writeroundtrip tst_encoding tst_decoding
    tst_portremoved tst_hostileinput tst_resourcecycles)
[ $# -gt 0 ] && tests=("$@")

export QT_QPA_PLATFORM=offscreen
# Fewer soak operations: valgrind runs the code some twenty times slower.
export TARVIK_CYCLES=${TARVIK_CYCLES:-10000} TARVIK_DRIVER_CYCLES=${TARVIK_DRIVER_CYCLES:-1000}
export TARVIK_SOAK_OPS=${TARVIK_SOAK_OPS:-300}

memcheck() {
    local t=$1 exe log start=$SECONDS
    exe=$(find "$dir/tests" -type f -executable -name "$t" | head -n 1)
    if [ -z "$exe" ]; then
        echo "$t: no such test"
        return 1
    fi
    log="$dir/valgrind-$t.log"
    if valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite \
        --show-leak-kinds=definite --error-exitcode=99 --num-callers=40 \
        --suppressions="$TARVIK_ROOT/scripts/valgrind.supp" "$exe" >"$log" 2>&1; then
        echo "$t: clean ($((SECONDS - start)) s; $(grep -m1 -o 'Totals: [0-9]* passed' "$log"))"
    else
        echo "$t: FAILED ($((SECONDS - start)) s); the log is $log"
        grep -E "ERROR SUMMARY|definitely lost|FAIL!" "$log" | head -5
        return 1
    fi
}

each_in_parallel memcheck "${tests[@]}"
