#!/usr/bin/env python3
"""Turns the public half of the package signing key into a C++ header.

  package_key.py --out HEADER [--pem PUBLIC.pem]

The PEM file holds a "PUBLIC KEY" block, an EC key on P-256 (what
"openssl pkey -pubout" writes). HEADER defines BC_PACKAGE_KEY_PRESENT (1 or 0)
and, with a key, BC_PACKAGE_KEY_POINT: X then Y, 64 bytes, as an initializer.
Without --pem the header says that the build has no key. The header is
rewritten only when its text changes. Exits 1 with a message when the file
is not such a key.
"""
import argparse
import base64
import binascii
import os
import re
import sys

# SubjectPublicKeyInfo of id-ecPublicKey on prime256v1, up to the 0x04 of an
# uncompressed point; X and Y follow.
P256_SPKI_PREFIX = bytes.fromhex("3059301306072a8648ce3d020106082a8648ce3d030107034200" "04")


def point_of_pem(text):
    match = re.search(r"-----BEGIN PUBLIC KEY-----(.*?)-----END PUBLIC KEY-----", text, re.S)
    if not match:
        raise ValueError("no PUBLIC KEY block")
    try:
        der = base64.b64decode(re.sub(r"\s", "", match.group(1)), validate=True)
    except binascii.Error as error:
        raise ValueError("broken base64: %s" % error)
    if len(der) != len(P256_SPKI_PREFIX) + 64 or not der.startswith(P256_SPKI_PREFIX):
        raise ValueError("not an EC public key on P-256 in uncompressed form")
    return der[len(P256_SPKI_PREFIX):]


def header_text(point, source):
    lines = ["// Made by cmake/package_key.py when the program is built; not edited by hand.",
             "#pragma once"]
    if point is None:
        lines.append("#define BC_PACKAGE_KEY_PRESENT 0")
    else:
        lines.append("// From %s" % source.replace("\\", "/"))
        lines.append("#define BC_PACKAGE_KEY_PRESENT 1")
        rows = []
        for start in range(0, 64, 16):
            rows.append(", ".join("0x%02X" % b for b in point[start:start + 16]))
        lines.append("#define BC_PACKAGE_KEY_POINT \\\n    { \\\n        "
                     + ", \\\n        ".join(rows) + " \\\n    }")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", required=True)
    parser.add_argument("--pem")
    opts = parser.parse_args()
    point = None
    if opts.pem:
        try:
            with open(opts.pem, encoding="ascii", errors="replace") as f:
                point = point_of_pem(f.read())
        except (OSError, ValueError) as error:
            sys.stderr.write("package_key.py: %s: %s\n" % (opts.pem, error))
            return 1
    text = header_text(point, opts.pem or "")
    try:
        with open(opts.out, encoding="ascii") as f:
            if f.read() == text:
                return 0
    except OSError:
        pass
    os.makedirs(os.path.dirname(os.path.abspath(opts.out)), exist_ok=True)
    with open(opts.out + ".new", "w", encoding="ascii") as f:
        f.write(text)
    os.replace(opts.out + ".new", opts.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
