#!/usr/bin/env python3
"""A real web server and a real forward proxy for the tests and the main job:
Debian's nginx serving a folder over HTTPS, with a certificate from a test CA
made here, and tinyproxy; each with its own configuration, logs and temporary
files in a folder of its own, on 127.0.0.1, started and stopped here (never
the system's services).

As a module:
  ca = TestCA(folder, "name")                 a CA (openssl, made at once)
  ca.issue(folder, name, hosts, expired=False) a server certificate and key
  with Nginx(state, www, sites) as web: ...   sites: [(name, cert, key)];
                                              web.ports[name], web.requests()
  with Tinyproxy(state, allowed_ports) as proxy: proxy.port, proxy.connects()
  with WineTrust(wine, ca): ...               the CA trusted by the Wine prefix
                                              of WINEPREFIX for the block
  set_wininet_proxy(wine, "127.0.0.1:N") / clear_wininet_proxy(wine)

As a helper server of tests/harness/run_test.py:
  webserver.py --port 0 --dir DIR [--wine WINE]
serves DIR/www over HTTPS on four ports and prints "PORT <n>" with the port
of the good site; DIR/ports.txt lists every site as "name port":
  good       a certificate for 127.0.0.1 and localhost from the trusted test CA
  wronghost  from the trusted CA, for another host name only
  expired    from the trusted CA, valid for a month that has passed
  unknownca  for 127.0.0.1, from a second CA that nothing trusts
With --wine, the first CA is trusted by the Wine prefix until the server is
stopped (SIGTERM). nginx's access log is DIR/state/access.log, one JSON
object a request (see LOG_FORMAT); nginx's error log (DIR/state/error.log) has a line
for every connection that ended in the TLS handshake or before a request.

Trust: Wine's crypt32 reads the host's CA bundle only once per wineserver
(into volatile registry keys) and never forgets a certificate it read, so a
CA added to and removed from the host bundle would stay trusted for the rest
of the session. The prefix's own machine "Root" store (a registry key per
certificate, named by its SHA-1) is read by every new process, needs no root
and leaves the host untouched: the CA goes there and is deleted again.
"""
import argparse
import hashlib
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import time

START_SECONDS = 20
STOP_SECONDS = 10
PORT_ATTEMPTS = 5
# A slow copy of every file under /slow/, so that a run can be stopped
# half-way through a download.
SLOW_RATE = 262144
ROOT_KEY = r"HKLM\Software\Microsoft\SystemCertificates\Root\Certificates"
INTERNET_SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
# What the tests read back of every request (escape=json makes each line one
# JSON object whatever the client sent).
LOG_FORMAT = ('{"port":$server_port,"method":"$request_method","uri":"$request_uri",'
              '"range":"$http_range","status":$status,"sent":$body_bytes_sent,'
              '"connection":$connection,"completion":"$request_completion"}')


def run_openssl(*args, cwd):
    subprocess.run(["openssl"] + list(args), cwd=cwd, check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


class TestCA:
    """A certificate authority made for one run: its key never leaves
    `folder`. Issues server certificates with openssl's "ca" command, which
    can date a certificate in the past."""

    def __init__(self, folder, name):
        self.folder = os.path.join(folder, name)
        os.makedirs(self.folder)
        self.name = name
        self.pem = os.path.join(self.folder, "ca.pem")
        self.key = os.path.join(self.folder, "ca.key")
        run_openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "30",
                    "-subj", "/CN=Brightcast test CA %s" % name, "-keyout", "ca.key",
                    "-out", "ca.pem", "-addext", "basicConstraints=critical,CA:TRUE",
                    "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=self.folder)
        open(os.path.join(self.folder, "index.txt"), "w").close()
        with open(os.path.join(self.folder, "ca.cnf"), "w") as f:
            f.write("[ca]\ndefault_ca=test\n[test]\ndatabase=index.txt\nnew_certs_dir=.\n"
                    "rand_serial=yes\ndefault_md=sha256\npolicy=any\nunique_subject=no\n"
                    "[any]\ncommonName=supplied\n")
        der = subprocess.run(["openssl", "x509", "-in", self.pem, "-outform", "DER"],
                             check=True, capture_output=True).stdout
        self.der = der
        self.thumbprint = hashlib.sha1(der).hexdigest().upper()

    def issue(self, folder, name, hosts, expired=False):
        """A server certificate for `hosts` (IP addresses or DNS names) and its
        key, in `folder`; valid now for a month, or for a month two years ago."""
        cert = os.path.join(folder, name + ".pem")
        key = os.path.join(folder, name + ".key")
        csr = os.path.join(folder, name + ".csr")
        ext = os.path.join(folder, name + ".ext")
        # An address is named twice: as an address, and as the DNS-name text
        # that Wine's crypt32 compares (it does not read address entries).
        names = ",".join(("IP:%s,DNS:%s" % (h, h)) if h.replace(".", "").isdigit() else "DNS:" + h
                         for h in hosts)
        with open(ext, "w") as f:
            f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,"
                    "keyEncipherment\nextendedKeyUsage=serverAuth\nsubjectAltName=%s\n" % names)
        run_openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + hosts[0],
                    "-keyout", key, "-out", csr, cwd=self.folder)
        if expired:
            now = time.gmtime(time.time() - 2 * 365 * 86400)
            start = time.strftime("%Y%m%d%H%M%SZ", now)
            end = time.strftime("%Y%m%d%H%M%SZ", time.gmtime(time.mktime(now) + 30 * 86400))
            dates = ["-startdate", start, "-enddate", end]
        else:
            dates = ["-days", "30"]
        run_openssl("ca", "-batch", "-notext", "-config", "ca.cnf", "-cert", "ca.pem",
                    "-keyfile", "ca.key", "-in", csr, "-out", cert, "-extfile", ext,
                    *dates, cwd=self.folder)
        return cert, key


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, proc, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def stop_process(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(STOP_SECONDS)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    if proc.stderr:
        proc.stderr.close()


class ForegroundServer:
    """A server process of ours in the foreground (`self.proc`), started by
    the subclass's start() and stopped here, also as a context manager."""

    proc = None

    def stop(self):
        if self.proc:
            stop_process(self.proc)
            self.proc = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class Nginx(ForegroundServer):
    """nginx in the foreground, one process (no master), everything it
    writes under `state`; one HTTPS server per site, serving `www`."""

    def __init__(self, state, www, sites, rate=0):
        self.state = state
        self.www = os.path.abspath(www)
        self.sites = sites
        self.rate = rate  # bytes a second for every answer, 0: as fast as it goes
        self.ports = {}
        self.proc = None
        self.access_log = os.path.join(state, "access.log")
        self.error_log = os.path.join(state, "error.log")

    def config(self):
        temp = os.path.join(self.state, "temp")
        servers = []
        for name, cert, key in self.sites:
            servers.append(
                "  server {\n"
                "    listen 127.0.0.1:%d ssl;\n"
                "    ssl_certificate %s;\n    ssl_certificate_key %s;\n"
                "    root %s;\n    limit_rate %d;\n"
                "    location /slow/ { alias %s/; limit_rate %d; }\n"
                "  }\n" % (self.ports[name], cert, key, self.www, self.rate, self.www, SLOW_RATE))
        return (
            "daemon off;\nmaster_process off;\nworker_processes 1;\n"
            "pid %s;\nerror_log %s info;\n"
            "events { worker_connections 64; }\n"
            "http {\n"
            "  types { application/zip zip; }\n  default_type application/octet-stream;\n"
            "  log_format bc escape=json '%s';\n  access_log %s bc;\n"
            "  client_body_temp_path %s/body;\n  proxy_temp_path %s/proxy;\n"
            "  fastcgi_temp_path %s/fastcgi;\n  uwsgi_temp_path %s/uwsgi;\n"
            "  scgi_temp_path %s/scgi;\n"
            "  sendfile on;\n  keepalive_timeout 30;\n"
            "%s}\n" % (os.path.join(self.state, "nginx.pid"), self.error_log, LOG_FORMAT,
                       self.access_log, temp, temp, temp, temp, temp, "".join(servers)))

    def start(self):
        os.makedirs(os.path.join(self.state, "temp"), exist_ok=True)
        conf = os.path.join(self.state, "nginx.conf")
        for _ in range(PORT_ATTEMPTS):
            self.ports = {name: free_port() for name, _, _ in self.sites}
            with open(conf, "w") as f:
                f.write(self.config())
            self.proc = subprocess.Popen(
                ["nginx", "-p", self.state, "-c", conf, "-e", self.error_log],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if all(wait_listening(p, self.proc, START_SECONDS) for p in self.ports.values()):
                return self
            why = self.failure()
            # Another process took a port between the choice and the start.
        raise RuntimeError("nginx did not start: %s" % why)

    def failure(self):
        stop_process(self.proc)
        try:
            with open(self.error_log, encoding="utf-8", errors="replace") as f:
                return f.read()[-2000:]
        except OSError:
            return "no error log"

    def url(self, path, site="good", host="127.0.0.1"):
        return "https://%s:%d/%s" % (host, self.ports[site], path.lstrip("/"))

    def requests(self, site=None):
        """Every request nginx answered so far, in order, as dicts with port,
        method, uri, range, status, sent (body bytes), connection and
        completion ("OK" when the whole answer went out, "" when the
        connection ended before)."""
        entries = []
        try:
            with open(self.access_log, encoding="utf-8", errors="replace") as f:
                for line in f:
                    if line.strip():
                        entries.append(json.loads(line))
        except FileNotFoundError:
            pass
        if site is not None:
            entries = [e for e in entries if e["port"] == self.ports[site]]
        return entries


class Tinyproxy(ForegroundServer):
    """tinyproxy in the foreground with its own configuration: listens on
    127.0.0.1, lets only 127.0.0.1 in, and tunnels (CONNECT) only to
    `allowed_ports`; its log names every request it carried."""

    def __init__(self, state, allowed_ports):
        self.state = state
        self.allowed_ports = allowed_ports
        self.port = None
        self.proc = None
        self.log = os.path.join(state, "tinyproxy.log")

    def start(self):
        os.makedirs(self.state, exist_ok=True)
        conf = os.path.join(self.state, "tinyproxy.conf")
        for _ in range(PORT_ATTEMPTS):
            self.port = free_port()
            with open(conf, "w") as f:
                f.write("Port %d\nListen 127.0.0.1\nTimeout 60\nMaxClients 16\n"
                        "LogFile \"%s\"\nLogLevel Info\nPidFile \"%s\"\nAllow 127.0.0.1\n" % (
                            self.port, self.log, os.path.join(self.state, "tinyproxy.pid")))
                for port in self.allowed_ports:
                    f.write("ConnectPort %d\n" % port)
            self.proc = subprocess.Popen(["tinyproxy", "-d", "-c", conf],
                                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL)
            if wait_listening(self.port, self.proc, START_SECONDS):
                return self
            stop_process(self.proc)
        raise RuntimeError("tinyproxy did not start (%s)" % self.log)

    def connects(self):
        """The targets ("host:port") of the CONNECT requests it carried."""
        targets = []
        try:
            with open(self.log, encoding="utf-8", errors="replace") as f:
                for line in f:
                    marker = line.find(": CONNECT ")
                    if marker >= 0:
                        targets.append(line[marker + len(": CONNECT "):].split()[0])
        except FileNotFoundError:
            pass
        return targets


def wine_reg(wine, prefix, *args):
    """Wine's reg in `prefix` (None: the one of WINEPREFIX)."""
    env = dict(os.environ, WINEPREFIX=prefix) if prefix else None
    return subprocess.run([wine, "reg"] + list(args), stdin=subprocess.DEVNULL, env=env,
                          capture_output=True, timeout=120)


class WineTrust:
    """The CA in the machine "Root" store of the Wine prefix (WINEPREFIX) for
    the block: the registry form of that store, a key named by the
    certificate's SHA-1 whose "Blob" holds the certificate as a serialized
    property (CERT_CERT_PROP_ID 32, X509_ASN_ENCODING)."""

    def __init__(self, wine, ca, prefix=None):
        self.wine = wine
        self.prefix = prefix
        self.ca = ca
        self.key = ROOT_KEY + "\\" + ca.thumbprint

    def add(self):
        blob = struct.pack("<III", 32, 1, len(self.ca.der)) + self.ca.der
        run = wine_reg(self.wine, self.prefix, "add", self.key, "/v", "Blob", "/t", "REG_BINARY",
                       "/d", blob.hex().upper(), "/f")
        if run.returncode != 0:
            raise RuntimeError("cannot trust the test CA in the Wine prefix: %s" %
                               run.stderr.decode(errors="replace"))
        return self

    def remove(self):
        wine_reg(self.wine, self.prefix, "delete", self.key, "/f")

    def present(self):
        return wine_reg(self.wine, self.prefix, "query", self.key).returncode == 0

    def __enter__(self):
        return self.add()

    def __exit__(self, *exc):
        self.remove()


def set_wininet_proxy(wine, address, prefix=None):
    """The user's proxy as WinINet reads it (ProxyEnable, ProxyServer), with
    no bypass list: 127.0.0.1 goes through the proxy too."""
    for args in (("/v", "ProxyEnable", "/t", "REG_DWORD", "/d", "1"),
                 ("/v", "ProxyServer", "/t", "REG_SZ", "/d", address),
                 ("/v", "ProxyOverride", "/t", "REG_SZ", "/d", "")):
        run = wine_reg(wine, prefix, "add", INTERNET_SETTINGS, *args, "/f")
        if run.returncode != 0:
            raise RuntimeError("cannot set the proxy: %s" % run.stderr.decode(errors="replace"))


def clear_wininet_proxy(wine, prefix=None):
    wine_reg(wine, prefix, "add", INTERNET_SETTINGS, "/v", "ProxyEnable", "/t", "REG_DWORD",
             "/d", "0", "/f")
    for name in ("ProxyServer", "ProxyOverride"):
        wine_reg(wine, prefix, "delete", INTERNET_SETTINGS, "/v", name, "/f")


class TestSites:
    """The four sites of the helper server (see the module's text), their
    CAs and certificates in `state`, serving `www`."""

    def __init__(self, state, www):
        self.trusted = TestCA(state, "trusted")
        self.unknown = TestCA(state, "unknown")
        sites = [("good",) + self.trusted.issue(state, "good", ["127.0.0.1", "localhost"]),
                 ("wronghost",) + self.trusted.issue(state, "wronghost", ["other.example"]),
                 ("expired",) + self.trusted.issue(state, "expired", ["127.0.0.1", "localhost"],
                                                   expired=True),
                 ("unknownca",) + self.unknown.issue(state, "unknownca", ["127.0.0.1"])]
        self.nginx = Nginx(state, www, sites)


class HttpsSite:
    """One site for a run of the program: a CA made now and trusted by the
    Wine prefix (`prefix`, else that of WINEPREFIX) while the site is up, a certificate for
    127.0.0.1 and localhost, and nginx serving `www` over HTTPS. Everything
    it makes is under `state`; stop() undoes the trust also after a failure."""

    def __init__(self, state, www, wine, rate=0, prefix=None):
        os.makedirs(state, exist_ok=True)
        self.ca = TestCA(state, "ca")
        cert, key = self.ca.issue(state, "site", ["127.0.0.1", "localhost"])
        self.nginx = Nginx(state, www, [("good", cert, key)], rate)
        self.trust = WineTrust(wine, self.ca, prefix) if wine else None

    def start(self):
        try:
            if self.trust:
                self.trust.add()
            self.nginx.start()
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self):
        self.nginx.stop()
        if self.trust:
            self.trust.remove()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def port(self):
        return self.nginx.ports["good"]

    def url(self, path):
        return self.nginx.url(path)

    def requests(self):
        return self.nginx.requests()


def serve(opts):
    state = os.path.join(opts.dir, "state")
    www = os.path.join(opts.dir, "www")
    os.makedirs(state)
    os.makedirs(www)
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    sites = TestSites(state, www)
    trust = WineTrust(opts.wine, sites.trusted) if opts.wine else None
    try:
        if trust:
            trust.add()
        sites.nginx.start()
        with open(os.path.join(opts.dir, "ports.txt"), "w") as f:
            for name, port in sites.nginx.ports.items():
                f.write("%s %d\n" % (name, port))
        print("PORT %d" % sites.nginx.ports["good"], flush=True)
        while not stopping and sites.nginx.proc.poll() is None:
            time.sleep(0.2)
    finally:
        sites.nginx.stop()
        if trust:
            trust.remove()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)  # the launcher's; ports are free ones
    parser.add_argument("--dir", required=True)
    parser.add_argument("--wine")
    opts = parser.parse_args()
    serve(opts)


if __name__ == "__main__":
    sys.exit(main())
