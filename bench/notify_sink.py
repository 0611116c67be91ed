#!/usr/bin/env python3
"""NOTIFY sink of the fan-out benchmark: subscribes N times to an event URL
(each subscription with its own callback path on this sink), answers every
NOTIFY with 200 (after DELAY_MS, 0 by default) and counts those with SEQ > 0.

  notify_sink.py SINK_IP SINK_PORT DEVICE_URL N FINAL TIMEOUT_S [DELAY_MS [SOURCES]]

SOURCES (comma-separated addresses of this host) spreads the SUBSCRIBEs over
several source addresses, since a device may bound the subscriptions of one
address.

Prints "subscribed N" once every SUBSCRIBE was answered 200, "initialised"
once every initial event (SEQ 0) arrived, then, when the last NOTIFY of
every subscriber carries Status FINAL or the time-out ends, "received C in
S s" (first to last event NOTIFY) and "final K of N" (subscribers whose last
NOTIFY carried FINAL)."""
import asyncio
import re
import sys
import time
import urllib.parse

sink_ip, sink_port, device_url = sys.argv[1], int(sys.argv[2]), sys.argv[3]
subscribers, final, timeout = int(sys.argv[4]), sys.argv[5], float(sys.argv[6])
delay = float(sys.argv[7]) / 1000 if len(sys.argv) > 7 else 0.0
sources = sys.argv[8].split(",") if len(sys.argv) > 8 else [None]
state = {"count": 0, "first": None, "last": None, "initial": 0}
last_status = {}  # callback path -> Status of its last NOTIFY
status_re = re.compile(rb"<Status>([^<]*)</Status>")
done = asyncio.Event()
initialised = asyncio.Event()


async def serve(reader, writer):
    try:
        head = await reader.readuntil(b"\r\n\r\n")
        path = head.split(b" ", 2)[1]
        length = 0
        seq = None
        for line in head.split(b"\r\n"):
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value.strip())
            elif name.strip().lower() == b"seq":
                seq = int(value.strip())
        body = await reader.readexactly(length) if length else b""
        if delay:
            await asyncio.sleep(delay)
        writer.write(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")
        await writer.drain()
        if seq == 0:
            state["initial"] += 1
            if state["initial"] >= subscribers:
                initialised.set()
        elif seq:
            now = time.monotonic()
            state["first"] = state["first"] or now
            state["last"] = now
            state["count"] += 1
            found = status_re.search(body)
            last_status[path] = found.group(1).decode() if found else None
            if len(last_status) >= subscribers and all(v == final for v in last_status.values()):
                done.set()
    except (asyncio.IncompleteReadError, ConnectionError, ValueError):
        pass
    finally:
        writer.close()


async def subscribe(index):
    url = urllib.parse.urlparse(device_url)
    source = sources[index % len(sources)]
    reader, writer = await asyncio.open_connection(
        url.hostname, url.port, local_addr=(source, 0) if source else None)
    writer.write(("SUBSCRIBE %s HTTP/1.1\r\nHOST: %s\r\nCALLBACK: <http://%s:%d/s%d>\r\n"
                  "NT: upnp:event\r\nTIMEOUT: Second-3600\r\n\r\n"
                  % (url.path, url.netloc, sink_ip, sink_port, index)).encode())
    await writer.drain()
    answer = await reader.read(4096)
    writer.close()
    return answer.startswith(b"HTTP/1.1 200")


async def main():
    server = await asyncio.start_server(serve, sink_ip, sink_port, backlog=1024)
    ok = 0
    for i in range(subscribers):
        ok += await subscribe(i)
    print("subscribed", ok, flush=True)
    try:
        await asyncio.wait_for(initialised.wait(), 10)
        print("initialised", flush=True)
    except asyncio.TimeoutError:
        print("initial events missing: %d" % state["initial"], flush=True)
    try:
        await asyncio.wait_for(done.wait(), timeout)
    except asyncio.TimeoutError:
        pass
    span = (state["last"] - state["first"]) if state["first"] else 0.0
    print("received %d in %.3f s" % (state["count"], span), flush=True)
    print("final %d of %d" % (sum(v == final for v in last_status.values()), subscribers),
          flush=True)
    server.close()


asyncio.run(main())
