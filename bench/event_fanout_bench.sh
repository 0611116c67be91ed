#!/usr/bin/env bash
# NOTIFY fan-out benchmark: events per second delivered to 1, 10 and 100
# subscribers by a zel_upnp device (asynchronous and synchronous events to
# all) and by a reference device written on Debian's libupnp, side by side;
# then 100 subscribers that answer each NOTIFY after 20 ms, as a phone on
# Wi-Fi does. Event i carries Status i, and every row must end with every
# subscriber's last NOTIFY carrying the last Status sent ("final" column);
# a row that does not fails the run. A device that merges waiting events
# delivers fewer NOTIFYs than it was asked to send: "delivered" counts
# NOTIFYs, not events.
#
#   bench/event_fanout_bench.sh [BUILD_DIR]
#
# The device runs in one private network namespace, the sink (notify_sink.py,
# an asynchronous HTTP server that subscribes N times and counts the NOTIFYs)
# in another, joined by a veth pair: nothing reaches this machine's
# interfaces. Every run is bounded by ZEL_BENCH_TIMEOUT seconds.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
tag=$$
dev_ns=zfan-dev-$tag
cp_ns=zfan-cp-$tag
dev_ip=10.216.1.1
cp_ip=10.216.1.2
port=49160
timeout=${ZEL_BENCH_TIMEOUT:-60}
total=${ZEL_BENCH_NOTIFIES:-5000}  # NOTIFYs per run, spread over the subscribers
work=$(mktemp -d /tmp/zel-fanout.XXXXXX)
pid=

cleanup() {
  [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  ip netns del "$dev_ns" 2>/dev/null || true
  ip netns del "$cp_ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

"$root/scripts/deps" libupnp-dev python3 >/dev/null
cmake --build "$build" --target zel_upnp >/dev/null
c++ -O2 -std=c++17 -o "$work/event-fanout-device" "$root/bench/event_fanout_device.cpp" \
  -I"$build/include" -L"$build" -lzel_upnp -lboost_thread -lboost_system -lpthread \
  -Wl,-rpath,"$build"
cc -O2 -Wall -o "$work/libupnp-event-device" "$root/bench/libupnp_event_device.c" \
  $(pkg-config --cflags --libs libupnp)
cp -r "$root/examples/sample_device/light" "$work/light"
sed -i 's|<UDN></UDN>|<UDN>uuid:fanout-light</UDN>|' "$work/light/DeviceDescription.xml"

ip netns add "$dev_ns"
ip netns add "$cp_ns"
ip -n "$dev_ns" link add zf0 type veth peer name zf1 netns "$cp_ns"
for link_def in "$dev_ns:zf0:$dev_ip" "$cp_ns:zf1:$cp_ip"; do
  IFS=: read -r ns ifc ip <<<"$link_def"
  ip -n "$ns" link set lo up
  ip -n "$ns" addr add "$ip/24" dev "$ifc"
  ip -n "$ns" link set "$ifc" up
done
# Four more source addresses for the sink's SUBSCRIBEs: a device may bound
# the subscriptions one address holds (32 per service here).
sources=$cp_ip
for i in 10 11 12 13; do
  ip -n "$cp_ns" addr add "10.216.1.$i/24" dev zf1
  sources=$sources,10.216.1.$i
done

wait_line() {  # file pattern
  local i
  for i in $(seq 300); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}

missing=0
run() {  # name subscribers events answer-delay-ms command...
  local name=$1 n=$2 events=$3 delay=$4
  shift 4
  : >"$work/dev.out"
  ip netns exec "$dev_ns" "$@" >"$work/dev.out" 2>"$work/dev.err" &
  pid=$!
  wait_line "$work/dev.out" '^ready' || { cat "$work/dev.err"; echo "$name: no ready"; return 1; }
  ip netns exec "$cp_ns" timeout $((timeout + 15)) python3 "$root/bench/notify_sink.py" "$cp_ip" 40000 \
    "http://$dev_ip:$port/SwitchPower/event" "$n" $((events - 1)) "$timeout" "$delay" "$sources" >"$work/sink.out" 2>"$work/sink.err" &
  local sink=$!
  wait_line "$work/sink.out" '^initialised\|^initial events missing' || true
  kill -USR1 "$pid"
  wait "$sink" || true
  kill -TERM "$pid"; wait "$pid" 2>/dev/null || true; pid=
  local sent received span final
  sent=$(grep -o 'sent [0-9]* in [0-9.]* s' "$work/dev.out" || echo "sent ? in ? s")
  cat "$work/sink.err" >&2
  read -r received span < <(awk '/^received/{print $2, $4}' "$work/sink.out"; cat "$work/sink.out" >&2)
  final=$(awk '/^final/{print $2}' "$work/sink.out")
  [ "${final:-0}" -eq "$n" ] || missing=$((missing + 1))
  printf '%-18s %5d %7d %9d %8.3f %10.0f %5s/%-5d  (%s)\n' "$name" "$n" "$events" "$received" \
    "$span" "$(awk -v r="$received" -v s="$span" 'BEGIN{print (s > 0 ? r / s : 0)}')" \
    "${final:-0}" "$n" "$sent"
}

zel() {  # name subscribers events delay async|sync
  run "$1" "$2" "$3" "$4" "$work/event-fanout-device" zf0 "$dev_ip" 255.255.255.0 "$port" "$3" "$5"
}
libupnp() {  # name subscribers events delay
  run "$1" "$2" "$3" "$4" "$work/libupnp-event-device" zf0 "$port" "$work/light" "$3"
}

printf '%-18s %5s %7s %9s %8s %10s %11s\n' device subs events delivered seconds "NOTIFY/s" final
for n in 1 10 100; do
  events=$((total / n))
  zel "zel async" "$n" "$events" 0 async
  zel "zel sync" "$n" "$events" 0 sync
  libupnp "libupnp" "$n" "$events" 0
done
# Subscribers that answer after 20 ms.
events=$((total / 100))
zel "zel async 20ms" 100 "$events" 20 async
zel "zel sync 20ms" 100 "$events" 20 sync
libupnp "libupnp 20ms" 100 "$events" 20
if [ "$missing" -gt 0 ]; then
  echo "$missing row(s) ended with a subscriber missing the last state" >&2
  exit 1
fi
