#!/usr/bin/env bash
# Discovery benchmark: zel-sample-device against a reference device written
# on Debian's libupnp, both serving the shipped light description folder.
#
#   bench/discovery_bench.sh [BUILD_DIR]
#
# Measures, for each device in turn, inside two private network namespaces
# joined by a veth pair (nothing reaches this machine's interfaces):
#   1. description GETs per second with wrk (Connection: close, 1 and 4
#      connections, p99 latency);
#   2. M-SEARCH ssdp:all searches per second answered without loss, raising
#      the rate until answers go missing, and CPU time per answer;
#   3. idle RSS and thread count with the device registered and started.
# Every run is bounded in time and count.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
tag=$$
dev_ns=zbench-dev-$tag
cp_ns=zbench-cp-$tag
dev_ip=10.215.1.1
cp_ip=10.215.1.2
zel_port=49152
upnp_port=49200
seconds=${ZEL_BENCH_SECONDS:-5}
rates=${ZEL_BENCH_RATES:-"200 500 1000 2000 4000 8000"}
work=$(mktemp -d /tmp/zel-bench.XXXXXX)
pid=

cleanup() {
  [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  ip netns del "$dev_ns" 2>/dev/null || true
  ip netns del "$cp_ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

"$root/scripts/deps" wrk libupnp-dev python3 >/dev/null
cmake --build "$build" --target zel-sample-device >/dev/null
cc -O2 -Wall -o "$work/libupnp-device" "$root/bench/libupnp_device.c" \
  $(pkg-config --cflags --libs libupnp)

ip netns add "$dev_ns"
ip netns add "$cp_ns"
ip -n "$dev_ns" link add zb0 type veth peer name zb1 netns "$cp_ns"
for link_def in "$dev_ns:zb0:$dev_ip" "$cp_ns:zb1:$cp_ip"; do
  IFS=: read -r ns ifc ip <<<"$link_def"
  ip -n "$ns" link set lo up
  ip -n "$ns" addr add "$ip/24" dev "$ifc"
  ip -n "$ns" link set "$ifc" up
  ip -n "$ns" route add 224.0.0.0/4 dev "$ifc"
done

# CPU ticks (user + system) of a process.
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

wait_line() {  # file pattern
  local i
  for i in $(seq 100); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "bench: device did not start" >&2; cat "$1" >&2; return 1
}

measure() {  # name url
  local name=$1 url=$2 c
  sleep 2
  echo "## $name"
  echo "idle: $(grep -E '^(VmRSS|Threads)' /proc/$pid/status | tr -s ' \t' ' ' | paste -sd' ')"
  for c in 1 4; do
    ip netns exec "$cp_ns" wrk -t1 -c$c -d${seconds}s --latency -H "Connection: close" "$url" \
      >"$work/wrk.out" 2>&1 || true
    echo "wrk c=$c: $(grep 'Requests/sec' "$work/wrk.out" | awk '{print $2}') req/s," \
      "p50 $(awk '$1=="50%"{print $2}' "$work/wrk.out")," \
      "p99 $(awk '$1=="99%"{print $2}' "$work/wrk.out")," \
      "errors: $(grep -E 'Non-2xx|Socket errors' "$work/wrk.out" | paste -sd' ' || true)"
  done
  local rate before after line answers
  for rate in $rates; do
    before=$(ticks "$pid")
    line=$(ip netns exec "$cp_ns" python3 "$root/bench/msearch_load.py" "$cp_ip" "$rate" 2 4)
    after=$(ticks "$pid")
    answers=$(echo "$line" | awk '{print $3}')
    echo "msearch rate=$rate/s sent,answers,expected,loss%: $(echo "$line" | cut -d' ' -f2-)" \
      "cpu/answer: $(awk -v t=$((after - before)) -v a="$answers" -v hz="$(getconf CLK_TCK)" \
        'BEGIN{ if (a > 0) printf "%.1f us", t * 1e6 / hz / a; else print "-" }')"
  done
}

cp -r "$root/examples/sample_device/light" "$work/zel"
ip netns exec "$dev_ns" env ZEL_LOG_LEVEL=none "$build/bin/zel-sample-device" --dir "$work/zel" \
  --interface zb0 --tcp-port $zel_port >"$work/zel.out" 2>&1 &
pid=$!
wait_line "$work/zel.out" '^udn '
measure "zel-sample-device" "http://$dev_ip:$zel_port/description.xml"
kill -TERM "$pid"; wait "$pid" || true; pid=

cp -r "$root/examples/sample_device/light" "$work/upnp"
sed -i "s|<UDN></UDN>|<UDN>uuid:$(cat /proc/sys/kernel/random/uuid)</UDN>|" \
  "$work/upnp/DeviceDescription.xml"
ip netns exec "$dev_ns" "$work/libupnp-device" zb0 $upnp_port "$work/upnp" \
  >"$work/upnp.out" 2>&1 &
pid=$!
wait_line "$work/upnp.out" '^description '
measure "libupnp $(pkg-config --modversion libupnp) device" \
  "http://$dev_ip:$upnp_port/DeviceDescription.xml"
