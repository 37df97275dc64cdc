#!/usr/bin/env python3
"""Fails when a source file includes a header of a folder its own folder may
not depend on (tests/layers/allowed.txt), or when a folder with sources is
missing from that table.

  check_layers.py --root REPO [--table FILE]
"""
import argparse
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]*"', re.MULTILINE)
SOURCE_ENDINGS = (".h", ".hpp", ".cpp", ".c", ".rc")
# Folders that hold no code of ours.
SKIPPED = {".git", ".deps", ".ci", "cmake", "scripts", "docs", "pages", "node_modules"}


def is_build_tree(path):
    """A CMake build tree, whatever its name: it holds generated and
    third-party sources, none of ours."""
    return os.path.isfile(os.path.join(path, "CMakeCache.txt"))


def read_table(path):
    table = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            if ":" not in line:
                raise SystemExit(f"{path}:{number}: expected 'folder: folders'")
            folder, allowed = line.split(":", 1)
            table[folder.strip()] = set(allowed.split())
    return table


def source_files(root):
    for top in sorted(os.listdir(root)):
        if top in SKIPPED or top.startswith(".") or not os.path.isdir(os.path.join(root, top)):
            continue
        if is_build_tree(os.path.join(root, top)):
            continue
        for folder, dirs, files in os.walk(os.path.join(root, top)):
            dirs[:] = [d for d in dirs
                       if d not in SKIPPED and not is_build_tree(os.path.join(folder, d))]
            for name in sorted(files):
                if name.endswith(SOURCE_ENDINGS):
                    yield top, os.path.join(folder, name)


def check(root, table):
    problems = []
    for top, path in source_files(root):
        relative = os.path.relpath(path, root)
        if top not in table:
            problems.append(f"{relative}: folder '{top}' is not in the layer table")
            continue
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
        for match in INCLUDE.finditer(text):
            target = match.group(1)
            if target == top or not os.path.isdir(os.path.join(root, target)):
                continue
            if target not in table[top]:
                line = text.count("\n", 0, match.start()) + 1
                problems.append(f"{relative}:{line}: '{top}' may not include '{target}/'")
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--table")
    args = parser.parse_args()
    table_path = args.table or os.path.join(args.root, "tests", "layers", "allowed.txt")
    problems = check(args.root, read_table(table_path))
    for problem in problems:
        print(problem)
    if problems:
        print(f"{len(problems)} include(s) break the layers")
        return 1
    print("every include points down the layers")
    return 0


if __name__ == "__main__":
    sys.exit(main())
