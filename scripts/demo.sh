#!/usr/bin/env bash
# The main job: installs what is missing, builds, starts the controller simulator on loopback
# and drives the library through the host program, over UDP and over the simulator's
# pseudo-terminal; then the gateway publishes the simulator's tags to a mosquitto broker on a
# loopback port, as mosquitto_sub shows, and keeps what it reads while the broker is away; last,
# the gateway as a Sparkplug B edge node, its births and a command decoded by protoc.
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_packages "${TARVIK_PACKAGES[@]}" mosquitto mosquitto-clients protobuf-compiler
BUILD_TARGETS="LibTarvik tarvik-host tarvik-sim tarvik-gateway" build_tree "$TARVIK_ROOT/build" -DTARVIK_SANITIZE=OFF

bin=$TARVIK_ROOT/build/bin
sim=$TARVIK_ROOT/build/sim/tarvik-sim
host=$bin/tarvik-host
export TZ=${TZ:-:/etc/localtime}

announce=$(mktemp)
demo=$(mktemp -d)
"$sim" --port 0 --pty --pattern >"$announce" &
sim_pid=$!
broker_pid=
gateway_pid=
cleanup() {
    for pid in $gateway_pid $broker_pid $sim_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$announce" "$demo"
}
trap cleanup EXIT
for _ in $(seq 100); do
    grep -q '^ready' "$announce" && break
    kill -0 $sim_pid 2>/dev/null || { echo "the simulator did not start" >&2; exit 1; }
    sleep 0.05
done
grep -q '^ready' "$announce" || { echo "the simulator did not announce itself" >&2; exit 1; }
udp=$(sed -n 's/^udp //p' "$announce")
pty=$(sed -n 's/^pty //p' "$announce")
echo "simulator: UDP $udp, serial $pty"

run() {
    echo
    echo "\$ tarvik-host $*"
    "$host" "$@"
}

run info
run connect "$udp"
run connect "$pty,9600,8,1"

# Tags of every type from the simulator's image, over UDP and over its pseudo-terminal.
run read AI_F12 --type Int16 --count 3 --connect "$udp"
run read DI1 --type Bool --count 8 --connect "$udp" --json
run read LW1 --type Int32 --count 2 --connect "$pty,9600,8,1"
run read SI1 --type String --count 2 --connect "$pty,9600,8,1" --json

# Writes, read back.
run write AO1 --type Float --connect "$udp" 21.5 -3.25
run read AO1 --type Float --count 2 --connect "$udp" --json
# The controller takes 64-bit integers least significant byte first and hands them out most
# significant byte first: 1 comes back as 72057594037927936.
run write LA2 --type Int64 --connect "$pty,9600,8,1" 1
run read LA2 --type Int64 --connect "$pty,9600,8,1" --json
run write SI3 --type String --connect "$udp" "hello" "world"
run read SI3 --type String --count 2 --connect "$pty,9600,8,1" --json
run write DO1 --type Bool --connect "$udp" true false true
run read DO1 --type Bool --count 3 --connect "$udp" --json
# A value out of range is refused before anything is sent.
run write AI1 --type Int16 --connect "$udp" 40000 || echo "(exit status $?)"
# Three reads, one every 200 ms, with the counts at the end.
run poll AI1 --type UInt16 --count 2 --connect "$udp" --interval 200 --times 3
# A tag list over one link, each tag at its own interval, as records with time stamps and as CSV.
tags=$TARVIK_ROOT/docs/examples/tags.csv
run poll --tags "$tags" --connect "$udp" --times 2
run read --tags "$TARVIK_ROOT/docs/examples/tags.json" --connect "$pty,115200,8,1" --csv
# What the link looks like, in figures and in words.
run diagnose "$udp" --reads 10 --interval 20
# A port where nothing answers: the link check fails and the host says so.
run connect 127.0.0.1:9 || echo "(exit status $?)"

# The gateway. A broker of the demo's own on a free loopback port; the gateway's configuration
# names it and the simulator, over UDP.
echo
echo "== tarvik-gateway and a mosquitto broker"
port=
for candidate in $(shuf -i 20000-60000 -n 20); do
    (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null || { port=$candidate; break; }
done
[ -n "$port" ] || { echo "no free port for the broker" >&2; exit 1; }
# It keeps its sessions across a restart, as a plant's broker would: a historian's session then
# gets what was published for it while it was away.
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence true\npersistence_location %s/\n' \
    "$port" "$demo" >"$demo/broker.conf"
# Started as root, mosquitto would switch to its own user, which cannot read the demo's folder.
if [ "$(id -u)" -eq 0 ]; then echo "user root" >>"$demo/broker.conf"; fi
mosquitto -c "$demo/broker.conf" 2>"$demo/broker.log" &
broker_pid=$!
cat >"$demo/gateway.conf" <<CONF
[broker]
port = $port
prefix = demo
stats_interval = 2
store = $demo/history.sqlite

[controller sim]
connection = $udp
interval = 500
tag = level AI_F12 Int16 count=3 scale=0.1 unit=m description="Tank levels, A to C"
tag = pumps DI1 Bool count=4
tag = total LA2 Int64
tag = setpoint AO1 Float writable
tag = label SI1 String
CONF
echo "\$ cat gateway.conf"
sed 's/^/  /' "$demo/gateway.conf"
echo "\$ tarvik-gateway --check gateway.conf"
"$bin/tarvik-gateway" --check "$demo/gateway.conf"
for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
done
"$bin/tarvik-gateway" "$demo/gateway.conf" 2>"$demo/gateway.log" &
gateway_pid=$!
# The values and statuses; then what each tag is, retained beside its value (level is scaled:
# raw counts times 0.1, in metres).
for topics in "demo/sim/+ demo/gateway/status" "demo/sim/+/meta"; do
    set -- $topics
    count=$(( $# == 2 ? 7 : 5 ))
    echo "\$ mosquitto_sub -p $port$(printf " -t '%s'" "$@") -v -C $count -W 10"
    if ! mosquitto_sub -p "$port" $(printf -- "-t %s " "$@") -v -C $count -W 10 | sed 's/^/  /'; then
        echo "fewer than $count messages came in 10 s; the gateway's log:" >&2
        sed 's/^/  /' "$demo/gateway.log" >&2
        exit 1
    fi
done
# A write: its result, then the value read back.
echo "\$ mosquitto_pub -p $port -t demo/sim/setpoint/set -m 42.5"
mosquitto_sub -p "$port" -t 'demo/sim/setpoint/#' -v -C 5 -W 10 | sed 's/^/  /' &
sub_pid=$!
sleep 0.5
mosquitto_pub -p "$port" -t demo/sim/setpoint/set -m 42.5
wait $sub_pid || true

# The store: the broker stopped while the setpoint changes, then started again. What the gateway
# read meanwhile comes afterwards as history, to a historian's session that the broker kept.
echo
echo "== the broker away: what is read meanwhile is kept in the store and delivered as history"
mosquitto_sub -p "$port" -c -i demo-historian -q 1 -x 600 -t 'demo/+/history' -W 1 >/dev/null 2>&1 || true
echo "\$ kill -TERM <the broker>"
kill -TERM $broker_pid
wait $broker_pid || true
for _ in $(seq 100); do
    grep -q 'broker: lost' "$demo/gateway.log" && break
    sleep 0.1
done
changes=6
echo "\$ tarvik-host write AO1 --type Float --connect $udp N.5   # $changes times, 0.7 s apart"
for n in $(seq $changes); do
    "$host" write AO1 --type Float --connect "$udp" "$n.5" >/dev/null
    sleep 0.7
done
echo "\$ mosquitto -c broker.conf   # started again"
mosquitto -c "$demo/broker.conf" 2>>"$demo/broker.log" &
broker_pid=$!
for _ in $(seq 300); do
    grep -q 'connected again' "$demo/gateway.log" && break
    sleep 0.1
done
echo "\$ mosquitto_sub -p $port -c -i demo-historian -q 1 -x 600 -t 'demo/+/history' -v -W 3"
history=$(mosquitto_sub -p "$port" -c -i demo-historian -q 1 -x 600 -t 'demo/+/history' -v -W 3 2>/dev/null || true)
echo "$history" | sed 's/^/  /'
held=$(echo "$history" | grep -o '"tag":"setpoint"' | wc -l)
echo "history values of setpoint: $held; changes made while the broker was away: $changes"
echo "\$ mosquitto_sub -p $port -t demo/gateway/stats -C 1 -W 5"
mosquitto_sub -p "$port" -t demo/gateway/stats -C 1 -W 5 | grep -o '"store":.*' | sed 's/^/  /' || true
if [ "$held" -ne "$changes" ]; then
    echo "the history does not hold every change; the gateway's log:" >&2
    sed 's/^/  /' "$demo/gateway.log" >&2
    exit 1
fi

kill -TERM $gateway_pid
# It stops within a second or so; one that does not is killed after 10 s.
for _ in $(seq 100); do
    kill -0 $gateway_pid 2>/dev/null || break
    sleep 0.1
done
kill -KILL $gateway_pid 2>/dev/null || true
wait $gateway_pid || true
gateway_pid=
echo "the gateway's log (SIGTERM at the end):"
sed 's/^/  /' "$demo/gateway.log"

# The same controller through a Sparkplug B edge node: its births name every tag with its
# datatype, a command writes the setpoint, and the data confirm it. protoc reads and writes the
# payloads from the schema alone.
echo
echo "== tarvik-gateway as a Sparkplug B edge node"
cat >"$demo/sparkplug.conf" <<CONF
[broker]
port = $port
client_id = demo-node
output = sparkplug
sparkplug_group = demo
sparkplug_node = gateway
store = off

[controller sim]
connection = $udp
interval = 500
tag = level AI_F12 Int16 count=3 scale=0.1 unit=m
tag = total LA2 Int64
tag = setpoint AO1 Float writable
CONF
echo "\$ cat sparkplug.conf"
sed 's/^/  /' "$demo/sparkplug.conf"
protoc_payload() {
    protoc "$1=tarvik.sparkplug.Payload" -I "$TARVIK_ROOT/gateway" sparkplug_b.proto
}
# Each message's payload into a file of its own (births are not retained: the subscribers are
# in place first).
receive() {
    mosquitto_sub -p "$port" -t "spBv1.0/demo/$1" -C 1 -W 15 -N >"$demo/$2" 2>/dev/null &
}
show() {
    echo "\$ protoc --decode=tarvik.sparkplug.Payload sparkplug_b.proto < $1   # $2"
    if ! protoc_payload --decode <"$demo/$1" | sed 's/^/  /'; then
        echo "no $2 came; the node's log:" >&2
        sed 's/^/  /' "$demo/sparkplug.log" >&2
        exit 1
    fi
}
receive NBIRTH/gateway nbirth.bin
nbirth_pid=$!
receive DBIRTH/gateway/sim dbirth.bin
dbirth_pid=$!
sleep 0.5
"$bin/tarvik-gateway" "$demo/sparkplug.conf" 2>"$demo/sparkplug.log" &
gateway_pid=$!
wait $nbirth_pid $dbirth_pid || true
show nbirth.bin "spBv1.0/demo/NBIRTH/gateway"
show dbirth.bin "spBv1.0/demo/DBIRTH/gateway/sim"
command='metrics { name: "setpoint" datatype: 9 float_value: 7.25 }'
echo "\$ echo '$command' | protoc --encode=… | mosquitto_pub -t spBv1.0/demo/DCMD/gateway/sim -s"
receive DDATA/gateway/sim ddata.bin
ddata_pid=$!
sleep 0.5
echo "$command" | protoc_payload --encode >"$demo/dcmd.bin"
mosquitto_pub -p "$port" -q 1 -t spBv1.0/demo/DCMD/gateway/sim -f "$demo/dcmd.bin"
wait $ddata_pid || true
show ddata.bin "spBv1.0/demo/DDATA/gateway/sim: the write read back"
echo "\$ tarvik-host read AO1 --type Float --connect $udp"
"$host" read AO1 --type Float --connect "$udp" | sed 's/^/  /'
if ! protoc_payload --decode <"$demo/ddata.bin" | grep -q 'float_value: 7.25'; then
    echo "the data do not confirm the write; the node's log:" >&2
    sed 's/^/  /' "$demo/sparkplug.log" >&2
    exit 1
fi
kill -TERM $gateway_pid
wait $gateway_pid || true
gateway_pid=
echo "the node's log (SIGTERM at the end):"
sed 's/^/  /' "$demo/sparkplug.log"
echo
echo "done"
