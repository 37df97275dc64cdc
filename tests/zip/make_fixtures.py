#!/usr/bin/env python3
"""Writes the zip files the zip tests read, made by an independent zip writer."""
import os
import random
import struct
import sys
import zipfile


def write(path, entries, method=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(path, "w", method) as z:
        for name, data in entries:
            if name.endswith("/"):
                z.writestr(zipfile.ZipInfo(name), b"")
            else:
                z.writestr(name, data)


def corrupt_crc(path, name):
    """Flips one byte of a stored entry's data, leaving every header as it was."""
    with zipfile.ZipFile(path) as z:
        info = z.getinfo(name)
    with open(path, "r+b") as f:
        f.seek(info.header_offset)
        header = f.read(30)
        name_len, extra_len = struct.unpack("<HH", header[26:30])
        data_at = info.header_offset + 30 + name_len + extra_len
        f.seek(data_at + 5)
        byte = f.read(1)
        f.seek(data_at + 5)
        f.write(bytes([byte[0] ^ 0xFF]))


def main(out):
    os.makedirs(out, exist_ok=True)
    rng = random.Random(1234)
    write(os.path.join(out, "nested.zip"),
          [("sub/a.txt", b"alpha"), ("sub/b/c.txt", b"gamma in b")])
    write(os.path.join(out, "dirs.zip"),
          [("top/", b""), ("top/inner/", b""), ("top/inner/f.txt", b"f")])
    write(os.path.join(out, "three.zip"),
          [("one.txt", b"1" * 1000), ("two.bin", bytes(range(256)) * 40),
           ("three.txt", b"")])
    write(os.path.join(out, "stored.zip"),
          [("s.bin", bytes(rng.getrandbits(8) for _ in range(70000)))], zipfile.ZIP_STORED)
    write(os.path.join(out, "empty.zip"), [])
    write(os.path.join(out, "long-name.zip"),
          [("first.txt", b"first"), ("n" * 300, b"long")])
    write(os.path.join(out, "bad-crc.zip"),
          [("good.txt", b"good"), ("bad.txt", b"0123456789" * 10), ("after.txt", b"x")],
          zipfile.ZIP_STORED)
    corrupt_crc(os.path.join(out, "bad-crc.zip"), "bad.txt")
    for label, evil in [("dotdot", "../escape.txt"), ("deep-dotdot", "a/../../escape.txt"),
                        ("absolute", "/escape.txt"), ("drive", "C:/escape.txt"),
                        ("dots-blank", "a/.. /escape.txt")]:
        write(os.path.join(out, label + ".zip"),
              [("before.txt", b"before"), (evil, b"evil"), ("after.txt", b"after")])
    # Larger than the small test file system, and incompressible.
    big = bytes(rng.getrandbits(8) for _ in range(6 * 1024 * 1024))
    write(os.path.join(out, "big.zip"), [("small.txt", b"fits"), ("big.bin", big)],
          zipfile.ZIP_STORED)
    with open(os.path.join(out, "big.bin"), "wb") as f:
        f.write(big)
    with open(os.path.join(out, "not-a-zip.zip"), "wb") as f:
        f.write(b"this is not a zip file at all" * 10)


if __name__ == "__main__":
    main(sys.argv[1])
