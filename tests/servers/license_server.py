#!/usr/bin/env python3
"""Licence download server for the tests.

  license_server.py --port 0 --dir DIR

Answers GET /license/<product>/<language>/Eula.html from DIR/<product>/<language>/:
  Eula.html        served with status 200 (the licence the test put there);
  Eula.html.stall  the connection is accepted and never answered, for time-out cases;
  Eula.html.trickle  headers promise 1 MiB, then one byte a second, for time-out cases;
  Eula.html.short  headers promise more bytes than the file's, which is sent and the
                   connection closed: a transfer cut short;
  anything else    refused with 404.
Every request path is appended to DIR/requests.log. Prints "PORT <n>" once listening.
"""
import argparse
import http.server
import os
import socket
import sys
import threading
import time

STALL_SECONDS = 600


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def do_GET(self):
        root = self.server.root
        with self.server.log_lock:
            with open(os.path.join(root, "requests.log"), "a", encoding="utf-8") as log:
                log.write(self.path + "\n")
        parts = self.path.split("/")
        # "", "license", product, language, "Eula.html"
        valid = (len(parts) == 5 and parts[0] == "" and parts[1] == "license"
                 and parts[4] == "Eula.html"
                 and all(p and p not in (".", "..") and "\\" not in p for p in parts[2:4]))
        base = os.path.join(root, parts[2], parts[3], "Eula.html") if valid else None
        if base and os.path.isfile(base):
            with open(base, "rb") as f:
                body = f.read()
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Cache-Control", "no-store")
            self.end_headers()
            self.wfile.write(body)
        elif base and os.path.isfile(base + ".stall"):
            self.stall()
        elif base and os.path.isfile(base + ".trickle"):
            self.trickle()
        elif base and os.path.isfile(base + ".short"):
            self.cut_short(base + ".short")
        else:
            body = b"no licence here"
            self.send_response(404)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Cache-Control", "no-store")
            self.end_headers()
            self.wfile.write(body)

    def stall(self):
        # Say nothing until the client gives up (or the server is stopped).
        deadline = time.monotonic() + STALL_SECONDS
        self.connection.settimeout(1)
        while time.monotonic() < deadline:
            try:
                if not self.connection.recv(1024):
                    break
            except socket.timeout:
                continue
            except OSError:
                break
        self.close_connection = True

    def cut_short(self, path):
        with open(path, "rb") as f:
            body = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body) + 4096))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)
        self.wfile.flush()
        self.close_connection = True

    def trickle(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(1 << 20))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        deadline = time.monotonic() + STALL_SECONDS
        try:
            while time.monotonic() < deadline:
                self.wfile.write(b"x")
                self.wfile.flush()
                time.sleep(1)
        except OSError:
            pass
        self.close_connection = True


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--dir", required=True)
    opts = parser.parse_args()
    server = Server(("127.0.0.1", opts.port), Handler)
    server.root = opts.dir
    server.log_lock = threading.Lock()
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
