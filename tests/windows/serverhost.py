"""Runs a command (a Windows test under Wine) and starts, as programs of the host's own, the
servers it asks for.

Under Wine a Linux program that the test starts itself inherits whatever Wine holds open, and
on CI's machine its report back into a socket that the test listened on was refused. So the test
connects here instead (UPDATER_TEST_SERVERS names the port) and sends one line, the server's
command line as a JSON array. The server is started with that connection as its report
socket (--report-fd): it reports there where it listens, and ends when the test says so or
hangs up, as it does when started by a Linux test.
"""

import json
import os
import socket
import subprocess
import sys
import threading


def start(connection):
    with connection:
        line = b""
        while not line.endswith(b"\n"):
            data = connection.recv(4096)
            if not data:
                return
            line += data
        try:
            command = json.loads(line)
            fd = connection.fileno()
            subprocess.Popen(command + ["--report-fd", str(fd)], pass_fds=(fd,), cwd=os.path.dirname(command[1]),
                             start_new_session=True)
        except (ValueError, TypeError, IndexError, OSError) as error:
            connection.sendall(("not started: %s\n" % error).encode())


def serve(listener):
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=start, args=(connection,), daemon=True).start()


def main():
    listener = socket.create_server(("127.0.0.1", 0))
    threading.Thread(target=serve, args=(listener,), daemon=True).start()
    env = dict(os.environ, UPDATER_TEST_SERVERS=str(listener.getsockname()[1]))
    return subprocess.call(sys.argv[1:], env=env)


if __name__ == "__main__":
    sys.exit(main())
