#!/usr/bin/env python3
"""Checks scripts/deb-src-entry against made-up apt configurations.

  test_deb_src_entry.py --script PATH

Each case writes an apt folder (sources.list, sources.list.d/) and an
os-release file into a fresh temporary folder, runs the script on them and
compares its output, or its refusal, with what the case expects.
"""
import argparse
import os
import subprocess
import sys
import tempfile

DEBIAN = """Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
"""

NODE = """Types: deb
URIs: https://deb.example.org/node_20.x
Suites: nodistro
Components: main
Architectures: amd64
Signed-By: /usr/share/keyrings/node.gpg
"""

INLINE_KEY = """Types: deb
URIs: http://mirror.example.net/debian
Suites: bookworm
Components: main
Signed-By:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 mQINBGPL0BUBEADmW5NdOOHwPIJlgPu6JDcKw/NZJPR8lsD3K87ZM18gzyQZJD+w
 -----END PGP PUBLIC KEY BLOCK-----
"""

BOOKWORM = 'PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"\nVERSION_CODENAME=bookworm\nID=debian\n'
NO_CODENAME = 'PRETTY_NAME="Debian GNU/Linux trixie/sid"\nID=debian\n'


def entry(uris, suite, components="main", signed_by=None, trusted=False):
    lines = ["Types: deb-src", "URIs: " + uris, "Suites: " + suite, "Components: " + components]
    if signed_by:
        lines.append("Signed-By:" + ("" if signed_by.startswith("\n") else " ") + signed_by)
    if trusted:
        lines.append("Trusted: yes")
    return "\n".join(lines) + "\n"


# (label, files under the apt folder, os-release text, expected entry or None for a refusal)
CASES = [
    ("deb822 entries of the distribution",
     {"sources.list.d/debian.sources": DEBIAN}, BOOKWORM,
     entry("http://deb.debian.org/debian", "bookworm",
           signed_by="/usr/share/keyrings/debian-archive-keyring.gpg")),
    ("own mirror in deb822 form, no key named",
     {"sources.list.d/local.sources":
      "Types: deb\nURIs: http://mirror.corp.example/debian/\nSuites: bookworm\n"
      "Components: main contrib\n"}, BOOKWORM,
     entry("http://mirror.corp.example/debian/", "bookworm", "main contrib")),
    ("one-line form behind a caching proxy, with options",
     {"sources.list":
      "# the proxy\n"
      "deb [arch=amd64 signed-by=/etc/apt/keyrings/corp.gpg] http://apt-cache.corp:3142/debian "
      "bookworm main non-free-firmware # trailing comment\n"
      "deb http://apt-cache.corp:3142/debian-security bookworm-security main\n"}, BOOKWORM,
     entry("http://apt-cache.corp:3142/debian", "bookworm", "main non-free-firmware",
           signed_by="/etc/apt/keyrings/corp.gpg")),
    ("one-line form in sources.list.d, trusted",
     {"sources.list.d/mirror.list": "deb [ trusted=yes ] file:/srv/mirror bookworm main\n"},
     BOOKWORM, entry("file:/srv/mirror", "bookworm", trusted=True)),
    ("a third-party source listed first is passed over",
     {"sources.list.d/a-node.sources": NODE, "sources.list.d/debian.sources": DEBIAN}, BOOKWORM,
     entry("http://deb.debian.org/debian", "bookworm",
           signed_by="/usr/share/keyrings/debian-archive-keyring.gpg")),
    ("disabled, commented, cdrom and source-only entries are passed over",
     {"sources.list":
      "#deb http://commented.example/debian bookworm main\n"
      "deb cdrom:[Debian GNU/Linux 12 _Bookworm_]/ bookworm main\n"
      "deb-src http://src-only.example/debian bookworm main\n"
      "deb http://used.example/debian bookworm main\n",
      "sources.list.d/off.sources":
      "Enabled: no\nTypes: deb\nURIs: http://off.example/debian\nSuites: bookworm\n"
      "Components: main\n"}, BOOKWORM,
     entry("http://used.example/debian", "bookworm")),
    ("an inline key is carried over whole",
     {"sources.list.d/inline.sources": INLINE_KEY}, BOOKWORM,
     entry("http://mirror.example.net/debian", "bookworm",
           signed_by="\n -----BEGIN PGP PUBLIC KEY BLOCK-----\n .\n"
           " mQINBGPL0BUBEADmW5NdOOHwPIJlgPu6JDcKw/NZJPR8lsD3K87ZM18gzyQZJD+w\n"
           " -----END PGP PUBLIC KEY BLOCK-----")),
    ("without a code name the first entry's first suite",
     {"sources.list": "deb http://deb.debian.org/debian sid main\n"}, NO_CODENAME,
     entry("http://deb.debian.org/debian", "sid")),
    ("no sources at all", {}, BOOKWORM, None),
    ("only a disabled file and a third party's file",
     {"sources.list.d/old.list.disabled": "deb http://old.example/debian bookworm main\n",
      "sources.list": "# nothing here\n"}, BOOKWORM, None),
    ("only deb-src entries", {"sources.list": "deb-src http://x.example/debian bookworm main\n"},
     BOOKWORM, None),
]

# A configuration with a third party's source only still gives an entry, for
# that source: the machine's own configuration is all there is to go by.
CASES.append(("a third party's source alone",
              {"sources.list.d/node.sources": NODE}, BOOKWORM,
              entry("https://deb.example.org/node_20.x", "nodistro",
                    signed_by="/usr/share/keyrings/node.gpg")))


def run_case(script, files, os_release):
    with tempfile.TemporaryDirectory() as root:
        apt = os.path.join(root, "apt")
        os.makedirs(os.path.join(apt, "sources.list.d"))
        for name, text in files.items():
            with open(os.path.join(apt, name), "w", encoding="utf-8") as f:
                f.write(text)
        release = os.path.join(root, "os-release")
        with open(release, "w", encoding="utf-8") as f:
            f.write(os_release)
        return subprocess.run(["bash", script, apt, release], capture_output=True, text=True,
                              timeout=60)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--script", required=True)
    args = parser.parse_args()
    failures = 0
    for label, files, os_release, expected in CASES:
        result = run_case(args.script, files, os_release)
        if expected is None:
            ok = (result.returncode != 0 and result.stdout == ""
                  and "deb-src" in result.stderr and "apt" in result.stderr)
        else:
            ok = result.returncode == 0 and result.stdout == expected
        print("%s: %s" % ("ok" if ok else "FAILED", label))
        if not ok:
            failures += 1
            print("  exit %d\n  expected:\n%s\n  stdout:\n%s\n  stderr:\n%s"
                  % (result.returncode, expected, result.stdout, result.stderr))
    print("%d of %d cases failed" % (failures, len(CASES)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
