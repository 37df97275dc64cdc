#!/usr/bin/env python3
"""The installing flow of the pages, run headless by pageflow.exe under Wine
against the real product controller, the package server and the test
products: the flow's own script decides, the controller downloads, unzips and
installs for real.

  test_pageflow.py --pageflow EXE --program EXE --fixtures DIR --wine WINE
                   [unittest args]

Needs the package server of the test launcher (BC_PKG_PORT, BC_PKG_DIR).
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "demo"))
# The test products are the ones the product fixture builds.
sys.path.insert(0, os.path.join(HERE, "..", "product", "fixture"))
import pagekit  # noqa: E402
from make_fixtures import PRODUCT_CODES  # noqa: E402

FLOW_SECONDS = 600
OPTS = None


def system_bits():
    """What the pages' "${osbits}" becomes: the width of the Windows in the
    prefix (Wine records it as "#arch=win64" or "#arch=win32" in the
    prefix's registry), not the width of the programs under test."""
    prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
    try:
        with open(os.path.join(prefix, "system.reg"), encoding="utf-8", errors="replace") as f:
            head = f.read(4096)
    except OSError:
        head = ""
    if "#arch=win64" in head:
        return "64"
    if "#arch=win32" in head:
        return "32"
    return "64" if os.environ.get("WINEARCH") == "win64" else "32"


def unix_path(windows):
    return windows[2:].replace("\\", "/") if windows.startswith("Z:") else windows


class PageFlowRuns(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.port = int(os.environ.get("BC_PKG_PORT", "0"))
        if not cls.port:
            raise unittest.SkipTest("the package server was not started (BC_PKG_PORT)")
        cls.served = unix_path(os.environ["BC_PKG_DIR"])
        cls.work = tempfile.mkdtemp(prefix="pageflow-")
        cls.package = "Brightcast_Suite_%sbit.zip" % system_bits()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def setUp(self):
        self.uninstall_products()
        self.control("reset")
        # The controller keeps the package next to the running program; a
        # package from another case would only be verified and resumed.
        folder = os.path.dirname(OPTS.pageflow)
        for name in os.listdir(folder):
            if name.endswith(".zip"):
                os.remove(os.path.join(folder, name))
        self.addCleanup(self.uninstall_products)

    def uninstall_products(self):
        for code in PRODUCT_CODES:
            subprocess.run([OPTS.wine, "msiexec", "/x", code, "/qn"], capture_output=True,
                           timeout=120)

    def control(self, command):
        url = "http://127.0.0.1:%d/_control/%s" % (self.port, command)
        with urllib.request.urlopen(url, timeout=10) as answer:
            return answer.read()

    def requests(self):
        return [(e["target"], e["status"]) for e in json.loads(self.control("log.json"))]

    def serve(self, fixture, name):
        source = os.path.join(OPTS.fixtures, "packages", fixture)
        target = os.path.join(self.served, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(source, target)
        shutil.copyfile(source + ".meta", target + ".meta")

    def program(self, **parameters):
        """The program with the pages packed in, their parameters replaced."""
        pages = pagekit.make_pages(os.path.join(self.work, "pages"), **parameters)
        return pagekit.pack(OPTS.program, pages, os.path.join(self.work, "Setup.exe"))

    def url(self, name):
        return "http://127.0.0.1:%d/%s" % (self.port, name)

    def run_flow(self, program):
        run = subprocess.run([OPTS.wine, OPTS.pageflow, pagekit.windows_path(program)],
                             capture_output=True, text=True, timeout=FLOW_SECONDS)
        sys.stderr.write(run.stderr)
        lines = run.stdout.splitlines()
        self.assertTrue(lines, "pageflow printed nothing")
        return run.returncode, lines, run.stderr

    def assert_installed(self, lines):
        for code in PRODUCT_CODES:
            self.assertTrue(any(l.startswith("product " + code + " installed") for l in lines),
                            "%s not installed: %s" % (code, lines))
        self.assertIn("product version: 18.3.1.204", lines)
        self.assertTrue(any(l.startswith("start program: ") and
                            l.endswith("\\Brightcast Suite Test\\brightcast.exe") for l in lines),
                        lines)

    def test_a_package_is_downloaded_unpacked_and_installed(self):
        self.serve("TLWSuite_full.zip", self.package)
        program = self.program(DOWNLOAD_URL=self.url("Brightcast_Suite_${osbits}bit.zip"))
        code, lines, err = self.run_flow(program)
        self.assertEqual("flow status 1", lines[-1])
        self.assertEqual(0, code)
        self.assertIn("flow outcome completed, failure stage 0, code 0", lines)
        self.assertIn("install milestone: product 7 of 7 installed", err)
        self.assert_installed(lines)
        size = os.path.getsize(os.path.join(self.served, self.package))
        self.assertTrue(any(l.endswith(": %d bytes, every block verified" % size) for l in lines))
        targets = [t for t, _ in self.requests()]
        self.assertEqual(["/%s.meta" % self.package, "/" + self.package], targets)

    def test_a_missing_package_falls_back_to_the_default_once(self):
        self.serve("TLWSuite_full.zip", "tlw/Brightcast_Suite.zip")
        program = self.program(DOWNLOAD_URL=self.url("tlw/missing_${osbits}.zip"),
                               PRODUCT_FILE_NAME="Brightcast_Suite.zip")
        code, lines, err = self.run_flow(program)
        requests = self.requests()
        self.assertEqual("flow status 1", lines[-1], "%s\n%s" % (err, requests))
        self.assertEqual(0, code)
        # One attempt at the missing package, then the default in the same folder.
        self.assertEqual(("/tlw/missing_%s.zip.meta" % system_bits(), 404), requests[0])
        self.assertEqual(["/tlw/Brightcast_Suite.zip.meta", "/tlw/Brightcast_Suite.zip"],
                         [t for t, _ in requests[1:]])

    def test_a_busy_installer_is_retried_after_the_question(self):
        self.serve("TLWSuite_busyonce.zip", self.package)
        program = self.program(DOWNLOAD_URL=self.url("Brightcast_Suite_${osbits}bit.zip"))
        code, lines, err = self.run_flow(program)
        self.assertEqual("flow status 1", lines[-1], err)
        self.assertEqual(0, code)
        self.assertEqual(1, err.count("-> retry"), err)
        self.assert_installed(lines)

    def test_a_package_without_setup_ends_the_flow_with_a_message(self):
        self.serve("TLWSuite_nosetup.zip", self.package)
        program = self.program(DOWNLOAD_URL=self.url("Brightcast_Suite_${osbits}bit.zip"))
        code, lines, err = self.run_flow(program)
        # The error status the installing page reported stays.
        self.assertEqual("flow status 2", lines[-1])
        self.assertEqual(1, code)
        self.assertIn("flow outcome failed, failure stage 5, code 0", lines)
        self.assertIn("message box: ", err)
        self.assertIn("product %s not installed" % PRODUCT_CODES[0], lines)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for name in ("pageflow", "program", "fixtures", "wine"):
        parser.add_argument("--" + name, required=True)
    OPTS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
