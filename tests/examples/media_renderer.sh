#!/usr/bin/env bash
# The media renderer's wire bytes (renderer_interop.sh drives the rest): a
# peer subscribes to AVTransport and hears the whole state in LastChange,
# sets a URI with a character that comes back escaped twice (attribute, then
# LastChange value) in the next event; a bad InstanceID gets 718, an
# out-of-range volume 402. Usage: media_renderer.sh RENDERER_BINARY FOLDER
set -uo pipefail
subnet=${ZEL_EXAMPLE_SUBNET:-3}
. "$(dirname "$0")/pair.sh"
cp -r "$2" "$work/renderer"
ip netns exec "$dev_ns" "$1" "$work/renderer" "$dev_if" >"$work/renderer.log" 2>&1 &
pids+=($!)
events=$work/events
ip netns exec "$peer_ns" python3 -c '
import http.server, sys
class Sink(http.server.BaseHTTPRequestHandler):
    def do_NOTIFY(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        with open(sys.argv[3], "ab") as f:
            f.write(b"SEQ " + self.headers.get("SEQ", "").encode() + b" " + body.replace(b"\n", b"") + b"\n")
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()
    def log_message(self, *args):
        pass
http.server.HTTPServer((sys.argv[1], int(sys.argv[2])), Sink).serve_forever()
' "$peer_ip" 8058 "$events" >"$work/sink.log" 2>&1 &
pids+=($!)
wait_listen "$peer_ns" "$peer_ip" 8058 || fail "the event sink did not start"
base=http://$dev_ip:49152
wait_http "$base/description.xml" || fail "no description served"
wait_event() {  # PATTERN: waits up to 10 s for an event line matching it
  local i
  for i in $(seq 100); do grep -q "$1" "$events" 2>/dev/null && return 0; sleep 0.1; done
  fail "no event matching $1; got: $(cat "$events" 2>/dev/null)"
}
sid=$(in_peer curl -s -D - -o /dev/null -X SUBSCRIBE -H "CALLBACK: <http://$peer_ip:8058/av>" \
      -H 'NT: upnp:event' -H 'TIMEOUT: Second-300' "$base/AVTransport/event" | tr -d '\r' |
      sed -n 's/^SID: *//Ip')
[ -n "$sid" ] || fail "SUBSCRIBE not answered with a SID"
q='&quot;'
wait_event "^SEQ 0 .*<LastChange>&lt;Event xmlns=${q}urn:schemas-upnp-org:metadata-1-0/AVT/${q}&gt;.*&lt;TransportState val=${q}NO_MEDIA_PRESENT${q}/&gt;"
av=urn:schemas-upnp-org:service:AVTransport:1
answer=$(soap "$base/AVTransport/control" $av SetAVTransportURI \
  '<InstanceID>0</InstanceID><CurrentURI>http://media/a?x=1&amp;y=2</CurrentURI><CurrentURIMetaData></CurrentURIMetaData>')
grep -q "<u:SetAVTransportURIResponse xmlns:u=\"$av\">" <<<"$answer" || fail "SetAVTransportURI: $answer"
# The changes of one action may leave in one LastChange event or, when the
# first of them wakes an idle sender, in two: either way both arrive.
wait_event "^SEQ [1-9][0-9]* .*&lt;TransportState val=${q}STOPPED${q}/&gt;"
wait_event "^SEQ [1-9][0-9]* .*&lt;AVTransportURI val=${q}http://media/a?x=1&amp;amp;y=2${q}/&gt;"
answer=$(soap "$base/AVTransport/control" $av Play '<InstanceID>1</InstanceID><Speed>1</Speed>')
grep -q '<errorCode>718</errorCode>' <<<"$answer" || fail "Play on instance 1: $answer"
answer=$(soap "$base/RenderingControl/control" urn:schemas-upnp-org:service:RenderingControl:1 \
  SetVolume '<InstanceID>0</InstanceID><Channel>Master</Channel><DesiredVolume>101</DesiredVolume>')
grep -q '<errorCode>402</errorCode>' <<<"$answer" || fail "SetVolume 101: $answer"
stop_ok "${pids[0]}" zel-media-renderer
echo "media_renderer: ok"
