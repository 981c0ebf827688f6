# Shared by the scripts: the packages the project needs, and installing them.

# Build and test dependencies, all from Debian 12's own packages.
TARVIK_PACKAGES=(cmake ninja-build g++ pkg-config qtbase5-dev libqt5serialport5-dev libmosquitto-dev nlohmann-json3-dev libsqlite3-dev protobuf-c-compiler libprotobuf-c-dev)
# What the tests need besides: tshark checks the protocol dissector against captured traffic,
# tmux runs the live table in a terminal of a known size, help2man checks the manual pages; the
# gateway tests run a mosquitto broker, subscribe with its clients and make a CA with openssl;
# protoc reads and writes the gateway's Sparkplug payloads independently of the code under test;
# the gateway's tests run again with MQTT 3.1.1 against mosquitto and nats-server; promtool
# (of prometheus) checks the gateway's metrics as a scraper's server would take them.
TARVIK_TEST_PACKAGES=(tshark tmux help2man mosquitto mosquitto-clients openssl protobuf-compiler nats-server prometheus)
# What scripts/package.sh needs besides: dpkg-dev and debhelper make the packages and the
# gateway's maintainer scripts, lintian checks them, systemd-analyze checks the installed unit;
# the installed gateway runs as a Sparkplug node on a mosquitto broker.
TARVIK_PACKAGING_PACKAGES=(dpkg-dev debhelper lintian systemd mosquitto mosquitto-clients)

missing_packages() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
    done
}

# Installs what is missing when run as root; otherwise names it and stops.
ensure_packages() {
    local missing
    missing=$(missing_packages "$@")
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing: $missing"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
    else
        echo "These packages are missing; install them as root first:" >&2
        echo "  apt-get install $missing" >&2
        exit 1
    fi
}

# Configures and builds one tree: build_tree DIR [cmake options...]. BUILD_TARGETS, when set,
# names the targets to build (all by default). The compiler's output goes to DIR/build.log and
# is shown only when the build fails.
build_tree() {
    local dir=$1
    shift
    mkdir -p "$dir"
    local targets=()
    [ -n "${BUILD_TARGETS:-}" ] && targets=(--target $BUILD_TARGETS)
    echo "Building in $dir"
    if ! { cmake -S "$TARVIK_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" &&
        cmake --build "$dir" -j "$(nproc)" "${targets[@]}"; } >"$dir/build.log" 2>&1; then
        tail -n 60 "$dir/build.log" >&2
        echo "The build failed; the whole log is in $dir/build.log" >&2
        return 1
    fi
}

TARVIK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Runs FUNC ITEM for each item, as many at once as there are CPUs: each run's output is held and
# printed whole, in the items' order, and the status is 1 when any run failed. For checks that
# keep one CPU busy each (fuzz targets, valgrind), which one after the other leave the rest idle.
each_in_parallel() {
    local func=$1
    shift
    local held i=0 n status=0 item
    held=$(mktemp -d)
    for item in "$@"; do
        while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do wait -n || true; done
        (if "$func" "$item" >"$held/$i.log" 2>&1; then echo 0; else echo 1; fi >"$held/$i.rc") &
        i=$((i + 1))
    done
    wait
    for ((n = 0; n < i; n++)); do
        cat "$held/$n.log"
        [ "$(cat "$held/$n.rc" 2>/dev/null)" = 0 ] || status=1
    done
    rm -rf "$held"
    return $status
}

# The script's leading comment, as its usage text.
script_usage() {
    sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'
}

# The one option of the packaging scripts: keep=1 with --keep, 0 without; --help prints the
# usage and ends the script with 0, anything else with 2.
read_keep_option() {
    keep=0
    case ${1:-} in
    --keep) keep=1 ;;
    "") ;;
    -h | --help)
        script_usage
        exit 0
        ;;
    *)
        script_usage >&2
        exit 2
        ;;
    esac
}

# sim_control ADDRESS:PORT COMMAND...: one command to a simulator's control port, done when its
# answer (beginning with "ok") has come back; false, with the answer or its absence said, when
# it does not within 5 s.
sim_control() {
    local endpoint=$1 reply
    shift
    exec 3<>"/dev/udp/${endpoint%:*}/${endpoint##*:}"
    printf '%s' "$*" >&3
    reply=$(timeout 5 dd bs=65536 count=1 <&3 2>/dev/null) || true
    exec 3<&-
    [[ $reply == ok* ]] || { echo "simulator control '$*': ${reply:-no answer}" >&2; return 1; }
}

# Starts a simulator (the command in "$@") writing its announcements to $announce, and sets
# $sim_pid and $udp, the UDP endpoint it serves. Fails when it has not said "ready" within 10 s.
start_simulator() {
    "$@" >"$announce" &
    sim_pid=$!
    for _ in $(seq 200); do
        grep -q '^ready' "$announce" && break
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.05
    done
    udp=$(sed -n 's/^udp //p' "$announce")
    grep -q '^ready' "$announce" && [ -n "$udp" ]
}
