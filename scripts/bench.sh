#!/usr/bin/env bash
# Builds the project and runs every benchmark against the simulator on loopback. Figures are
# printed, nothing is asserted. Pass --quick for a tenth of the exchanges (and a 20 s broker
# outage in bench_gateway instead of 600 s); --outage S sets that outage's length; the other
# options go to the benchmarks as they are (each one's --help lists its own).
#
#   bash scripts/bench.sh --compare A B [--rounds N] [--only "bench_read ..."] [options]
# builds the commits A and B side by side (in git worktrees under build-compare/), runs each
# benchmark of both in turn, A then B, then B then A, N rounds (3), and prints every figure as
# "A->B (xB/A)", each the median of its rounds: on a shared machine the figures move by a third
# from one minute to the next, and alternating runs see it in the same state.
set -euo pipefail
source "$(dirname "$0")/common.sh"

BENCHES=(bench_link bench_read bench_write bench_value bench_faults bench_gateway)

build_benches() { # build_benches SOURCE_DIR BUILD_DIR
    TARVIK_ROOT=$1 BUILD_TARGETS="${BENCHES[*]} tarvik-sim tarvik-gateway" \
        build_tree "$2" -DTARVIK_SANITIZE=OFF -DTARVIK_BENCH=ON -DTARVIK_TESTS=ON
}

# Each figure of B's lines beside A's: lines are matched by their text without the numbers (the
# k-th line of a shape with the k-th), numbers by their place in the line; a figure of several
# rounds is their median. Lines of one side only are marked (A only, B only); B's come last.
compare_outputs() { # compare_outputs ROUNDS A_NAME B_NAME FILES... (B's end in .B.ROUND)
    awk -v rounds="$1" -v nameA="$2" -v nameB="$3" '
        # Splits a line into its figures (fig[1..n], commas of thousands dropped) and the text
        # between them (gap[0..n]); digits within a word (p99, x183) are text, a ratio (x1.26) is not.
        function split_figures(line, fig, gap,    n, t, w) {
            n = 0; gap[0] = ""
            while (match(line, /[A-Za-z_]*[0-9]+(,[0-9][0-9][0-9])*(\.[0-9]+)?/)) {
                t = substr(line, RSTART, RLENGTH)
                w = t; sub(/[0-9].*/, "", w)
                if (w != "" && t !~ /\./) gap[n] = gap[n] substr(line, 1, RSTART + RLENGTH - 1)
                else {
                    gap[n] = gap[n] substr(line, 1, RSTART - 1) w
                    t = substr(t, length(w) + 1); gsub(/,/, "", t); fig[++n] = t; gap[n] = ""
                }
                line = substr(line, RSTART + RLENGTH)
            }
            gap[n] = gap[n] line
            return n
        }
        function median(list,    n, v, i, j, t) {
            n = split(list, v, " ")
            for (i = 2; i <= n; i++)
                for (j = i; j > 1 && v[j - 1] + 0 > v[j] + 0; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
            return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
        }
        FNR == 1 { side = (FILENAME ~ /\.B\.[0-9]+$/) ? "B" : "A"; split("", seen) }
        {
            split("", f); split("", g)
            n = split_figures($0, f, g)
            key = g[0]; for (i = 1; i <= n; i++) key = key "#" g[i]
            gsub(/ +/, " ", key) # how wide a figure is padded does not change the line
            id = key SUBSEP (++seen[key])
            if (!((side, id) in count) && !(id in known)) { known[id] = side; byOrder[++lines] = id; shapeOf[id] = $0 }
            for (i = 1; i <= n; i++) figs[side, id, i] = figs[side, id, i] " " f[i]
            count[side, id] = n
        }
        END {
            printf "== A = %s, B = %s: medians of %d rounds, each figure A->B (xB/A)\n", nameA, nameB, rounds
            for (l = 1; l <= lines; l++) {
                id = byOrder[l]
                split("", f); split("", g)
                n = split_figures(shapeOf[id], f, g)
                both = (("A", id) in count) && (("B", id) in count)
                only = known[id]
                out = both ? g[0] : "(" only " only) " g[0]
                for (i = 1; i <= n; i++) {
                    a = median(figs[only, id, i])
                    b = both ? median(figs["B", id, i]) : a
                    if (a == b) out = out a
                    else out = out a "->" b (a + 0 == 0 ? "" : sprintf(" (x%.2f)", b / a))
                    out = out g[i]
                }
                print out
            }
        }' "${@:4}"
}

compare() {
    local revA=$1 revB=$2
    shift 2
    local rounds=3 only="" args=()
    while [ $# -gt 0 ]; do
        case $1 in
        --rounds) rounds=$2; shift 2 ;;
        --only) only=$2; shift 2 ;;
        *) args+=("$1"); shift ;;
        esac
    done
    [[ $rounds =~ ^[1-9][0-9]*$ ]] || { echo "--rounds wants a number of rounds" >&2; exit 2; }
    [ -n "$only" ] && read -r -a BENCHES <<<"$only"
    local work=$TARVIK_ROOT/build-compare side rev
    mkdir -p "$work/out"
    for side in A B; do
        rev=$([ $side = A ] && echo "$revA" || echo "$revB")
        git -C "$TARVIK_ROOT" rev-parse --verify -q "$rev^{commit}" >/dev/null ||
            { echo "no such commit: $rev" >&2; exit 2; }
        rm -rf "$work/$side"
        git -C "$TARVIK_ROOT" worktree prune
        git -C "$TARVIK_ROOT" worktree add -q --detach "$work/$side" "$rev"
        build_benches "$work/$side" "$work/$side/build"
    done
    export TZ=${TZ:-:/etc/localtime}
    local b r first second
    for b in "${BENCHES[@]}"; do
        rm -f "$work/out/$b".*
        for ((r = 1; r <= rounds; r++)); do
            # A first in odd rounds, B first in even ones: neither always runs on a warmer machine.
            if ((r % 2)); then first=A second=B; else first=B second=A; fi
            for side in $first $second; do
                echo "== $b, round $r of $rounds, $side" >&2
                [ -x "$work/$side/build/bench/$b" ] || { echo "  $side has no $b" >&2; continue; }
                "$work/$side/build/bench/$b" "${args[@]}" >"$work/out/$b.$side.$r" 2>/dev/null || true
            done
        done
        echo "== $b"
        compare_outputs "$rounds" "$revA" "$revB" "$work/out/$b".A.* "$work/out/$b".B.*
    done
    git -C "$TARVIK_ROOT" worktree remove --force "$work/A"
    git -C "$TARVIK_ROOT" worktree remove --force "$work/B"
}

case ${1:-} in
-h | --help)
    script_usage
    exit 0
    ;;
esac
ensure_packages "${TARVIK_PACKAGES[@]}" mosquitto mosquitto-clients nats-server
if [ "${1:-}" = --compare ]; then
    [ $# -ge 3 ] || { script_usage >&2; exit 2; }
    compare "${@:2}"
    exit 0
fi
build_benches "$TARVIK_ROOT" "$TARVIK_ROOT/build"
export TZ=${TZ:-:/etc/localtime}
for b in "${BENCHES[@]}"; do
    echo "== $b"
    "$TARVIK_ROOT/build/bench/$b" "$@"
done
