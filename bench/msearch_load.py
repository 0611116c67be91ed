#!/usr/bin/env python3
"""Sends SSDP M-SEARCH requests at a fixed rate from one address and counts
the unicast answers. Bounded: at most RATE * SECONDS searches, then a fixed
wait for late answers.

  msearch_load.py LOCAL_IP RATE SECONDS ANSWERS_PER_SEARCH [MX]

Prints: rate sent answers expected loss%"""
import socket
import sys
import time

local, rate, seconds, per_search = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
mx = int(sys.argv[5]) if len(sys.argv) > 5 else 1
search = ("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n"
          "MAN: \"ssdp:discover\"\r\nMX: %d\r\nST: ssdp:all\r\n\r\n" % mx).encode()
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
s.bind((local, 0))
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(local))
s.setblocking(False)
answers = 0
sent = 0
total = int(rate * seconds)
start = time.monotonic()
def drain():
    global answers
    while True:
        try:
            data = s.recv(8192)
        except BlockingIOError:
            return
        if data.startswith(b"HTTP/1.1 200"):
            answers += 1
while sent < total:
    due = start + sent / rate
    now = time.monotonic()
    if now < due:
        drain()
        time.sleep(min(due - now, 0.0005))
        continue
    s.sendto(search, ("239.255.255.250", 1900))
    sent += 1
end = time.monotonic() + mx + 1.5
while time.monotonic() < end:
    drain()
    time.sleep(0.001)
expected = sent * per_search
print(rate, sent, answers, expected, "%.1f" % (100.0 * (expected - answers) / expected))
