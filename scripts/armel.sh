#!/usr/bin/env bash
# The target build in one command: installs what is missing (cross compiler, qemu, Qt tools),
# assembles the armel sysroot, cross-builds the library, the host program, the simulator and
# the tests for the controller's ARM926EJ-S (Debian armel) into build-armel/, and runs the
# whole ctest suite under qemu user emulation of that CPU.
#
#   bash scripts/armel.sh                # everything; exits non-zero when a test fails
#   bash scripts/armel.sh --build-only   # sysroot and build, no tests (scripts/package.sh)
#
# The sysroot lives in TARVIK_ARMEL_DIR (default ~/.cache/tarvik-armel) and is reused; the
# build tree is incremental. See docs/target.md.
set -euo pipefail
source "$(dirname "$0")/common.sh"

run_tests=1
case ${1:-} in
--build-only) run_tests=0 ;;
"") ;;
*)
    sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
    exit 2
    ;;
esac

export TARVIK_ARMEL_DIR=${TARVIK_ARMEL_DIR:-$HOME/.cache/tarvik-armel}
sysroot=$TARVIK_ARMEL_DIR/sysroot
build=$TARVIK_ROOT/build-armel

start=$SECONDS
echo "== armel sysroot"
bash "$TARVIK_ROOT/scripts/armel-sysroot.sh" | sed '$d'
sysroot_done=$SECONDS

echo "== armel cross build"
# Installed under /usr like a Debian package (scripts/package.sh packs this tree), the library
# in Debian's armel libdir: GNUInstallDirs picks multiarch libdirs for native builds only.
# Benchmarks would measure the build machine's emulator, not the target, so they stay out.
build_tree "$build" -DCMAKE_TOOLCHAIN_FILE="$TARVIK_ROOT/cmake/toolchain-armel.cmake" \
    -DTARVIK_ARMEL_SYSROOT="$sysroot" \
    -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR=lib/arm-linux-gnueabi \
    -DTARVIK_TESTS=ON -DTARVIK_BENCH=OFF -DTARVIK_TOOLS=ON -DTARVIK_SANITIZE=OFF
build_done=$SECONDS
# What the library was built for, as the ELF file says: v5TE, EABI 5, soft-float.
echo "  libLibTarvik.so.1: $(arm-linux-gnueabi-readelf -A "$build/lib/libLibTarvik.so.1" |
    awk '/Tag_CPU_arch:/ { print $2 }'), $(arm-linux-gnueabi-readelf -h "$build/lib/libLibTarvik.so.1" |
    sed -n 's/^ *Flags: *0x[0-9a-f]*, *//p')"

status=0
if [ $run_tests -eq 1 ]; then
    ensure_packages "${TARVIK_TEST_PACKAGES[@]}"
    echo "== tests under qemu-arm-static -cpu arm926"
    export QT_QPA_PLATFORM=offscreen
    export TZ=${TZ:-:/etc/localtime}
    # Tests carry their own timeouts; this one is for those without.
    (cd "$build" && ctest --output-on-failure -j "$(nproc)" --timeout 3600) || status=1
fi

echo "== times: sysroot $((sysroot_done - start)) s, build $((build_done - sysroot_done)) s," \
    "tests $((SECONDS - build_done)) s, total $((SECONDS - start)) s"
exit $status
