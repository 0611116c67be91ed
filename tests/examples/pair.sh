# Sourced by the example tests: the namespace pair of scripts/netns (device
# zel0 10.215.N.1, peer zel1 10.215.N.2, N from the caller), removed on exit
# with whatever the test started.
# Without root the test is skipped (exit 77), or fails when
# ZEL_REQUIRE_ROOT_TESTS is set.
if [ "$(id -u)" -ne 0 ]; then
  echo "needs root to create network namespaces"
  [ -n "${ZEL_REQUIRE_ROOT_TESTS:-}" ] && exit 1
  exit 77
fi
netns=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)/netns
net_name=zex-$$
eval "$("$netns" env "$net_name" "10.215.${subnet:?}")"
peer_ns=$cp_ns
peer_ip=$cp_ip
work=$(mktemp -d /tmp/zel-example.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  "$netns" down "$net_name"
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; for f in "$work"/*.log; do [ -f "$f" ] && sed 's/^/  /' "$f" >&2; done; exit 1; }
"$netns" up "$net_name" "10.215.$subnet" >/dev/null || fail "cannot create namespaces"
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
# Waits until something listens on TCP ADDRESS:PORT in namespace NS, 30 s at
# most, so that a test never sends to a helper it has just started too soon.
wait_listen() {
  local i
  for i in $(seq 300); do
    [ -n "$(ip netns exec "$1" ss -Hltn "src $2:$3")" ] && return 0
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
