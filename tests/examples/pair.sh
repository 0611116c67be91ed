# Sourced by the example tests: two network namespaces joined by a veth pair
# (device 10.215.N.1, peer 10.215.N.2, N from the caller), both ends created
# inside the namespaces, removed on exit with whatever the test started.
# Without root the test is skipped (exit 77), or fails when
# ZEL_REQUIRE_ROOT_TESTS is set.
if [ "$(id -u)" -ne 0 ]; then
  echo "needs root to create network namespaces"
  [ -n "${ZEL_REQUIRE_ROOT_TESTS:-}" ] && exit 1
  exit 77
fi
dev_ns=zex-dev-$$
peer_ns=zex-peer-$$
dev_if=zex0
dev_ip=10.215.${subnet:?}.1
peer_ip=10.215.$subnet.2
work=$(mktemp -d /tmp/zel-example.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  ip netns del "$dev_ns" 2>/dev/null || true
  ip netns del "$peer_ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; for f in "$work"/*.log; do [ -f "$f" ] && sed 's/^/  /' "$f" >&2; done; exit 1; }
ip netns add "$dev_ns" && ip netns add "$peer_ns" || fail "cannot create namespaces"
ip -n "$dev_ns" link add "$dev_if" type veth peer name zex1 netns "$peer_ns"
for link_def in "$dev_ns:$dev_if:$dev_ip" "$peer_ns:zex1:$peer_ip"; do
  IFS=: read -r ns ifc ip <<<"$link_def"
  ip -n "$ns" link set lo up
  ip -n "$ns" addr add "$ip/24" dev "$ifc"
  ip -n "$ns" link set "$ifc" up
  ip -n "$ns" route add 224.0.0.0/4 dev "$ifc"
done
in_dev() { ip netns exec "$dev_ns" "$@"; }
in_peer() { ip netns exec "$peer_ns" "$@"; }
# Polls URL from the peer until it answers, 10 s at most.
wait_http() {
  local i
  for i in $(seq 100); do
    in_peer curl -sf -o /dev/null --max-time 1 "$1" && return 0
    sleep 0.1
  done
  return 1
}
# SOAP action from the peer: soap URL SERVICE_TYPE ACTION [ARGUMENT_XML]
soap() {
  in_peer curl -s --max-time 10 -H 'Content-Type: text/xml; charset="utf-8"' \
    -H "SOAPACTION: \"$2#$3\"" --data-binary \
    "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><u:$3 xmlns:u=\"$2\">${4:-}</u:$3></s:Body></s:Envelope>" "$1"
}
# Stops a started program with SIGTERM and checks that it exits 0 within 10 s.
stop_ok() {
  kill -TERM "$1"
  local i
  for i in $(seq 100); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$1" 2>/dev/null && fail "$2 did not stop on SIGTERM"
  wait "$1" || fail "$2 exited with status $?"
}
