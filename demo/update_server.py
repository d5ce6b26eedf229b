#!/usr/bin/env python3
"""A small update server for the demo and the tests, on 127.0.0.1 only.

It publishes a version record at /version/down_update.php and a sample
Windows Installer package, and it can misbehave on purpose so that the
updater's failure paths can be driven against a real HTTP server:

  /download/QuorilexVideo_32.msi   the package the record points at
  /package?size=N&length=0&short=N&stall=N&reset=N&signature=0&rate=B&status=S
          &ranges=0&badrange=1&etag=changing&validators=etag,modified,weak
          &etagvalue=V&modifiedvalue=V&crawl=N&ranges=ignore
          &resetat=X&stallat=X&slowat=X&slowrate=B&splice=1&freezeat=N
          &rangestatus=S&rangesto=PORT&resetevery=N&busy=N&retryafter=V&overlong=1
          &framing=twolengths|chunked&delay=MS
                                   a generated package: without a length,
                                   cut short, stalling or reset after N bytes
                                   (only requests without a Range, so the next
                                   one can resume), not an installer, under
                                   another status (206 to a plain request),
                                   ignoring ranges, with a wrong Content-Range,
                                   a new ETag at each request, only some
                                   validators (a weak ETag), an ETag or a
                                   Last-Modified of exactly V (CR, NUL and
                                   all), or one byte every quarter second
                                   after N bytes; with ranges=ignore it says
                                   it serves ranges but answers them with 200.
                                   The first request (ranged or not) whose
                                   body holds byte X is reset, stalls or is
                                   held to B bytes a second there (resetat,
                                   stallat, slowat); splice=1 sends zeros for
                                   ranges, under the same ETag; once the path's
                                   answers have sent N bytes in all, every answer
                                   stops sending (freezeat) until /thaw names the
                                   path, and those begun later are served; requests with a Range
                                   get status S (rangestatus) or a 302 to the same
                                   path on 127.0.0.1:PORT (rangesto); every
                                   answer, ranged or not, is reset after N body
                                   bytes (resetevery); the path's first N
                                   requests get 503 with Retry-After: V (busy);
                                   ranges come with no length and run on to
                                   the package's end (overlong); a second
                                   Content-Length 1000 longer, or a chunked body
                                   that names a wrong Content-Length too (framing);
                                   every answer begins MS ms late, as a far
                                   server's does (delay)
  /status/CODE                     that status with a small HTML body
  /redirect?to=URL                 302 to URL
  /loop                            302 to itself
  /echo?status=CODE&body=TEXT      TEXT as the body (busy=N as for /package)
  /gzip?size=N                     a JSON object of N bytes, gzip-encoded
                                   whatever the client asked for
  /never                           accepts and never answers
  /thaw?path=PATH                  serves the frozen PATH's later answers again
  /drip                            answers 200, then one byte every half second
  /drip?headers=1                  the same, but the bytes are an endless header line
  /flood                           answers 200, then header lines, fast, until the
                                   client leaves or 64 MiB are sent; logged in
                                   /requests?detail=1 once it ends (status 0 before)
  /requests                        the paths asked for so far, one a line
  /requests?detail=1               per package answer: path, Range asked for
                                   (- for none), status, body bytes sent
  /requests?header=NAME            per request: path and that header's value
                                   (- for none)

The version check is answered with an ETag and a Last-Modified, and 304 when the
client's If-None-Match (or, without one, If-Modified-Since) still matches.

Requests in absolute form (GET http://host/path), as clients send them to an
HTTP proxy, are answered as if for /path: the server stands in for a proxy in
front of any host, and /requests shows what came through it.

The first line on stdout is "listening on http://127.0.0.1:PORT". With
--report-to PORT the same line goes to that port of 127.0.0.1 instead, and the
server stops when anything arrives on that connection or it ends: a test holds its server by a socket,
which works where a pipe to the server's stdin does not (Windows programs under
Wine cannot reach a Linux program's standard streams).

A signed release: write the package, let tools/signrelease write the whole signed
version-check answer and serve both (demo-key.secret beside this file is the demo key;
its public half is demo-key.pub):

  update_server.py --write-package pkg.msi --package-size 16777216
  signrelease record demo/demo-key.secret pkg.msi 3.1.0 1764547200 demo/release-notes.txt \
      http://127.0.0.1:8765/download/QuorilexVideo_32.msi > record.json
  update_server.py --package pkg.msi --body record.json
"""

import argparse
import gzip
import hashlib
import json
import os
import re
import socket
import struct
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from email.utils import parsedate_to_datetime
from urllib.parse import parse_qs, urlsplit

MSI_SIGNATURE = bytes.fromhex("D0CF11E0A1B11AE1")
CHUNK = 64 * 1024
# Misbehaving answers give up after this long, so nothing hangs forever.
HOLD_SECONDS = 120
# A header flood ends after this many bytes: far more than a client that bounds its header
# block reads, plus what the sockets between them hold.
FLOOD_BYTES = 64 * 1024 * 1024

with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "release-notes.txt"), encoding="utf-8") as notes:
    RELEASE_NOTES = notes.read()


FREESECT, ENDOFCHAIN, FATSECT, DIFSECT = 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD, 0xFFFFFFFC


def compound_layout(size):
    """Sector size and counts of FAT and DIFAT sectors of a compound file of `size` bytes
    whose sectors after the header are all in use; None when `size` holds too few sectors."""
    # 512-byte sectors as Windows Installer writes them; files past 2 GiB need 4096-byte ones.
    sector = 512 if size <= 2 ** 31 else 4096
    sectors = size // sector - 1
    per_fat, per_difat = sector // 4, sector // 4 - 1
    # The FAT describes every sector, its own and the DIFAT's included.
    fat = -(-sectors // per_fat)
    difat = max(0, -(-(fat - 109) // per_difat))
    # The table itself, the directory and at least one sector of the stream.
    if sectors < fat + difat + 2:
        return None
    return sector, sectors, fat, difat


def compound_structure(sector, sectors, fat, difat):
    """Yields the header, FAT, DIFAT and directory sectors of a compound file with one
    stream that fills every sector after them; generated lazily, so huge sizes cost
    nothing before they are sent."""
    directory = fat + difat
    stream = directory + 1
    header = bytearray(sector if sector > 512 else 512)
    header[0:8] = MSI_SIGNATURE
    struct.pack_into("<HHHHH", header, 24, 0x3E, 3 if sector == 512 else 4, 0xFFFE, sector.bit_length() - 1, 6)
    struct.pack_into("<IIIIIIIII", header, 40, 0 if sector == 512 else 1, fat, directory, 0, 4096,
                     ENDOFCHAIN, 0, fat if difat else ENDOFCHAIN, difat)
    in_header = min(fat, 109)
    struct.pack_into("<109I", header, 76, *(list(range(in_header)) + [FREESECT] * (109 - in_header)))
    yield bytes(header)

    per_fat = sector // 4
    for first in range(0, fat * per_fat, per_fat):
        entries = []
        for n in range(first, first + per_fat):
            if n < fat:
                entries.append(FATSECT)
            elif n < directory:
                entries.append(DIFSECT)
            elif n == directory or n == sectors - 1:
                entries.append(ENDOFCHAIN)
            elif n < sectors:
                entries.append(n + 1)
            else:
                entries.append(FREESECT)
        yield struct.pack("<%dI" % per_fat, *entries)

    per_difat = sector // 4 - 1
    for d in range(difat):
        locations = list(range(109 + d * per_difat, min(fat, 109 + (d + 1) * per_difat)))
        locations += [FREESECT] * (per_difat - len(locations))
        yield struct.pack("<%dI" % (per_difat + 1), *locations, fat + d + 1 if d + 1 < difat else ENDOFCHAIN)

    def entry(name, kind, child, start, length):
        encoded = (name + "\0").encode("utf-16-le") if name else b""
        return struct.pack("<64sHBBIII16sIQQIQ", encoded, len(encoded), kind, 1, FREESECT, FREESECT, child,
                           bytes(16), 0, 0, 0, start, length)
    stream_bytes = (sectors - stream) * sector
    root = entry("Root Entry", 5, 1, ENDOFCHAIN, 0)
    payload = entry("Payload", 2, FREESECT, stream, stream_bytes)
    unused = entry("", 0, FREESECT, 0, 0)
    yield (root + payload + unused * (sector // 128 - 2))


def package_bytes(size, signature=True):
    """Yields a deterministic package of `size` bytes in chunks: a compound file, as every
    Windows Installer package is, whose one stream holds a repeating pattern. Bytes past
    the last whole sector are left over at the end."""
    pattern = bytes(i % 251 for i in range(CHUNK))
    layout = compound_layout(size) if signature else None
    if layout:
        head = compound_structure(*layout)
    elif signature:
        head = iter([MSI_SIGNATURE])
    else:
        head = iter([b"<!DOCTYPE html><title>Login</title>"])
    sent = 0
    while sent < size:
        chunk = next(head, pattern)[: size - sent]
        sent += len(chunk)
        yield chunk


def from_offset(chunks, offset):
    """The chunks past the first `offset` bytes."""
    for chunk in chunks:
        if offset >= len(chunk):
            offset -= len(chunk)
            continue
        yield chunk[offset:]
        offset = 0


def file_bytes(path, offset=0):
    with open(path, "rb") as f:
        f.seek(offset)
        while True:
            chunk = f.read(CHUNK)
            if not chunk:
                return
            yield chunk


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "QuorilexDemoUpdateServer/1.0"

    def log_message(self, fmt, *args):
        if self.server.verbose:
            super().log_message(fmt, *args)

    # --- helpers -----------------------------------------------------------

    def send_body(self, status, body, content_type="text/plain; charset=utf-8", headers=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def send_record(self):
        """The version-check answer with validators, as the deploy/ recipes serve it: 304
        when the client's validators still match."""
        body, modified = self.server.record()
        etag = '"%s"' % hashlib.sha256(body).hexdigest()[:16]
        headers = [("ETag", etag), ("Last-Modified", self.date_time_string(modified)),
                   ("Cache-Control", "public, max-age=300")]
        since = self.headers.get("If-Modified-Since")
        if "If-None-Match" in self.headers:
            unchanged = etag in [tag.strip() for tag in self.headers["If-None-Match"].split(",")]
        else:
            try:
                unchanged = since is not None and parsedate_to_datetime(since).timestamp() >= int(modified)
            except (TypeError, ValueError):
                unchanged = False
        if unchanged:
            self.send_response(304)
            for name, value in headers:
                self.send_header(name, value)
            self.end_headers()
        else:
            self.send_body(200, body, "application/json; charset=utf-8", headers)

    def hold(self, seconds=HOLD_SECONDS):
        """Keeps the connection open without answering until the client leaves."""
        self.connection.settimeout(0.5)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                if not self.connection.recv(1024):
                    return
            except TimeoutError:
                continue
            except OSError:
                return

    def repeat(self, data, pause):
        """Sends `data` again and again, `pause` seconds apart, until the client leaves."""
        deadline = time.monotonic() + HOLD_SECONDS
        while time.monotonic() < deadline:
            try:
                self.wfile.write(data)
                self.wfile.flush()
            except OSError:
                return
            time.sleep(pause)

    def stream(self, chunks_from, size, length=True, rate=0, short=None, stall=None, reset=None, crawl=None, every=False,
               status=200, validators=(), ranges=True, bad_range=False, sendfile=None, breaks={}, splice=False, freeze=None,
               overlong=False, framing=None):
        """Sends a package of `size` bytes; chunks_from(offset) yields its bytes from offset on.

        A "Range: bytes=N-" request is answered with 206 and the rest from N, unless ranges
        are off, the length is not declared, or If-Range names none of the package's
        validators (ETag, Last-Modified), which then sends the whole package. The faults
        (short, stall, reset, crawl: after that many bytes) break only requests without a
        Range, so that the next attempt gets the rest. Without `length` the body is
        close-delimited. `sendfile` names a file to send without copying when nothing
        slows or breaks the body."""
        entry = self.server.log_transfer(self.path, self.headers.get("Range"))
        start, end = 0, size - 1
        headers = [("Accept-Ranges", "bytes" if ranges else "none")] + list(validators)
        ignore_ranges = ranges == "ignore"
        wanted = self.headers.get("Range")
        if wanted is not None:
            short = stall = crawl = None
            reset = reset if every else None
            match = re.fullmatch(r"bytes=(\d+)-(\d*)", wanted.strip())
            if_range = self.headers.get("If-Range")
            # If-Range compares strongly: a weak ETag never matches.
            fresh = if_range is None or (not if_range.startswith("W/") and if_range in (v for _, v in validators))
            if match and ranges and not ignore_ranges and length and status == 200 and fresh:
                start = int(match[1])
                if match[2]:
                    end = min(end, int(match[2]))
                if start >= size or start > end:
                    entry["status"] = 416
                    self.send_body(416, b"", headers=[("Content-Range", "bytes */%d" % size)])
                    return
                status = 206
                claimed = (0, size - 1) if bad_range else (start, end)
                headers.append(("Content-Range", "bytes %d-%d/%d" % (claimed[0], claimed[1], size)))
                if splice:
                    chunks_from = lambda offset, n=end + 1 - start: iter([bytes(n)])
                if overlong:
                    end, length = size - 1, False
        # Faults at an absolute byte, each once per path, on whichever answer carries it.
        for kind, at in breaks.items():
            if kind == "slowrate" or not start <= at <= end or (self.path, kind) in self.server.faults:
                continue
            self.server.faults.add((self.path, kind))
            if kind == "resetat":
                reset = at - start
            elif kind == "stallat":
                stall = at - start
            else:
                rate = breaks.get("slowrate", 1)
        entry["status"] = status
        self.send_response(status)
        self.send_header("Content-Type", "application/x-msi")
        for name, value in headers:
            self.send_header(name, value)
        if framing == "chunked":
            self.send_header("Transfer-Encoding", "chunked")
            self.send_header("Content-Length", "1000")
        elif length:
            self.send_header("Content-Length", str(end + 1 - start))
            if framing == "twolengths":
                self.send_header("Content-Length", str(end + 1 - start + 1000))
        else:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if framing == "chunked":
            for chunk in chunks_from(start):
                self.wfile.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
            self.wfile.write(b"0\r\n\r\n")
            entry["sent"] = size
            return
        limits = [x for x in (short, stall, reset, crawl) if x is not None]
        limit = min(limits) if limits else None
        if sendfile and not rate and limit is None and not isinstance(self.connection, ssl.SSLSocket):
            self.wfile.flush()
            with open(sendfile, "rb") as f:
                try:
                    entry["sent"] = self.connection.sendfile(f, start, end + 1 - start)
                except OSError:
                    pass
            return
        remaining = end + 1 - start
        sent = 0
        started = time.monotonic()
        for chunk in chunks_from(start):
            if freeze is not None and self.server.frozen(self.path, freeze, started):
                self.close_connection = True
                self.hold()
                return
            chunk = chunk[:remaining - sent]
            if limit is not None and sent + len(chunk) > limit:
                chunk = chunk[: limit - sent]
            try:
                self.wfile.write(chunk)
            except OSError:
                return
            sent += len(chunk)
            entry["sent"] = sent
            self.server.count(self.path, len(chunk))
            if rate:
                ahead = sent / rate - (time.monotonic() - started)
                if ahead > 0:
                    time.sleep(ahead)
            if sent >= remaining or (limit is not None and sent >= limit):
                break
        self.wfile.flush()
        if limit is None or sent >= remaining:
            return
        self.close_connection = True
        if reset == limit:
            # No FIN: the client sees the connection reset. Windows drops what a socket has
            # not yet read when the reset comes, so the bytes sent get time to be read first.
            time.sleep(0.5)
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.server.resets.add(self.connection)
        elif stall == limit:
            self.hold()
        elif crawl == limit:
            # Never quite stalled, never getting anywhere.
            for chunk in from_offset(chunks_from(start), limit):
                for i in range(min(len(chunk), int(HOLD_SECONDS / 0.25))):
                    try:
                        self.wfile.write(chunk[i:i + 1])
                    except OSError:
                        return
                    entry["sent"] += 1
                    time.sleep(0.25)
                return

    def validators(self, etag, modified):
        return [("ETag", etag), ("Last-Modified", self.date_time_string(modified))]

    # --- routes ------------------------------------------------------------

    def do_GET(self):
        url = urlsplit(self.path)
        query = {k: v[-1] for k, v in parse_qs(url.query, keep_blank_values=True).items()}
        path = url.path
        cfg = self.server.config
        if path != "/requests":
            self.server.requests.append(self.path)
            self.server.request_headers.append((self.path, self.headers))
        if path == "/package" and "delay" in query:
            time.sleep(int(query["delay"]) / 1000)

        if path == "/version/down_update.php":
            self.send_record()
        elif path == "/download/QuorilexVideo_32.msi":
            if cfg.package:
                stat = os.stat(cfg.package)
                self.stream(lambda offset: file_bytes(cfg.package, offset), stat.st_size, rate=cfg.rate,
                            validators=self.validators('"%d-%d"' % (stat.st_size, stat.st_mtime_ns), stat.st_mtime),
                            sendfile=cfg.package)
            else:
                self.stream(lambda offset: from_offset(package_bytes(cfg.package_size), offset), cfg.package_size,
                            rate=cfg.rate, validators=self.validators('"%d"' % cfg.package_size, cfg.time))
        elif path in ("/package", "/echo") and self.server.busy(self.path, int(query.get("busy", 0))):
            # A server that is down for a moment, as a proxy in front of it says so.
            self.server.log_transfer(self.path, self.headers.get("Range"))["status"] = 503
            self.send_body(503, b"busy", headers=[("Retry-After", query["retryafter"])] if "retryafter" in query else ())
        elif path == "/package" and "Range" in self.headers and "rangestatus" in query:
            # A server that turns split downloads away.
            self.server.log_transfer(self.path, self.headers["Range"])["status"] = int(query["rangestatus"])
            self.send_body(int(query["rangestatus"]), b"no ranges")
        elif (path == "/package" and "Range" in self.headers and "rangesto" in query
              and int(query["rangesto"]) != self.server.server_address[1]):
            # Ranges served by another server, as some CDNs send them.
            self.send_response(302)
            self.send_header("Location", "http://127.0.0.1:%s%s" % (query["rangesto"], self.path))
            self.send_header("Content-Length", "0")
            self.end_headers()
        elif path == "/package":
            size = int(query.get("size", 65536))
            signature = query.get("signature", "1") != "0"
            # A package that changes between requests has a new ETag each time.
            tag = '"%d-%d%s"' % (size, signature, "-%d" % len(self.server.requests) if query.get("etag") == "changing" else "")
            tag = query.get("etagvalue", tag)
            wanted = query.get("validators", "etag,modified").split(",")
            validators = [("ETag", tag)] if "etag" in wanted else []
            if "weak" in wanted:
                validators.append(("ETag", "W/" + tag))
            if "modified" in wanted:
                validators.append(("Last-Modified", query.get("modifiedvalue", self.date_time_string(1764547200))))
            self.stream(lambda offset: from_offset(package_bytes(size, signature=signature), offset), size,
                        length=query.get("length", "1") != "0",
                        rate=int(query.get("rate", 0)),
                        short=int(query["short"]) if "short" in query else None,
                        stall=int(query["stall"]) if "stall" in query else None,
                        reset=int(query["reset"]) if "reset" in query else int(query["resetevery"]) if "resetevery" in query else None,
                        every="resetevery" in query,
                        crawl=int(query["crawl"]) if "crawl" in query else None,
                        status=int(query.get("status", 200)),
                        validators=validators,
                        ranges="ignore" if query.get("ranges") == "ignore" else query.get("ranges", "1") != "0",
                        bad_range=query.get("badrange") == "1",
                        breaks={k: int(query[k]) for k in ("resetat", "stallat", "slowat", "slowrate") if k in query},
                        splice=query.get("splice") == "1",
                        freeze=int(query["freezeat"]) if "freezeat" in query else None,
                        overlong=query.get("overlong") == "1", framing=query.get("framing"))
        elif path.startswith("/status/"):
            status = int(path.rsplit("/", 1)[1])
            self.send_body(status, b"<html><body>error</body></html>", "text/html")
        elif path in ("/redirect", "/loop"):
            self.send_response(302)
            self.send_header("Location", "/loop" if path == "/loop" else query.get("to", "/"))
            self.send_header("Content-Length", "0")
            self.end_headers()
        elif path == "/echo":
            self.send_body(int(query.get("status", 200)), query.get("body", "").encode("utf-8"))
        elif path == "/gzip":
            size = int(query.get("size", 1024))
            self.send_body(200, gzip.compress(b"{" + b" " * max(size - 2, 0) + b"}"), "application/json",
                           [("Content-Encoding", "gzip")])
        elif path == "/requests":
            if query.get("detail") == "1":
                lines = ["%s %s %s %s\n" % (t["path"], t["range"] or "-", t["status"], t["sent"]) for t in self.server.transfers]
            elif "header" in query:
                lines = ["%s %s\n" % (p, h.get(query["header"], "-")) for p, h in self.server.request_headers]
            else:
                lines = [p + "\n" for p in self.server.requests]
            self.send_body(200, "".join(lines).encode("utf-8"))
        elif path == "/thaw":
            self.server.thaw(query.get("path", ""))
            self.send_body(200, b"")
        elif path == "/never":
            self.hold()
            self.close_connection = True
        elif path == "/drip":
            if query.get("headers") == "1":
                self.wfile.write(b"HTTP/1.1 200 OK\r\nX-Drip: ")
            else:
                self.send_response(200)
                self.send_header("Connection", "close")
                self.end_headers()
            self.close_connection = True
            self.repeat(b"{", 0.5)
        elif path == "/flood":
            entry = self.server.log_transfer(self.path, None)
            self.close_connection = True
            lines = (b"X-Flood: " + b"a" * 1000 + b"\r\n") * 64
            sent = 0
            try:
                self.wfile.write(b"HTTP/1.1 200 OK\r\n")
                while sent < FLOOD_BYTES:
                    self.wfile.write(lines)
                    sent += len(lines)
            except OSError:
                pass
            entry["sent"], entry["status"] = sent, 200
        else:
            self.send_body(404, b"not found")


class UpdateServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, config):
        super().__init__(("127.0.0.1", config.port), Handler)
        self.config = config
        self.verbose = config.verbose
        self.requests = []
        self.request_headers = []
        # Per package answer: path, Range asked for, status and the body bytes sent so far.
        self.transfers = []
        # Connections to end with a reset rather than a FIN.
        self.resets = set()
        # Faults at a byte that have happened: (path, kind).
        self.faults = set()
        # Body bytes sent per path, and when each path froze (freezeat) and thawed.
        self.lock = threading.Lock()
        self.path_sent = {}
        self.asked = {}
        self.freezes = {}
        self.thaws = {}
        self.scheme = "http"
        if config.tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*config.tls)
            self.socket = context.wrap_socket(self.socket, server_side=True)
            self.scheme = "https"

    def handle_error(self, request, client_address):
        # Clients that hang up mid-answer are part of the game here.
        if isinstance(sys.exc_info()[1], ConnectionError):
            return
        super().handle_error(request, client_address)

    def log_transfer(self, path, wanted):
        entry = {"path": path, "range": wanted, "status": 0, "sent": 0}
        self.transfers.append(entry)
        return entry

    def shutdown_request(self, request):
        if request in self.resets:
            self.resets.discard(request)
            request.close()
            return
        super().shutdown_request(request)

    def busy(self, path, times):
        """Whether this request for path is one of its first `times`."""
        with self.lock:
            self.asked[path] = self.asked.get(path, 0) + 1
            return self.asked[path] <= times

    def count(self, path, size):
        with self.lock:
            self.path_sent[path] = self.path_sent.get(path, 0) + size

    def frozen(self, path, at, started):
        """Whether an answer for path begun at `started` must stop: the path froze, and the
        answer began before it thawed. A freeze holds until the test says, whatever the pace."""
        with self.lock:
            if path not in self.freezes and self.path_sent.get(path, 0) >= at:
                self.freezes[path] = time.monotonic()
            return path in self.freezes and started < self.thaws.get(path, float("inf"))

    def thaw(self, path):
        with self.lock:
            self.thaws[path] = time.monotonic()

    def url(self, path):
        return "%s://127.0.0.1:%d%s" % (self.scheme, self.server_address[1], path)

    def record(self):
        """The version-check answer and when it last changed: the --body file as it is now, or
        a plain record."""
        cfg = self.config
        if cfg.body:
            with open(cfg.body, "rb") as f:
                return f.read(), os.fstat(f.fileno()).st_mtime
        return json.dumps({
            "code": 0,
            "data": {
                "state": 0 if cfg.no_offer else 1,
                "Version": cfg.version,
                "Time": cfg.time,
                "UpdateContent": RELEASE_NOTES,
                "DownloadUri": cfg.download if "://" in cfg.download else self.url(cfg.download),
                **cfg.extra_members,
            },
        }, ensure_ascii=False).encode("utf-8"), cfg.time


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, default=8765, help="0 picks a free port")
    parser.add_argument("--no-offer", action="store_true", help="publish a record that offers nothing")
    parser.add_argument("--version", default="3.1.0", help="published version text")
    parser.add_argument("--time", type=int, default=1764547200, help="published release time")
    parser.add_argument("--download", default="/download/QuorilexVideo_32.msi",
                        help="path or URL the record's DownloadUri names")
    parser.add_argument("--package", help="serve this file as the package")
    parser.add_argument("--package-size", type=int, default=16 * 1024 * 1024,
                        help="size of the generated package when no --package is given")
    parser.add_argument("--rate", type=int, default=0, help="bytes per second for the package, 0 for no limit")
    parser.add_argument("--members", help="a JSON object file whose members join the record (Size, Sha256, Signature)")
    parser.add_argument("--body", metavar="FILE",
                        help="answer the version check with this file as it is at each request, such as "
                             "the signed record signrelease writes; the record options are then unused")
    parser.add_argument("--write-package", metavar="FILE",
                        help="write the generated package (--package-size bytes) to FILE and exit")
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"), help="serve https with this certificate and key")
    parser.add_argument("--verbose", action="store_true")
    parser.add_argument("--report-to", type=int, metavar="PORT",
                        help="tell 127.0.0.1:PORT where the server listens and stop when anything arrives there "
                             "or it hangs up, so a crashed test leaves no server behind")
    parser.add_argument("--report-fd", type=int, metavar="FD",
                        help="the same over this connected socket, handed over by the program that starts the server")
    config = parser.parse_args()
    if config.write_package:
        with open(config.write_package, "wb") as f:
            for chunk in package_bytes(config.package_size):
                f.write(chunk)
        return 0
    config.extra_members = {}
    if config.members:
        with open(config.members, encoding="utf-8") as f:
            config.extra_members = json.load(f)

    server = UpdateServer(config)
    announcement = ("listening on " + server.url("") + "\n").encode("ascii")
    if config.report_to or config.report_fd is not None:
        if config.report_fd is not None:
            holder = socket.socket(fileno=config.report_fd)
        else:
            holder = socket.create_connection(("127.0.0.1", config.report_to))
        holder.sendall(announcement)

        def watch_holder():
            # Any word from the holder means stop, as does its hanging up: under Wine a
            # copy of the socket can outlive the holder's own.
            try:
                holder.recv(4096)
            except OSError:
                pass
            server.shutdown()
        threading.Thread(target=watch_holder, daemon=True).start()
    else:
        sys.stdout.buffer.write(announcement)
        sys.stdout.flush()
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


if __name__ == "__main__":
    sys.exit(main())
