#!/usr/bin/env bash
# Builds the fuzz targets (clang's libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer)
# in build-fuzz/ and runs each one a bounded number of times, starting from its seed corpus in
# fuzz/corpus/<target>/. New inputs go to build-fuzz/corpus/, crashes to build-fuzz/artifacts/.
#
#   scripts/fuzz.sh [RUNS]   RUNS inputs for each fast target (default 100000, a short run for CI);
#                            the host-session target, which talks to the simulator, and the
#                            exchange-sequence target, which waits out lost answers, get RUNS/100
#   scripts/fuzz.sh 2000000  the long run: about 10 minutes for the fast targets, 30 for the other
#   scripts/fuzz.sh --seeds  writes the seed corpora afresh from the simulator
#
# Exits non-zero when a target finds a crash or a broken property.
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_packages "${TARVIK_PACKAGES[@]}" clang libclang-rt-14-dev

dir="$TARVIK_ROOT/build-fuzz"
CC=clang CXX=clang++ build_tree "$dir" -DTARVIK_SANITIZE=ON -DTARVIK_FUZZ=ON -DTARVIK_TESTS=OFF \
    -DTARVIK_BENCH=OFF -DTARVIK_TOOLS=ON

if [ "${1:-}" = "--seeds" ]; then
    rm -rf "$TARVIK_ROOT/fuzz/corpus"
    "$dir/fuzz/fuzz_seeds" "$TARVIK_ROOT/fuzz/corpus"
    find "$TARVIK_ROOT/fuzz/corpus" -type f | wc -l | xargs echo "seed files:"
    exit 0
fi

runs=${1:-100000}
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$dir/artifacts"
fuzz_target() {
    local target=$1 n=$runs start=$SECONDS
    case $target in hostops | sequence) n=$((runs / 100 > 50 ? runs / 100 : 50)) ;; esac
    mkdir -p "$dir/corpus/$target"
    echo "== fuzz_$target: $n runs"
    if "$dir/fuzz/fuzz_$target" -runs="$n" -max_len=4200 -timeout=60 -print_final_stats=1 \
        -artifact_prefix="$dir/artifacts/$target-" \
        "$dir/corpus/$target" "$TARVIK_ROOT/fuzz/corpus/$target" >"$dir/fuzz-$target.log" 2>&1; then
        echo "   done in $((SECONDS - start)) s: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' \
            "$dir/fuzz-$target.log" | grep -o '[0-9]*$') inputs, no crash"
    else
        grep -E "property broken|ERROR|SUMMARY|Test unit written" "$dir/fuzz-$target.log" | head -20
        echo "   FAILED; the whole log is in $dir/fuzz-$target.log"
        return 1
    fi
}

# The targets that only compute share both CPUs, the slowest first; the two that talk to a
# simulator over loopback and wait for its answers run alone afterwards, since a busy machine
# delays those answers (a connect that misses its wait breaks the host target's property).
status=0
each_in_parallel fuzz_target answers codecs tagaddress setpayload sparkplug || status=1
for target in sequence hostops; do
    fuzz_target "$target" || status=1
done
exit $status
