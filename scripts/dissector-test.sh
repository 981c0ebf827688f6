#!/usr/bin/env bash
# Tests the Wireshark dissector tools/wireshark/tarvik.lua with tshark, in two parts:
#
#   frames  the rows of tests/tools/frames.txt, made into a capture with text2pcap
#           (requests, answers, link checks, faults, the heuristic, the driver's port 500);
#   live    simulator traffic captured on loopback with dumpcap while tarvik-host reads and
#           writes tags (tests/tools/live.txt), the simulator misbehaving on cue: wrong
#           sequence, short, oversized, decoy and late answers, one of them arriving while the
#           next program waits for its own.
#
# Each row names the fields tshark -T fields must print for its frame. The live part is left
# out, saying why, when dumpcap cannot capture on lo or the programs are not built. Without
# tshark (as root it is installed from Debian's packages), or with a tshark without Lua, the
# script prints SKIPPED and why, and exits 0.
#
# Usage: scripts/dissector-test.sh [--host PATH] [--sim PATH] [--keep DIR]
#   --host, --sim   the programs for the live part (default build/bin/tarvik-host and
#                   build/sim/tarvik-sim); --keep DIR leaves the captures in DIR.
# Set TARVIK_NO_INSTALL=1 to never install anything.
set -uo pipefail
source "$(dirname "$0")/common.sh"
export TZ=${TZ:-:/etc/localtime}

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DISSECTOR=$ROOT/tools/wireshark/tarvik.lua
# This copy, not one a package installed into Wireshark's plugin folder.
export TARVIK_DISSECTOR=$DISSECTOR
FRAMES=$ROOT/tests/tools/frames.txt
LIVE=$ROOT/tests/tools/live.txt
HOST=$ROOT/build/bin/tarvik-host
SIM=$ROOT/build/sim/tarvik-sim
KEEP=

ARGS=("$@")
IN_NAMESPACE=0
while [ $# -gt 0 ]; do
    case $1 in
    --host) HOST=$2; shift 2 ;;
    --sim) SIM=$2; shift 2 ;;
    --keep) KEEP=$2; shift 2 ;;
    --in-namespace) IN_NAMESPACE=1; shift ;;
    *) echo "usage: $0 [--host PATH] [--sim PATH] [--keep DIR]" >&2; exit 2 ;;
    esac
done

skip() {
    echo "SKIPPED: $*"
    exit 0
}

# ---------------------------------------------------------------------------------------------
# tshark with Lua

install_tshark() {
    [ "${TARVIK_NO_INSTALL:-0}" = 1 ] && return 1
    [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null || return 1
    echo "Installing tshark from Debian's packages"
    export DEBIAN_FRONTEND=noninteractive
    local install=(timeout 600 apt-get install -y -qq --no-install-recommends tshark)
    "${install[@]}" >/dev/null 2>&1 && return 0
    timeout 300 apt-get update -qq >/dev/null 2>&1 && "${install[@]}" >/dev/null 2>&1
}

if ! command -v tshark >/dev/null || ! command -v text2pcap >/dev/null ||
    ! command -v mergecap >/dev/null; then
    install_tshark || skip "tshark, text2pcap and mergecap are not installed and cannot be" \
        "installed here (apt-get install tshark as root)"
    hash -r
    command -v tshark >/dev/null || skip "tshark is still missing after installing it"
fi
if ! tshark -v 2>/dev/null | grep "with Lua" >/dev/null; then
    skip "this tshark has no Lua support ($(tshark -v 2>/dev/null | head -n 1))"
fi
# The live part sees only its own traffic in a network namespace of its own, where one can be
# made (as root): other programs' loopback datagrams cannot slip into its capture there.
if [ "$IN_NAMESPACE" = 0 ] && [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null &&
    command -v ip >/dev/null && unshare -n true 2>/dev/null; then
    exec unshare -n bash "${BASH_SOURCE[0]}" --in-namespace "${ARGS[@]}"
fi
SIM_ADDRESS=127.0.0.1
if [ "$IN_NAMESPACE" = 1 ]; then
    ip link set lo up || skip "cannot bring up lo in a network namespace of its own"
else
    # Shared loopback: an address of its own keeps most other traffic out of the capture.
    SIM_ADDRESS=127.0.0.$((20 + RANDOM % 200))
fi
echo "$(tshark -v 2>/dev/null | head -n 1)"

WORK=$(mktemp -d)
cleanup() {
    [ -n "${DUMPCAP_PID:-}" ] && kill -INT "$DUMPCAP_PID" 2>/dev/null
    [ -n "${SIM_PID:-}" ] && kill "$SIM_PID" 2>/dev/null
    if [ -n "$KEEP" ]; then
        mkdir -p "$KEEP" && cp "$WORK"/*.pcapng "$KEEP"/ 2>/dev/null
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

passed=0
failed=0

# ---------------------------------------------------------------------------------------------
# Comparing fields

# A value as compared: numbers in decimal (tshark prints some in 0x hex), booleans as 1 or 0.
normalise() {
    local value=$1 out=() item
    [ -z "$value" ] && return 0
    IFS=',' read -r -a items <<<"$value"
    for item in "${items[@]}"; do
        case $item in
        True) out+=(1) ;;
        False) out+=(0) ;;
        0x[0-9a-fA-F]*) out+=($((item))) ;;
        *) out+=("$item") ;;
        esac
    done
    local IFS=','
    echo "${out[*]}"
}

# The FIELD=VALUE pairs of an expectation, one per line; a value may hold blanks ("256-byte
# slots"): words without a field name of their own belong to the value before them.
pairs_of() {
    local word pair= words
    read -r -a words <<<"$1"
    for word in "${words[@]}"; do
        if [[ $word == *=* && ${word%%=*} =~ ^[a-z_]+(\.[a-zA-Z0-9_]+)+$ ]]; then
            [ -n "$pair" ] && echo "$pair"
            pair=$word
        else
            pair+=" $word"
        fi
    done
    [ -n "$pair" ] && echo "$pair"
}

# Dissects a capture and checks each frame against its expectations.
#   check_capture PART CAPTURE EXPECTATIONS_FILE [tshark options...]
# EXPECTATIONS_FILE: one line per frame, "label<TAB>FIELD=VALUE FIELD=VALUE ...".
check_capture() {
    local part=$1 capture=$2 expectations=$3
    shift 3
    local fields=() seen=" " words pair field
    while IFS=$'\t' read -r _ words; do
        while IFS= read -r pair; do
            field=${pair%%=*}
            case $seen in *" $field "*) ;; *) fields+=("$field"); seen+="$field " ;; esac
        done < <(pairs_of "$words")
    done <"$expectations"
    local args=()
    for field in "${fields[@]}"; do args+=(-e "$field"); done

    local output=$WORK/$part.fields
    if ! tshark -n -X "lua_script:$DISSECTOR" "$@" -r "$capture" -T fields -E 'separator=|' \
        -E occurrence=a -E aggregator=, -e frame.number "${args[@]}" >"$output" \
        2>"$WORK/$part.stderr"; then
        echo "FAIL $part: tshark failed:"
        grep -v "Running as user" "$WORK/$part.stderr"
        failed=$((failed + 1))
        return
    fi
    if grep -qi "lua" "$WORK/$part.stderr"; then
        echo "FAIL $part: the dissector did not load:"
        cat "$WORK/$part.stderr"
        failed=$((failed + 1))
        return
    fi

    local frames expected
    frames=$(wc -l <"$output")
    expected=$(wc -l <"$expectations")
    if [ "$frames" -ne "$expected" ]; then
        echo "FAIL $part: the capture holds $frames frames, $expected expected"
        failed=$((failed + 1))
    fi

    local n=0 label line values i problems want got
    while IFS=$'\t' read -r label words; do
        n=$((n + 1))
        line=$(sed -n "${n}p" "$output")
        # A sentinel keeps a last empty value.
        IFS='|' read -r -a values <<<"$line|end"
        problems=
        while IFS= read -r pair; do
            field=${pair%%=*}
            want=${pair#*=}
            got=
            for i in "${!fields[@]}"; do
                [ "${fields[$i]}" = "$field" ] && got=${values[$((i + 1))]:-}
            done
            if [ "$want" = "*" ]; then
                [ -z "$got" ] && problems+=" $field absent, expected present;"
            elif [ "$(normalise "$got")" != "$(normalise "$want")" ]; then
                problems+=" $field '$got', expected '$want';"
            fi
        done < <(pairs_of "$words")
        if [ -z "$problems" ]; then
            passed=$((passed + 1))
        else
            echo "FAIL $part frame $n ($label):$problems"
            failed=$((failed + 1))
        fi
    done <"$expectations"
    echo "$part: $n frames checked"
}

# ---------------------------------------------------------------------------------------------
# The frames part: frames made from hex

# Expands "XX*N" into N bytes XX and drops blanks.
hex_bytes() {
    local token out= tokens
    read -r -a tokens <<<"$1"
    for token in "${tokens[@]}"; do
        if [[ $token == *'*'* ]]; then
            local byte=${token%%\**} count=${token##*\*} k
            for ((k = 0; k < count; k++)); do out+=$byte; done
        else
            out+=$token
        fi
    done
    echo "$out"
}

# Seconds since the start as a time text2pcap reads, on a fixed day.
timestamp() {
    local whole=${1%%.*} fraction=${1#*.}
    printf '2024-01-01 00:%02d:%02d.%s' $((whole / 60)) $((whole % 60)) "$fraction"
}

frames_part() {
    local expectations=$WORK/frames.expect n=0 name time route hex expect
    : >"$expectations"
    while IFS='|' read -r name time route hex expect; do
        [[ $name =~ ^[[:space:]]*(#|$) ]] && continue
        n=$((n + 1))
        name=$(echo "$name" | sed 's/^ *//; s/ *$//')
        local from to
        from=$(echo "${route%%>*}" | tr -d ' ')
        to=$(echo "${route#*>}" | tr -d ' ')
        # The regex import reads a file (it maps it), not a pipe.
        printf '%s %s\n' "$(timestamp "$(echo "$time" | tr -d ' ')")" "$(hex_bytes "$hex")" \
            >"$WORK/frame.txt"
        text2pcap -q -r '^(?<time>\S+ \S+) (?<data>[0-9a-fA-F]+)$' -t '%Y-%m-%d %H:%M:%S.%f' \
            -4 "${from%:*},${to%:*}" -u "${from##*:},${to##*:}" "$WORK/frame.txt" \
            "$WORK/frame-$(printf '%04d' $n).pcapng" 2>"$WORK/text2pcap.err" || {
            echo "FAIL frames: text2pcap refused row $n ($name):"
            cat "$WORK/text2pcap.err"
            failed=$((failed + 1))
            return
        }
        printf '%s\t%s\n' "$name" "$(echo "$expect" | sed 's/^ *//; s/ *$//')" >>"$expectations"
    done <"$FRAMES"
    mergecap -a -w "$WORK/frames.pcapng" "$WORK"/frame-*.pcapng
    check_capture frames "$WORK/frames.pcapng" "$expectations" -o tarvik.udp_port:700 \
        -o "tarvik.types:AI_F=Int16,LW=Int64,LA1=Float,AI_F4=UInt8,HAI=Double"
}

# ---------------------------------------------------------------------------------------------
# The live part: simulator traffic on loopback

SIM_PORT=
CONTROL_PORT=

start_simulator() {
    # The files exist before the programs start writing them: the waits below read them at once.
    : >"$WORK/sim.out"
    "$SIM" --address "$SIM_ADDRESS" --port 0 --pattern >"$WORK/sim.out" 2>"$WORK/sim.err" &
    SIM_PID=$!
    local i
    for ((i = 0; i < 400; i++)); do
        grep -q '^ready' "$WORK/sim.out" && break
        kill -0 "$SIM_PID" 2>/dev/null || break
        sleep 0.05
    done
    SIM_PORT=$(sed -n "s/^udp $SIM_ADDRESS:\\([0-9]*\\)\$/\\1/p" "$WORK/sim.out")
    CONTROL_PORT=$(sed -n "s/^control $SIM_ADDRESS:\\([0-9]*\\)\$/\\1/p" "$WORK/sim.out")
    [ -n "$SIM_PORT" ] && [ -n "$CONTROL_PORT" ]
}

# One command to the simulator's control port; its answer must begin with "ok".
control() {
    sim_control "$SIM_ADDRESS:$CONTROL_PORT" "$@"
}

# Starts dumpcap on lo and waits until it captures: false (with the reason in $WORK/dumpcap.err)
# when it cannot. It stops by itself after $1 packets.
start_capture() {
    # The simulator's traffic, and its decoys from 127.0.0.2 (sent from its own port number).
    local filter="udp port $SIM_PORT and (host $SIM_ADDRESS or src host 127.0.0.2)"
    : >"$WORK/dumpcap.err"
    dumpcap -i lo -f "$filter" -a "packets:$1" -w "$WORK/live.pcapng" \
        >"$WORK/dumpcap.out" 2>"$WORK/dumpcap.err" &
    DUMPCAP_PID=$!
    local i
    for ((i = 0; i < 200; i++)); do
        grep -q "Capturing on" "$WORK/dumpcap.err" && return 0
        kill -0 "$DUMPCAP_PID" 2>/dev/null || { DUMPCAP_PID=; return 1; }
        sleep 0.05
    done
    kill -INT "$DUMPCAP_PID" 2>/dev/null
    DUMPCAP_PID=
    echo "dumpcap did not start capturing within 10 s" >>"$WORK/dumpcap.err"
    return 1
}

live_part() {
    if [ ! -x "$HOST" ] || [ ! -x "$SIM" ]; then
        echo "(live capture left out: $HOST or $SIM is not built)"
        return
    fi
    if ! start_simulator; then
        echo "FAIL live: the simulator did not start:"
        cat "$WORK/sim.err"
        failed=$((failed + 1))
        return
    fi

    # The frames every command's traffic must show, in order, with a closing marker datagram.
    local expectations=$WORK/live.expect line command=
    : >"$expectations"
    while IFS= read -r line; do
        case $line in
        '' | '#'* | 'pause '*) ;;
        'link'*)
            printf 'link check request\ttarvik.linkcheck=1 tarvik.answer=0\n' >>"$expectations"
            printf 'link check answer\ttarvik.linkcheck=1 tarvik.answer=1\n' >>"$expectations" ;;
        'frame '*)
            printf '%s\t%s\n' "$command" "${line#frame }" >>"$expectations" ;;
        *) command=$line ;;
        esac
    done <"$LIVE"
    printf 'closing marker\tudp.length=9 tarvik.malformed=*\n' >>"$expectations"
    local packets
    packets=$(wc -l <"$expectations")

    if ! start_capture "$packets"; then
        echo "(live capture left out: dumpcap cannot capture on lo: $(tail -n 1 "$WORK/dumpcap.err"))"
        return
    fi

    # Lines: "control ..." to the simulator's control port, "pause S" waits S seconds, "EXIT
    # host ARGS" runs tarvik-host ARGS (PEER: the simulator's address) and expects exit status
    # EXIT (* any).
    local status words
    while IFS= read -r line; do
        case $line in
        '' | '#'* | 'link'* | 'frame '*) continue ;;
        'control '*)
            control "${line#control }" || failed=$((failed + 1)) ;;
        'pause '*)
            sleep "${line#pause }" ;;
        *)
            read -r -a words <<<"${line//PEER/$SIM_ADDRESS:$SIM_PORT}"
            local want=${words[0]}
            LC_ALL=C.UTF-8 "$HOST" "${words[@]:2}" >"$WORK/host.out" 2>&1
            status=$?
            if [ "$want" != '*' ] && [ "$status" -ne "$want" ]; then
                echo "FAIL live: '${words[*]:2}' exited with $status, $want expected:"
                cat "$WORK/host.out"
                failed=$((failed + 1))
            fi ;;
        esac
    done <"$LIVE"
    # The marker is the last packet; dumpcap stops once it has all of them.
    printf 'x' >"/dev/udp/$SIM_ADDRESS/$SIM_PORT"

    local i
    for ((i = 0; i < 200; i++)); do
        kill -0 "$DUMPCAP_PID" 2>/dev/null || break
        sleep 0.05
    done
    if kill -0 "$DUMPCAP_PID" 2>/dev/null; then
        kill -INT "$DUMPCAP_PID"
        wait "$DUMPCAP_PID" 2>/dev/null
        echo "FAIL live: fewer packets than the $packets expected within 10 s"
        failed=$((failed + 1))
    fi
    wait "$DUMPCAP_PID" 2>/dev/null
    DUMPCAP_PID=
    check_capture live "$WORK/live.pcapng" "$expectations" -o "tarvik.udp_port:$SIM_PORT" \
        -o "tarvik.types:AI_F=Int16,AI=Int16,AO=Int16"
}

frames_part
live_part
echo "dissector: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
