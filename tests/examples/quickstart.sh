#!/usr/bin/env bash
# The quick start as a user runs it: on a copy of the light folder in a
# device namespace, found by gssdp-discover, its description read and an
# action answered from a peer, then stopped cleanly, with not one line at
# error level in its log. With README and SOURCE, the README's copy of the
# quick start is checked against the source first.
# Usage: quickstart.sh QUICKSTART_BINARY LIGHT_FOLDER [README SOURCE]
set -uo pipefail
if [ $# -ge 4 ]; then
  sed -n '/^<!-- quickstart -->$/,/^```$/p' "$3" | sed '1,2d;$d' | diff - "$4" >&2 ||
    { echo "FAIL: the README's quick start differs from $4" >&2; exit 1; }
fi
subnet=${ZEL_EXAMPLE_SUBNET:-1}
. "$(dirname "$0")/pair.sh"
cp -r "$2" "$work/light"
ip netns exec "$dev_ns" "$1" "$work/light" "$dev_if" >"$work/quickstart.log" 2>&1 &
pids+=($!)
base=http://$dev_ip:49152
wait_http "$base/description.xml" || fail "no description served"
in_peer curl -s "$base/description.xml" | grep -q '<controlURL>http://.*/SwitchPower/control' ||
  fail "control URL not made absolute"
answer=$(soap "$base/SwitchPower/control" urn:schemas-upnp-org:service:SwitchPower:1 SetTarget \
  '<newTargetValue>1</newTargetValue>')
grep -q '<u:SetTargetResponse xmlns:u="urn:schemas-upnp-org:service:SwitchPower:1"></u:SetTargetResponse>' \
  <<<"$answer" || fail "unexpected action answer: $answer"
# A few seconds of normal operation: searches answered, alive bursts sent.
in_peer gssdp-discover -i "$cp_if" -t upnp:rootdevice -n 3 >"$work/discover.out" 2>&1
grep -q "Location: $base/description.xml" "$work/discover.out" ||
  fail "not found by gssdp-discover: $(cat "$work/discover.out")"
stop_ok "${pids[0]}" quickstart
! grep -E '^[0-9:.]+ [EF] ' "$work/quickstart.log" || fail "error-level lines in normal operation"
echo "quickstart: ok"
