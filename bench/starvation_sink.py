#!/usr/bin/env python3
"""Sink of the starvation row of the fan-out benchmark: SILENT_N
subscriptions spread over SILENT_SOURCES (comma-separated addresses of this
host) whose callback server reads every NOTIFY and never answers, then one
live subscription from LIVE_SOURCE whose callback answers 200 at once.

  starvation_sink.py SINK_IP SILENT_PORT LIVE_PORT DEVICE_URL SILENT_N \\
      SILENT_SOURCES LIVE_SOURCE FINAL TIMEOUT_S

Prints "silent S of N initial events", "initial latency X s" (live SUBSCRIBE
answered to its initial event), "initialised" (the moment to send events),
then "live STATUS at T" for each event the live callback receives (T:
seconds of CLOCK_MONOTONIC) and "final STATUS" once it received Status FINAL
or TIMEOUT_S passed."""
import asyncio
import re
import sys
import time
import urllib.parse

sink_ip, silent_port, live_port = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
device_url, silent_n = sys.argv[4], int(sys.argv[5])
silent_sources, live_source = sys.argv[6].split(","), sys.argv[7]
final, timeout = sys.argv[8], float(sys.argv[9])
status_re = re.compile(rb"<Status>([^<]*)</Status>")
state = {"silent_initial": 0, "live_initial": None, "last": None}
arrivals = []
done = asyncio.Event()
live_initial = asyncio.Event()
open_silent = []  # keeps the silent connections open


async def read_notify(reader):
    head = await reader.readuntil(b"\r\n\r\n")
    length, seq = 0, None
    for line in head.split(b"\r\n"):
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip())
        elif name.strip().lower() == b"seq":
            seq = int(value.strip())
    body = await reader.readexactly(length) if length else b""
    return seq, body


async def silent(reader, writer):
    open_silent.append(writer)
    try:
        seq, _ = await read_notify(reader)
        if seq == 0:
            state["silent_initial"] += 1
        await reader.read()  # until the device gives up on an answer
    except (asyncio.IncompleteReadError, ConnectionError, ValueError, asyncio.CancelledError):
        pass
    finally:
        writer.close()


async def live(reader, writer):
    try:
        seq, body = await read_notify(reader)
        writer.write(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")
        await writer.drain()
        now = time.monotonic()
        if seq == 0:
            state["live_initial"] = now
            live_initial.set()
            return
        found = status_re.search(body)
        status = found.group(1).decode() if found else "?"
        arrivals.append((status, now))
        state["last"] = status
        if status == final:
            done.set()
    except (asyncio.IncompleteReadError, ConnectionError, ValueError):
        pass
    finally:
        writer.close()


async def subscribe(source, port, path):
    url = urllib.parse.urlparse(device_url)
    reader, writer = await asyncio.open_connection(url.hostname, url.port,
                                                   local_addr=(source, 0))
    writer.write(("SUBSCRIBE %s HTTP/1.1\r\nHOST: %s\r\nCALLBACK: <http://%s:%d%s>\r\n"
                  "NT: upnp:event\r\nTIMEOUT: Second-3600\r\n\r\n"
                  % (url.path, url.netloc, sink_ip, port, path)).encode())
    await writer.drain()
    answer = await reader.read(4096)
    writer.close()
    return answer.startswith(b"HTTP/1.1 200")


async def wait(event, seconds):
    try:
        await asyncio.wait_for(event.wait(), seconds)
    except asyncio.TimeoutError:
        pass


async def main():
    servers = [await asyncio.start_server(silent, sink_ip, silent_port, backlog=1024),
               await asyncio.start_server(live, sink_ip, live_port, backlog=64)]
    ok = 0
    for i in range(silent_n):
        ok += await subscribe(silent_sources[i % len(silent_sources)], silent_port, "/q%d" % i)
    for _ in range(100):  # up to 5 s for the silent ones to take their slots
        if state["silent_initial"] >= ok:
            break
        await asyncio.sleep(0.05)
    print("silent %d of %d initial events" % (state["silent_initial"], silent_n), flush=True)
    subscribed = time.monotonic()
    if not await subscribe(live_source, live_port, "/live"):
        print("live subscription refused", flush=True)
    await wait(live_initial, timeout)
    if state["live_initial"]:
        print("initial latency %.3f s" % (state["live_initial"] - subscribed), flush=True)
    else:
        print("initial latency none", flush=True)
    print("initialised", flush=True)
    await wait(done, timeout)
    for status, at in arrivals:
        print("live %s at %.6f" % (status, at))
    print("final %s" % state["last"], flush=True)
    for server in servers:
        server.close()
    # Ends the silent handlers by end of stream rather than by cancellation.
    for writer in open_silent:
        writer.close()
    await asyncio.sleep(0.2)


asyncio.run(main())
