#!/usr/bin/env python3
"""A TCP proxy on 127.0.0.1 that slows one connection to a crawl.

  slowproxy.py TARGET_PORT SLOW_CONNECTION RATE

Forwards every connection to 127.0.0.1:TARGET_PORT; the answers on the SLOW_CONNECTION-th
connection it accepts (1 = the first, 0 = none) go out at RATE bytes a second. Prints
"listening on PORT" once it is ready and runs until killed.
"""
import socket
import sys
import threading
import time


def pump(source, sink, rate):
    started, sent = time.monotonic(), 0
    try:
        while True:
            data = source.recv(16384 if rate else 262144)
            if not data:
                break
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
    listener = socket.create_server(("127.0.0.1", 0))
    print("listening on %d" % listener.getsockname()[1], flush=True)
    count = 0
    while True:
        client, _ = listener.accept()
        count += 1
        server = socket.create_connection(("127.0.0.1", target))
        threading.Thread(target=pump, args=(client, server, 0), daemon=True).start()
        threading.Thread(target=pump, args=(server, client, rate if count == slow else 0), daemon=True).start()


if __name__ == "__main__":
    main()
