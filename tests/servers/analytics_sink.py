#!/usr/bin/env python3
"""Analytics sink for the telemetry tests.

  analytics_sink.py --port P --dir DIR [--bind-port N]

Listens on 127.0.0.1 (on N when given, else on P, 0 meaning any free port),
prints "PORT <n>" once listening, and records every request in DIR as two
files, numbered in the order the requests arrived:

  NNNNNN.body  the body bytes as received (Content-Length of them)
  NNNNNN.txt   line 1 the method, line 2 the path, line 3 the query (empty
               when none), then one "Name: value" line per header in the
               order sent; written last, so its presence means the record
               is complete

Every request is answered 200 with an empty body and the connection closed.
While a file DIR/delay exists holding a number of seconds, each request is
read and then held that long before it is recorded and answered (a slow
service; the "/marker/" requests of the tests are not held).
A request for the path "/stall" is not read: the sink waits STALL_SECONDS
without reading its body (so a sender with a large body blocks), then
drains and drops it and records nothing.
"""
import argparse
import http.server
import os
import sys
import time
import urllib.parse

STALL_SECONDS = 8
SOCKET_TIMEOUT_SECONDS = 15


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    timeout = SOCKET_TIMEOUT_SECONDS

    def log_message(self, fmt, *args):
        pass

    def handle_any(self):
        split = urllib.parse.urlsplit(self.path)
        if split.path == "/stall":
            self.stall()
            return
        length = int(self.headers.get("Content-Length") or 0)
        body = b""
        while len(body) < length:
            chunk = self.rfile.read(length - len(body))
            if not chunk:
                break
            body += chunk
        if not split.path.startswith("/marker/"):
            time.sleep(self.server.delay_seconds())
        self.server.record(self.command, split.path, split.query,
                           self.headers.items(), body)
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.send_header("Connection", "close")
        self.end_headers()

    def stall(self):
        time.sleep(STALL_SECONDS)
        self.connection.settimeout(2)
        try:
            while self.connection.recv(65536):
                pass
        except OSError:
            pass
        self.close_connection = True

    do_GET = do_POST = do_PUT = do_DELETE = handle_any


class Sink(http.server.HTTPServer):
    # One request at a time, in the order the connections came in.
    allow_reuse_address = True

    def __init__(self, address, folder):
        super().__init__(address, Handler)
        self.folder = folder
        self.count = 0

    def delay_seconds(self):
        try:
            with open(os.path.join(self.folder, "delay")) as f:
                return min(float(f.read().strip() or 0), 30.0)
        except (OSError, ValueError):
            return 0.0

    def record(self, method, path, query, headers, body):
        self.count += 1
        stem = os.path.join(self.folder, "%06d" % self.count)
        with open(stem + ".body", "wb") as f:
            f.write(body)
        lines = [method, path, query] + ["%s: %s" % (k, v) for k, v in headers]
        with open(stem + ".tmp", "w", encoding="utf-8", newline="\n") as f:
            f.write("\n".join(lines) + "\n")
        os.replace(stem + ".tmp", stem + ".txt")

    def handle_error(self, request, client_address):
        # A sender that hangs up without reading the answer is normal here.
        pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--dir", required=True)
    parser.add_argument("--bind-port", type=int, default=None)
    opts = parser.parse_args()
    port = opts.bind_port if opts.bind_port is not None else opts.port
    os.makedirs(opts.dir, exist_ok=True)
    try:
        server = Sink(("127.0.0.1", port), opts.dir)
    except OSError as error:
        print("analytics_sink: cannot listen on port %d: %s" % (port, error),
              file=sys.stderr, flush=True)
        return 1
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
