#!/usr/bin/env python3
"""Package server for the download tests: files with ETag, Range and If-Range,
and misbehaviour on demand.

  pkgserver.py --port 0 --dir DIR

Listens on 127.0.0.1, prints "PORT <n>" once listening, and serves the files
under DIR (tests write them there; BC_PKG_DIR is DIR as a Windows path).

Serving
  GET /name            the file DIR/name, with an ETag, Accept-Ranges and a
                       Content-Length. HTTP/1.1, persistent connections.
  GET /name?query      the same file; the query is recorded and otherwise
                       ignored, except that a query ending in ".meta" serves
                       DIR/name.meta (the companion of a URL that carries a
                       query is that whole URL with ".meta" appended), and
                       one ending in ".meta.sig" DIR/name.meta.sig.
  Range: bytes=a-b     206 with "Content-Range: bytes a-b/size"; b is clamped
                       to the last byte; "a-" and "-n" are understood. A range
                       that starts beyond the end gets 416. Several ranges or
                       another unit are ignored (200).
  If-Range: "etag"     the Range is honoured only when the value equals the
                       file's current ETag (strong comparison); otherwise 200
                       with the whole file.
  ETag                 '"<size hex>-<mtime ns hex>"': rewriting a file changes it.
  missing file         404.
Files are sent with sendfile(), so large files go out at loopback speed.

Misbehaviour rules
  GET /_control/add?path=/name&times=N&<behaviour>...
      Appends a rule. A request takes the first rule whose path matches (the
      path of the file it is served from, so "/name.meta" for "/name?q.meta";
      "*" matches every path) and whose "when"
      fits, and uses one of its N turns (times=0: forever; default 1). A rule
      without behaviour parameters answers normally but still uses a turn, so
      rules can be lined up per request. Answers "OK <rule number>".
      when=range|norange|any   only requests with / without a Range header
      status=N         answer status N with a short text body (file unused)
      auth=user:pass   require Basic authentication: 401 with a Basic
                       challenge unless the request carries those credentials
      ignorerange=1    answer 200 with the whole file although a Range was asked
      etag=VALUE       send this ETag header value instead of the real one
      uniqueetag=1     send an ETag of its own on every response (the real
                       one with a serial number added), as if the file
                       changed before each request; an If-Range never
                       matches it
      noetag=1         send no ETag
      contentrange=V   send "Content-Range: V" (any text, e.g. "bytes */1000")
      length=N         announce Content-Length N whatever the body is
      nolength=1       send no Content-Length; the body ends when the
                       connection closes
      extra=N          send N bytes more body than the range announces (the
                       Content-Length covers them; Content-Range does not)
      corrupt=O[,O...] flip all bits of the byte at each file offset O that
                       the body covers
      end=N            close the connection after N body bytes
      stall=S          after the headers and the first "end" bytes (none when
                       "end" is absent), send nothing for S seconds, then
                       close the connection
      delay=S          wait S seconds before the status line
      rate=N           send the body at about N bytes a second, in pieces
                       of a twentieth of that
  GET /_control/reset          removes every rule and the request log
  GET /_control/create?path=/name&size=N[&seed=S]
                               writes DIR/name with N pseudo-random bytes
  GET /_control/meta?path=/name[&sign=0]
                               writes DIR/name.meta with tools/makemeta (the
                               release tool): the size as 8 bytes little-endian,
                               then the SHA-1 of each 1 MiB block; when the
                               environment names the tree's package signing
                               key (BC_PACKAGE_SIGNING_KEY), also its signature
                               DIR/name.meta.sig (makemeta --sign), unless
                               sign=0
  GET /_control/etag?path=/name
                               answers the ETag the file has now

Request log
  GET /_control/log            every request to a file so far, oldest first,
                               as text blocks separated by an empty line:
                                   GET /name?query
                                   Header-Name: value     (as received)
                                   =status 206 sent 1000 rule 2
                               ("rule 0": no rule applied; "sent" counts body
                               bytes written so far)
  GET /_control/log.json       the same as a JSON list of objects
Control requests are not logged.
"""
import argparse
import base64
import http.server
import json
import os
import random
import re
import socket
import socketserver
import subprocess
import sys
import threading
import time
import urllib.parse

BLOCK = 1 << 20
COPY_CHUNK = 1 << 20
# Companions are written by the same tool that release engineers use.
MAKEMETA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "makemeta")


class Rule:
    def __init__(self, number, params):
        self.number = number
        self.path = params.pop("path", "*")
        self.times = int(params.pop("times", "1"))
        self.when = params.pop("when", "any")
        if self.when not in ("any", "range", "norange"):
            raise ValueError("when must be any, range or norange")
        self.behaviour = params
        for key in params:
            if key not in BEHAVIOURS:
                raise ValueError("unknown behaviour %r" % key)

    def matches(self, path, has_range):
        if self.path != "*" and self.path != path:
            return False
        if self.when == "range" and not has_range:
            return False
        if self.when == "norange" and has_range:
            return False
        return True


BEHAVIOURS = {"status", "auth", "ignorerange", "etag", "noetag", "uniqueetag", "contentrange",
              "length", "nolength", "extra", "corrupt", "end", "stall", "delay", "rate"}


class State:
    def __init__(self, folder):
        self.folder = os.path.abspath(folder)
        self.lock = threading.Lock()
        self.rules = []
        self.next_rule = 1
        self.log = []
        self.serial = 0

    def next_serial(self):
        with self.lock:
            self.serial += 1
            return self.serial

    def take_rule(self, path, has_range):
        with self.lock:
            for rule in self.rules:
                if rule.matches(path, has_range):
                    if rule.times > 0:
                        rule.times -= 1
                        if rule.times == 0:
                            self.rules.remove(rule)
                    return rule
        return None

    def file_path(self, url_path):
        name = url_path.lstrip("/")
        full = os.path.abspath(os.path.join(self.folder, name))
        if full != self.folder and not full.startswith(self.folder + os.sep):
            return None
        return full


def etag_of(stat):
    return '"%x-%x"' % (stat.st_size, stat.st_mtime_ns)


def parse_range(value, size):
    """Returns (first, last) for one byte range, "unsatisfiable", or None."""
    match = re.fullmatch(r"\s*bytes\s*=\s*(\d*)\s*-\s*(\d*)\s*", value)
    if not match or (not match.group(1) and not match.group(2)):
        return None
    if match.group(1):
        first = int(match.group(1))
        last = int(match.group(2)) if match.group(2) else size - 1
        if last < first:
            return None
        if first >= size:
            return "unsatisfiable"
        return first, min(last, size - 1)
    suffix = int(match.group(2))
    if suffix == 0:
        return "unsatisfiable"
    return max(0, size - suffix), size - 1


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "pkgserver"
    sys_version = ""
    pace = None  # the rate of the body being sent, when a rule sets one

    def log_message(self, format, *args):
        pass

    def do_GET(self):
        state = self.server.state
        parts = urllib.parse.urlsplit(self.path)
        path = urllib.parse.unquote(parts.path)
        if path.startswith("/_control/"):
            self.control(path[len("/_control/"):], urllib.parse.parse_qs(parts.query))
            return
        if parts.query.endswith(".meta"):
            path += ".meta"
        elif parts.query.endswith(".meta.sig"):
            path += ".meta.sig"
        has_range = self.headers.get("Range") is not None
        rule = state.take_rule(path, has_range)
        entry = {"method": self.command, "target": self.path,
                 "headers": [[k, v] for k, v in self.headers.items()],
                 "status": 0, "sent": 0, "rule": rule.number if rule else 0}
        with state.lock:
            state.log.append(entry)
        self.serve_file(state, path, rule.behaviour if rule else {}, entry)

    def do_HEAD(self):
        self.send_text(405, "GET only\n")

    # ---- control ----------------------------------------------------------

    def control(self, command, query):
        state = self.server.state
        args = {k: v[-1] for k, v in query.items()}
        try:
            if command == "add":
                with state.lock:
                    rule = Rule(state.next_rule, dict(args))
                    state.next_rule += 1
                    state.rules.append(rule)
                self.send_text(200, "OK %d\n" % rule.number)
            elif command == "reset":
                with state.lock:
                    state.rules = []
                    state.log = []
                self.send_text(200, "OK\n")
            elif command == "create":
                target = state.file_path(args["path"])
                size = int(args["size"])
                rng = random.Random(int(args.get("seed", "1")))
                with open(target, "wb") as out:
                    left = size
                    while left:
                        part = min(left, 16 * BLOCK)
                        out.write(rng.randbytes(part))
                        left -= part
                self.send_text(200, "OK %d\n" % size)
            elif command == "meta":
                target = state.file_path(args["path"])
                key = os.environ.get("BC_PACKAGE_SIGNING_KEY", "")
                sign = ["--sign", key] if key and args.get("sign", "1") != "0" else []
                done = subprocess.run([sys.executable, MAKEMETA] + sign + [target],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                if done.returncode != 0:
                    raise ValueError(done.stderr.decode(errors="replace").strip())
                self.send_text(200, "OK %d\n" % os.path.getsize(target + ".meta"))
            elif command == "etag":
                target = state.file_path(args["path"])
                self.send_text(200, etag_of(os.stat(target)))
            elif command == "log":
                with state.lock:
                    blocks = []
                    for entry in state.log:
                        lines = ["%s %s" % (entry["method"], entry["target"])]
                        lines += ["%s: %s" % (k, v) for k, v in entry["headers"]]
                        lines.append("=status %d sent %d rule %d" %
                                     (entry["status"], entry["sent"], entry["rule"]))
                        blocks.append("\n".join(lines) + "\n")
                self.send_text(200, "\n".join(blocks))
            elif command == "log.json":
                with state.lock:
                    text = json.dumps(state.log)
                self.send_text(200, text, "application/json")
            else:
                self.send_text(404, "unknown control command\n")
        except (KeyError, ValueError, OSError) as error:
            self.send_text(400, "ERROR %s\n" % error)

    def send_text(self, status, text, content_type="text/plain"):
        body = text.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        return len(body)

    # ---- files ------------------------------------------------------------

    def serve_file(self, state, path, behaviour, entry):
        delay = float(behaviour.get("delay", "0"))
        if delay:
            time.sleep(delay)

        if "auth" in behaviour:
            expected = "Basic " + base64.b64encode(behaviour["auth"].encode()).decode()
            if self.headers.get("Authorization") != expected:
                entry["status"] = 401
                self.send_response(401)
                self.send_header("WWW-Authenticate", 'Basic realm="pkg"')
                self.send_header("Content-Length", "0")
                self.end_headers()
                return

        if "status" in behaviour:
            entry["status"] = int(behaviour["status"])
            entry["sent"] = self.send_text(entry["status"], "status %s\n" % behaviour["status"])
            return

        file_path = state.file_path(path)
        if file_path is None or not os.path.isfile(file_path):
            entry["status"] = 404
            entry["sent"] = self.send_text(404, "not found\n")
            return

        with open(file_path, "rb") as source:
            stat = os.fstat(source.fileno())
            size = stat.st_size
            etag = etag_of(stat)
            first, last = 0, size - 1
            status = 200
            range_header = self.headers.get("Range")
            if range_header is not None and "ignorerange" not in behaviour:
                if_range = self.headers.get("If-Range")
                if if_range is None or if_range.strip() == etag:
                    wanted = parse_range(range_header, size)
                    if wanted == "unsatisfiable":
                        entry["status"] = 416
                        self.send_response(416)
                        self.send_header("Content-Range", "bytes */%d" % size)
                        self.send_header("Content-Length", "0")
                        self.end_headers()
                        return
                    if wanted is not None:
                        first, last = wanted
                        status = 206

            count = last - first + 1
            extra = int(behaviour.get("extra", "0"))
            body_length = count + extra
            self.send_response(status)
            if "uniqueetag" in behaviour:
                self.send_header("ETag", '%s-%d"' % (etag[:-1], state.next_serial()))
            elif "noetag" not in behaviour:
                self.send_header("ETag", behaviour.get("etag", etag))
            self.send_header("Accept-Ranges", "bytes")
            self.send_header("Content-Type", "application/octet-stream")
            if "contentrange" in behaviour:
                self.send_header("Content-Range", behaviour["contentrange"])
            elif status == 206:
                self.send_header("Content-Range", "bytes %d-%d/%d" % (first, last, size))
            close_after = False
            if "length" in behaviour:
                # The announced length is wrong: close after the body so that
                # the client does not wait for bytes that never come.
                self.send_header("Content-Length", behaviour["length"])
                close_after = True
            elif "nolength" in behaviour:
                self.send_header("Connection", "close")
                close_after = True
            else:
                self.send_header("Content-Length", str(body_length))
            self.end_headers()
            self.wfile.flush()
            entry["status"] = status

            end = behaviour.get("end")
            limit = body_length if end is None else min(int(end), body_length)
            stall = float(behaviour.get("stall", "0"))
            if stall and end is None:
                limit = 0
            corrupt = sorted(int(o) for o in behaviour.get("corrupt", "").split(",") if o)
            self.pace = Pace(float(behaviour["rate"])) if "rate" in behaviour else None
            self.send_body(source, first, count, limit, corrupt, entry)
            if stall:
                time.sleep(stall)
            if end is not None or stall or close_after:
                self.close_now()

    def send_body(self, source, first, count, limit, corrupt, entry):
        """Sends min(limit, count + extra) body bytes: the file from `first`,
        then filler bytes for the part beyond the announced range."""
        from_file = min(limit, count)
        position = first
        stop = first + from_file
        for offset in corrupt:
            if position <= offset < stop:
                self.send_file_part(source, position, offset - position, entry)
                source.seek(offset)
                byte = source.read(1)
                self.send_bytes(bytes([byte[0] ^ 0xFF]), entry)
                position = offset + 1
        self.send_file_part(source, position, stop - position, entry)
        filler = limit - from_file
        while filler > 0:
            part = min(filler, COPY_CHUNK)
            self.send_bytes(b"\xA5" * part, entry)
            filler -= part

    def send_file_part(self, source, offset, count, entry):
        while count > 0:
            part = self.pace.next_part(count) if self.pace else count
            sent = self.connection.sendfile(source, offset, part)
            if not sent:
                raise ConnectionError("peer closed")
            offset += sent
            count -= sent
            entry["sent"] += sent

    def send_bytes(self, data, entry):
        while data:
            part = self.pace.next_part(len(data)) if self.pace else len(data)
            self.connection.sendall(data[:part])
            entry["sent"] += part
            data = data[part:]

    def close_now(self):
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


class Pace:
    """Spaces out the pieces of a body so that it goes at about `rate` bytes
    a second."""

    def __init__(self, rate):
        if rate <= 0:
            raise ValueError("rate must be above 0")
        self.rate = rate
        self.piece = max(1, int(rate / 20))
        self.start = time.monotonic()
        self.released = 0

    def next_part(self, count):
        """Waits until the next piece is due; returns its size."""
        due = self.start + self.released / self.rate
        wait = due - time.monotonic()
        if wait > 0:
            time.sleep(wait)
        part = min(count, self.piece)
        self.released += part
        return part


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def handle_error(self, request, client_address):
        # A client that goes away mid-body is normal here (cancel tests).
        error = sys.exc_info()[1]
        if not isinstance(error, (ConnectionError, BrokenPipeError, TimeoutError)):
            super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--dir", required=True)
    opts = parser.parse_args()
    os.makedirs(opts.dir, exist_ok=True)
    server = Server(("127.0.0.1", opts.port), Handler)
    server.state = State(opts.dir)
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
