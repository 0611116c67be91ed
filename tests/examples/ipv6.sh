#!/usr/bin/env bash
# The sample device on a dual-stack link (IPv4 and the ULAs fd5a:e1::1/64,
# fd5a:e1::2/64 on the veth pair), driven by an IPv6-only control point
# (ipv6_cp.py); the IPv4 side still serves its description.
# Usage: ipv6.sh SAMPLE_DEVICE_BINARY LIGHT_FOLDER
set -uo pipefail
subnet=${ZEL_EXAMPLE_SUBNET:-6}
. "$(dirname "$0")/pair.sh"
dev6=fd5a:e1::1
cp6=fd5a:e1::2
for ns in "$dev_ns" "$peer_ns"; do
  ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=0 net.ipv6.conf.default.disable_ipv6=0 ||
    fail "cannot enable IPv6 in $ns"
done
in_dev sysctl -qw "net.ipv6.conf.$dev_if.disable_ipv6=0" && in_dev ip -6 addr add "$dev6/64" dev "$dev_if" nodad ||
  fail "no IPv6 address on $dev_if"
in_peer sysctl -qw "net.ipv6.conf.$cp_if.disable_ipv6=0" && in_peer ip -6 addr add "$cp6/64" dev "$cp_if" nodad ||
  fail "no IPv6 address on $cp_if"
# The link-local addresses leave duplicate address detection within seconds.
for i in $(seq 100); do
  [ -z "$(in_dev ip -6 addr show tentative)$(in_peer ip -6 addr show tentative)" ] && break
  sleep 0.1
done
[ -z "$(in_dev ip -6 addr show tentative)$(in_peer ip -6 addr show tentative)" ] ||
  fail "addresses still tentative"
cp -r "$2" "$work/light"
ip netns exec "$peer_ns" timeout 60 python3 "$(dirname "$0")/ipv6_cp.py" "$cp_if" "$dev6" "$cp6" "$work/ready" \
  >"$work/cp.log" 2>&1 &
cp_pid=$!
pids+=($cp_pid)
for i in $(seq 100); do [ -e "$work/ready" ] && break; sleep 0.1; done
[ -e "$work/ready" ] || fail "the control point did not start"
ip netns exec "$dev_ns" "$1" --dir "$work/light" --interface "$dev_if" >"$work/device.log" 2>&1 &
pids+=($!)
wait "$cp_pid"
status=$?
cat "$work/cp.log"
[ "$status" -eq 0 ] || fail "IPv6 control point"
wait_http "http://$dev_ip:49152/description.xml" || fail "no description over IPv4"
stop_ok "${pids[1]}" zel-sample-device
# The refused SUBSCRIBEs log their refusal; nothing else is an error.
! grep -E '^[0-9:.]+ [EF] ' "$work/device.log" | grep -v 'No valid callbacks' ||
  fail "error-level lines in normal operation"
echo "ipv6: ok"
