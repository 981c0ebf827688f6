#!/usr/bin/env bash
# Builds the Debian packages, tarvik_<version>_amd64.deb for this machine and
# tarvik_<version>_armel.deb for the controller, into build-packages/; then installs the amd64
# one here with dpkg -i, starts the installed simulator and connects the installed host program
# to it (must exit 0), and lists what the armel one contains.
#
#   bash scripts/package.sh          # as root (dpkg -i); removes the package again at the end
#   bash scripts/package.sh --keep   # leaves the amd64 package installed
#
# The armel package comes from build-armel/, the tree scripts/armel.sh builds and tests (it is
# built here if need be, without running the tests). See docs/target.md.
set -euo pipefail
source "$(dirname "$0")/common.sh"

keep=0
case ${1:-} in
--keep) keep=1 ;;
"") ;;
*)
    sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
    exit 2
    ;;
esac
if [ "$(id -u)" -ne 0 ]; then
    echo "Run as root: the amd64 package is installed with dpkg -i" >&2
    exit 1
fi

ensure_packages "${TARVIK_PACKAGES[@]}"
out=$TARVIK_ROOT/build-packages
mkdir -p "$out"
version=$(sed -n 's/^project(Tarvik VERSION \([0-9.]*\).*/\1/p' "$TARVIK_ROOT/CMakeLists.txt")
start=$SECONDS

# pack TREE: runs CPack in a configured and built tree, the .deb into $out.
pack() {
    (cd "$1" && cpack -G DEB -B "$out" >"$1/cpack.log" 2>&1) || {
        cat "$1/cpack.log" >&2
        echo "cpack failed in $1" >&2
        return 1
    }
}

echo "== amd64 package"
# Installed under /usr, so the library lands in the multiarch libdir the loader searches.
build_tree "$TARVIK_ROOT/build-package" -DCMAKE_INSTALL_PREFIX=/usr \
    -DTARVIK_TESTS=OFF -DTARVIK_BENCH=OFF -DTARVIK_TOOLS=ON -DTARVIK_SANITIZE=OFF
pack "$TARVIK_ROOT/build-package"
amd64_done=$SECONDS

echo "== armel package"
bash "$TARVIK_ROOT/scripts/armel.sh" --build-only | grep -v '^== times'
pack "$TARVIK_ROOT/build-armel"
armel_done=$SECONDS

amd64_deb=$out/tarvik_${version}_amd64.deb
armel_deb=$out/tarvik_${version}_armel.deb
for deb in "$amd64_deb" "$armel_deb"; do
    [ -f "$deb" ] || { echo "missing: $deb" >&2; exit 1; }
    echo
    echo "$(basename "$deb") ($(du -k "$deb" | cut -f1) KiB):"
    dpkg-deb -f "$deb" Package Version Architecture Depends | sed 's/^/  /'
done

echo
echo "== dpkg -i $(basename "$amd64_deb")"
dpkg -i "$amd64_deb"
status=0
announce=$(mktemp)
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -f "$announce"
    if [ "$keep" -eq 0 ]; then
        echo "== dpkg -r tarvik (--keep leaves it installed)"
        dpkg -r tarvik >/dev/null
    fi
}
trap cleanup EXIT

# The installed programs, where the package put them.
export TZ=${TZ:-:/etc/localtime}
echo "\$ /usr/bin/tarvik-sim --port 0"
/usr/bin/tarvik-sim --port 0 >"$announce" &
sim_pid=$!
for _ in $(seq 100); do
    grep -q '^ready' "$announce" && break
    kill -0 "$sim_pid" 2>/dev/null || { echo "the installed simulator did not start" >&2; exit 1; }
    sleep 0.05
done
grep -q '^ready' "$announce" || { echo "the installed simulator did not announce itself" >&2; exit 1; }
sed 's/^/  /' "$announce"
udp=$(sed -n 's/^udp //p' "$announce")
for args in info "connect $udp"; do
    echo "\$ /usr/bin/tarvik-host $args"
    # shellcheck disable=SC2086
    /usr/bin/tarvik-host $args | sed 's/^/  /' || status=1
done
if [ $status -eq 0 ]; then
    echo "the installed host program connected to the installed simulator"
else
    echo "FAILED: the installed host program did not connect" >&2
fi

echo
echo "== dpkg-deb -c $(basename "$armel_deb")"
dpkg-deb -c "$armel_deb"

# The armel package's own programs, unpacked into a scratch folder and run under qemu: the host
# program finds the library beside its installation and connects to the simulator.
echo
echo "== armel package under qemu-arm-static -cpu arm926"
scratch=$(mktemp -d)
dpkg-deb -x "$armel_deb" "$scratch"
armel_run=(qemu-arm-static -cpu arm926 -L "${TARVIK_ARMEL_DIR:-$HOME/.cache/tarvik-armel}/sysroot")
"${armel_run[@]}" "$scratch/usr/bin/tarvik-sim" --port 0 >"$announce" &
armel_sim=$!
for _ in $(seq 200); do
    grep -q '^ready' "$announce" && break
    kill -0 "$armel_sim" 2>/dev/null || break
    sleep 0.05
done
udp=$(sed -n 's/^udp //p' "$announce")
if [ -n "$udp" ] && grep -q '^ready' "$announce"; then
    for args in info "connect $udp"; do
        echo "\$ usr/bin/tarvik-host $args"
        # shellcheck disable=SC2086
        "${armel_run[@]}" "$scratch/usr/bin/tarvik-host" $args | sed "s|$scratch|<unpacked>|; s/^/  /" ||
            status=1
    done
else
    echo "FAILED: the armel package's simulator did not start" >&2
    status=1
fi
kill "$armel_sim" 2>/dev/null || true
wait "$armel_sim" 2>/dev/null || true
rm -rf "$scratch"

echo "== times: amd64 package $((amd64_done - start)) s, armel package" \
    "$((armel_done - amd64_done)) s, total $((SECONDS - start)) s"
echo "packages in $out"
exit $status
