#!/usr/bin/env bash
# Control benchmark: SOAP GetStatus round trips per second against
# zel-sample-device and, in the same run, against the libupnp reference
# device (bench/libupnp_device.c), both serving the shipped light folder.
#
#   bench/control_bench.sh [BUILD_DIR]
#
# wrk with a Lua POST script (Connection: close, 1 and 4 connections, p50
# and p99 latency), inside two private network namespaces joined by a veth
# pair: nothing reaches this machine's interfaces. Each run lasts
# ZEL_BENCH_SECONDS (5 by default).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
tag=$$
dev_ns=zcbench-dev-$tag
cp_ns=zcbench-cp-$tag
dev_ip=10.216.1.1
cp_ip=10.216.1.2
zel_port=49152
upnp_port=49200
seconds=${ZEL_BENCH_SECONDS:-5}
work=$(mktemp -d /tmp/zel-cbench.XXXXXX)
pid=

cleanup() {
  [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  ip netns del "$dev_ns" 2>/dev/null || true
  ip netns del "$cp_ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

"$root/scripts/deps" wrk libupnp-dev >/dev/null
cmake --build "$build" --target zel-sample-device >/dev/null
cc -O2 -Wall -o "$work/libupnp-device" "$root/bench/libupnp_device.c" \
  $(pkg-config --cflags --libs libupnp)

ip netns add "$dev_ns"
ip netns add "$cp_ns"
ip -n "$dev_ns" link add zc0 type veth peer name zc1 netns "$cp_ns"
for link_def in "$dev_ns:zc0:$dev_ip" "$cp_ns:zc1:$cp_ip"; do
  IFS=: read -r ns ifc ip <<<"$link_def"
  ip -n "$ns" link set lo up
  ip -n "$ns" addr add "$ip/24" dev "$ifc"
  ip -n "$ns" link set "$ifc" up
  ip -n "$ns" route add 224.0.0.0/4 dev "$ifc"
done

printf '%s' '<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body><u:GetStatus xmlns:u="urn:schemas-upnp-org:service:SwitchPower:1"></u:GetStatus></s:Body></s:Envelope>' \
  >"$work/body.xml"
cat >"$work/getstatus.lua" <<LUA
wrk.method = "POST"
wrk.headers["Content-Type"] = 'text/xml; charset="utf-8"'
wrk.headers["SOAPACTION"] = '"urn:schemas-upnp-org:service:SwitchPower:1#GetStatus"'
wrk.headers["Connection"] = "close"
local body = io.open("$work/body.xml")
wrk.body = body:read("*a")
body:close()
LUA

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
  echo "## $name"
  # One round trip first: the answer must carry ResultStatus.
  ip netns exec "$cp_ns" curl -sS --max-time 5 -X POST -H 'Content-Type: text/xml' \
    -H 'SOAPACTION: "urn:schemas-upnp-org:service:SwitchPower:1#GetStatus"' \
    --data-binary @"$work/body.xml" \
    "$url" | grep -o '<ResultStatus>[01]</ResultStatus>' || { echo "bench: no GetStatus answer" >&2; return 1; }
  for c in 1 4; do
    ip netns exec "$cp_ns" wrk -t1 -c$c -d${seconds}s --latency -s "$work/getstatus.lua" "$url" \
      >"$work/wrk.out" 2>&1 || true
    echo "wrk c=$c: $(grep 'Requests/sec' "$work/wrk.out" | awk '{print $2}') req/s," \
      "p50 $(awk '$1=="50%"{print $2}' "$work/wrk.out")," \
      "p99 $(awk '$1=="99%"{print $2}' "$work/wrk.out")," \
      "errors: $(grep -E 'Non-2xx|Socket errors' "$work/wrk.out" | paste -sd' ' || true)"
  done
}

cp -r "$root/examples/sample_device/light" "$work/zel"
ip netns exec "$dev_ns" env ZEL_LOG_LEVEL=none "$build/bin/zel-sample-device" --dir "$work/zel" \
  --interface zc0 --tcp-port $zel_port >/dev/null 2>"$work/zel.err" &
pid=$!
# The device prints a line per action; its output goes to /dev/null so that
# the terminal is not the bottleneck, and start-up is seen by the port.
for i in $(seq 100); do
  ip netns exec "$cp_ns" curl -s -o /dev/null --max-time 1 "http://$dev_ip:$zel_port/description.xml" && break
  sleep 0.1
done
measure "zel-sample-device" "http://$dev_ip:$zel_port/SwitchPower/control"
kill -TERM "$pid"; wait "$pid" || true; pid=

cp -r "$root/examples/sample_device/light" "$work/upnp"
sed -i "s|<UDN></UDN>|<UDN>uuid:$(cat /proc/sys/kernel/random/uuid)</UDN>|" \
  "$work/upnp/DeviceDescription.xml"
ip netns exec "$dev_ns" "$work/libupnp-device" zc0 $upnp_port "$work/upnp" \
  >"$work/upnp.out" 2>&1 &
pid=$!
wait_line "$work/upnp.out" '^description '
measure "libupnp $(pkg-config --modversion libupnp) device" \
  "http://$dev_ip:$upnp_port/SwitchPower/control"
