#!/usr/bin/env bash
# Control benchmark: SOAP GetStatus round trips per second against
# zel-sample-device and, in the same run, against the libupnp reference
# device (bench/libupnp_device.c), both serving the shipped light folder.
#
#   bench/control_bench.sh [BUILD_DIR]        (as root; default BUILD_DIR: build)
#
# wrk with a Lua POST script (Connection: close, 1 and 4 connections, p50
# and p99 latency), with the device's context switches and CPU time per
# request, inside two private network namespaces joined by a veth pair:
# nothing reaches this machine's interfaces. Each device is started for each
# round in a session of its own (setsid), as a daemon is, and wrk runs in
# the script's session; the devices alternate in ZB_ROUNDS rounds (see
# bench/lib.sh for ZB_DURATION, ZB_ALLOW_LOAD, ZB_SAME_SESSION, ZB_PERF).
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"
bench_init control

build=$(cd "${1:-$bench_root/build}" && pwd)
readonly dev_ns=zcbench-dev-$$
readonly cp_ns=zcbench-cp-$$
readonly dev_ip=10.216.1.1
readonly cp_ip=10.216.1.2
readonly zel_port=49152
readonly upnp_port=49200

bench_need wrk wrk
bench_need curl curl
bench_reference_devices "$build"

printf '%s' '<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body><u:GetStatus xmlns:u="urn:schemas-upnp-org:service:SwitchPower:1"></u:GetStatus></s:Body></s:Envelope>' \
  >"$bench_work/body.xml"
cat >"$bench_work/getstatus.lua" <<LUA
wrk.method = "POST"
wrk.headers["Content-Type"] = 'text/xml; charset="utf-8"'
wrk.headers["SOAPACTION"] = '"urn:schemas-upnp-org:service:SwitchPower:1#GetStatus"'
wrk.headers["Connection"] = "close"
local body = io.open("$bench_work/body.xml")
wrk.body = body:read("*a")
body:close()
LUA

bench_require_quiet
bench_netns_pair "$dev_ns" "$cp_ns" zc0 zc1 "$dev_ip" "$cp_ip" multicast

start_device() {  # zel|upnp -> $bench_pid, $url
  case $1 in
  zel)
    # --quiet: no line per action, as the reference device prints none;
    # start-up is seen by the port.
    bench_daemon "$dev_ns" /dev/null "$bench_work/zel.err" env ZEL_LOG_LEVEL=none \
      "$build/bin/zel-sample-device" --dir "$bench_work/zel" --interface zc0 --tcp-port $zel_port \
      --quiet
    bench_wait_http "$cp_ns" "http://$dev_ip:$zel_port/description.xml" ||
      { cat "$bench_work/zel.err" >&2; bench_die "zel-sample-device did not start"; }
    bench_check_daemon "$bench_pid" "$build/bin/zel-sample-device"
    url=http://$dev_ip:$zel_port/SwitchPower/control
    ;;
  upnp)
    bench_start_libupnp_device "$dev_ns" zc0 $upnp_port
    url=http://$dev_ip:$upnp_port/SwitchPower/control
    ;;
  esac
}

measure() {  # round zel|upnp
  local round=$1 label=$bench_upnp_label c
  [ "$2" = zel ] && label=zel-sample-device
  start_device "$2"
  # One round trip first: the answer must carry ResultStatus.
  ip netns exec "$cp_ns" curl -sS --max-time 5 -X POST -H 'Content-Type: text/xml' \
    -H 'SOAPACTION: "urn:schemas-upnp-org:service:SwitchPower:1#GetStatus"' \
    --data-binary @"$bench_work/body.xml" "$url" | grep '<ResultStatus>[01]</ResultStatus>' >/dev/null ||
    bench_die "no GetStatus answer from $label"
  for c in 1 4; do
    bench_wrk_row "$round" "$label" "$bench_pid" "$cp_ns" "$c" -s "$bench_work/getstatus.lua" "$url"
  done
  bench_stop_pid "$bench_pid"
}

echo "SOAP GetStatus: wrk -c1 (1 thread) and -c4 (2 threads), ${bench_duration}s after" \
  "${bench_warmup}s unmeasured, Connection: close; devices: $(bench_session_mode)"
bench_alternate measure zel upnp
echo
bench_wrk_report zel-sample-device "$bench_upnp_label"
echo "load average at the end: $(bench_load)"
