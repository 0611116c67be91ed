#!/usr/bin/env bash
# The streaming example pair across a veth link: the server in the device
# namespace, the client in the peer's; 3 MB fetched and compared byte for
# byte with the pattern, a missing path refused with 404.
# Usage: streaming.sh SERVER_BINARY CLIENT_BINARY
set -uo pipefail
subnet=${ZEL_EXAMPLE_SUBNET:-4}
. "$(dirname "$0")/pair.sh"
ip netns exec "$dev_ns" "$1" "$dev_if" 8200 >"$work/server.log" 2>&1 &
pids+=($!)
for i in $(seq 100); do grep -q "^serving on $dev_ip:" "$work/server.log" && break; sleep 0.1; done
port=$(sed -n "s/^serving on $dev_ip:\([0-9]*\)$/\1/p" "$work/server.log")
[ -n "$port" ] || fail "the server did not start on $dev_ip"
size=3000000
in_peer timeout 90 "$2" "$dev_ip" "$port" /bytes/$size "$work/body" >"$work/client.log" 2>&1 ||
  fail "the client failed"
grep -q "^status 200 bytes $size$" "$work/client.log" || fail "client: $(cat "$work/client.log")"
python3 -c 'import sys; n=int(sys.argv[2]); sys.stdout.buffer.write(bytes(i % 251 for i in range(n)))' \
  x $size >"$work/expected"
cmp -s "$work/body" "$work/expected" || fail "the body differs from the pattern"
in_peer timeout 90 "$2" "$dev_ip" "$port" /nothing "$work/none" >"$work/client.log" 2>&1 &&
  fail "a missing path was not refused"
grep -q "^status 404 bytes 0$" "$work/client.log" || fail "missing path: $(cat "$work/client.log")"
stop_ok "${pids[0]}" zel-stream-example-server
echo "streaming: ok"
