#!/usr/bin/env python3
"""Runs check_layers.py on small made-up trees: an upward include fails, and a
build tree is passed over whatever its name.

  test_check_layers.py --script PATH
"""
import argparse
import os
import subprocess
import sys
import tempfile

TABLE = "base:\ncore: base\n"


def write(root, relative, text):
    path = os.path.join(root, relative)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def run(script, root):
    return subprocess.run([sys.executable, script, "--root", root], capture_output=True,
                          text=True, timeout=60)


def tree(root, extra):
    write(root, "tests/layers/allowed.txt", TABLE)
    write(root, "base/Log.h", "#pragma once\n")
    write(root, "core/Api.cpp", '#include "base/Log.h"\n')
    for relative, text in extra.items():
        write(root, relative, text)


CASES = [
    # (name, extra files, expected exit code, text the output must hold)
    ("clean tree", {}, 0, "every include points down the layers"),
    ("upward include", {"base/Bad.cpp": '#include "core/Api.h"\n'}, 1,
     "base/Bad.cpp:1: 'base' may not include 'core/'"),
    ("unknown folder", {"extra/X.cpp": "int x;\n"}, 1, "folder 'extra' is not in the layer table"),
    # Build trees hold generated and third-party sources: skipped by their
    # CMakeCache.txt, at the top or nested, whatever the folder is called.
    ("build tree at the top, any name",
     {"out-x64/CMakeCache.txt": "", "out-x64/gen/Bad.cpp": '#include "core/Api.h"\n'}, 0, ""),
    ("build tree nested in the checkout",
     {"build/CMakeCache.txt": "", "build/x64/CMakeCache.txt": "",
      "build/x64/base/Bad.cpp": '#include "core/Api.h"\n'}, 0, ""),
    ("a folder named build that is no build tree is checked",
     {"base/build/Bad.cpp": '#include "core/Api.h"\n'}, 1, "'base' may not include 'core/'"),
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--script", required=True)
    script = parser.parse_args().script
    failed = 0
    for name, extra, code, text in CASES:
        with tempfile.TemporaryDirectory(prefix="layers-") as root:
            tree(root, extra)
            result = run(script, root)
        ok = result.returncode == code and text in result.stdout
        print(("ok   " if ok else "FAIL ") + name)
        if not ok:
            failed += 1
            print(f"  exit {result.returncode}, expected {code}; output:\n{result.stdout}{result.stderr}")
    print(f"{len(CASES) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
