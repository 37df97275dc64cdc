#!/usr/bin/env python3
"""The main job: the installer, signed and carrying its pages, run under Wine
against a local package server, then its installing flow run headless to a
real installation.

  demo.py --build BUILD --shipped EXE --arch x86|x64 [--wine WINE]

BUILD is the build tree of the architecture this machine runs (its program,
pageflow.exe and test products); EXE is the shipped 32-bit program. Expects
the Wine environment of scripts/run (WINEPREFIX of that architecture,
DISPLAY, a running wineserver). Steps:
  1. the demo package: the product test package (setup.exe and seven Windows
     Installer products) with a media file, zipped, with its ".meta"
     companion, served by the package server on 127.0.0.1;
  2. the program signed with a throw-away certificate, then the pages packed
     into its certificate table with install parameters that point at that
     server; the signature still verifies. The shipped 32-bit program always;
     where this machine runs no 32-bit code, the x64 build of the same sources
     too, which is the one run in steps 3 and 4;
  3. the program itself, with the user's proxy pointed at a local recorder so
     that its analytics and error reports are seen: without an HTML engine
     (Wine) the window cannot appear and the run ends "environment not
     supported";
  4. pageflow.exe on the same program file: the pages' own installing flow in
     the platform's script engine against the real controller, which
     downloads, verifies, unzips and installs;
  5. a summary. Exit code 0 only when the product was installed.
A second run finds the package complete: nothing is downloaded again, every
block is verified on disk.
"""
import argparse
import io
import json
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import time
import urllib.request
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "harness"))
import pagekit  # noqa: E402
import run_test  # noqa: E402  (starts and stops the helper servers)

# The pages ask for the package of the system's width ("${osbits}"): 32 in a
# win32 prefix, 64 in a win64 one. main() sets it.
PACKAGE = None
MEDIA_BYTES = 48 * 1024 * 1024
PROGRAM_SECONDS = 300
# The package is served at this many bytes a second, so that the download's
# progress can be followed on the console.
SERVE_RATE = 16 * 1024 * 1024
FLOW_SECONDS = 1800
SHORTCUT = "Continue Brightcast Suite Installation.lnk"
PROXY_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"


def say(text=""):
    print(text, flush=True)


def make_package(fixtures, www):
    """The product test package with an incompressible media file, so the
    download takes a moment; the same bytes on every run."""
    path = os.path.join(www, PACKAGE)
    if os.path.exists(path) and os.path.exists(path + ".meta"):
        return path
    source = os.path.join(fixtures, "packages", "TLWSuite_full.zip")
    stamp = (2026, 12, 1, 12, 0, 0)
    with zipfile.ZipFile(source) as original, zipfile.ZipFile(path + ".part", "w") as z:
        for info in original.infolist():
            copy = zipfile.ZipInfo(info.filename, stamp)
            copy.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(copy, original.read(info))
        media = zipfile.ZipInfo("pkg/media/intro.bin", stamp)
        media.compress_type = zipfile.ZIP_STORED
        z.writestr(media, random.Random(2026).randbytes(MEDIA_BYTES))
    os.replace(path + ".part", path)
    subprocess.run([sys.executable, os.path.join(ROOT, "tools", "makemeta"), path], check=True,
                   stdout=subprocess.DEVNULL)
    return path


def wine_path(wine, unix):
    return subprocess.run([wine, "winepath", "-w", unix], capture_output=True, text=True,
                          check=True).stdout.strip()


def set_proxy(wine, work, port):
    """Points the user's proxy at 127.0.0.1:port: the header (0x46, a counter,
    flags 2 = "use a proxy"), the proxy text, no bypass list, no script."""
    proxy = ("127.0.0.1:%d" % port).encode()
    blob = struct.pack("<IIII", 0x46, 1, 2, len(proxy)) + proxy + struct.pack("<II", 0, 0)
    blob += bytes(32)
    reg = os.path.join(work, "proxy.reg")
    with open(reg, "w") as f:
        f.write("REGEDIT4\n\n[%s]\n\"DefaultConnectionSettings\"=hex:%s\n" % (
            PROXY_KEY.replace("HKCU", "HKEY_CURRENT_USER"),
            ",".join("%02x" % b for b in blob)))
    subprocess.run([wine, "regedit", "/S", wine_path(wine, reg)], check=True,
                   capture_output=True)


def clear_proxy(wine):
    subprocess.run([wine, "reg", "delete", PROXY_KEY, "/v", "DefaultConnectionSettings", "/f"],
                   capture_output=True)


def read_reports(folder):
    """What the recorder received, in order: (method, path, body)."""
    reports = []
    for name in sorted(f for f in os.listdir(folder) if f.endswith(".txt")):
        lines = open(os.path.join(folder, name), encoding="utf-8").read().split("\n")
        with open(os.path.join(folder, name[:-4] + ".body"), "rb") as f:
            body = f.read()
        if lines[1] != "/marker":
            reports.append((lines[0], lines[1], body))
    return reports


def describe_report(method, path, body):
    if method == "POST":
        status = re.search(rb"<status>(.*?)</status>", body)
        return 'analytics document, status "%s"' % (status.group(1).decode() if status else "?")
    if method == "PUT":
        try:
            names = zipfile.ZipFile(io.BytesIO(body)).namelist()
            return "error report with %s" % ", ".join(names)
        except zipfile.BadZipFile:
            return "report of %d bytes" % len(body)
    return "%s %s" % (method, path)


def limit_rate(port):
    url = "http://127.0.0.1:%d/_control/add?path=/%s&times=1000&rate=%d" % (port, PACKAGE,
                                                                            SERVE_RATE)
    with urllib.request.urlopen(url, timeout=10) as answer:
        answer.read()


def server_log(port):
    with urllib.request.urlopen("http://127.0.0.1:%d/_control/log.json" % port,
                                timeout=10) as answer:
        return json.loads(answer.read())


def post_marker(port):
    """Everything sent before the marker has been recorded once it has."""
    request = urllib.request.Request("http://127.0.0.1:%d/marker" % port, data=b"m")
    try:
        urllib.request.urlopen(request, timeout=10).read()
    except OSError:
        pass


def desktop_folder(wine):
    profile = subprocess.run([wine, "cmd", "/c", "echo", "%USERPROFILE%"], capture_output=True,
                             text=True, stdin=subprocess.DEVNULL).stdout.strip()
    unix = subprocess.run([wine, "winepath", "-u", profile], capture_output=True,
                          text=True).stdout.strip()
    return os.path.join(unix, "Desktop")


def run_program(opts, program, demo, sink_port, reports):
    """Step 3: the program itself, as a user starts it."""
    temp = os.path.join(demo, "temp")
    shutil.rmtree(temp, ignore_errors=True)
    os.makedirs(temp)
    shortcut = os.path.join(desktop_folder(opts.wine), SHORTCUT)
    if os.path.exists(shortcut):
        os.remove(shortcut)
    set_proxy(opts.wine, demo, sink_port)
    try:
        env = dict(os.environ, TMP=wine_path(opts.wine, temp), TEMP=wine_path(opts.wine, temp))
        started = time.monotonic()
        try:
            # Wine's own notes on stderr are not the program's.
            code = subprocess.run([opts.wine, program], env=env, timeout=PROGRAM_SECONDS,
                                  stderr=subprocess.DEVNULL).returncode
        except subprocess.TimeoutExpired:
            code = None
        seconds = time.monotonic() - started
        post_marker(sink_port)
    finally:
        clear_proxy(opts.wine)
    say("  exit code %s after %.1f s" % ("(did not end)" if code is None else code, seconds))
    for method, path, body in read_reports(reports):
        say("  reported: %s" % describe_report(method, path, body))
    say("  desktop shortcut: %s" % ('"%s" left on the desktop (the run did not complete)' % SHORTCUT
                                    if os.path.exists(shortcut) else "none"))
    left = [os.path.relpath(os.path.join(d, f), temp)
            for d, dirs, files in os.walk(temp) for f in files + dirs]
    say("  temporary folder: %s" % ("nothing left behind" if not left else ", ".join(left)))
    return code


def run_flow(opts, program, demo):
    """Step 4: the installing flow headless; progress goes to the console."""
    flow = subprocess.Popen([opts.wine, os.path.join(demo, "pageflow.exe"),
                             pagekit.windows_path(program)],
                            stdout=subprocess.PIPE, text=True)
    try:
        out, _ = flow.communicate(timeout=FLOW_SECONDS)
    except subprocess.TimeoutExpired:
        flow.kill()
        out, _ = flow.communicate()
    return [line.rstrip("\r") for line in out.splitlines()]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--shipped", required=True)
    parser.add_argument("--arch", choices=("x86", "x64"), required=True)
    parser.add_argument("--wine", default="wine")
    opts = parser.parse_args()
    global PACKAGE
    PACKAGE = "Brightcast_Suite_%sbit.zip" % ("32" if opts.arch == "x86" else "64")
    build = os.path.abspath(opts.build)
    demo = os.path.join(build, "demo")
    www = os.path.join(demo, "www")
    os.makedirs(www, exist_ok=True)

    say("1. The package")
    package = make_package(os.path.join(build, "tests", "product", "fixtures"), www)
    size = os.path.getsize(package)
    say("  %s: %d bytes (setup.exe, seven Windows Installer products, media), companion %s.meta"
        % (PACKAGE, size, PACKAGE))

    env = {}
    scratch = os.path.join(demo, "servers")
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    servers = []
    try:
        servers.append(run_test.start_server(
            "PKG=" + os.path.join(ROOT, "tests", "servers", "pkgserver.py"), scratch, env))
        pkg_port = int(env["BC_PKG_PORT"])
        served = os.path.join(scratch, "pkg")
        for name in (PACKAGE, PACKAGE + ".meta"):
            os.link(os.path.join(www, name), os.path.join(served, name))
        limit_rate(pkg_port)
        servers.append(run_test.start_server(
            "SINK=" + os.path.join(ROOT, "tests", "servers", "analytics_sink.py"), scratch, env))
        sink_port = int(env["BC_SINK_PORT"])
        reports = os.path.join(scratch, "sink")
        say("  served on http://127.0.0.1:%d/ ; reports recorded on 127.0.0.1:%d" %
            (pkg_port, sink_port))

        say("\n2. The program, signed, with its pages")
        pages = pagekit.make_pages(
            os.path.join(demo, "pages"),
            DOWNLOAD_URL="http://127.0.0.1:%d/Brightcast_Suite_${osbits}bit.zip" % pkg_port,
            TYP_URL="http://127.0.0.1:%d/thank-you?lang=${lang}" % pkg_port)
        cert, key = pagekit.make_certificate(demo)
        builds = [(opts.shipped, "BrightcastSetup.exe", "the shipped 32-bit program")]
        if opts.arch == "x64":
            builds.append((os.path.join(build, "app", "BrightcastSetup.exe"),
                           "BrightcastSetup-x64.exe",
                           "the same sources built for x64, which this machine can run"))
        for built, name, what in builds:
            signed = pagekit.sign(built, os.path.join(demo, "signed-" + name), cert, key)
            program = pagekit.pack(signed, pages, os.path.join(demo, name))
            say("  %s (%s): signed by a throw-away certificate, pages packed into the "
                "certificate table; signature %s" % (
                    program, what,
                    "verifies" if pagekit.verify(program, cert) else "DOES NOT VERIFY"))
        shutil.copyfile(os.path.join(build, "tools", "pageflow", "pageflow.exe"),
                        os.path.join(demo, "pageflow.exe"))

        say("\n3. %s under %s Wine (no HTML engine here: the window cannot appear)"
            % (os.path.basename(program), "32-bit" if opts.arch == "x86" else "64-bit"))
        code = run_program(opts, program, demo, sink_port, reports)

        say("\n4. The installing flow, headless (pageflow.exe: the pages' own flow script "
            "and the real controller)")
        stored = os.path.join(demo, PACKAGE)
        had_package = os.path.exists(stored)
        before = len(server_log(pkg_port))
        lines = run_flow(opts, program, demo)
        for line in lines:
            say("  " + line)
        requests = server_log(pkg_port)[before:]
    finally:
        for server in servers:
            run_test.stop(server)

    say("\n5. Summary (%s build under %s Wine)" % (opts.arch, "32-bit" if opts.arch == "x86"
                                                 else "64-bit"))
    package_requests = [r for r in requests if r["target"] == "/" + PACKAGE]
    sent = sum(r["sent"] for r in package_requests)
    if package_requests:
        say("  downloaded: %d bytes in %d request(s), every 1 MiB block verified against the "
            "companion" % (sent, len(package_requests)))
    elif had_package:
        say("  downloaded: nothing; the package was already complete on disk, and every block "
            "was verified again (a second run resumes nothing)")
    extracted = [l for l in lines if l.startswith("extracted files: ")]
    if extracted:
        say("  unzipped: %s files" % extracted[0].split(": ", 1)[1])
    installed = [l for l in lines if l.startswith("product {") and " installed" in l]
    say("  installed: %d of 7 Windows Installer products" % len(installed))
    for line in lines:
        if line.startswith(("product version: ", "start program: ")):
            say("  " + line)
    for method, path, body in read_reports(reports):
        say("  reports from the program: %s" % describe_report(method, path, body))
    status = lines[-1] if lines else "flow status ?"
    say("  %s exit code: %s; %s" % (os.path.basename(program), code, status))
    return 0 if status == "flow status 1" and len(installed) == 7 else 1


if __name__ == "__main__":
    sys.exit(main())
