#!/usr/bin/env bash
# Builds the Debian packages for this machine (amd64) and for the controller (armel) into
# build-packages/, checks them with lintian, installs the amd64 ones here with dpkg -i and runs
# the installed simulator and host program and checks the installed unit with systemd-analyze;
# the armel ones run unpacked under qemu.
#
#   liblibtarvik1      the driver library, libLibTarvik.so.1 (named from its SONAME)
#   liblibtarvik-dev   headers, the .so link, pkg-config and CMake files, the record source
#   tarvik-gateway     tarvik-gateway, its manual page, bash completion, gateway.md, systemd unit
#                      (restarted on upgrade, stopped on removal) and /etc/tarvik/gateway.conf
#   tarvik-tools       tarvik-host, tarvik-sim, their manual pages, the Wireshark dissector, docs
#
#   bash scripts/package.sh                # as root (dpkg -i); purges the packages at the end
#   bash scripts/package.sh --keep         # leaves the amd64 packages installed (examples.sh)
#   bash scripts/package.sh --arch amd64   # this machine's packages only: no armel sysroot,
#                                          # no cross build, no qemu
#
# The armel packages come from build-armel/, the tree scripts/armel.sh builds and tests (built
# here if need be, without the tests). Control data, versions and the changelog come from
# packaging/debian/. TARVIK_LINTIAN=0 leaves lintian out. See docs/packages.md.
set -euo pipefail
source "$(dirname "$0")/common.sh"

keep=0
arches=all
while [ $# -gt 0 ]; do
    case $1 in
    --keep) keep=1; shift ;;
    --arch)
        case ${2:-} in
        amd64 | armel | all) arches=$2 ;;
        *) echo "--arch takes amd64, armel or all" >&2; exit 2 ;;
        esac
        shift 2
        ;;
    -h | --help) script_usage; exit 0 ;;
    *) script_usage >&2; exit 2 ;;
    esac
done
builds() {
    [ "$arches" = all ] || [ "$arches" = "$1" ]
}
if [ "$(id -u)" -ne 0 ]; then
    echo "Run as root: the amd64 packages are installed with dpkg -i" >&2
    exit 1
fi

ensure_packages "${TARVIK_PACKAGES[@]}" "${TARVIK_PACKAGING_PACKAGES[@]}"
debian=$TARVIK_ROOT/packaging/debian
out=$TARVIK_ROOT/build-packages
work=$out/work
# The gateway comes before the tools, which take what is left in usr/bin and the manual pages.
PACKAGES=(liblibtarvik1 liblibtarvik-dev tarvik-gateway tarvik-tools)
start=$SECONDS

version=$(dpkg-parsechangelog -l "$debian/changelog" -S Version)
upstream=$(sed -n 's/^project(Tarvik VERSION \([0-9.]*\).*/\1/p' "$TARVIK_ROOT/CMakeLists.txt")
if [ "${version%-*}" != "$upstream" ]; then
    echo "packaging/debian/changelog is at $version, the project at $upstream: add an entry" >&2
    exit 1
fi
rm -rf "$out"
mkdir -p "$work/src/debian"
# dpkg-gencontrol and dpkg-shlibdeps work in a source tree: this one holds only the Debian files.
cp "$debian/control" "$debian/changelog" "$work/src/debian/"
# Every file the changelog date stamps gets that time, so a package rebuilt is the same package.
export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$debian/changelog" -S Timestamp)

# ---------------------------------------------------------------------------------------------
# Which package each installed path goes to (globs below the staged root), by package.
files_of() {
    local triplet=$1
    case $2 in
    liblibtarvik1) echo "usr/lib/$triplet/libLibTarvik.so.1*" ;;
    liblibtarvik-dev)
        echo "usr/include/tarvik usr/lib/$triplet/libLibTarvik.so usr/lib/$triplet/pkgconfig" \
            "usr/lib/$triplet/cmake usr/share/tarvik" ;;
    tarvik-gateway)
        echo "usr/bin/tarvik-gateway usr/share/man/man1/tarvik-gateway.1 lib/systemd" \
            "usr/share/bash-completion/completions/tarvik-gateway etc/tarvik" ;;
    tarvik-tools) echo "usr/bin usr/share/man usr/share/bash-completion usr/lib/$triplet/wireshark" ;;
    esac
}

# Moves the staged files of one package into its tree.
split_files() {
    local stage=$1 triplet=$2 pkg=$3 root=$4 path
    for path in $(cd "$stage" && eval "echo $(files_of "$triplet" "$pkg")"); do
        [ -e "$stage/$path" ] || [ -L "$stage/$path" ] || { echo "$pkg: nothing installed at $path" >&2; return 1; }
        mkdir -p "$root/$(dirname "$path")"
        mv "$stage/$path" "$root/$path"
    done
}

# What Debian wants in /usr/share/doc/<package> and of manual pages.
add_docs() {
    local pkg=$1 root=$2 doc=$2/usr/share/doc/$1
    mkdir -p "$doc"
    install -m 0644 "$debian/copyright" "$doc/copyright"
    gzip -9n <"$debian/changelog" >"$doc/changelog.Debian.gz"
    gzip -9n <"$TARVIK_ROOT/CHANGELOG.md" >"$doc/changelog.gz"
    # What lintian says of a package on purpose, with the reasons.
    if [ -f "$debian/$pkg.lintian-overrides" ]; then
        install -D -m 0644 "$debian/$pkg.lintian-overrides" "$root/usr/share/lintian/overrides/$pkg"
    fi
    case $pkg in
    tarvik-gateway)
        # Where the configuration's first line, the unit and the manual page send the operator.
        install -m 0644 "$TARVIK_ROOT/docs/gateway.md" "$doc/gateway.md"
        install -D -m 0644 "$TARVIK_ROOT/docs/examples/gateway-sparkplug.conf" \
            "$doc/examples/gateway-sparkplug.conf"
        ;;
    tarvik-tools)
        install -m 0644 "$TARVIK_ROOT/README.md" "$doc/README.md"
        mkdir -p "$doc/docs/examples"
        install -m 0644 "$TARVIK_ROOT"/docs/*.md "$doc/docs/"
        # The tag lists host.md points to, where its links lead.
        install -m 0644 "$TARVIK_ROOT"/docs/examples/* "$doc/docs/examples/"
        ;;
    liblibtarvik-dev)
        # What a host author needs beside the headers: the guide, what goes wrong and the wire,
        # and the example hosts.
        install -m 0644 "$TARVIK_ROOT"/docs/{integration,troubleshooting,protocol}.md "$doc/"
        (cd "$TARVIK_ROOT" && find examples -type f -printf '%P\n') | while read -r file; do
            install -D -m 0644 "$TARVIK_ROOT/examples/$file" "$doc/examples/$file"
        done
        ;;
    esac
    find "$root/usr/share/man" -type f -name '*.[0-9]' -exec gzip -9n {} + 2>/dev/null || true
}

# The library package's own control files: what links against it (shlibs) and the ldconfig
# trigger that keeps the loader's cache current.
add_library_control() {
    local root=$1
    echo "libLibTarvik 1 liblibtarvik1 (>= ${version%-*})" >"$root/DEBIAN/shlibs"
    echo "activate-noawait ldconfig" >"$root/DEBIAN/triggers"
    chmod 0644 "$root/DEBIAN/shlibs" "$root/DEBIAN/triggers"
}

# The maintainer scripts of a package that ships a systemd unit, as debhelper makes them:
# installed, not enabled nor started, because the configuration shipped is an example that
# names no broker or controller of the site; an operator edits it and runs systemctl enable
# --now. An upgrade restarts the service when it is enabled or running (after the new files are
# in place), a removal stops it, a purge forgets whether it was enabled. debhelper adds to the
# snippets it finds in debian/, so each package of each architecture gets a source tree of its
# own.
add_service_scripts() {
    local arch=$1 pkg=$2 root=$3
    local src=$work/$arch-$pkg-src
    mkdir -p "$src/debian"
    cp "$debian/control" "$debian/changelog" "$src/debian/"
    (cd "$src" && DEB_HOST_ARCH=$arch dh_installsystemd -p"$pkg" -P"$root" --no-enable &&
        DEB_HOST_ARCH=$arch dh_installdeb -p"$pkg" -P"$root")
    # Each script does its part once: a snippet left out or added twice stops the build.
    local check
    for check in "postinst:_dh_action=restart" "prerm:deb-systemd-invoke stop" \
        "postrm:deb-systemd-helper purge"; do
        if [ "$(grep -c -- "${check#*:}" "$root/DEBIAN/${check%%:*}")" != 1 ]; then
            echo "$pkg: DEBIAN/${check%%:*} should say '${check#*:}' once" >&2
            return 1
        fi
    done
}

# ${shlibs:Depends} of one package's ELF files, by dpkg-shlibdeps from the libraries' symbols
# files. It can only see this machine's libraries: a cross build reuses the native packages'
# lines after checking that the cross-built files need the same shared libraries. The versions
# are amd64's lowest (glibc's baseline is higher there); Debian 12's armel libraries meet them.
shlibs_of() {
    local arch=$1 pkg=$2 root=$3 elf
    mapfile -t elf < <(find "$root/usr" -type f \( -name '*.so*' -o -path '*/bin/*' \) | sort)
    [ ${#elf[@]} -eq 0 ] && return 0
    needed "${elf[@]}" >"$work/$arch-$pkg.needed"
    if [ "$arch" = "$native_arch" ]; then
        # It warns that the files are not below debian/<package>: they need not be.
        (cd "$work/src" && dpkg-shlibdeps -O -e"${elf[@]}" 2>"$work/$pkg.shlibdeps.log") |
            sed -n 's/^shlibs:Depends=//p' >"$work/$pkg.shlibs" ||
            { cat "$work/$pkg.shlibdeps.log" >&2; return 1; }
    elif ! cmp -s "$work/$arch-$pkg.needed" "$work/$native_arch-$pkg.needed"; then
        echo "$pkg for $arch needs other libraries than for $native_arch:" >&2
        diff "$work/$native_arch-$pkg.needed" "$work/$arch-$pkg.needed" >&2
        return 1
    fi
    echo "shlibs:Depends=$(cat "$work/$pkg.shlibs")"
}

# The shared libraries ELF files need. The C library's parts (the loader, whose name differs
# per architecture, and libm, which a soft-float target links where amd64 inlines) all come
# with libc6: they are named once, as that package.
needed() {
    local file
    for file in "$@"; do
        LC_ALL=C readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'
    done | sed -E 's/^(ld-linux.*|libc\.so\.6|libm\.so\.6)$/libc6/' | sort -u
}

# One package from its tree: control (dpkg-gencontrol), md5sums, then dpkg-deb.
build_deb() {
    local arch=$1 pkg=$2 root=$3
    local substvars=$work/$arch-$pkg.substvars
    mkdir -p "$root/DEBIAN"
    { shlibs_of "$arch" "$pkg" "$root"; echo "misc:Depends="; } >"$substvars"
    [ "$pkg" = liblibtarvik1 ] && add_library_control "$root"
    [ -d "$root/lib/systemd/system" ] && add_service_scripts "$arch" "$pkg" "$root"
    # The example configuration is the operator's to edit: an upgrade asks before replacing it.
    if [ -d "$root/etc" ]; then
        (cd "$root" && find etc -type f -printf '/%p\n' | sort) >"$root/DEBIAN/conffiles"
        chmod 0644 "$root/DEBIAN/conffiles"
    fi
    (cd "$work/src" && DEB_HOST_ARCH=$arch dpkg-gencontrol -p"$pkg" -P"$root" -T"$substvars" \
        -f"$work/files")
    (cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | LC_ALL=C sort -z |
        xargs -0r md5sum >DEBIAN/md5sums)
    chmod 0644 "$root/DEBIAN/md5sums"
    dpkg-deb --root-owner-group -Zxz -b "$root" "$out/${pkg}_${version}_$arch.deb" >/dev/null
}

# Strips the staged ELF files as Debian does (debug symbols, the compiler's notes), with the
# strip of the files' architecture.
strip_files() {
    local stage=$1 strip=$2 triplet=$3
    "$strip" --remove-section=.comment --remove-section=.note --strip-unneeded \
        "$stage/usr/lib/$triplet"/libLibTarvik.so.1.*
    "$strip" --remove-section=.comment --remove-section=.note "$stage"/usr/bin/*
}

# The four packages of one architecture from a configured and built tree.
make_packages() {
    local arch=$1 tree=$2 triplet=$3 strip=$4 pkg
    local stage=$work/$arch/stage
    DESTDIR=$stage cmake --install "$tree" >"$work/$arch-install.log"
    strip_files "$stage" "$strip" "$triplet"
    # A shared library is mapped, not executed.
    chmod 0644 "$stage/usr/lib/$triplet"/libLibTarvik.so.1.*
    for pkg in "${PACKAGES[@]}"; do
        split_files "$stage" "$triplet" "$pkg" "$work/$arch/$pkg"
        add_docs "$pkg" "$work/$arch/$pkg"
        build_deb "$arch" "$pkg" "$work/$arch/$pkg"
    done
    local left
    left=$(cd "$stage" && find . -type f -o -type l)
    if [ -n "$left" ]; then
        echo "installed but in no package:" >&2
        echo "$left" >&2
        return 1
    fi
}

# ---------------------------------------------------------------------------------------------
native_arch=$(dpkg --print-architecture)
native_triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)

built_arches=()
builds "$native_arch" && built_arches+=("$native_arch")
builds armel && built_arches+=(armel)
[ ${#built_arches[@]} -gt 0 ] || { echo "this machine is $native_arch: --arch $arches builds nothing here" >&2; exit 2; }
native_done=$SECONDS
armel_done=$SECONDS

if builds "$native_arch"; then
echo "== $native_arch packages"
# Installed under /usr, so the library lands in the multiarch libdir the loader searches; built
# with Debian's hardening flags.
build_tree "$TARVIK_ROOT/build-package" -DCMAKE_INSTALL_PREFIX=/usr \
    -DTARVIK_TESTS=OFF -DTARVIK_BENCH=OFF -DTARVIK_TOOLS=ON -DTARVIK_SANITIZE=OFF \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    -DCMAKE_SHARED_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)"
make_packages "$native_arch" "$TARVIK_ROOT/build-package" "$native_triplet" strip
native_done=$SECONDS
fi
armel_done=$SECONDS

if builds armel; then
echo "== armel packages"
bash "$TARVIK_ROOT/scripts/armel.sh" --build-only | grep -v '^== times'
make_packages armel "$TARVIK_ROOT/build-armel" arm-linux-gnueabi arm-linux-gnueabi-strip
armel_done=$SECONDS
fi

debs=()
for arch in "${built_arches[@]}"; do
    for pkg in "${PACKAGES[@]}"; do
        deb=$out/${pkg}_${version}_$arch.deb
        debs+=("$deb")
        echo "$(basename "$deb") ($(du -k "$deb" | cut -f1) KiB):"
        dpkg-deb -f "$deb" Multi-Arch Depends | sed 's/^/  /'
    done
done

status=0
if [ "${TARVIK_LINTIAN:-1}" != 0 ]; then
    echo
    echo "== lintian"
    # Errors fail the build; warnings are printed (docs/packages.md explains the ones that stay).
    lintian --fail-on error --tag-display-limit 0 "${debs[@]}" || status=1
    [ $status -eq 0 ] && echo "lintian: no errors"
fi
lint_done=$SECONDS

installed=0
announce=$(mktemp)
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -f "$announce"
    if [ "$installed" -eq 1 ] && [ "$keep" -eq 0 ]; then
        # A purge runs the gateway's postrm to its end and leaves no configuration behind.
        echo "== dpkg --purge ${PACKAGES[*]} (--keep leaves them installed)"
        dpkg --purge "${PACKAGES[@]}" >/dev/null
    fi
}
trap cleanup EXIT


# Starts a simulator (the command in "$@") on a free port.
start_sim() {
    start_simulator "$@" --port 0
}

# The gateway ($@ runs it) as a Sparkplug edge node on a mosquitto broker of its own on loopback,
# reading the running simulator: its births arrive. The subscriber is in place first.
sparkplug_births() {
    local dir port= candidate broker_pid sub_pid gw_pid ok=0
    dir=$(mktemp -d)
    for candidate in $(shuf -i 20000-60000 -n 20); do
        (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null || { port=$candidate; break; }
    done
    printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$port" >"$dir/broker.conf"
    if [ "$(id -u)" -eq 0 ]; then echo "user root" >>"$dir/broker.conf"; fi
    mosquitto -c "$dir/broker.conf" 2>"$dir/broker.log" &
    broker_pid=$!
    for _ in $(seq 50); do
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
        sleep 0.1
    done
    printf '[broker]\nport = %s\noutput = sparkplug\nsparkplug_group = packages\n' "$port" \
        >"$dir/gateway.conf"
    printf 'sparkplug_node = check\nstore = off\n\n[controller sim]\nconnection = %s\n' "$udp" \
        >>"$dir/gateway.conf"
    echo "tag = level AI1 Int16" >>"$dir/gateway.conf"
    mosquitto_sub -p "$port" -t 'spBv1.0/#' -C 2 -W 60 -F '%t' >"$dir/births" &
    sub_pid=$!
    sleep 1
    "$@" "$dir/gateway.conf" 2>"$dir/gateway.log" &
    gw_pid=$!
    wait "$sub_pid" || true
    kill "$gw_pid" "$broker_pid" 2>/dev/null || true
    wait "$gw_pid" "$broker_pid" 2>/dev/null || true
    sed 's/^/  /' "$dir/births"
    grep -q '^spBv1.0/packages/NBIRTH/check$' "$dir/births" &&
        grep -q '^spBv1.0/packages/DBIRTH/check/sim$' "$dir/births" && ok=1
    [ $ok = 1 ] || sed 's/^/  gateway: /' "$dir/gateway.log" >&2
    rm -rf "$dir"
    [ $ok = 1 ]
}

stop_sim() {
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
}

if builds "$native_arch"; then
echo
echo "== dpkg -i the $native_arch packages"
installed=1
native_debs=()
for pkg in "${PACKAGES[@]}"; do native_debs+=("$out/${pkg}_${version}_$native_arch.deb"); done
dpkg -i "${native_debs[@]}" >/dev/null
# Installed again, the gateway's maintainer scripts take their upgrade branches.
dpkg -i "$out/tarvik-gateway_${version}_$native_arch.deb" >/dev/null
# The unit as systemd reads it, with the program it starts in place. Manual pages may be left out
# of a container's installs, so systemd-analyze does not look for the one the unit names.
echo "\$ systemd-analyze verify --man=no /lib/systemd/system/tarvik-gateway.service"
if verify=$(systemd-analyze verify --man=no /lib/systemd/system/tarvik-gateway.service 2>&1) &&
    [ -z "$verify" ]; then
    echo "  (nothing to say)"
else
    echo "FAILED: systemd-analyze verify:" >&2
    echo "$verify" | sed 's/^/  /' >&2
    status=1
fi
# The installed programs, where the packages put them.
export TZ=${TZ:-:/etc/localtime}
if start_sim /usr/bin/tarvik-sim; then
    echo "\$ tarvik-gateway --check /etc/tarvik/gateway.conf"
    /usr/bin/tarvik-gateway --check /etc/tarvik/gateway.conf | sed 's/^/  /' || status=1
    sparkplug=/usr/share/doc/tarvik-gateway/examples/gateway-sparkplug.conf
    echo "\$ tarvik-gateway --check $sparkplug"
    /usr/bin/tarvik-gateway --check "$sparkplug" | sed 's/^/  /' || status=1
    echo "\$ tarvik-gateway, a Sparkplug edge node: its births"
    sparkplug_births /usr/bin/tarvik-gateway || { echo "FAILED: no Sparkplug births" >&2; status=1; }
    for args in info "connect $udp"; do
        echo "\$ tarvik-host $args"
        # shellcheck disable=SC2086
        /usr/bin/tarvik-host $args | sed 's/^/  /' || status=1
    done
else
    echo "FAILED: the installed simulator did not start" >&2
    status=1
fi
stop_sim
# Wireshark loads the installed dissector by itself.
if command -v tshark >/dev/null; then
    if tshark -G protocols 2>/dev/null | grep "^Tarvik controller protocol" >/dev/null; then
        echo "tshark loads the installed dissector"
    else
        echo "FAILED: tshark does not load the installed dissector" >&2
        status=1
    fi
fi

fi

if builds armel; then
# The armel packages' programs, unpacked into a scratch folder and run under qemu: the host
# program finds the library beside its installation and connects to the simulator.
echo
echo "== armel packages under qemu-arm-static -cpu arm926"
scratch=$(mktemp -d)
for pkg in liblibtarvik1 tarvik-gateway tarvik-tools; do dpkg-deb -x "$out/${pkg}_${version}_armel.deb" "$scratch"; done
armel_run=(qemu-arm-static -cpu arm926 -L "${TARVIK_ARMEL_DIR:-$HOME/.cache/tarvik-armel}/sysroot")
if start_sim "${armel_run[@]}" "$scratch/usr/bin/tarvik-sim"; then
    echo "\$ usr/bin/tarvik-gateway --check etc/tarvik/gateway.conf"
    "${armel_run[@]}" "$scratch/usr/bin/tarvik-gateway" --check "$scratch/etc/tarvik/gateway.conf" |
        sed "s|$scratch/||; s/^/  /" || status=1
    echo "\$ usr/bin/tarvik-gateway, a Sparkplug edge node: its births"
    sparkplug_births "${armel_run[@]}" "$scratch/usr/bin/tarvik-gateway" ||
        { echo "FAILED: no Sparkplug births from the armel gateway" >&2; status=1; }
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
stop_sim
rm -rf "$scratch"

fi

echo "== times: $native_arch packages $((native_done - start)) s, armel packages" \
    "$((armel_done - native_done)) s, lintian $((lint_done - armel_done)) s," \
    "total $((SECONDS - start)) s"
echo "packages in $out"
exit $status
