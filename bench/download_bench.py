#!/usr/bin/env python3
"""Download benchmark: the verified download against the platform floor and
an outside reference, on one random package served over 127.0.0.1.

Run through bench/run, which provides the Wine environment. In one
invocation, with one package server (tests/servers/pkgserver.py):

  floor      netfloor.exe under Wine: a plain synchronous WinINet read of the
             whole package into a file, then CryptoAPI SHA-1 of that file in
             1 MiB blocks; the least a verified download through the
             platform's own calls costs here (the program hashes with the
             processor's SHA instructions where it has them, so it can beat
             this floor).
  reference  curl -o of the package, then sha1sum of the file.
  fresh      dlmfetch.exe under Wine into a file that does not exist.
  resume     dlmfetch.exe with the first half of the package already right
             on disk; must transfer exactly the second half.
  verify     dlmfetch.exe with the complete file on disk; must not request a
             byte of the package (checked in the server's request log).
  small      dlmfetch.exe, fresh, of a package 1/8 the size, to show that
             peak memory does not grow with the package.

Every time is the wall time of the whole process (a Wine process start
included for the Wine runs, the same for the floor and for dlmfetch).
Peak memory is the peak resident set size of the process as GNU time
(/usr/bin/time -f %M) reports it from the rusage of the process it waited
for: `wine` execs its loader, so that process is the Windows program itself
(the shared wineserver is not counted). GNU time rather than wait4() here,
because Linux starts a forked child's peak at its parent's size, and this
script is larger than the programs it measures.
"""
import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import time
import urllib.request

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TIME = "/usr/bin/time"
MiB = 1 << 20


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def write_random(path, size):
    with open(path, "wb") as out:
        left = size
        while left:
            part = min(left, 16 * MiB)
            out.write(os.urandom(part))
            left -= part


def sha1_of(path):
    digest = hashlib.sha1()
    with open(path, "rb") as source:
        for block in iter(lambda: source.read(4 * MiB), b""):
            digest.update(block)
    return digest.hexdigest()


def run_timed(command, work, stderr_path=None):
    """Runs a command under GNU time; returns (seconds, exit code, peak RSS in
    KiB, stdout)."""
    rss_path = os.path.join(work, "rss.txt")
    err = open(stderr_path, "wb") if stderr_path else subprocess.DEVNULL
    start = time.monotonic()
    process = subprocess.run([TIME, "-f", "%M", "-o", rss_path] + command,
                             stdout=subprocess.PIPE, stderr=err)
    seconds = time.monotonic() - start
    if stderr_path:
        err.close()
    with open(rss_path) as figures:
        rss = int(figures.read().split()[-1])
    os.unlink(rss_path)
    return seconds, process.returncode, rss, process.stdout.decode(errors="replace")


class PackageServer:
    def __init__(self, folder):
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(TOP, "tests", "servers", "pkgserver.py"),
             "--port", "0", "--dir", folder], stdout=subprocess.PIPE)
        line = self.process.stdout.readline().decode().split()
        if len(line) != 2 or line[0] != "PORT":
            self.stop()
            raise RuntimeError("the package server did not start")
        self.port = int(line[1])

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def control(self, command):
        with urllib.request.urlopen(self.url("/_control/" + command), timeout=60) as answer:
            return answer.read()

    def log(self):
        return json.loads(self.control("log.json"))

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def package_requests(log):
    return [entry for entry in log if not entry["target"].endswith(".meta")]


def header(entry, name):
    for key, value in entry["headers"]:
        if key.lower() == name.lower():
            return value
    return None


class Bench:
    def __init__(self, opts):
        self.opts = opts
        self.wine = opts.wine or shutil.which("wine")
        self.dlmfetch = os.path.join(opts.build, "tools", "dlmfetch.exe")
        self.netfloor = os.path.join(opts.build, "bench", "netfloor.exe")
        self.work = os.path.join(opts.build, "bench-work")
        self.served = os.path.join(self.work, "served")
        self.rows = []
        self.failures = []

    def check(self, condition, message):
        if not condition:
            self.failures.append(message)
            print("  CHECK FAILED: " + message, flush=True)

    def note(self, name, seconds, rss_kib=None, megabytes=None, detail=""):
        self.rows.append((name, seconds, rss_kib, megabytes, detail))
        rate = "  %7.1f MiB/s" % (megabytes / seconds) if megabytes else ""
        rss = "  peak %6.1f MiB" % (rss_kib / 1024.0) if rss_kib else ""
        print("  %-10s %8.2f s%s%s  %s" % (name, seconds, rate, rss, detail), flush=True)

    def dlmfetch_run(self, server, name, url_path, target, expect_sent, mib):
        server.control("reset")
        seconds, code, rss, out = run_timed(
            [self.wine, self.dlmfetch, server.url(url_path), windows_path(target)],
            self.work, stderr_path=os.path.join(self.work, name + ".stderr"))
        lines = out.strip().splitlines()
        last = lines[-1] if lines else ""
        self.check(code == 0 and last == "result 0x00000000",
                   "%s: dlmfetch exit %d, last line %r" % (name, code, last))
        requests = package_requests(server.log())
        sent = sum(entry["sent"] for entry in requests)
        self.check(sent == expect_sent,
                   "%s: %d package bytes sent, expected %d" % (name, sent, expect_sent))
        detail = "%d package request(s), %.1f MiB sent" % (len(requests), sent / MiB)
        self.note(name, seconds, rss, mib, detail)
        return requests

    def run(self):
        opts = self.opts
        for tool in (self.wine, self.dlmfetch, self.netfloor, shutil.which("curl"),
                     shutil.which("sha1sum"), TIME):
            if not tool or not os.path.exists(tool):
                raise RuntimeError("missing: %s" % tool)
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.served)
        size = opts.size_mib * MiB
        small = opts.small_mib * MiB
        package = os.path.join(self.served, "package.bin")
        small_package = os.path.join(self.served, "small.bin")

        print("Preparing a %d MiB random package and its companion..." % opts.size_mib,
              flush=True)
        write_random(package, size)
        write_random(small_package, small)
        start = time.monotonic()
        subprocess.run([sys.executable, os.path.join(TOP, "tools", "makemeta"), package],
                       check=True, stdout=subprocess.DEVNULL)
        makemeta_seconds = time.monotonic() - start
        subprocess.run([sys.executable, os.path.join(TOP, "tools", "makemeta"), small_package],
                       check=True, stdout=subprocess.DEVNULL)
        expected = sha1_of(package)
        print("  makemeta  %8.2f s (not compared; a release step)" % makemeta_seconds,
              flush=True)

        server = PackageServer(self.served)
        try:
            self.measure(server, package, size, small, expected)
        finally:
            server.stop()
            if not opts.keep:
                shutil.rmtree(self.work, ignore_errors=True)
        self.report(expected)

    def measure(self, server, package, size, small, expected):
        mib = size / MiB
        print("Runs (package of %.0f MiB, server on 127.0.0.1:%d):" % (mib, server.port),
              flush=True)

        # Floor: plain WinINet read into a file, then block hashes.
        floor_file = os.path.join(self.work, "floor.bin")
        server.control("reset")
        seconds, code, rss, out = run_timed(
            [self.wine, self.netfloor, server.url("/package.bin"), windows_path(floor_file)],
            self.work)
        fields = dict(line.split(" ", 1) for line in out.strip().splitlines() if " " in line)
        self.check(code == 0 and int(fields.get("bytes", -1)) == size, "floor: exit %d" % code)
        self.check(sha1_of(floor_file) == expected, "floor: file differs from the package")
        self.note("floor", seconds, rss, mib, "read %s ms + hash %s ms inside the process"
                  % (fields.get("download_ms", "?"), fields.get("hash_ms", "?")))
        os.unlink(floor_file)

        # Reference: curl, then sha1sum.
        curl_file = os.path.join(self.work, "curl.bin")
        curl_seconds, code, curl_rss, _ = run_timed(
            ["curl", "-s", "-S", "-o", curl_file, server.url("/package.bin")], self.work)
        self.check(code == 0, "reference: curl exit %d" % code)
        sum_seconds, code, _, out = run_timed(["sha1sum", curl_file], self.work)
        self.check(code == 0 and out.split()[0] == expected, "reference: sha1sum differs")
        self.note("reference", curl_seconds + sum_seconds, curl_rss, mib,
                  "curl %.2f s + sha1sum %.2f s" % (curl_seconds, sum_seconds))
        self.sha1sum_seconds = sum_seconds
        os.unlink(curl_file)

        # Fresh verified download.
        target = os.path.join(self.work, "dlm.bin")
        requests = self.dlmfetch_run(server, "fresh", "/package.bin", target, size, mib)
        self.check(len(requests) == 1, "fresh: %d package requests" % len(requests))
        self.check(sha1_of(target) == expected, "fresh: file differs from the package")

        # Resume with the first half right on disk.
        half = (size // 2) // MiB * MiB
        with open(target, "r+b") as cut:
            cut.truncate(half)
        requests = self.dlmfetch_run(server, "resume", "/package.bin", target, size - half,
                                     (size - half) / MiB)
        self.check(len(requests) == 1 and
                   header(requests[0], "Range") == "bytes=%d-%d" % (half, size - 1),
                   "resume: requests %r" % [header(r, "Range") for r in requests])
        self.check(sha1_of(target) == expected, "resume: file differs from the package")

        # Verify only: nothing of the package may be requested.
        requests = self.dlmfetch_run(server, "verify", "/package.bin", target, 0, mib)
        self.check(not requests, "verify: %d package requests" % len(requests))
        os.unlink(target)

        # A smaller package, fresh: peak memory must not follow the size.
        small_target = os.path.join(self.work, "small.bin")
        self.dlmfetch_run(server, "small", "/small.bin", small_target, small, small / MiB)
        os.unlink(small_target)

    def report(self, expected):
        times = {row[0]: row for row in self.rows}
        floor = times["floor"][1]
        reference = times["reference"][1]
        print()
        print("%-10s %9s %10s %10s %12s %11s" % ("run", "seconds", "MiB/s", "/floor",
                                                  "/reference", "peak MiB"))
        for name, seconds, rss, megabytes, _ in self.rows:
            rate = "%10.1f" % (megabytes / seconds) if megabytes else "%10s" % "-"
            peak = "%11.1f" % (rss / 1024.0) if rss else "%11s" % "-"
            print("%-10s %9.2f %s %10.2f %12.2f %s" % (name, seconds, rate, seconds / floor,
                                                       seconds / reference, peak))
        print()
        fresh = times["fresh"]
        small = times["small"]
        print("fresh download / platform floor: %.2fx (aim: within 1.25x)"
              % (fresh[1] / floor))
        print("fresh download / curl + sha1sum: %.2fx (aim: within 0.7x)" % (fresh[1] / reference))
        print("verify only / sha1sum alone: %.2fx (aim: within 1.1x)"
              % (times["verify"][1] / self.sha1sum_seconds))
        print("peak memory: %.1f MiB for %d MiB, %.1f MiB for %d MiB"
              % (fresh[2] / 1024.0, self.opts.size_mib, small[2] / 1024.0, self.opts.small_mib))
        if self.failures:
            print("\n%d check(s) failed:" % len(self.failures))
            for failure in self.failures:
                print("  " + failure)
            sys.exit(1)
        print("all checks passed (files identical to the package; resume sent only the "
              "missing half; verify requested no package byte)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(TOP, "build"))
    parser.add_argument("--wine", help="the Wine loader of the build's architecture")
    parser.add_argument("--size-mib", type=int, default=256)
    parser.add_argument("--small-mib", type=int, default=0,
                        help="size of the second, smaller package (default: 1/8 of the first)")
    parser.add_argument("--keep", action="store_true", help="keep build/bench-work")
    opts = parser.parse_args()
    if opts.size_mib < 2:
        parser.error("--size-mib must be at least 2")
    if opts.small_mib <= 0:
        opts.small_mib = max(1, opts.size_mib // 8)
    Bench(opts).run()


if __name__ == "__main__":
    main()
