"""Debian's squid asking for a Basic login, for the proxy login tests.

Started from tests/data/squid.conf on a free loopback port, in a folder of its own where
each --host resolves to 127.0.0.1. Reports to 127.0.0.1:PORT as the demo server does
("listening on URL", or why it cannot run), and stops squid when anything arrives there or
the holder hangs up.
"""

import argparse
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
import time

USER, PASSWORD = "proxyuser", "right password"


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    report = parser.add_mutually_exclusive_group(required=True)
    report.add_argument("--report-to", type=int, metavar="PORT")
    report.add_argument("--report-fd", type=int, metavar="FD", help="a connected socket handed over instead")
    parser.add_argument("--host", action="append", default=[])
    config = parser.parse_args()
    if config.report_fd is not None:
        holder = socket.socket(fileno=config.report_fd)
    else:
        holder = socket.create_connection(("127.0.0.1", config.report_to))
    if not os.path.exists("/usr/sbin/squid"):
        holder.sendall(b"unavailable: squid is not installed\n")
        return 0
    folder = tempfile.mkdtemp(prefix="squid-")
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "squid.conf")) as f:
        files = {"squid.conf": f.read().replace("@PORT@", str(port)).replace("@DIR@", folder),
                 "hosts": "".join("127.0.0.1 %s\n" % host for host in config.host),
                 "passwd": "%s:%s" % (USER, subprocess.check_output(["openssl", "passwd", "-apr1", PASSWORD], text=True))}
    for name, text in files.items():
        with open(os.path.join(folder, name), "w") as f:
            f.write(text)
        # Started as root, squid works as its own user, which must read and write here.
        if os.geteuid() == 0:
            os.chown(os.path.join(folder, name), pwd.getpwnam("proxy").pw_uid, -1)
    if os.geteuid() == 0:
        os.chown(folder, pwd.getpwnam("proxy").pw_uid, -1)
    squid = subprocess.Popen(["/usr/sbin/squid", "-N", "-f", os.path.join(folder, "squid.conf")], cwd=folder,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(600):
            if squid.poll() is not None:
                break
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                holder.sendall(b"listening on http://127.0.0.1:%d\n" % port)
                holder.recv(4096)
                return 0
            except ConnectionRefusedError:
                time.sleep(0.1)
        holder.sendall(b"unavailable: squid did not start\n")
        return 1
    except OSError:
        return 0
    finally:
        squid.terminate()
        squid.wait()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    raise SystemExit(main())
