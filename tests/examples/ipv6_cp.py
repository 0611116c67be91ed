# An IPv6-only control point (every socket AF_INET6) against the sample
# device on a dual-stack link: hears an alive, finds the device by M-SEARCH
# on FF02::C and FF05::C, reads its description, calls GetStatus, subscribes
# with an IPv6 callback and receives the initial event; a callback outside
# the link's prefix, and ::1, are refused. Every wait is bounded.
# Usage: ipv6_cp.py IFNAME DEVICE_ADDR OWN_ADDR READY_FILE
import http.client, http.server, re, socket, struct, sys, threading, time

ifname, dev, own, ready = sys.argv[1:5]
index = socket.if_nametoindex(ifname)
location_re = re.compile(r"^LOCATION: (http://\[([0-9a-f:]+)\]:(\d+)(/\S*))\r$", re.M | re.I)


def fail(why):
    print("FAIL:", why)
    sys.exit(1)


def header(text, name):
    m = re.search(r"^%s: *(.*?)\r$" % name, text, re.M | re.I)
    return m.group(1) if m else None


# Joined before the device starts, so that its first alive burst is heard.
listener = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("::", 1900))
listener.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_JOIN_GROUP,
                    socket.inet_pton(socket.AF_INET6, "ff02::c") + struct.pack("@I", index))
open(ready, "w").close()
deadline = time.monotonic() + 20
alive = None
while alive is None:
    listener.settimeout(max(0.1, deadline - time.monotonic()))
    try:
        text = listener.recv(8192).decode("latin-1")
    except socket.timeout:
        fail("no alive over IPv6")
    if "ssdp:alive" in text and header(text, "NT") == "upnp:rootdevice":
        alive = text
if header(alive, "HOST") != "[FF02::C]:1900":
    fail("alive HOST: %r" % header(alive, "HOST"))
m = location_re.search(alive)
if not m or m.group(2) != dev:
    fail("alive LOCATION: %r" % header(alive, "LOCATION"))
location, port, path = m.group(1), int(m.group(3)), m.group(4)
print("alive heard:", location)

for group in ("ff02::c", "ff05::c"):
    s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_IF, index)
    search = ("M-SEARCH * HTTP/1.1\r\nHOST: [%s]:1900\r\nMAN: \"ssdp:discover\"\r\nMX: 1\r\n"
              "ST: upnp:rootdevice\r\n\r\n" % group.upper()).encode()
    answer = None
    for attempt in range(5):
        s.sendto(search, (group, 1900, 0, index))
        s.settimeout(1.0)
        try:
            answer = s.recv(8192).decode("latin-1")
            break
        except socket.timeout:
            continue
    if answer is None or not answer.startswith("HTTP/1.1 200 OK"):
        fail("no answer to M-SEARCH on %s" % group)
    m = location_re.search(answer)
    if not m or m.group(1) != location:
        fail("answer on %s has LOCATION %r" % (group, header(answer, "LOCATION")))
    print("found on", group)


def request(method, url_path, body=None, headers=None):
    conn = http.client.HTTPConnection(dev, port, timeout=10)
    conn.request(method, url_path, body=body, headers=headers or {})
    r = conn.getresponse()
    data = r.read().decode("utf-8", "replace")
    conn.close()
    return r, data


r, description = request("GET", path)
if r.status != 200 or "<controlURL>" not in description:
    fail("description: %d" % r.status)
control = re.search(r"<controlURL>\s*(\S+?)\s*</controlURL>", description).group(1)
event = re.search(r"<eventSubURL>\s*(\S+?)\s*</eventSubURL>", description).group(1)
for url in (control, event):
    if url.startswith("http") and not url.startswith("http://[%s]:" % dev):
        fail("absolute URL without the bracketed IPv6 address: " + url)
control = re.sub(r"^http://[^/]*", "", control)
event = re.sub(r"^http://[^/]*", "", event)

st = "urn:schemas-upnp-org:service:SwitchPower:1"
soap = ('<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/">'
        '<s:Body><u:GetStatus xmlns:u="%s"/></s:Body></s:Envelope>' % st)
r, answer = request("POST", control, soap, {"Content-Type": 'text/xml; charset="utf-8"',
                                            "SOAPACTION": '"%s#GetStatus"' % st})
if r.status != 200 or "<ResultStatus>" not in answer:
    fail("GetStatus: %d %s" % (r.status, answer))
print("GetStatus answered")

notified = []
got = threading.Event()


class Sink(http.server.BaseHTTPRequestHandler):
    def do_NOTIFY(self):
        self.rfile.read(int(self.headers.get("Content-Length", 0)))
        notified.append((self.headers.get("SID"), self.headers.get("SEQ"), self.headers.get("HOST"),
                         self.client_address[0]))
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()
        got.set()

    def log_message(self, *args):
        pass


class Server6(http.server.HTTPServer):
    address_family = socket.AF_INET6


sink = Server6((own, 8061), Sink)
threading.Thread(target=sink.serve_forever, daemon=True).start()
for callback, status in (("[fd5b:e1::9]", 412), ("[::1]", 412), ("[%s]" % own, 200)):
    r, _ = request("SUBSCRIBE", event, None, {"CALLBACK": "<http://%s:8061/cb>" % callback,
                                               "NT": "upnp:event", "TIMEOUT": "Second-300"})
    if r.status != status:
        fail("SUBSCRIBE with callback %s: %d, not %d" % (callback, r.status, status))
sid = r.getheader("SID")
if not got.wait(10):
    fail("no initial event")
if notified[0] != (sid, "0", "[%s]:8061" % own, dev) or len(notified) != 1:
    fail("events: %r (SID %s)" % (notified, sid))
print("initial event received over IPv6")
