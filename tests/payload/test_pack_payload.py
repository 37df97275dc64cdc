#!/usr/bin/env python3
"""Tests of tools/pack-payload: the archive layout it writes, signed and
unsigned programs, packed copies of the probe program run under Wine, and the
shipped program (the 32-bit build, whatever the tests run on) signed and
packed as a file.

  test_pack_payload.py --packer P --probe EXE --shipped EXE --pages DIR
                       --wine WINE --osslsigncode O --openssl S [unittest args]
"""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

OPTS = None
HEADER = 528


def pe_fields(image):
    """(checksum offset, security directory offset, table offset, table size)."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", image, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    security = directories + 8 * 4
    offset, size = struct.unpack_from("<II", image, security)
    return optional + 64, security, offset, size


def read_archive(image):
    """Records (name, data) of the archive the file's last 4 bytes point at,
    the offset of the first record, and the bytes after the end header."""
    first = struct.unpack_from("<I", image, len(image) - 4)[0]
    at = first
    records = []
    while True:
        header = image[at:at + HEADER]
        assert len(header) == HEADER, "header cut short"
        at += HEADER
        if header[:2] == b"\0\0":
            break
        name = header[:520].decode("utf-16-le").split("\0")[0]
        low, high = struct.unpack_from("<II", header, 520)
        assert high == 0
        records.append((name, image[at:at + low]))
        at += low
    return records, first, image[at:len(image) - 4]


# The file in each folder the program makes that names the processes using
# it; it is no page.
USERS_FILE = "~bcrun.users"


def page_files(folder):
    """Relative backslash name -> bytes for every file under folder."""
    files = {}
    for root, _, names in os.walk(folder):
        for name in names:
            if root == folder and name == USERS_FILE:
                continue
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                files[os.path.relpath(path, folder).replace(os.sep, "\\")] = f.read()
    return files


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class PackerTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="pack-payload-test-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        with open(OPTS.probe, "rb") as f:
            self.probe = f.read()

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        path = self.path(name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def pack(self, input_path, pages, output_name="packed.exe", expect_ok=True):
        output = self.path(output_name)
        run = subprocess.run([sys.executable, OPTS.packer, input_path, pages, output],
                             capture_output=True, text=True)
        if expect_ok:
            self.assertEqual(0, run.returncode, run.stderr)
        return output, run

    def sign(self, input_path, output_name):
        key, cert = self.path("key.pem"), self.path("cert.pem")
        if not os.path.exists(cert):
            subprocess.run([OPTS.openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                            "-keyout", key, "-out", cert, "-days", "2",
                            "-subj", "/CN=Payload Test Signer",
                            "-addext", "extendedKeyUsage=codeSigning",
                            "-addext", "keyUsage=digitalSignature"],
                           check=True, capture_output=True)
        output = self.path(output_name)
        subprocess.run([OPTS.osslsigncode, "sign", "-certs", cert, "-key", key,
                        "-in", input_path, "-out", output], check=True, capture_output=True)
        return output

    def verify(self, path):
        run = subprocess.run([OPTS.osslsigncode, "verify", "-CAfile", self.path("cert.pem"),
                              "-in", path], capture_output=True, text=True)
        return run.returncode, run.stdout + run.stderr

    def run_probe(self, exe):
        """Runs a packed probe under Wine; its report, unpacked files and log."""
        report = self.path("report-" + os.path.basename(exe))
        os.makedirs(report)
        run = subprocess.run([OPTS.wine, exe, windows_path(report)], capture_output=True,
                             timeout=300)
        self.assertEqual(0, run.returncode, run.stderr)
        with open(os.path.join(report, "report.txt"), encoding="utf-8") as f:
            values = dict(line.split("=", 1) for line in f.read().splitlines())
        with open(os.path.join(report, "log.txt"), "rb") as f:
            lines = f.read().decode("utf-8").split("\r\n")
        self.assertEqual("", lines.pop(), "the log ends with a line end")
        messages = []
        for line in lines:
            m = re.fullmatch(r"\[\d{8} \d\d:\d\d:\d\d [ \d]{2}\d ([A-Z]+)\] (.*)", line)
            self.assertTrue(m, line)
            messages.append(m.group(1) + " " + m.group(2))
        return values, page_files(os.path.join(report, "unpacked")), messages

    def assert_unpacks_pages(self, exe):
        values, unpacked, log = self.run_probe(exe)
        self.assertEqual("1", values["loaded"])
        self.assertEqual("1", values["existed"])
        self.assertEqual("0", values["remains"], "the folder is deleted at the end")
        self.assertEqual(page_files(OPTS.pages), unpacked)
        self.assertEqual("en,fr,de,it,jp,nl,tw", values["languages"])
        self.assertEqual(["DEBUG Load Resource from pe.",
                          "DEBUG Load Resource from pe finished.",
                          "DEBUG load resource success, temporary folder path : "
                          + values["folder"]], log)

    def assert_records_are_the_pages(self, records, pages_dir):
        names = [name for name, _ in records]
        self.assertEqual(sorted(names), names, "records come in name order")
        self.assertEqual(page_files(pages_dir), dict(records))
        self.assertTrue(all("/" not in name for name in names))

    def test_unsigned_program_gets_the_archive_appended(self):
        self.assertEqual(0, pe_fields(self.probe)[3], "the probe is built unsigned")
        packed_path, _ = self.pack(OPTS.probe, OPTS.pages)
        packed = self.read(packed_path)
        checksum_at = pe_fields(self.probe)[0]
        self.assertEqual(self.probe[:checksum_at], packed[:checksum_at])
        self.assertEqual(self.probe[checksum_at + 4:], packed[checksum_at + 4:len(self.probe)],
                         "the program itself is unchanged")
        records, first, padding = read_archive(packed)
        self.assertEqual(len(self.probe), first)
        self.assert_records_are_the_pages(records, OPTS.pages)
        self.assertEqual(bytes(len(padding)), padding)
        self.assertIn("images\\icons\\close.gif", dict(records))
        self.assert_unpacks_pages(packed_path)

    def assert_signed_and_packed(self, program):
        """Signs program, packs the pages into its certificate table and checks
        the layout and that the signature still verifies; the packed path."""
        signed_path = self.sign(program, "signed.exe")
        signed = self.read(signed_path)
        _, security, table, size = pe_fields(signed)
        self.assertEqual(len(signed), table + size, "the signature ends the file")
        self.assertEqual(0, self.verify(signed_path)[0])

        packed_path, _ = self.pack(signed_path, OPTS.pages)
        packed = self.read(packed_path)
        added = len(packed) - len(signed)
        checksum_at, _, new_table, new_size = pe_fields(packed)
        self.assertEqual(table, new_table)
        self.assertEqual(size + added, new_size, "the directory covers the archive")
        self.assertEqual(len(packed), new_table + new_size)
        self.assertEqual(0, new_size % 8)
        old_length, revision, kind = struct.unpack_from("<IHH", signed, table)
        new_length = struct.unpack_from("<IHH", packed, table)[0]
        self.assertEqual((0x0200, 2), (revision, kind))
        self.assertEqual(old_length + added, new_length, "the entry grows by the same amount")
        self.assertEqual(new_size, new_length)

        records, first, padding = read_archive(packed)
        self.assertEqual(len(signed), first, "the archive follows the signature blob")
        self.assert_records_are_the_pages(records, OPTS.pages)
        self.assertEqual(bytes(len(padding)), padding)

        code, output = self.verify(packed_path)
        self.assertEqual(0, code, output)
        self.assertIn("Signature verification: ok", output)
        self.assertNotIn("invalid PE checksum", output, "the checksum is brought up to date")
        self.assertNotEqual(0, struct.unpack_from("<I", packed, checksum_at)[0])

        # The check has teeth: a changed byte of the program fails it.
        tampered = bytearray(packed)
        tampered[0x400] ^= 0xFF
        code, output = self.verify(self.write("tampered.exe", bytes(tampered)))
        self.assertNotEqual(0, code, output)
        return packed_path

    def test_signed_program_keeps_a_valid_signature_with_the_archive_in_its_certificate_table(self):
        packed_path = self.assert_signed_and_packed(OPTS.probe)
        self.assert_unpacks_pages(packed_path)

    def test_the_shipped_32bit_program_signed_and_packed_keeps_a_valid_signature(self):
        with open(OPTS.shipped, "rb") as f:
            shipped = f.read()
        pe = struct.unpack_from("<I", shipped, 0x3C)[0]
        machine = struct.unpack_from("<H", shipped, pe + 4)[0]
        magic = struct.unpack_from("<H", shipped, pe + 24)[0]
        self.assertEqual((0x14C, 0x10B), (machine, magic), "an i386 PE32 image")
        self.assert_signed_and_packed(OPTS.shipped)

    def test_empty_pages_folder_gives_only_the_end_header(self):
        empty = os.path.join(self.dir, "empty")
        os.makedirs(empty)
        packed_path, _ = self.pack(OPTS.probe, empty)
        records, first, _ = read_archive(self.read(packed_path))
        self.assertEqual([], records)
        packed = self.read(packed_path)
        self.assertEqual(bytes(HEADER), packed[first:first + HEADER])

    def test_packs_in_place(self):
        program = self.write("program.exe", self.probe)
        self.pack(program, OPTS.pages, "program.exe")
        records, first, _ = read_archive(self.read(program))
        self.assertEqual(len(self.probe), first)
        self.assert_records_are_the_pages(records, OPTS.pages)

    def test_refuses_bad_input_and_writes_nothing(self):
        not_pe = self.write("notpe.exe", b"just some bytes, not a program" * 10)
        long_name = self.write("long/" + "a" * 200 + "/" + "b" * 60, b"x")
        bad_name = self.write("bad/CON.txt", b"x")
        signed_path = self.sign(OPTS.probe, "signed.exe")
        trailing = self.write("trailing.exe", self.read(signed_path) + b"data after the table")
        cases = [
            (not_pe, OPTS.pages, "not a PE image"),
            (OPTS.probe, self.path("missing"), "is not a folder"),
            (OPTS.probe, self.path("long"), "must have 1 to 259 UTF-16 units"),
            (OPTS.probe, os.path.dirname(bad_name), "cannot be a record name"),
            (trailing, OPTS.pages, "does not end the file"),
            (self.path("missing.exe"), OPTS.pages, "missing.exe"),
        ]
        for index, (program, pages, message) in enumerate(cases):
            with self.subTest(message=message):
                output, run = self.pack(program, pages, "out%d.exe" % index, expect_ok=False)
                self.assertEqual(1, run.returncode)
                self.assertIn(message, run.stderr)
                self.assertFalse(os.path.exists(output))
        self.assertEqual([], [n for n in os.listdir(self.dir) if n.startswith(".pack-payload-")],
                         "no temporary file left behind")

    def test_usage(self):
        run = subprocess.run([sys.executable, OPTS.packer, OPTS.probe], capture_output=True,
                             text=True)
        self.assertEqual(2, run.returncode)
        self.assertIn("usage: pack-payload INPUT.exe PAGES_DIR OUTPUT.exe", run.stderr)


def main():
    global OPTS
    parser = argparse.ArgumentParser()
    for name in ("packer", "probe", "shipped", "pages", "wine", "osslsigncode", "openssl"):
        parser.add_argument("--" + name, required=True)
    OPTS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
