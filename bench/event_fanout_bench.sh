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
# Then the starvation row: 256 subscriptions from 8 addresses (32 each)
# whose callbacks read every NOTIFY and never answer, beside one live
# control point that subscribes after them; the device sends STARVE_EVENTS
# Status changes, one every STARVE_INTERVAL_MS. It prints the live one's
# initial-event latency (from its SUBSCRIBE answer), the worst latency of a
# change (event sent to the first NOTIFY carrying that state or a later one),
# and the Status it ends on.
#
#   bench/event_fanout_bench.sh [BUILD_DIR]      (as root; default BUILD_DIR: build)
#
# The device runs in one private network namespace, in a session of its own
# (setsid) as a daemon is, the sink (notify_sink.py, an asynchronous HTTP
# server that subscribes N times and counts the NOTIFYs) in another, joined
# by a veth pair: nothing reaches this machine's interfaces. The rows
# alternate the devices in ZB_ROUNDS rounds (see bench/lib.sh). Every run is
# bounded by ZEL_BENCH_TIMEOUT seconds.
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"
bench_init fanout

build=$(cd "${1:-$bench_root/build}" && pwd)
readonly dev_ns=zfan-dev-$$
readonly cp_ns=zfan-cp-$$
readonly dev_ip=10.216.1.1
readonly cp_ip=10.216.1.2
readonly port=49160
timeout=${ZEL_BENCH_TIMEOUT:-60}
total=${ZEL_BENCH_NOTIFIES:-5000}  # NOTIFYs per run, spread over the subscribers
work=$bench_work

bench_need libupnp-dev /usr/include/upnp/upnp.h
bench_need python3 python3
cmake --build "$build" --target zel_upnp >/dev/null
c++ -O2 -std=c++17 -o "$work/event-fanout-device" "$bench_root/bench/event_fanout_device.cpp" \
  -I"$build/include" -L"$build" -lzel_upnp -lboost_thread -lboost_system -lpthread \
  -Wl,-rpath,"$build"
# shellcheck disable=SC2046  # pkg-config prints several words
cc -O2 -Wall -o "$work/libupnp-event-device" "$bench_root/bench/libupnp_event_device.c" \
  $(pkg-config --cflags --libs libupnp)
cp -r "$bench_root/examples/sample_device/light" "$work/light"
sed -i 's|<UDN></UDN>|<UDN>uuid:fanout-light</UDN>|' "$work/light/DeviceDescription.xml"

bench_require_quiet
bench_netns_pair "$dev_ns" "$cp_ns" zf0 zf1 "$dev_ip" "$cp_ip"
# Four more source addresses for the sink's SUBSCRIBEs: a device may bound
# the subscriptions one address holds (32 per service here).
sources=$cp_ip
for i in 10 11 12 13; do
  ip -n "$cp_ns" addr add "10.216.1.$i/24" dev zf1
  sources=$sources,10.216.1.$i
done

# Eight more for the silent subscribers of the starvation row.
silent_sources=""
for i in 20 21 22 23 24 25 26 27; do
  ip -n "$cp_ns" addr add "10.216.1.$i/24" dev zf1
  silent_sources=$silent_sources${silent_sources:+,}10.216.1.$i
done
starve_events=${STARVE_EVENTS:-12}
starve_interval=${STARVE_INTERVAL_MS:-2000}

missing=0
run() {  # name subscribers events answer-delay-ms command...
  local name=$1 n=$2 events=$3 delay=$4 pid
  shift 4
  bench_daemon "$dev_ns" "$work/dev.out" "$work/dev.err" "$@"
  pid=$bench_pid
  bench_wait_line "$work/dev.out" '^ready' "$pid" || { cat "$work/dev.err"; bench_die "$name: no ready"; }
  bench_check_daemon "$pid" "$1"
  # Emptied before the sink starts: the wait below must not read the
  # previous row's "initialised".
  : >"$work/sink.out"
  ip netns exec "$cp_ns" timeout $((timeout + 15)) python3 "$bench_root/bench/notify_sink.py" "$cp_ip" 40000 \
    "http://$dev_ip:$port/SwitchPower/event" "$n" $((events - 1)) "$timeout" "$delay" "$sources" >"$work/sink.out" 2>"$work/sink.err" &
  local sink=$!
  bench_wait_line "$work/sink.out" '^initialised\|^initial events missing' "$sink" || true
  kill -USR1 "$pid"
  wait "$sink" || true
  bench_stop_pid "$pid"
  local sent received span final
  sent=$(grep -o 'sent [0-9]* in [0-9.]* s' "$work/dev.out" || echo "sent ? in ? s")
  cat "$work/sink.err" >&2
  read -r received span < <(awk '/^received/{print $2, $4}' "$work/sink.out"; cat "$work/sink.out" >&2)
  final=$(awk '/^final/{print $2}' "$work/sink.out")
  [ "${final:-0}" -eq "$n" ] || missing=$((missing + 1))
  printf '%-5s %-18s %5d %7d %9d %8.3f %10.0f %5s/%-5d  (%s)\n' "$round" "$name" "$n" "$events" "$received" \
    "$span" "$(awk -v r="$received" -v s="$span" 'BEGIN{print (s > 0 ? r / s : 0)}')" \
    "${final:-0}" "$n" "$sent"
}

zel() {  # name subscribers events delay async|sync
  run "$1" "$2" "$3" "$4" "$work/event-fanout-device" zf0 "$dev_ip" 255.255.255.0 "$port" "$3" "$5"
}
libupnp() {  # name subscribers events delay
  run "$1" "$2" "$3" "$4" "$work/libupnp-event-device" zf0 "$port" "$work/light" "$3"
}

echo "devices: $(bench_session_mode)"
printf '%-5s %-18s %5s %7s %9s %8s %10s %11s\n' round device subs events delivered seconds "NOTIFY/s" final
for ((round = 1; round <= bench_rounds; round++)); do
  bench_round "$round"
  for n in 1 10 100; do
    events=$((total / n))
    for device in $(bench_rotate "$round" async sync libupnp); do
      case $device in
      libupnp) libupnp "libupnp" "$n" "$events" 0 ;;
      *) zel "zel $device" "$n" "$events" 0 "$device" ;;
      esac
    done
  done
  # Subscribers that answer after 20 ms.
  events=$((total / 100))
  for device in $(bench_rotate "$round" async sync libupnp); do
    case $device in
    libupnp) libupnp "libupnp 20ms" 100 "$events" 20 ;;
    *) zel "zel $device 20ms" 100 "$events" 20 "$device" ;;
    esac
  done
done
starve() {  # silent-subscribers
  local n=$1 pid sink
  bench_daemon "$dev_ns" "$work/dev.out" "$work/dev.err" "$work/event-fanout-device" zf0 "$dev_ip" \
    255.255.255.0 "$port" "$starve_events" async "$starve_interval"
  pid=$bench_pid
  bench_wait_line "$work/dev.out" '^ready' "$pid" || { cat "$work/dev.err"; bench_die "starve: no ready"; }
  : >"$work/starve.out"
  ip netns exec "$cp_ns" timeout $((timeout + 60)) python3 "$bench_root/bench/starvation_sink.py" "$cp_ip" \
    40000 40001 "http://$dev_ip:$port/SwitchPower/event" "$n" "$silent_sources" "$cp_ip" \
    $((starve_events - 1)) $((timeout + starve_events * starve_interval / 1000)) \
    >"$work/starve.out" 2>"$work/starve.err" &
  sink=$!
  bench_wait_line "$work/starve.out" '^initialised' "$sink" || true
  kill -USR1 "$pid"
  wait "$sink" || true
  bench_stop_pid "$pid"
  cat "$work/starve.err" >&2
  local initial worst final
  initial=$(awk '/^initial latency/{print $3}' "$work/starve.out")
  # Each change against the first NOTIFY that carries it or a later state.
  worst=$(awk '/^event /{sent[$2] = $4; n++} /^live /{got[++m] = $2; at[m] = $4}
    END {w = 0; for (i = 0; i < n; i++) { l = -1
      for (j = 1; j <= m; j++) if (got[j] + 0 >= i) { l = at[j] - sent[i]; break }
      if (l < 0) { print "lost"; exit } if (l > w) w = l }
      printf "%.3f", w}' "$work/dev.out" "$work/starve.out")
  final=$(awk '/^final/{print $2}' "$work/starve.out")
  grep '^silent' "$work/starve.out"
  printf '%-24s %6s %16s %16s %6s/%-3d\n' "zel async silent+live" "$n+1" "${initial:-none} s" \
    "$worst s" "${final:-none}" $((starve_events - 1))
  [ "${final:-none}" = $((starve_events - 1)) ] || missing=$((missing + 1))
}

echo "starvation: $starve_events changes one every $starve_interval ms"
printf '%-24s %6s %16s %16s %10s\n' device subs "initial latency" "worst change" final
starve 256

echo "load average at the end: $(bench_load)"
if [ "$missing" -gt 0 ]; then
  echo "$missing row(s) ended with a subscriber missing the last state" >&2
  exit 1
fi
