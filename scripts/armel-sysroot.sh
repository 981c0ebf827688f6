#!/usr/bin/env bash
# Assembles the armel sysroot the cross build links against and qemu runs the programs in:
# Debian 12's armel packages of Qt 5 (Core, Network, SerialPort, Test) and everything they need
# at run time, unpacked into a folder. Nothing armel is installed into the system.
#
#   bash scripts/armel-sysroot.sh          # prints the sysroot's path on its last line
#
# TARVIK_ARMEL_DIR (default ~/.cache/tarvik-armel) holds the sysroot (sysroot/), the downloaded
# .debs and a private apt state. A second run reuses all of it and only checks that the package
# versions have not moved; when they have, it downloads what changed and unpacks afresh.
set -euo pipefail
source "$(dirname "$0")/common.sh"

# Cross compiler, user-mode emulator, apt-get download and dpkg-deb.
TARVIK_ARMEL_HOST_PACKAGES=(g++-arm-linux-gnueabi qemu-user-static dpkg-dev)
ensure_packages "${TARVIK_PACKAGES[@]}" "${TARVIK_ARMEL_HOST_PACKAGES[@]}"

dir=${TARVIK_ARMEL_DIR:-$HOME/.cache/tarvik-armel}
sysroot=$dir/sysroot
mkdir -p "$dir/apt/lists/partial" "$dir/apt/cache/archives/partial" "$dir/apt/sources.d" \
    "$dir/debs"
: >"$dir/apt/status"

# The libraries the programs and the tests load, with their whole run-time closure (libmosquitto
# and libprotobuf-c for the gateway).
runtime=(libqt5core5a libqt5network5 libqt5serialport5 libqt5test5 libmosquitto1 libsqlite3-0
    libprotobuf-c1)
# Headers, CMake package files and mkspecs, unpacked on their own: their dependencies are the
# GUI stack, which nothing here uses. The host's protoc-c generates the Sparkplug code for the
# cross build too; only libprotobuf-c's headers and library come from here.
devel=(qtbase5-dev libqt5serialport5-dev qt5-qmake libmosquitto-dev nlohmann-json3-dev libsqlite3-dev
    libprotobuf-c-dev)

# An armel-only view of apt: the Debian archives this machine already uses, its own lists and an
# empty dpkg status, so the resolver plans a complete armel installation from nothing and the
# system's apt state stays untouched.
debian_archives() {
    # shellcheck disable=SC2016 # apt fills in the $(...) fields
    apt-get indextargets --format '$(TARGET_OF) $(ORIGIN) $(REPO_URI) $(RELEASE) $(COMPONENT)' |
        awk '$1 == "deb" && $2 == "Debian" { print "deb [arch=armel] " $3 " " $4 " " $5 }' |
        sort -u
}
debian_archives >"$dir/apt/sources.list"
if [ ! -s "$dir/apt/sources.list" ] && [ "$(id -u)" -eq 0 ]; then
    # The machine's own lists are gone (a cleaned image): fetch them to learn its archives.
    apt-get update -qq
    debian_archives >"$dir/apt/sources.list"
fi
if [ ! -s "$dir/apt/sources.list" ]; then
    echo "No Debian archive found in apt's lists; run apt-get update first" >&2
    exit 1
fi
apt_armel=(-o APT::Architecture=armel -o APT::Architectures=armel
    -o Dir::State::status="$dir/apt/status" -o Dir::State::Lists="$dir/apt/lists"
    -o Dir::Cache="$dir/apt/cache" -o Dir::Etc::SourceList="$dir/apt/sources.list"
    -o Dir::Etc::SourceParts="$dir/apt/sources.d" -o Debug::NoLocking=1 -q)

if ! apt-get "${apt_armel[@]}" update >"$dir/apt/update.log" 2>&1; then
    # Offline: the lists of the last run still describe the sysroot that is there.
    if ls "$dir"/apt/lists/*armel_Packages* >/dev/null 2>&1; then
        echo "warning: apt-get update failed (see $dir/apt/update.log); using the lists of the last run" >&2
    else
        cat "$dir/apt/update.log" >&2
        exit 1
    fi
fi

# name=version of every package to unpack.
wanted=$(
    apt-get "${apt_armel[@]}" -s install --no-install-recommends "${runtime[@]}" |
        awk '$1 == "Inst" { gsub(/[()]/, "", $3); print $2 "=" $3 }'
    apt-cache "${apt_armel[@]}" policy "${devel[@]}" |
        awk '/^[^ ]/ { name = $1; sub(/:$/, "", name) }
             $1 == "Candidate:" && $2 != "(none)" { print name "=" $2 }'
)
wanted=$(sort -u <<<"$wanted")
for p in "${runtime[@]}" "${devel[@]}"; do
    grep -q "^$p=" <<<"$wanted" || { echo "the armel view does not resolve $p" >&2; exit 1; }
done

if [ -f "$dir/sysroot.stamp" ] && [ -d "$sysroot" ] && [ "$(cat "$dir/sysroot.stamp")" = "$wanted" ]; then
    echo "armel sysroot up to date ($(wc -l <<<"$wanted") packages)"
    echo "$sysroot"
    exit 0
fi

echo "Assembling the armel sysroot from $(wc -l <<<"$wanted") packages"
# apt-get download names files name_version_arch.deb with the epoch's colon escaped.
missing=()
while IFS='=' read -r name version; do
    compgen -G "$dir/debs/${name}_${version//:/%3a}_*.deb" >/dev/null || missing+=("$name=$version")
done <<<"$wanted"
if [ ${#missing[@]} -gt 0 ]; then
    # apt's unprivileged download user cannot write into root's home.
    sandbox=()
    [ "$(id -u)" -eq 0 ] && sandbox=(-o APT::Sandbox::User=root)
    (cd "$dir/debs" && apt-get "${apt_armel[@]}" "${sandbox[@]}" download "${missing[@]}" >/dev/null)
fi

staging=$dir/sysroot.new
rm -rf "$staging"
mkdir -p "$staging"
while IFS='=' read -r name version; do
    debs=("$dir/debs/${name}_${version//:/%3a}_"*.deb)
    dpkg-deb -x "${debs[0]}" "$staging"
done <<<"$wanted"

# Absolute symlinks (libfoo.so -> /usr/lib/...) would point into the build machine's own
# libraries: make them relative so they stay inside the sysroot wherever it lives.
while IFS= read -r -d '' link; do
    target=$(readlink "$link")
    case $target in
    /*) ln -sfn "$(realpath -m -s --relative-to="$(dirname "$link")" "$staging$target")" "$link" ;;
    esac
done < <(find "$staging" -type l -print0)

rm -rf "$sysroot"
mv "$staging" "$sysroot"
# The previous runs' .debs of versions no longer wanted.
while IFS= read -r -d '' deb; do
    base=$(basename "$deb")
    grep -qxF "${base%_*}" <(sed 's/=/_/; s/:/%3a/' <<<"$wanted") || rm -f "$deb"
done < <(find "$dir/debs" -name '*.deb' -print0)
echo "$wanted" >"$dir/sysroot.stamp"
echo "armel sysroot ready: $(du -sh "$sysroot" | cut -f1) in $(find "$sysroot" -type f | wc -l) files"
echo "$sysroot"
