#!/usr/bin/env python3
"""Tests of the download tools: tools/makemeta, and dlmfetch.exe under Wine
against the package server (started by tests/harness/run_test.py as PKG).

  tools_test.py --makemeta PATH --dlmfetch PATH --emulator WINE
"""
import argparse
import hashlib
import os
import struct
import subprocess
import sys
import tempfile
import unittest
import urllib.request

MiB = 1 << 20
OPTS = None
# Every run of a tool ends within this time or fails the test.
RUN_SECONDS = 120


def unix_path(windows_path):
    assert windows_path.startswith("Z:"), windows_path
    return windows_path[2:].replace("\\", "/")


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def openssl(*args, data=None):
    return subprocess.run(["openssl"] + list(args), input=data, capture_output=True,
                          timeout=RUN_SECONDS)


def make_key(folder, name, curve="P-256"):
    """(private, public) PEM files of a new EC key pair."""
    private = os.path.join(folder, name + ".pem")
    public = os.path.join(folder, name + ".pub.pem")
    done = openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:" + curve,
                   "-out", private)
    assert done.returncode == 0, done.stderr
    done = openssl("pkey", "-in", private, "-pubout", "-out", public)
    assert done.returncode == 0, done.stderr
    return private, public


def der_signature(raw):
    """The DER ECDSA-Sig-Value of a raw r||s, for openssl to verify."""
    def integer(value):
        value = value.lstrip(b"\0") or b"\0"
        if value[0] & 0x80:
            value = b"\0" + value
        return b"\x02" + bytes([len(value)]) + value
    body = integer(raw[:32]) + integer(raw[32:])
    return b"\x30" + bytes([len(body)]) + body


def pattern(size, seed):
    data = bytearray()
    block = hashlib.sha256(b"%d" % seed).digest()
    while len(data) < size:
        data += block
        block = hashlib.sha256(block).digest()
    return bytes(data[:size])


class MakeMetaTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory(prefix="makemeta-")
        self.addCleanup(self.folder.cleanup)

    def run_tool(self, *args):
        return subprocess.run([sys.executable, OPTS.makemeta] + list(args),
                              capture_output=True, timeout=RUN_SECONDS)

    def test_layout_for_sizes_around_block_edges(self):
        for size, blocks in ((0, 0), (1, 1), (MiB - 1, 1), (MiB, 1), (MiB + 1, 2),
                             (5 * MiB // 2, 3)):
            with self.subTest(size=size):
                package = os.path.join(self.folder.name, "p%d.bin" % size)
                data = pattern(size, size)
                with open(package, "wb") as out:
                    out.write(data)
                done = self.run_tool(package)
                self.assertEqual(0, done.returncode, done.stderr)
                self.assertIn(b"%d bytes, %d blocks" % (size, blocks), done.stdout)
                with open(package + ".meta", "rb") as meta:
                    companion = meta.read()
                self.assertEqual(8 + 20 * blocks, len(companion))
                self.assertEqual(size, struct.unpack("<q", companion[:8])[0])
                for i in range(blocks):
                    self.assertEqual(hashlib.sha1(data[i * MiB:(i + 1) * MiB]).digest(),
                                     companion[8 + 20 * i:28 + 20 * i], "block %d" % i)
                # Nothing else is left in the folder but the two files.
                leftovers = [name for name in os.listdir(self.folder.name)
                             if name.startswith(".makemeta-")]
                self.assertEqual([], leftovers)

    def test_rewrites_an_existing_companion(self):
        package = os.path.join(self.folder.name, "p.bin")
        with open(package + ".meta", "wb") as out:
            out.write(b"stale" * 100)
        with open(package, "wb") as out:
            out.write(b"x" * 10)
        self.assertEqual(0, self.run_tool(package).returncode)
        self.assertEqual(28, os.path.getsize(package + ".meta"))

    def openssl_verifies(self, public, data, raw):
        signature = os.path.join(self.folder.name, "sig.der")
        with open(signature, "wb") as out:
            out.write(der_signature(raw))
        done = openssl("dgst", "-sha256", "-verify", public, "-signature", signature, data=data)
        return done.returncode == 0

    def test_sign_writes_the_raw_signature_of_the_exact_companion(self):
        private, public = make_key(self.folder.name, "key")
        package = os.path.join(self.folder.name, "p.bin")
        with open(package, "wb") as out:
            out.write(pattern(2 * MiB + 3, 7))
        done = self.run_tool("--sign", private, package)
        self.assertEqual(0, done.returncode, done.stderr)
        self.assertIn(b"signed", done.stdout)
        with open(package + ".meta", "rb") as f:
            companion = f.read()
        with open(package + ".meta.sig", "rb") as f:
            raw = f.read()
        self.assertEqual(68, len(companion))
        self.assertEqual(64, len(raw))
        self.assertTrue(self.openssl_verifies(public, companion, raw))
        changed = bytearray(companion)
        changed[9] ^= 1
        self.assertFalse(self.openssl_verifies(public, bytes(changed), raw))
        _, other = make_key(self.folder.name, "other")
        self.assertFalse(self.openssl_verifies(other, companion, raw))

    def test_sign_with_a_key_it_cannot_use_writes_nothing(self):
        p384, p384_public = make_key(self.folder.name, "p384", "P-384")
        cases = (("a P-384 key", p384), ("a public key", p384_public),
                 ("no such file", os.path.join(self.folder.name, "absent.pem")))
        for what, key in cases:
            with self.subTest(what):
                package = os.path.join(self.folder.name, "q.bin")
                with open(package, "wb") as out:
                    out.write(b"q" * 100)
                done = self.run_tool("--sign", key, package)
                self.assertEqual(1, done.returncode)
                self.assertIn(b"makemeta:", done.stderr)
                self.assertFalse(os.path.exists(package + ".meta"))
                self.assertFalse(os.path.exists(package + ".meta.sig"))
        self.assertEqual(2, self.run_tool("--sign", p384).returncode)

    def test_missing_package_and_wrong_command_line(self):
        missing = os.path.join(self.folder.name, "missing.bin")
        done = self.run_tool(missing)
        self.assertEqual(1, done.returncode)
        self.assertIn(b"makemeta:", done.stderr)
        self.assertFalse(os.path.exists(missing + ".meta"))
        self.assertEqual([], os.listdir(self.folder.name))
        self.assertEqual(2, self.run_tool().returncode)
        self.assertEqual(2, self.run_tool("a", "b").returncode)


class DlmfetchTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.port = int(os.environ["BC_PKG_PORT"])
        cls.served = unix_path(os.environ["BC_PKG_DIR"])

    def setUp(self):
        self.control("reset")
        self.folder = tempfile.TemporaryDirectory(prefix="dlmfetch-")
        self.addCleanup(self.folder.cleanup)

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def control(self, command):
        with urllib.request.urlopen(self.url("/_control/" + command), timeout=30) as answer:
            return answer.read()

    def publish(self, name, size, seed=1):
        data = pattern(size, seed)
        with open(os.path.join(self.served, name), "wb") as out:
            out.write(data)
        self.control("meta?path=/" + name)
        return data

    def fetch(self, *args):
        done = subprocess.run([OPTS.emulator, OPTS.dlmfetch] + list(args),
                              capture_output=True, timeout=RUN_SECONDS)
        lines = done.stdout.decode(errors="replace").strip().splitlines()
        return done.returncode, lines, done.stderr.decode(errors="replace")

    def package_requests(self):
        log = self.control("log").decode().split("\n\n")
        return [block for block in log
                if block.strip() and not block.split("\n")[0].endswith((".meta", ".meta.sig"))]

    def targets(self):
        log = self.control("log").decode().split("\n\n")
        return [block.split("\n")[0] for block in log if block.strip()]

    def test_fresh_download_then_a_complete_file(self):
        data = self.publish("tool.bin", 3 * MiB + 5)
        target = os.path.join(self.folder.name, "tool.bin")
        code, lines, err = self.fetch(self.url("/tool.bin"), windows_path(target))
        self.assertEqual(0, code, err)
        self.assertEqual(["result 0x00000000"], lines)
        self.assertIn("MiB", err)  # the progress line
        with open(target, "rb") as got:
            self.assertEqual(data, got.read())
        self.assertEqual(1, len(self.package_requests()))

        self.control("reset")
        code, lines, err = self.fetch(self.url("/tool.bin"), windows_path(target))
        self.assertEqual(0, code, err)
        self.assertEqual("result 0x00000000", lines[-1])
        self.assertEqual([], self.package_requests())

    def test_failures_give_their_result_and_exit_1(self):
        target = os.path.join(self.folder.name, "none.bin")
        code, lines, err = self.fetch(self.url("/absent.bin"), windows_path(target))
        self.assertEqual(1, code)
        self.assertEqual(["result 0x800C0005"], lines)  # not found
        self.assertFalse(os.path.exists(target))

        self.publish("bad.bin", MiB)
        with open(os.path.join(self.served, "bad.bin.meta"), "ab") as meta:
            meta.write(b"\0")
        code, lines, err = self.fetch(self.url("/bad.bin"), windows_path(target))
        self.assertEqual(1, code)
        self.assertEqual(["result 0x80004005"], lines)
        self.assertIn("companion", err)

    def test_with_a_key_the_companion_must_carry_its_signature(self):
        # The server signs with the tree's package key; its public half:
        key = os.environ.get("BC_PACKAGE_PUBLIC_KEY", "")
        self.assertTrue(key, "no package key for the tests (scripts/build makes one)")
        data = self.publish("signed.bin", 2 * MiB + 9)
        target = os.path.join(self.folder.name, "signed.bin")
        code, lines, err = self.fetch("--key", windows_path(key), self.url("/signed.bin"),
                                      windows_path(target))
        self.assertEqual(0, code, err)
        self.assertEqual(["result 0x00000000"], lines)
        self.assertEqual(["GET /signed.bin.meta", "GET /signed.bin.meta.sig", "GET /signed.bin"],
                         self.targets())
        with open(target, "rb") as got:
            self.assertEqual(data, got.read())

        os.remove(target)
        os.remove(os.path.join(self.served, "signed.bin.meta.sig"))
        self.control("reset")
        code, lines, err = self.fetch("--key", windows_path(key), self.url("/signed.bin"),
                                      windows_path(target))
        self.assertEqual(1, code)
        self.assertEqual(["result 0x80090006"], lines)
        self.assertIn("signature", err)
        self.assertEqual(["GET /signed.bin.meta", "GET /signed.bin.meta.sig"], self.targets())
        self.assertFalse(os.path.exists(target))

        # Without --key, as before: no signature asked for.
        self.control("reset")
        code, lines, err = self.fetch(self.url("/signed.bin"), windows_path(target))
        self.assertEqual(0, code, err)
        self.assertEqual(["GET /signed.bin.meta", "GET /signed.bin"], self.targets())

    def test_a_key_file_that_is_no_p256_public_key_is_a_wrong_command_line(self):
        folder = self.folder.name
        private, _ = make_key(folder, "k")
        _, p384 = make_key(folder, "p384", "P-384")
        for what, key in (("a private key", private), ("a P-384 key", p384),
                          ("no such file", os.path.join(folder, "absent.pem"))):
            with self.subTest(what):
                code, lines, err = self.fetch("--key", windows_path(key), self.url("/x.bin"),
                                              windows_path(os.path.join(folder, "x.bin")))
                self.assertEqual(1, code)
                self.assertEqual(["result 0x80070057"], lines)
                self.assertIn("not the PEM public key", err)
        self.assertEqual([], self.targets())

    def test_wrong_command_line(self):
        for args in ((), ("only-a-url",), ("a", "b", "c")):
            with self.subTest(args=args):
                code, lines, err = self.fetch(*args)
                self.assertEqual(1, code)
                self.assertEqual(["result 0x80070057"], lines)
                self.assertIn("usage", err)


def main():
    global OPTS
    parser = argparse.ArgumentParser()
    parser.add_argument("--makemeta", required=True)
    parser.add_argument("--dlmfetch", required=True)
    parser.add_argument("--emulator", required=True)
    OPTS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v"] + rest)


if __name__ == "__main__":
    main()
