"""Squid from Debian, asking for a Basic login, for the proxy login tests.

Started from tests/data/squid.conf on a free loopback port, in a folder of its own where
HOST names resolve to 127.0.0.1. Like the demo server it reports to 127.0.0.1:PORT, with
"listening on URL" or why it cannot run, and stops squid when anything arrives there or
the holder hangs up.
"""

import argparse
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
import threading
import time

SQUID = "/usr/sbin/squid"
USER = "proxyuser"
PASSWORD = "right password"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start(folder, hosts):
    port = free_port()
    template = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "squid.conf")
    with open(template, encoding="utf-8") as f:
        config = f.read().replace("@PORT@", str(port)).replace("@DIR@", folder)
    paths = {name: os.path.join(folder, name) for name in ("squid.conf", "hosts", "passwd")}
    with open(paths["squid.conf"], "w", encoding="utf-8") as f:
        f.write(config)
    with open(paths["hosts"], "w", encoding="utf-8") as f:
        f.write("".join("127.0.0.1 %s\n" % host for host in hosts))
    hashed = subprocess.run(["openssl", "passwd", "-apr1", PASSWORD], check=True, capture_output=True, text=True)
    with open(paths["passwd"], "w", encoding="utf-8") as f:
        f.write("%s:%s" % (USER, hashed.stdout))
    # Started as root, squid works as its own user, which must read and write here.
    if os.geteuid() == 0:
        proxy = pwd.getpwnam("proxy")
        for path in [folder, *paths.values()]:
            os.chown(path, proxy.pw_uid, proxy.pw_gid)
    squid = subprocess.Popen([SQUID, "-N", "-f", paths["squid.conf"]], cwd=folder,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and squid.poll() is None:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return squid, port
        except OSError:
            time.sleep(0.1)
    squid.kill()
    return None, port


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--report-to", type=int, required=True, metavar="PORT")
    parser.add_argument("--host", action="append", default=[], help="a name that resolves to 127.0.0.1 for squid")
    config = parser.parse_args()
    holder = socket.create_connection(("127.0.0.1", config.report_to))
    if not os.path.exists(SQUID) or not shutil.which("openssl"):
        holder.sendall(b"unavailable: squid or openssl is not installed\n")
        return 0
    folder = tempfile.mkdtemp(prefix="squid-")
    try:
        squid, port = start(folder, config.host)
        if squid is None:
            holder.sendall(b"unavailable: squid did not start\n")
            return 1
        holder.sendall(b"listening on http://127.0.0.1:%d\n" % port)
        stopped = threading.Event()

        def watch_holder():
            try:
                holder.recv(4096)
            except OSError:
                pass
            stopped.set()
        threading.Thread(target=watch_holder, daemon=True).start()
        stopped.wait()
        squid.terminate()
        try:
            squid.wait(10)
        except subprocess.TimeoutExpired:
            squid.kill()
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
