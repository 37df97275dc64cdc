#!/usr/bin/env python3
"""Unzip benchmark: the zip layer's extract against the platform floor and
an outside reference, on three zips made for the run.

Run through bench/run, which provides the Wine environment. The zips:

  many       2,000 small text files (about 1.4 KB each) in 20 folders, deflated
  large-def  one 100 MB random file, deflated
  large-sto  the same file, stored

and for each, in one invocation:

  project    zipextract.exe under Wine: ZipExtractToFolder, the function the
             installer's extract step calls, with every check it makes.
  floor      unzipfloor.exe under Wine: the same files, read from a plain
             pack file into memory, created with CreateFileW/WriteFile and
             nothing checked; the least any unzip costs under this Wine.
  unzip      Info-ZIP's unzip on Linux (a reference only: no Wine).

Every time is the wall time of the whole process (a Wine process start
included for the Wine runs), the best of --repeat rounds in which the three
take turns, each run into a folder that does not exist. The files of each
one's first run are compared with the originals.
"""
import argparse
import hashlib
import os
import random
import shutil
import subprocess
import sys
import time
import zipfile

MB = 1000 * 1000
WORDS = ("alpha bravo charlie delta echo foxtrot golf hotel india juliet kilo lima mike "
         "november oscar papa quebec romeo sierra tango uniform victor whiskey xray yankee "
         "zulu").split()


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def text_file(rng, size):
    words = []
    length = 0
    while length < size:
        word = rng.choice(WORDS)
        words.append(word)
        length += len(word) + 1
    return (" ".join(words)[:size - 1] + "\n").encode()


def write_pack(path, files):
    """The floor's input: the same files, as name length, name, size, bytes."""
    with open(path, "wb") as out:
        for name, data in files:
            encoded = name.encode()
            out.write(len(encoded).to_bytes(4, "little") + encoded)
            out.write(len(data).to_bytes(8, "little"))
            out.write(data)


def write_zip(path, files, method):
    with zipfile.ZipFile(path, "w", compression=method, compresslevel=6) as archive:
        for name, data in files:
            archive.writestr(zipfile.ZipInfo(name, date_time=(2024, 1, 1, 0, 0, 0)), data,
                             compress_type=method)


def tree_digests(folder):
    digests = {}
    for root, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as source:
                digests[os.path.relpath(path, folder).replace(os.sep, "/")] = \
                    hashlib.sha1(source.read()).hexdigest()
    return digests


class Bench:
    def __init__(self, opts):
        self.opts = opts
        self.wine = opts.wine or shutil.which("wine")
        self.extract = os.path.join(opts.build, "tools", "zipextract.exe")
        self.floor = os.path.join(opts.build, "bench", "unzipfloor.exe")
        self.unzip = shutil.which("unzip")
        self.work = os.path.join(opts.build, "bench-unzip")
        self.failures = []
        self.results = {}

    def check(self, condition, message):
        if not condition:
            self.failures.append(message)
            print("  CHECK FAILED: " + message, flush=True)

    def run_once(self, command, target):
        """Wall time of one run into a new `target`, and the process."""
        shutil.rmtree(target, ignore_errors=True)
        start = time.monotonic()
        process = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        return time.monotonic() - start, process

    def measure(self, label, files, method):
        zip_path = os.path.join(self.work, label + ".zip")
        pack_path = os.path.join(self.work, label + ".pack")
        write_zip(zip_path, files, method)
        write_pack(pack_path, files)
        expected = {name: hashlib.sha1(data).hexdigest() for name, data in files}
        runs = [
            ("project", [self.wine, self.extract, windows_path(zip_path)]),
            ("floor", [self.wine, self.floor, windows_path(pack_path)]),
            ("unzip", [self.unzip, "-q", "-o", zip_path, "-d"]),
        ]
        # The three take turns, round after round, so that a change in the
        # machine's load falls on all of them; each keeps its best round.
        best = {}
        for round_number in range(self.opts.repeat):
            for name, command in runs:
                if name in best and best[name] is None:
                    continue  # failed before
                target = os.path.join(self.work, "out-" + name)
                arg = windows_path(target) if name != "unzip" else target
                seconds, process = self.run_once(command + [arg], target)
                if process.returncode != 0:
                    self.check(False, "%s/%s: exit %d: %s" % (label, name, process.returncode,
                                                               process.stderr.decode()[-400:]))
                    best[name] = None
                    continue
                if round_number == 0:
                    self.check(tree_digests(target) == expected,
                               "%s/%s: the extracted files differ from the originals"
                               % (label, name))
                inside = " ".join(line for line in process.stdout.decode().split("\n")
                                  if "_ms " in line)
                if name not in best or seconds < best[name][0]:
                    best[name] = (seconds, inside)
                shutil.rmtree(target, ignore_errors=True)
        row = {}
        for name, _ in runs:
            if best.get(name):
                seconds, inside = best[name]
                print("  %-9s %-8s %8.2f s  %s" % (label, name, seconds, inside), flush=True)
                row[name] = seconds
        self.results[label] = row
        os.unlink(pack_path)

    def run(self):
        for tool in (self.wine, self.extract, self.floor, self.unzip):
            if not tool or not os.path.exists(tool):
                raise RuntimeError("missing: %s" % tool)
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        rng = random.Random(26)
        try:
            print("Unzip runs (best of %d):" % self.opts.repeat, flush=True)
            many = [("folder%02d/file%04d.txt" % (i % 20, i), text_file(rng, 1400))
                    for i in range(self.opts.files)]
            self.measure("many", many, zipfile.ZIP_DEFLATED)
            large = [("large.bin", os.urandom(self.opts.large_mb * MB))]
            self.measure("large-def", large, zipfile.ZIP_DEFLATED)
            self.measure("large-sto", large, zipfile.ZIP_STORED)
        finally:
            if not self.opts.keep:
                shutil.rmtree(self.work, ignore_errors=True)
        self.report()

    def report(self):
        print()
        print("%-10s %9s %9s %9s %10s %10s" % ("zip", "project", "floor", "unzip", "/floor",
                                               "/unzip"))
        for label, row in self.results.items():
            project = row.get("project")
            floor = row.get("floor")
            unzip = row.get("unzip")

            def cell(value):
                return "%9.2f" % value if value else "%9s" % "-"

            def ratio(value):
                return "%10.2f" % (project / value) if project and value else "%10s" % "-"

            print("%-10s %s %s %s %s %s" % (label, cell(project), cell(floor), cell(unzip),
                                            ratio(floor), ratio(unzip)))
        print()

        def aim(label, against, limit):
            row = self.results.get(label, {})
            if row.get("project") and row.get(against):
                print("%s / %s: %.2fx (aim: within %.1fx)"
                      % (label, against, row["project"] / row[against], limit))

        aim("many", "floor", 1.3)
        aim("large-def", "unzip", 1.5)
        aim("large-sto", "unzip", 1.5)
        if self.failures:
            print("\n%d check(s) failed:" % len(self.failures))
            for failure in self.failures:
                print("  " + failure)
            sys.exit(1)
        print("all checks passed (every extracted tree identical to the original files)")


def main():
    top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(top, "build"))
    parser.add_argument("--wine", help="the Wine loader of the build's architecture")
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--large-mb", type=int, default=100)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--keep", action="store_true", help="keep build/bench-unzip")
    opts = parser.parse_args()
    Bench(opts).run()


if __name__ == "__main__":
    main()
