#!/usr/bin/env python3
"""A TCP proxy on 127.0.0.1 that slows connections: one to a crawl, or all to a far link.

  slowproxy.py TARGET_PORT SLOW_CONNECTION RATE [ROUND_TRIP_MS WINDOW]

Forwards every connection to 127.0.0.1:TARGET_PORT; the answers on the SLOW_CONNECTION-th
connection it accepts (1 = the first, 0 = none) go out at RATE bytes a second. With
ROUND_TRIP_MS, every connection is a far one: each byte arrives half a round trip after it
was sent, and not before a round trip after the connection was opened (its handshake), and the
answers carry at most WINDOW bytes per round trip, as a TCP window holds them. Prints
"listening on PORT" once it is ready and runs until killed.
"""
import socket
import sys
import threading
import time


def pump(source, sink, rate, trip=0.0, window=0, ready=0.0):
    started, sent, slot = time.monotonic(), 0, 0.0
    try:
        while True:
            data = source.recv(window or (16384 if rate else 262144))
            if not data:
                break
            if trip:
                now = time.monotonic()
                due = max(max(now, ready) + trip / 2, slot)
                time.sleep(max(0.0, due - now))
                if window:
                    slot = due + trip * len(data) / window
            sink.sendall(data)
            sent += len(data)
            if rate:
                ahead = sent / rate - (time.monotonic() - started)
                if ahead > 0:
                    time.sleep(ahead)
    except OSError:
        pass
    for s in (source, sink):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def main():
    target, slow, rate = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    trip = int(sys.argv[4]) / 1000 if len(sys.argv) > 4 else 0.0
    window = int(sys.argv[5]) if len(sys.argv) > 5 else 0
    listener = socket.create_server(("127.0.0.1", 0))
    print("listening on %d" % listener.getsockname()[1], flush=True)
    count = 0
    while True:
        client, _ = listener.accept()
        count += 1
        server = socket.create_connection(("127.0.0.1", target))
        threading.Thread(target=pump, args=(client, server, 0, trip, 0, time.monotonic() + trip), daemon=True).start()
        threading.Thread(target=pump, args=(server, client, rate if count == slow else 0, trip, window), daemon=True).start()


if __name__ == "__main__":
    main()
