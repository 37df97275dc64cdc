#!/usr/bin/env python3
"""Writes the zip files the zip tests read, made by an independent zip writer."""
import os
import random
import struct
import sys
import warnings
import zipfile
import zlib


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


def central_headers(path):
    """Offsets of every central directory header, in directory order."""
    with open(path, "rb") as f:
        data = f.read()
    end = data.rindex(b"PK\x05\x06")
    count, size, start = struct.unpack("<HII", data[end + 10:end + 20])
    offsets = []
    at = start
    for _ in range(count):
        offsets.append(at)
        name_len, extra_len, comment_len = struct.unpack("<HHH", data[at + 28:at + 34])
        at += 46 + name_len + extra_len + comment_len
    return offsets


def patch(path, offset, fmt, *values):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(struct.pack(fmt, *values))


def declare_sizes(path, name, compressed=None, uncompressed=None):
    """Rewrites an entry's stored sizes in both its headers; data and CRC stay."""
    with zipfile.ZipFile(path) as z:
        names = [i.filename for i in z.infolist()]
        info = z.getinfo(name)
    central = central_headers(path)[names.index(name)]
    for header, sizes_at in ((info.header_offset, 18), (central, 20)):
        if compressed is not None:
            patch(path, header + sizes_at, "<I", compressed)
        if uncompressed is not None:
            patch(path, header + sizes_at + 4, "<I", uncompressed)


def declare_method(path, name, method):
    """Rewrites an entry's compression method in both its headers; data stay."""
    with zipfile.ZipFile(path) as z:
        names = [i.filename for i in z.infolist()]
        info = z.getinfo(name)
    patch(path, info.header_offset + 8, "<H", method)
    patch(path, central_headers(path)[names.index(name)] + 10, "<H", method)


def declare_crc(path, name, crc):
    """Rewrites an entry's CRC in both its headers; data and sizes stay."""
    with zipfile.ZipFile(path) as z:
        names = [i.filename for i in z.infolist()]
        info = z.getinfo(name)
    patch(path, info.header_offset + 14, "<I", crc)
    patch(path, central_headers(path)[names.index(name)] + 16, "<I", crc)


def point_entry_at(path, name, offset):
    """Makes an entry's central record name another local header offset."""
    with zipfile.ZipFile(path) as z:
        names = [i.filename for i in z.infolist()]
    patch(path, central_headers(path)[names.index(name)] + 42, "<I", offset)


def data_offset(path, name):
    """Where an entry's data starts, read from its local header."""
    with zipfile.ZipFile(path) as z:
        offset = z.getinfo(name).header_offset
    with open(path, "rb") as f:
        f.seek(offset)
        header = f.read(30)
    name_len, extra_len = struct.unpack("<HH", header[26:30])
    return offset + 30 + name_len + extra_len


def claim_zip64_count(path, count):
    """Replaces the end record by zip64 end records that claim `count` entries."""
    with open(path, "rb") as f:
        data = f.read()
    end = data.rindex(b"PK\x05\x06")
    size, start = struct.unpack("<II", data[end + 12:end + 20])
    record = struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count, size, start)
    locator = struct.pack("<IIQI", 0x07064B50, 0, end, 1)
    tail = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0)
    with open(path, "wb") as f:
        f.write(data[:end] + record + locator + tail)


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
    # Two deflated entries, the first declaring bytes past the end of its
    # stream (an unzip reads what the stream holds): nothing of them may reach
    # the second.
    first, second = b"first entry " * 50, b"second entry " * 50
    streams = []
    for text in (first, second):
        deflater = zlib.compressobj(6, zlib.DEFLATED, -zlib.MAX_WBITS)
        streams.append(deflater.compress(text) + deflater.flush())
    path = os.path.join(out, "stream-then-more.zip")
    write(path, [("first.txt", streams[0] + b"bytes past the stream"),
                 ("second.txt", streams[1])], zipfile.ZIP_STORED)
    for name, text in (("first.txt", first), ("second.txt", second)):
        declare_method(path, name, zipfile.ZIP_DEFLATED)
        declare_sizes(path, name, uncompressed=len(text))
        declare_crc(path, name, zlib.crc32(text))
    # One name twice: the later entry is the file, as with any unzip.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # zipfile warns of the duplicate name
        write(os.path.join(out, "same-name.zip"),
              [("twice.txt", b"first"), ("twice.txt", b"second"), ("after.txt", b"after")])
    write(os.path.join(out, "long-name.zip"),
          [("first.txt", b"first"), ("n" * 300, b"long")])
    write(os.path.join(out, "bad-crc.zip"),
          [("good.txt", b"good"), ("bad.txt", b"0123456789" * 10), ("after.txt", b"x")],
          zipfile.ZIP_STORED)
    corrupt_crc(os.path.join(out, "bad-crc.zip"), "bad.txt")
    for label, evil in [("dotdot", "../escape.txt"), ("deep-dotdot", "a/../../escape.txt"),
                        ("absolute", "/escape.txt"), ("drive", "C:/escape.txt"),
                        ("dots-blank", "a/.. /escape.txt"),
                        # Path canonicalisation takes a segment that starts
                        # with ".." for "up one level".
                        ("dotdot-prefix", "..x/escape.txt"),
                        ("dotdot-chain", "..a/..b/..c/..d/..e/..f/escape.txt"),
                        ("dotdot-chain-root", "..a/..b/..c/..d/..e/..f/..g/..h/escape.txt"),
                        ("blank-dotdot", " ../escape.txt")]:
        write(os.path.join(out, label + ".zip"),
              [("before.txt", b"before"), (evil, b"evil"), ("after.txt", b"after")])
    # Names that open a device instead of a file, in any folder and with any
    # extension.
    for label, device in [("device-nul", "nul.txt"), ("device-con", "sub/CON"),
                          ("device-aux", "Aux .log"), ("device-com", "com1"),
                          ("device-lpt", "sub/lpt9.txt"), ("device-conin", "CONIN$"),
                          ("device-folder", "nul/inner.txt")]:
        write(os.path.join(out, label + ".zip"),
              [("before.txt", b"before"), (device, b"device"), ("after.txt", b"after")])
    # Entries whose data ends before their declared size: a stored one whose
    # compressed size is below its size, and a deflated one declared larger
    # than what its stream holds.
    payload = bytes(rng.getrandbits(8) for _ in range(4000))
    for label, method, compressed, uncompressed in [
            ("short-stored", zipfile.ZIP_STORED, 1000, None),
            ("short-deflated", zipfile.ZIP_DEFLATED, None, 8000)]:
        path = os.path.join(out, label + ".zip")
        write(path, [("before.txt", b"before"), ("setup.exe", payload), ("after.txt", b"after")],
              method)
        declare_sizes(path, "setup.exe", compressed, uncompressed)
    # An entry that names the bzip2 method: the reader has no bzip2 and would
    # hand over its bytes as they are, unchecked. Its sizes agree and its data
    # no longer matches its CRC.
    path = os.path.join(out, "bzip2-method.zip")
    write(path, [("before.txt", b"before"), ("setup.exe", payload), ("after.txt", b"after")],
          zipfile.ZIP_STORED)
    corrupt_crc(path, "setup.exe")
    declare_method(path, "setup.exe", 12)
    # Zip64 end records whose entry count does not fit an int: 2^32 reads as
    # no entry at all, 2^31 + 2 as a negative count.
    for label, count in [("zip64-count-4g", 1 << 32), ("zip64-count-2g", (1 << 31) + 2)]:
        path = os.path.join(out, label + ".zip")
        write(path, [("before.txt", b"before"), ("after.txt", b"after")], zipfile.ZIP_STORED)
        claim_zip64_count(path, count)
    # The last entry's central extra-field length runs far past the end of
    # the file.
    path = os.path.join(out, "extra-overrun.zip")
    write(path, [("before.txt", b"before"), ("bad.txt", b"bad")], zipfile.ZIP_STORED)
    patch(path, central_headers(path)[-1] + 30, "<H", 0xFFFF)
    # Entries whose data goes on past their declared size, with a CRC that
    # matches the declared part: the reader stops at the declared size and
    # its CRC check passes.
    for label, method, data, declared in [
            ("long-stored", zipfile.ZIP_STORED, payload * 2, len(payload)),
            ("long-deflated", zipfile.ZIP_DEFLATED, payload * 2, len(payload)),
            ("long-zeros", zipfile.ZIP_DEFLATED, bytes(4 * 1024 * 1024), 4096)]:
        path = os.path.join(out, label + ".zip")
        write(path, [("before.txt", b"before"), ("setup.exe", data), ("after.txt", b"after")],
              method)
        declare_sizes(path, "setup.exe", uncompressed=declared)
        declare_crc(path, "setup.exe", zlib.crc32(data[:declared]))
    # Three entries that all point at the first one's local header: one
    # stream unpacked three times. Names of one length, so each record
    # agrees with the shared header.
    path = os.path.join(out, "shared-header.zip")
    write(path, [(n, bytes(64 * 1024)) for n in ("a.bin", "b.bin", "c.bin")])
    for name in ("b.bin", "c.bin"):
        point_entry_at(path, name, 0)
    # The third entry's local header and data lie inside the second entry's
    # stored data.
    inner = os.path.join(out, "inner-only.zip")
    write(inner, [("inner.bin", b"inner")], zipfile.ZIP_STORED)
    with open(inner, "rb") as f:
        inner_bytes = f.read()
    os.remove(inner)
    inner_local = inner_bytes[:inner_bytes.index(b"PK\x01\x02")]
    path = os.path.join(out, "nested-entry.zip")
    write(path, [("before.txt", b"before"), ("outer.bin", inner_local),
                 ("inner.bin", b"inner")], zipfile.ZIP_STORED)
    point_entry_at(path, "inner.bin", data_offset(path, "outer.bin"))
    # The last entry's data, or its local header, runs past the end of the
    # file.
    path = os.path.join(out, "data-past-end.zip")
    write(path, [("before.txt", b"before"), ("setup.exe", payload)], zipfile.ZIP_STORED)
    declare_sizes(path, "setup.exe", 1000000, 1000000)
    path = os.path.join(out, "header-past-end.zip")
    write(path, [("before.txt", b"before"), ("setup.exe", payload)], zipfile.ZIP_STORED)
    point_entry_at(path, "setup.exe", os.path.getsize(path) + 1000)
    # Each entry fits the 4 MiB test file system, all three together do not;
    # the two of the other zip do.
    write(os.path.join(out, "over-small-disk.zip"),
          [(n, bytes(2 * 1024 * 1024)) for n in ("a.bin", "b.bin", "c.bin")])
    write(os.path.join(out, "fits-small-disk.zip"),
          [(n, bytes(1024 * 1024)) for n in ("a.bin", "b.bin")])
    # Larger than the small test file system, and incompressible.
    big = bytes(rng.getrandbits(8) for _ in range(6 * 1024 * 1024))
    write(os.path.join(out, "big.zip"), [("small.txt", b"fits"), ("big.bin", big)],
          zipfile.ZIP_STORED)
    with open(os.path.join(out, "big.bin"), "wb") as f:
        f.write(big)
    # Fits the small test file system when extraction starts.
    write(os.path.join(out, "fills-disk.zip"),
          [("small.txt", b"fits"), ("big.bin", bytes(rng.getrandbits(8) for _ in range(1 << 20)))],
          zipfile.ZIP_STORED)
    # Many entries in a few folders, small and larger than one read of the
    # extract, stored and deflated, in one zip; the same files lie beside it
    # under mixed-files/ to compare with.
    mixed = [("f%d/small%03d.txt" % (i % 3, i), (b"line %d of a small file\n" % i) * (i % 40))
             for i in range(300)]
    mixed.append(("f1/random.bin", bytes(rng.getrandbits(8) for _ in range(700000))))
    mixed.append(("f2/text.txt", b"".join(b"row %07d\n" % i for i in range(70000))))
    with zipfile.ZipFile(os.path.join(out, "mixed.zip"), "w") as z:
        for name, data in mixed:
            method = zipfile.ZIP_STORED if name.endswith(".bin") else zipfile.ZIP_DEFLATED
            z.writestr(name, data, compress_type=method)
    for name, data in mixed:
        path = os.path.join(out, "mixed-files", name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    # A bad CRC found only after several reads of a large entry, stored and
    # deflated.
    for label, method in [("big-bad-crc-stored", zipfile.ZIP_STORED),
                          ("big-bad-crc-deflated", zipfile.ZIP_DEFLATED)]:
        path = os.path.join(out, label + ".zip")
        write(path, [("good.txt", b"good"), ("bad.bin", bytes(rng.getrandbits(8)
                                                              for _ in range(900000))),
                     ("after.txt", b"x")], method)
        corrupt_crc(path, "bad.bin")
    with open(os.path.join(out, "not-a-zip.zip"), "wb") as f:
        f.write(b"this is not a zip file at all" * 10)


if __name__ == "__main__":
    main(sys.argv[1])
