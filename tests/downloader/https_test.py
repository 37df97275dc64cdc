#!/usr/bin/env python3
"""The verified download over HTTPS from a real web server: dlmfetch.exe
under Wine against nginx (tests/servers/webserver.py), with certificates from
a test CA made for this run and trusted by the Wine prefix while it runs.

  https_test.py --dlmfetch PATH --makemeta PATH --emulator WINE
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "servers"))
import webserver  # noqa: E402

MiB = 1 << 20
OPTS = None
RUN_SECONDS = 120
# A certificate from a CA nobody trusts: ERROR_INTERNET_INVALID_CA, or
# ERROR_INTERNET_SEC_CERT_REV_FAILED where WinINet asks about revocation first.
UNKNOWN_CA_RESULTS = ["0x80072F0D", "0x80072F19"]


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class HttpsFromNginx(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="https-test-")
        cls.www = os.path.join(cls.scratch, "www")
        os.makedirs(cls.www)
        cls.sites = webserver.TestSites(os.path.join(cls.scratch, "state"), cls.www)
        cls.trust = webserver.WineTrust(OPTS.emulator, cls.sites.trusted)
        try:
            cls.trust.add()
            cls.sites.nginx.start()
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.sites.nginx.stop()
        cls.trust.remove()
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def setUp(self):
        self.folder = tempfile.TemporaryDirectory(prefix="https-fetch-")
        self.addCleanup(self.folder.cleanup)

    def publish(self, name, size):
        data = os.urandom(size)
        with open(os.path.join(self.www, name), "wb") as out:
            out.write(data)
        subprocess.run([sys.executable, OPTS.makemeta, os.path.join(self.www, name)],
                       check=True, capture_output=True)
        return data

    def fetch(self, url, target):
        done = subprocess.run([OPTS.emulator, OPTS.dlmfetch, url, windows_path(target)],
                              capture_output=True, timeout=RUN_SECONDS)
        lines = done.stdout.decode(errors="replace").strip().splitlines()
        return done.returncode, lines, done.stderr.decode(errors="replace")

    def requests(self, site, name):
        return [(r["method"], r["uri"], r["range"], r["status"])
                for r in self.sites.nginx.requests(site) if r["uri"].startswith("/" + name)]

    def test_a_verified_download_and_its_resume_over_https(self):
        data = self.publish("suite.zip", 3 * MiB + 5)
        target = os.path.join(self.folder.name, "suite.zip")
        code, lines, err = self.fetch(self.sites.nginx.url("suite.zip"), target)
        self.assertEqual(0, code, err)
        self.assertEqual("result 0x00000000", lines[-1])
        with open(target, "rb") as got:
            self.assertEqual(data, got.read())
        # The companion, then the package in one range from its first byte,
        # each from nginx over TLS.
        self.assertEqual([("GET", "/suite.zip.meta", "", 200),
                          ("GET", "/suite.zip", "bytes=0-%d" % (len(data) - 1), 206)],
                         self.requests("good", "suite.zip"))

        # A bad third block: the next run asks nginx for the rest from there.
        with open(target, "r+b") as damaged:
            damaged.seek(2 * MiB + 10)
            damaged.write(b"\0\1\2")
        before = len(self.requests("good", "suite.zip"))
        code, lines, err = self.fetch(self.sites.nginx.url("suite.zip"), target)
        self.assertEqual(0, code, err)
        with open(target, "rb") as got:
            self.assertEqual(data, got.read())
        self.assertEqual([("GET", "/suite.zip.meta", "", 200),
                          ("GET", "/suite.zip", "bytes=%d-%d" % (2 * MiB, len(data) - 1), 206)],
                         self.requests("good", "suite.zip")[before:])

    def test_a_refused_certificate_ends_with_its_wininet_result(self):
        self.publish("refused.zip", MiB)
        rows = (
            # site, results: HRESULT_FROM_WIN32 of the WinINet error
            ("wronghost", ["0x80072F06"]),  # ERROR_INTERNET_SEC_CERT_CN_INVALID
            ("expired", ["0x80072F05"]),  # ERROR_INTERNET_SEC_CERT_DATE_INVALID
            # ERROR_INTERNET_INVALID_CA on Windows; this Wine checks revocation
            # first and, with no trusted root, fails that:
            # ERROR_INTERNET_SEC_CERT_REV_FAILED.
            ("unknownca", UNKNOWN_CA_RESULTS),
        )
        for site, results in rows:
            with self.subTest(site=site):
                target = os.path.join(self.folder.name, site + ".zip")
                code, lines, err = self.fetch(self.sites.nginx.url("refused.zip", site), target)
                self.assertEqual(1, code, err)
                self.assertIn(lines[-1], ["result " + r for r in results])
                # Nothing was asked over the refused connection, nothing written.
                self.assertEqual([], self.requests(site, "refused.zip"))
                self.assertFalse(os.path.exists(target))

    def test_the_test_ca_is_trusted_only_while_the_fixture_holds_it(self):
        # A second authority and its own server, so the class's stays as it is.
        state = os.path.join(self.folder.name, "state")
        ca = webserver.TestCA(state, "passing")
        cert, key = ca.issue(state, "site", ["127.0.0.1"])
        www = os.path.join(self.folder.name, "www")
        os.makedirs(www)
        with open(os.path.join(www, "p.zip"), "wb") as out:
            out.write(os.urandom(MiB))
        subprocess.run([sys.executable, OPTS.makemeta, os.path.join(www, "p.zip")], check=True,
                       capture_output=True)
        with webserver.Nginx(state, www, [("site", cert, key)]) as web:
            trust = webserver.WineTrust(OPTS.emulator, ca)
            with trust:
                self.assertTrue(trust.present())
                code, lines, _ = self.fetch(web.url("p.zip", "site"),
                                            os.path.join(self.folder.name, "a.zip"))
                self.assertEqual("result 0x00000000", lines[-1])
            self.assertFalse(trust.present())
            code, lines, _ = self.fetch(web.url("p.zip", "site"),
                                        os.path.join(self.folder.name, "b.zip"))
            self.assertIn(lines[-1], ["result " + r for r in UNKNOWN_CA_RESULTS])


class ThroughTheProxy(unittest.TestCase):
    """The prefix's proxy is tinyproxy: the download goes through it. The
    proxy is a setting of the whole prefix, so this runs in a prefix of its
    own (kept between runs in the build tree, like the main job's), where no
    other test's requests can meet it."""

    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="https-proxy-")
        self.addCleanup(shutil.rmtree, self.scratch, True)
        self.env = dict(os.environ, WINEPREFIX=OPTS.proxy_prefix)
        os.makedirs(OPTS.proxy_prefix, exist_ok=True)
        # Its own wineserver, ended with the test.
        self.addCleanup(subprocess.run, ["wineserver", "-k"], env=self.env,
                        capture_output=True, timeout=60)
        subprocess.run([OPTS.emulator, "wineboot", "--init"], env=self.env,
                       capture_output=True, timeout=RUN_SECONDS)

    def wine(self, *args):
        return subprocess.run([OPTS.emulator] + list(args), env=self.env, capture_output=True,
                              timeout=RUN_SECONDS)

    def test_a_verified_download_through_tinyproxy(self):
        www = os.path.join(self.scratch, "www")
        os.makedirs(www)
        data = os.urandom(2 * MiB + 7)
        with open(os.path.join(www, "p.zip"), "wb") as out:
            out.write(data)
        subprocess.run([sys.executable, OPTS.makemeta, os.path.join(www, "p.zip")], check=True,
                       capture_output=True)
        prefix = OPTS.proxy_prefix
        site = webserver.HttpsSite(os.path.join(self.scratch, "web"), www, OPTS.emulator,
                                   prefix=prefix)
        with site, webserver.Tinyproxy(os.path.join(self.scratch, "proxy"),
                                       [site.port]) as proxy:
            webserver.set_wininet_proxy(OPTS.emulator, "127.0.0.1:%d" % proxy.port, prefix)
            try:
                target = os.path.join(self.scratch, "p.zip")
                done = self.wine(OPTS.dlmfetch, site.url("p.zip"), windows_path(target))
            finally:
                webserver.clear_wininet_proxy(OPTS.emulator, prefix)
            lines = done.stdout.decode(errors="replace").strip().splitlines()
            self.assertEqual("result 0x00000000", lines[-1], done.stderr)
            with open(target, "rb") as got:
                self.assertEqual(data, got.read())
            # The proxy carried it: every tunnel went to nginx, and nginx
            # answered the requests that came through them.
            tunnels = proxy.connects()
            self.assertTrue(tunnels)
            self.assertEqual({"127.0.0.1:%d" % site.port}, set(tunnels))
            self.assertEqual([("/p.zip.meta", 200), ("/p.zip", 206)],
                             [(r["uri"], r["status"]) for r in site.requests()])


def main():
    global OPTS
    parser = argparse.ArgumentParser()
    parser.add_argument("--dlmfetch", required=True)
    parser.add_argument("--makemeta", required=True)
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--proxy-prefix", required=True)
    OPTS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
