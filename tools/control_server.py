#!/usr/bin/env python3
"""A small control server: serves a GUID database file over HTTP.

    python3 tools/control_server.py --file PATH [--host 127.0.0.1] [--port 0]
        [--mode ok|404|truncate|garbage|slow|steady|stall|endless]
        [--delay SECONDS] [--rate BYTES] [--validator none|etag|last-modified]
        [--lifetime SECONDS] [--exit-with-parent] [--verbose]

It answers GET and HEAD of /GUIDDB.DAT (and of /GUIDDB.DAT below any path
prefix, so a base URL such as http://host:port/hb works too). The file is read
again at each request, so it may be replaced while the server runs.

The first line on standard output is "PORT <n>", the port it listens on (the
one the system chose for --port 0); nothing else is written there.

Modes, to play a faulty control server in tests:
  ok        the file, with its length
  404       "404 Not Found" for every request
  truncate  announces the file's full length, sends half of it, then closes
  garbage   bytes that are not an SQLite database, with a correct length
  slow      announces the full length, sends a little, then stalls for
            --delay seconds (default 30) before sending the rest
  steady    the file, with its length, at --rate bytes a second (default
            4096) from start to end: slow but never stalled
  stall     accepts the connection and reads the request, then says nothing
            for --delay seconds and closes it (no TLS handshake, no headers)
  endless   a chunked body that never ends: bytes as fast as the client takes
            them, until it gives up or --delay seconds have passed (then the
            connection is cut, without the closing chunk)

Validators, as a static web server sends them (--validator, default none):
  etag           an ETag made of the file's modification time and size (as
                 nginx makes it), and "304 Not Modified" to a request whose
                 If-None-Match names it
  last-modified  a Last-Modified date, and 304 to an If-Modified-Since at or
                 after it
The mode 304 answers "304 Not Modified" to every request, asked or not; the
mode gzip sends the file compressed ("Content-Encoding: gzip") when the
request accepts it.

The server binds the loopback address only, unless --host names another one.
It exits on SIGTERM or SIGINT, after --lifetime seconds (default 3600, 0 for
never), and with --exit-with-parent as soon as the process that started it is
gone, so a crashed test never leaves it running.
"""

import argparse
import email.utils
import gzip
import http.server
import os
import signal
import socketserver
import sys
import threading
import time

FILE_NAME = "GUIDDB.DAT"


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Serve GUIDDB.DAT over HTTP.")
    parser.add_argument("--file", required=True, help="database file to serve")
    parser.add_argument("--host", default="127.0.0.1", help="address to bind (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=0, help="port (default 0: any free port)")
    parser.add_argument("--mode", default="ok",
                        choices=["ok", "404", "truncate", "garbage", "slow", "steady", "stall",
                                 "endless", "304", "gzip"])
    parser.add_argument("--validator", default="none", choices=["none", "etag", "last-modified"],
                        help="validator sent with the file and honoured (default none)")
    parser.add_argument("--delay", type=float, default=30.0,
                        help="stall of the slow and stall modes, and the most the endless mode "
                             "sends for, in seconds (default 30)")
    parser.add_argument("--rate", type=int, default=4096,
                        help="bytes a second of the steady mode (default 4096)")
    parser.add_argument("--lifetime", type=float, default=3600.0,
                        help="exit after this many seconds (default 3600, 0: never)")
    parser.add_argument("--exit-with-parent", action="store_true",
                        help="exit when the starting process is gone")
    parser.add_argument("--verbose", action="store_true", help="log each request to stderr")
    return parser.parse_args(argv)


def garbage_bytes(length):
    """Deterministic bytes that no SQLite reader takes for a database."""
    pattern = b"This is not an SQLite database. "
    return (pattern * (length // len(pattern) + 1))[:length]


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "guidlookups-control-server/1.0"
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        if self.server.options.verbose:
            sys.stderr.write("control_server: %s - %s\n" % (self.address_string(), fmt % args))

    def body(self):
        if self.server.options.mode == "garbage":
            try:
                size = os.path.getsize(self.server.options.file)
            except OSError:
                size = 0
            return garbage_bytes(max(size, 4096))
        with open(self.server.options.file, "rb") as f:
            return f.read()

    def stall(self):
        # The request line may never come either (a TLS client waits for our
        # half of the handshake); either way nothing is sent back.
        self.connection.settimeout(self.server.options.delay)
        deadline = time.monotonic() + self.server.options.delay
        try:
            while time.monotonic() < deadline and self.connection.recv(4096):
                pass
        except OSError:
            pass
        self.close_connection = True

    def endless(self):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Transfer-Encoding", "chunked")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        chunk = garbage_bytes(64 * 1024)
        framed = b"%x\r\n" % len(chunk) + chunk + b"\r\n"
        deadline = time.monotonic() + self.server.options.delay
        while time.monotonic() < deadline:
            self.wfile.write(framed)
        self.wfile.flush()

    def steady(self, data):
        # Small pieces at even intervals: the client always sees progress.
        rate = max(1, self.server.options.rate)
        piece = max(1, rate // 10)
        for start in range(0, len(data), piece):
            self.wfile.write(data[start:start + piece])
            self.wfile.flush()
            time.sleep(piece / rate)

    def handle_one_request(self):
        if self.server.options.mode == "stall":
            self.stall()
            return
        super().handle_one_request()

    def validators(self):
        """The validator headers of the file as it is now, and whether the
        request's condition says the client holds it already."""
        options = self.server.options
        if options.validator == "none":
            return [], False
        try:
            st = os.stat(options.file)
        except OSError:
            return [], False
        if options.validator == "etag":
            etag = '"%x-%x"' % (int(st.st_mtime), st.st_size)
            return [("ETag", etag)], self.headers.get("If-None-Match") == etag
        modified = email.utils.formatdate(int(st.st_mtime), usegmt=True)
        since = self.headers.get("If-Modified-Since")
        fresh = False
        if since:
            try:
                fresh = email.utils.parsedate_to_datetime(since).timestamp() >= int(st.st_mtime)
            except (TypeError, ValueError):
                fresh = False
        return [("Last-Modified", modified)], fresh

    def answer(self, send_body):
        options = self.server.options
        path = self.path.split("?", 1)[0]
        if options.mode == "404" or not path.endswith("/" + FILE_NAME):
            self.send_error(404, "Not Found")
            return
        if options.mode == "304":
            self.send_response(304)
            self.end_headers()
            return
        headers, fresh = self.validators()
        if fresh:
            self.send_response(304)
            for name, value in headers:
                self.send_header(name, value)
            self.end_headers()
            return
        if options.mode == "endless" and send_body:
            try:
                self.endless()
            except (BrokenPipeError, ConnectionResetError):
                self.close_connection = True
            return
        try:
            data = self.body()
        except OSError as e:
            self.send_error(500, "Cannot read %s: %s" % (options.file, e.strerror))
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        if options.mode == "gzip" and "gzip" in self.headers.get("Accept-Encoding", ""):
            data = gzip.compress(data)
            self.send_header("Content-Encoding", "gzip")
        self.send_header("Content-Length", str(len(data)))
        for name, value in headers:
            self.send_header(name, value)
        if options.mode in ("truncate", "slow", "steady"):
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if not send_body:
            return
        try:
            if options.mode == "truncate":
                self.wfile.write(data[: len(data) // 2])
                self.wfile.flush()
            elif options.mode == "slow":
                head = data[: min(len(data), 16)]
                self.wfile.write(head)
                self.wfile.flush()
                time.sleep(options.delay)
                self.wfile.write(data[len(head):])
                self.wfile.flush()
            elif options.mode == "steady":
                self.steady(data)
            else:
                self.wfile.write(data)
                self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError):
            # The client gave up (a time-out, say); nothing more to send.
            self.close_connection = True

    def do_GET(self):
        self.answer(True)

    def do_HEAD(self):
        self.answer(False)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, options):
        self.options = options
        super().__init__(address, Handler)

    def handle_error(self, request, client_address):
        # A client that gives up mid-transfer (a time-out, a full disk) is
        # part of the faults this server plays; anything else is reported.
        if isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            return
        super().handle_error(request, client_address)


def watch(options, parent):
    """Ends the process when its lifetime is over or its parent is gone."""
    started = time.monotonic()
    while True:
        time.sleep(0.2)
        if options.lifetime > 0 and time.monotonic() - started > options.lifetime:
            os._exit(0)
        if options.exit_with_parent and os.getppid() != parent:
            os._exit(0)


def main(argv):
    options = parse_args(argv)
    if not os.path.isfile(options.file) and options.mode in ("ok", "truncate", "slow", "steady"):
        sys.stderr.write("control_server: no such file: %s\n" % options.file)
        return 2
    parent = os.getppid()
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    signal.signal(signal.SIGINT, lambda *_: os._exit(0))
    server = Server((options.host, options.port), options)
    threading.Thread(target=watch, args=(options, parent), daemon=True).start()
    sys.stdout.write("PORT %d\n" % server.server_address[1])
    sys.stdout.flush()
    server.serve_forever(poll_interval=0.2)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
