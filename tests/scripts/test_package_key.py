#!/usr/bin/env python3
"""Checks how the package key gets into the program: cmake/package_key.py on
keys openssl makes, and the configure of a Release tree with and without a
key.

  test_package_key.py --script cmake/package_key.py --source REPOSITORY
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import unittest

OPTS = None


def openssl(*args):
    done = subprocess.run(["openssl"] + list(args), capture_output=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


class PackageKeyHeader(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory(prefix="package-key-")
        self.addCleanup(self.folder.cleanup)

    def path(self, name):
        return os.path.join(self.folder.name, name)

    def key(self, name, curve):
        private = self.path(name + ".pem")
        openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:" + curve,
                "-out", private)
        openssl("pkey", "-in", private, "-pubout", "-out", self.path(name + ".pub.pem"))
        return private, self.path(name + ".pub.pem")

    def run_script(self, *args):
        return subprocess.run([sys.executable, OPTS.script, "--out", self.path("key.h")]
                              + list(args), capture_output=True, text=True, timeout=60)

    def point_of(self, header):
        match = re.search(r"BC_PACKAGE_KEY_POINT(.*)", header, re.S)
        self.assertTrue(match, header)
        return bytes(int(b, 16) for b in re.findall(r"0x([0-9A-F]{2})", match.group(1)))

    def test_the_point_of_a_p256_public_key(self):
        _, public = self.key("k", "P-256")
        done = self.run_script("--pem", public)
        self.assertEqual(0, done.returncode, done.stderr)
        with open(self.path("key.h")) as f:
            header = f.read()
        self.assertIn("#define BC_PACKAGE_KEY_PRESENT 1", header)
        der = openssl("pkey", "-pubin", "-in", public, "-outform", "DER")
        self.assertEqual(der[-64:], self.point_of(header))

        # Unchanged text: the header is not written again (nothing rebuilds).
        before = os.stat(self.path("key.h")).st_mtime_ns
        os.utime(self.path("key.h"), ns=(before - 10**9, before - 10**9))
        self.assertEqual(0, self.run_script("--pem", public).returncode)
        self.assertEqual(before - 10**9, os.stat(self.path("key.h")).st_mtime_ns)

    def test_no_key_is_said_in_the_header(self):
        self.assertEqual(0, self.run_script().returncode)
        with open(self.path("key.h")) as f:
            header = f.read()
        self.assertIn("#define BC_PACKAGE_KEY_PRESENT 0", header)
        self.assertNotIn("BC_PACKAGE_KEY_POINT", header)

    def test_anything_but_a_p256_public_key_is_refused(self):
        private, _ = self.key("k", "P-256")
        _, p384 = self.key("p384", "P-384")
        with open(self.path("broken.pem"), "w") as f:
            f.write("-----BEGIN PUBLIC KEY-----\nMFkw*EwYH\n-----END PUBLIC KEY-----\n")
        for what, pem in (("the private key", private), ("a P-384 key", p384),
                          ("broken base64", self.path("broken.pem")),
                          ("no such file", self.path("absent.pem"))):
            with self.subTest(what):
                done = self.run_script("--pem", pem)
                self.assertEqual(1, done.returncode)
                self.assertIn("package_key.py:", done.stderr)
                self.assertFalse(os.path.exists(self.path("key.h")))


class ReleaseConfigure(unittest.TestCase):
    """A Release tree of the shipped program, configured (not built)."""

    def configure(self, *args):
        folder = tempfile.TemporaryDirectory(prefix="configure-")
        self.addCleanup(folder.cleanup)
        return subprocess.run(
            ["cmake", "-S", OPTS.source, "-B", folder.name, "-DCMAKE_BUILD_TYPE=Release",
             "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(OPTS.source, "cmake", "mingw-i686.cmake")]
            + list(args), capture_output=True, text=True, timeout=300)

    def test_warns_loudly_without_a_key_and_stops_at_a_wrong_one(self):
        done = self.configure()
        self.assertEqual(0, done.returncode, done.stderr)
        self.assertIn("CMake Warning", done.stderr)
        self.assertIn("NO package key", done.stderr)

        folder = tempfile.TemporaryDirectory(prefix="key-")
        self.addCleanup(folder.cleanup)
        wrong = os.path.join(folder.name, "wrong.pem")
        with open(wrong, "w") as f:
            f.write("not a key\n")
        done = self.configure("-DBC_PACKAGE_PUBLIC_KEY=" + wrong,
                              "-DBC_TEST_SIGNING_KEY=" + wrong)
        self.assertNotEqual(0, done.returncode)
        self.assertIn("BC_PACKAGE_PUBLIC_KEY", done.stderr)
        self.assertNotIn("NO package key", done.stderr)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--script", required=True)
    parser.add_argument("--source", required=True)
    OPTS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
