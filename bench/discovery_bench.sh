#!/usr/bin/env bash
# Discovery benchmark: zel-sample-device against a reference device written
# on Debian's libupnp, both serving the shipped light description folder.
#
#   bench/discovery_bench.sh [BUILD_DIR]      (as root; default BUILD_DIR: build)
#
# Measures, for each device, inside two private network namespaces joined by
# a veth pair (nothing reaches this machine's interfaces):
#   1. description GETs per second with wrk (Connection: close, 1 and 4
#      connections, p50/p99 latency), with the device's context switches and
#      CPU time per request;
#   2. M-SEARCH ssdp:all searches per second answered without loss, raising
#      the rate until answers go missing, and CPU time per answer;
#   3. idle RSS and thread count with the device registered and started.
# Each device is started for each round in a session of its own (setsid), as
# a daemon is, and wrk runs in the script's session. The devices alternate
# in ZB_ROUNDS rounds (see bench/lib.sh for ZB_DURATION, ZB_ALLOW_LOAD,
# ZB_SAME_SESSION, ZB_PERF); ZB_RATES lists the search rates. Every run is
# bounded in time and count.
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"
bench_init discovery

build=$(cd "${1:-$bench_root/build}" && pwd)
readonly dev_ns=zbench-dev-$$
readonly cp_ns=zbench-cp-$$
readonly dev_ip=10.215.1.1
readonly cp_ip=10.215.1.2
readonly zel_port=49152
readonly upnp_port=49200
readonly settle_seconds=2   # a started device rests before its footprint is read
readonly answers_per_search=4  # root, UDN, device type, one service
rates=${ZB_RATES:-${ZEL_BENCH_RATES:-"200 500 1000 2000 4000 8000"}}

bench_need wrk wrk
bench_need python3 python3
bench_reference_devices "$build"

bench_require_quiet
bench_netns_pair "$dev_ns" "$cp_ns" zb0 zb1 "$dev_ip" "$cp_ip" multicast

start_device() {  # zel|upnp -> $bench_pid, $url
  case $1 in
  zel)
    bench_daemon "$dev_ns" "$bench_work/zel.out" "$bench_work/zel.err" env ZEL_LOG_LEVEL=none \
      "$build/bin/zel-sample-device" --dir "$bench_work/zel" --interface zb0 --tcp-port $zel_port
    bench_wait_line "$bench_work/zel.out" '^udn ' "$bench_pid"
    bench_check_daemon "$bench_pid" "$build/bin/zel-sample-device"
    url=http://$dev_ip:$zel_port/description.xml
    ;;
  upnp)
    bench_start_libupnp_device "$dev_ns" zb0 $upnp_port
    url=http://$dev_ip:$upnp_port/DeviceDescription.xml
    ;;
  esac
}

ticks() { awk '{ sub(/.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"; }

measure() {  # round zel|upnp
  local round=$1 label=$bench_upnp_label c rate before after line answers
  [ "$2" = zel ] && label=zel-sample-device
  start_device "$2"
  sleep "$settle_seconds"
  echo "| $round ($bench_round_load) | $label | $(bench_idle "$bench_pid") |" >>"$bench_work/idle.rows"
  for c in 1 4; do
    bench_wrk_row "$round" "$label" "$bench_pid" "$cp_ns" "$c" -H "Connection: close" "$url"
  done
  for rate in $rates; do
    before=$(ticks "$bench_pid")
    line=$(ip netns exec "$cp_ns" python3 "$bench_root/bench/msearch_load.py" "$cp_ip" "$rate" 2 \
      "$answers_per_search")
    after=$(ticks "$bench_pid")
    read -r _ sent answers expected loss <<<"$line"
    echo "| $round ($bench_round_load) | $label | $rate | $sent | $answers | $expected | $loss |" \
      "$(awk -v t=$((after - before)) -v a="$answers" -v hz="$bench_hz" \
        'BEGIN { if (a > 0) printf "%.1f", t * 1e6 / hz / a; else print "-" }') |" \
      >>"$bench_work/msearch.rows"
  done
  bench_stop_pid "$bench_pid"
}

echo "description GETs: wrk -c1 (1 thread) and -c4 (2 threads), ${bench_duration}s after" \
  "${bench_warmup}s unmeasured, -H 'Connection: close'; devices: $(bench_session_mode)"
bench_alternate measure zel upnp
echo
bench_wrk_report zel-sample-device "$bench_upnp_label"
echo
echo "M-SEARCH ssdp:all, MX 1, 2 s per rate; CPU is the device's user + system time per answer"
echo
echo "| round (load) | device | searches/s | sent | answers | expected | loss % | CPU us/answer |"
echo "|---|---|---|---|---|---|---|---|"
cat "$bench_work/msearch.rows"
echo
echo "| round (load) | device | idle RSS, threads ($settle_seconds s after start) |"
echo "|---|---|---|"
cat "$bench_work/idle.rows"
echo "load average at the end: $(bench_load)"
