#!/usr/bin/env python3
"""The main job: the installer, signed and carrying its pages, run under Wine
in its unattended mode ("/quiet /log PATH") against a local package server,
to a real installation.

  demo.py --build BUILD --shipped EXE --arch x86|x64 --sign KEY.pem [--wine WINE]

BUILD is the build tree of the architecture this machine runs (its program
and test products); EXE is the shipped 32-bit program; KEY.pem the private
half of the package key built into both (scripts/build makes a throw-away
one in the build tree), which signs the companion. Expects the Wine
environment of scripts/run (WINEPREFIX of that architecture, DISPLAY, a
running wineserver). Steps:
  1. the demo package: the product test package (setup.exe, signed by the
     test fixture's throw-away certificate, and seven Windows Installer
     products) with a media file, zipped, with its ".meta" companion and the
     companion's signature (".meta.sig"), served by nginx over HTTPS on
     127.0.0.1 with a certificate from a test CA made for this run (trusted
     by the demo's Wine prefix while it runs), and reached through tinyproxy
     set as the prefix's proxy;
  2. the program signed with that same certificate, then the pages packed
     into its certificate table with install parameters that point at that
     server; the signature still verifies. The shipped 32-bit program always;
     where this machine runs no 32-bit code, the x64 build of the same sources
     too, which is the one run in step 3;
  3. the program itself, "/quiet /log PATH", with the user's proxy pointed at
     a local recorder so that its analytics and error reports are seen: the
     pages' own installing flow in the platform's script engine against the
     real script object, which downloads, verifies, unzips and installs;
  4. a summary: the exit code, the products installed and their versions, the
     log's last lines. Exit code 0 only when the run exited 0 and the product
     was installed.
A second run finds the suite installed and exits 0 without downloading.
"""
import argparse
import io
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
sys.path.insert(0, os.path.join(ROOT, "tests", "servers"))
import pagekit  # noqa: E402
import run_test  # noqa: E402  (starts and stops the helper servers)
import webserver  # noqa: E402  (nginx over HTTPS, tinyproxy)

# The pages ask for the package of the system's width ("${osbits}"): 32 in a
# win32 prefix, 64 in a win64 one. main() sets it.
PACKAGE = None
MEDIA_BYTES = 48 * 1024 * 1024
# The package is served at this many bytes a second, so that the download's
# progress can be followed on the console.
SERVE_RATE = 16 * 1024 * 1024
QUIET_SECONDS = 1800
SHORTCUT = "Continue Brightcast Suite Installation.lnk"
PROXY_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"


def say(text=""):
    print(text, flush=True)


def sign_package(path, key):
    """The companion and its signature, by the release tool."""
    subprocess.run([sys.executable, os.path.join(ROOT, "tools", "makemeta"), "--sign", key, path],
                   check=True, stdout=subprocess.DEVNULL)


def make_package(fixtures, www, key):
    """The product test package with an incompressible media file, so the
    download takes a moment; the same bytes on every run. The companion is
    signed again each time: the build tree's key may be new."""
    path = os.path.join(www, PACKAGE)
    source = os.path.join(fixtures, "packages", "TLWSuite_full.zip")
    # Made again with the fixture: its setup.exe carries the fixture's signer.
    if (os.path.exists(path) and os.path.exists(path + ".meta") and
            os.path.getmtime(path) >= os.path.getmtime(source)):
        sign_package(path, key)
        return path
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
    sign_package(path, key)
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


UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
LOG_TAIL_LINES = 12


def installed_version(wine, code):
    """DisplayVersion of an installed product, None when it is not installed."""
    run = subprocess.run([wine, "reg", "query", UNINSTALL_KEY + "\\" + code, "/v",
                          "DisplayVersion"], capture_output=True, text=True,
                         stdin=subprocess.DEVNULL)
    for line in run.stdout.splitlines():
        parts = line.split()
        if len(parts) >= 3 and parts[0] == "DisplayVersion":
            return parts[-1]
    return None


def product_codes(fixtures):
    """(code, version) of the test products, as the fixture lists them."""
    with open(os.path.join(fixtures, "fixture.txt"), encoding="utf-8") as f:
        return [tuple(line.split()[1:3]) for line in f if line.strip()]


def run_quiet(opts, program, demo, sink_port, reports):
    """Step 3: the program's unattended run, as an administrator's script
    starts it; its temporary folder is one of its own, to show what is left."""
    temp = os.path.join(demo, "temp")
    shutil.rmtree(temp, ignore_errors=True)
    os.makedirs(temp)
    log = os.path.join(demo, "quiet.log")
    if os.path.exists(log):
        os.remove(log)
    shortcut = os.path.join(desktop_folder(opts.wine), SHORTCUT)
    if os.path.exists(shortcut):
        os.remove(shortcut)
    set_proxy(opts.wine, demo, sink_port)
    # From a batch file, as a deployment script starts it: cmd waits for a
    # windows program there, and the whole exit code is written to a file
    # (Wine hands only its low byte to Unix).
    wtemp = pagekit.windows_path(temp)
    batch = os.path.join(demo, "quiet.cmd")
    exit_file = batch + ".exit"
    if os.path.exists(exit_file):
        os.remove(exit_file)
    with open(batch, "w", newline="\r\n") as f:
        f.write("@echo off\nset TMP=%s\nset TEMP=%s\n\"%s\" /quiet /log \"%s\"\n"
                "echo %%ERRORLEVEL%%>\"%s\"\n" % (
                    wtemp, wtemp, pagekit.windows_path(program), pagekit.windows_path(log),
                    pagekit.windows_path(exit_file)))
    say("  %s /quiet /log %s" % (os.path.basename(program), pagekit.windows_path(log)))
    try:
        started = time.monotonic()
        code = None
        try:
            # Wine's own notes on stderr are not the program's.
            subprocess.run([opts.wine, "cmd", "/c", pagekit.windows_path(batch)],
                           timeout=QUIET_SECONDS, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            with open(exit_file, encoding="ascii", errors="replace") as f:
                code = int(f.read().strip())
        except (subprocess.TimeoutExpired, OSError, ValueError):
            pass
        seconds = time.monotonic() - started
        post_marker(sink_port)
    finally:
        clear_proxy(opts.wine)
    say("  exit code %s after %.1f s" % ("(did not end)" if code is None else code, seconds))
    for method, path, body in read_reports(reports):
        say("  reported: %s" % describe_report(method, path, body))
    say("  desktop shortcut: %s" % ("left on the desktop" if os.path.exists(shortcut)
                                    else "none"))
    # The test setup, like a runtime's installer, leaves its own log there.
    left = [os.path.relpath(os.path.join(d, f), temp)
            for d, dirs, files in os.walk(temp) for f in files + dirs
            if not f.startswith("dd_vcredist_")]
    say("  temporary folder: %s" % ("nothing of the program's left behind" if not left
                                    else ", ".join(left)))
    lines = []
    if os.path.exists(log):
        with open(log, encoding="utf-8", errors="replace") as f:
            lines = [line.rstrip("\r\n") for line in f]
    say("  log %s: %d lines, the last %d:" % (log, len(lines), min(len(lines), LOG_TAIL_LINES)))
    for line in lines[-LOG_TAIL_LINES:]:
        say("    " + line)
    return code, lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--shipped", required=True)
    parser.add_argument("--arch", choices=("x86", "x64"), required=True)
    parser.add_argument("--sign", required=True)
    parser.add_argument("--wine", default="wine")
    opts = parser.parse_args()
    global PACKAGE
    PACKAGE = "Brightcast_Suite_%sbit.zip" % ("32" if opts.arch == "x86" else "64")
    build = os.path.abspath(opts.build)
    demo = os.path.join(build, "demo")
    www = os.path.join(demo, "www")
    os.makedirs(www, exist_ok=True)

    say("1. The package")
    package = make_package(os.path.join(build, "tests", "product", "fixtures"), www, opts.sign)
    size = os.path.getsize(package)
    say("  %s: %d bytes (setup.exe, seven Windows Installer products, media), companion %s.meta"
        % (PACKAGE, size, PACKAGE))
    say("  the companion signed with the build's package key: %s.meta.sig (the program carries "
        "the public key and refuses a companion without it)" % PACKAGE)

    env = {}
    scratch = os.path.join(demo, "servers")
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    servers = []
    site = webserver.HttpsSite(os.path.join(scratch, "web"), www, opts.wine, rate=SERVE_RATE)
    proxy = None
    try:
        site.start()
        proxy = webserver.Tinyproxy(os.path.join(scratch, "proxy"), [site.port]).start()
        servers.append(run_test.start_server(
            "SINK=" + os.path.join(ROOT, "tests", "servers", "analytics_sink.py"), scratch, env))
        sink_port = int(env["BC_SINK_PORT"])
        reports = os.path.join(scratch, "sink")
        say("  served by nginx on https://127.0.0.1:%d/ (certificate from a test CA made now, "
            "trusted by the demo's Wine prefix for this run)" % site.port)
        say("  the prefix's proxy: tinyproxy on 127.0.0.1:%d; reports recorded on 127.0.0.1:%d"
            % (proxy.port, sink_port))

        say("\n2. The program, signed, with its pages")
        pages = pagekit.make_pages(
            os.path.join(demo, "pages"),
            DOWNLOAD_URL=site.url("Brightcast_Suite_${osbits}bit.zip"),
            TYP_URL=site.url("thank-you?lang=${lang}"))
        # The throw-away certificate that signed the package's setup.exe: the
        # program starts only a setup of its own signer.
        certs = os.path.join(build, "tests", "product", "fixtures", "certs")
        cert, key = os.path.join(certs, "signer.pem"), os.path.join(certs, "signer.key")
        builds = [(opts.shipped, "BrightcastSetup.exe", "the shipped 32-bit program")]
        if opts.arch == "x64":
            builds.append((os.path.join(build, "app", "BrightcastSetup.exe"),
                           "BrightcastSetup-x64.exe",
                           "the same sources built for x64, which this machine can run"))
        for built, name, what in builds:
            signed = pagekit.sign(built, os.path.join(demo, "signed-" + name), cert, key)
            program = pagekit.pack(signed, pages, os.path.join(demo, name))
            say("  %s (%s): signed by the throw-away certificate that signed the package's "
                "setup.exe, pages packed into the certificate table; signature %s" % (
                    program, what,
                    "verifies" if pagekit.verify(program, cert) else "DOES NOT VERIFY"))
        say("\n3. %s under %s Wine, unattended: the pages' own installing flow in the "
            "platform's script engine, no window" % (
                os.path.basename(program), "32-bit" if opts.arch == "x86" else "64-bit"))
        stored = os.path.join(demo, PACKAGE)
        had_package = os.path.exists(stored)
        webserver.set_wininet_proxy(opts.wine, "127.0.0.1:%d" % proxy.port)
        try:
            code, lines = run_quiet(opts, program, demo, sink_port, reports)
        finally:
            webserver.clear_wininet_proxy(opts.wine)
        requests = site.requests()
        tunnels = proxy.connects()
    finally:
        for server in servers:
            run_test.stop(server)
        if proxy:
            proxy.stop()
        site.stop()

    say("\n4. Summary (%s build under %s Wine)" % (opts.arch, "32-bit" if opts.arch == "x86"
                                                 else "64-bit"))
    package_requests = [r for r in requests if r["uri"] == "/" + PACKAGE]
    sent = sum(r["sent"] for r in package_requests)
    if requests:
        say("  over HTTPS from nginx: %s" % ", ".join(
            "%s %s %d" % (r["method"], r["uri"], r["status"]) for r in requests))
        say("  through tinyproxy: %d tunnel(s) (CONNECT %s)" % (
            len(tunnels), ", ".join(sorted(set(tunnels))) or "none"))
    if package_requests:
        say("  downloaded: %d bytes in %d request(s), every 1 MiB block verified against the "
            "companion" % (sent, len(package_requests)))
    elif any("already installed" in line for line in lines):
        say("  downloaded: nothing; the suite was already installed")
    elif had_package:
        say("  downloaded: nothing; the package was already complete on disk, and every block "
            "was verified again (a second run resumes nothing)")
    products = product_codes(os.path.join(build, "tests", "product", "fixtures"))
    installed = 0
    for product, version in products:
        found = installed_version(opts.wine, product)
        installed += found is not None
        say("  product %s: %s" % (product, "installed, version %s" % found if found
                                  else "not installed"))
    say("  installed: %d of %d Windows Installer products" % (installed, len(products)))
    say("  %s /quiet exit code: %s" % (os.path.basename(program), code))
    return 0 if code in (0, 3010) and installed == len(products) else 1


if __name__ == "__main__":
    sys.exit(main())
