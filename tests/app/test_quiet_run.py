#!/usr/bin/env python3
"""The program's unattended run, "/quiet /log PATH", under Wine as a black
box: the test build of the program with the pages packed in, pointed at the
package server, installing the test products; its exit code, its log file,
the reports the analytics sink received and what it left behind.

  test_quiet_run.py --program EXE --fixtures DIR --wine WINE [unittest args]

Needs the package server (BC_PKG_PORT, BC_PKG_DIR) and the analytics sink
the test build reports to (BC_SINK_PORT, BC_SINK_DIR) of the test launcher.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "demo"))
sys.path.insert(0, os.path.join(HERE, "..", "product", "fixture"))
sys.path.insert(0, os.path.join(HERE, "..", "pages"))
import pagekit  # noqa: E402
from make_fixtures import PRODUCT_CODES, MAIN_INDEX, MAIN_VERSION  # noqa: E402
from test_pageflow import system_bits, unix_path  # noqa: E402

RUN_SECONDS = 900
# Bound of the wait for the first copy to be in the middle of its download.
BUSY_WAIT_SECONDS = 120
SHORTCUT = "Continue Brightcast Suite Installation.lnk"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
OPTS = None


class QuietRun(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.port = int(os.environ.get("BC_PKG_PORT", "0"))
        cls.sink = unix_path(os.environ.get("BC_SINK_DIR", ""))
        if not cls.port or not os.environ.get("BC_SINK_PORT"):
            raise unittest.SkipTest("the package server and the sink were not started")
        cls.served = unix_path(os.environ["BC_PKG_DIR"])
        cls.work = tempfile.mkdtemp(prefix="quietrun-")
        cls.package = "Brightcast_Suite_%sbit.zip" % system_bits()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def setUp(self):
        self.uninstall_products()
        self.control("reset")
        self.addCleanup(self.uninstall_products)
        self.remove_shortcut()
        self.sink_before = self.sink_records()

    # -- the machine -------------------------------------------------------

    def wine(self, *args, **kwargs):
        """Its output goes into files, not pipes: a process the command starts
        under Wine (the desktop's, a service) may keep what it inherited open
        after the command ended, and a pipe would then not end."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            done = subprocess.run([OPTS.wine] + list(args), stdin=subprocess.DEVNULL,
                                  stdout=out, stderr=err, **kwargs)
            out.seek(0)
            err.seek(0)
            done.stdout = out.read().decode("utf-8", "replace")
            done.stderr = err.read().decode("utf-8", "replace")
        return done

    def uninstall_products(self):
        for code in PRODUCT_CODES:
            self.wine("msiexec", "/x", code, "/qn", timeout=120)

    def installed_version(self, code):
        """DisplayVersion of an installed product, None when it is not."""
        run = self.wine("reg", "query", UNINSTALL_KEY + "\\" + code, "/v", "DisplayVersion",
                        timeout=60)
        for line in run.stdout.splitlines():
            parts = line.split()
            if len(parts) >= 3 and parts[0] == "DisplayVersion":
                return parts[-1]
        return None

    def desktop_shortcut(self):
        profile = self.wine("cmd", "/c", "echo", "%USERPROFILE%", timeout=60).stdout.strip()
        unix = self.wine("winepath", "-u", profile, timeout=60).stdout.strip()
        return os.path.join(unix, "Desktop", SHORTCUT)

    def remove_shortcut(self):
        path = self.desktop_shortcut()
        if os.path.exists(path):
            os.remove(path)

    # -- the servers -------------------------------------------------------

    def control(self, command):
        url = "http://127.0.0.1:%d/_control/%s" % (self.port, command)
        with urllib.request.urlopen(url, timeout=10) as answer:
            return answer.read()

    def requests(self):
        return [e["target"] for e in json.loads(self.control("log.json"))]

    def serve(self, fixture, name):
        source = os.path.join(OPTS.fixtures, "packages", fixture)
        target = os.path.join(self.served, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(source, target)
        shutil.copyfile(source + ".meta", target + ".meta")
        shutil.copyfile(source + ".meta.sig", target + ".meta.sig")

    def url(self, name):
        return "http://127.0.0.1:%d/%s" % (self.port, name)

    def sink_records(self):
        return sorted(f for f in os.listdir(self.sink) if f.endswith(".txt"))

    def reports(self):
        """(method, path, body) of what the sink received in this case, once a
        marker sent now is recorded (the sink serves one request at a time)."""
        request = urllib.request.Request(
            "http://127.0.0.1:%s/marker" % os.environ["BC_SINK_PORT"], data=b"m")
        urllib.request.urlopen(request, timeout=10).read()
        found = []
        for name in self.sink_records():
            if name in self.sink_before:
                continue
            with open(os.path.join(self.sink, name), encoding="utf-8") as f:
                lines = f.read().split("\n")
            with open(os.path.join(self.sink, name[:-4] + ".body"), "rb") as f:
                body = f.read()
            if lines[1] != "/marker":
                found.append((lines[0], lines[1], body))
        return found

    def analytics_statuses(self, reports):
        statuses = []
        for method, _, body in reports:
            if method == "POST":
                text = body.decode("utf-8", "replace")
                start = text.find("<status>")
                statuses.append(text[start + 8:text.find("</status>")] if start >= 0 else "?")
        return statuses

    # -- the program -------------------------------------------------------

    def program(self, name="Setup.exe", **parameters):
        """The test build with the pages packed in, their parameters replaced,
        alone in a folder of its own (the package is kept beside it)."""
        folder = os.path.join(self.work, "program-" + self.id().rsplit(".", 1)[-1])
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        pages = pagekit.make_pages(os.path.join(folder, "pages"), **parameters)
        return pagekit.pack(OPTS.program, pages, os.path.join(folder, name))

    def start(self, program, temp, *arguments):
        """The program from a batch file, as a deployment script starts it:
        cmd waits for a windows program there, and the batch file writes its
        whole exit code (Wine hands only the low byte to Unix) to a file,
        read by finished(). The temporary folder is one of the case's own
        (Wine takes TMP and TEMP from the prefix, so they are set inside the
        Windows process tree)."""
        os.makedirs(temp, exist_ok=True)
        wtemp = pagekit.windows_path(temp)
        self.runs = getattr(self, "runs", 0) + 1
        batch = os.path.join(self.work, "run%d.cmd" % self.runs)
        exit_file = batch + ".exit"
        if os.path.exists(exit_file):
            os.remove(exit_file)
        with open(batch, "w", newline="\r\n") as f:
            f.write("@echo off\nset TMP=%s\nset TEMP=%s\n\"%s\" %s\necho %%ERRORLEVEL%%>\"%s\"\n" % (
                wtemp, wtemp, pagekit.windows_path(program), " ".join(arguments),
                pagekit.windows_path(exit_file)))
        run = subprocess.Popen([OPTS.wine, "cmd", "/c", pagekit.windows_path(batch)],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
        run.exit_file = exit_file
        return run

    def finished(self, run, timeout=RUN_SECONDS):
        """The program's exit code once its batch file has ended."""
        run.wait(timeout=timeout)
        with open(run.exit_file, encoding="ascii", errors="replace") as f:
            return int(f.read().strip())

    def run_quiet(self, program, temp, *extra):
        log = os.path.join(self.work, "quiet-%s.log" % self.id().rsplit(".", 1)[-1])
        if os.path.exists(log):
            os.remove(log)
        run = self.start(program, temp, "/quiet", "/log", pagekit.windows_path(log), *extra)
        code = self.finished(run)
        text = ""
        if os.path.exists(log):
            with open(log, "rb") as f:
                text = f.read().decode("utf-8")
        sys.stderr.write("--- exit code %d, log:\n%s\n" % (code, text))
        return code, text

    def left_in(self, temp, before):
        # The test setup, like a runtime's installer, leaves its own log in
        # the temporary folder; it is setup's file, not one of the program's.
        return sorted(n for n in os.listdir(temp)
                      if n not in before and not n.startswith("dd_vcredist_"))

    def full_program(self):
        self.serve("TLWSuite_full.zip", self.package)
        return self.program(DOWNLOAD_URL=self.url("Brightcast_Suite_${osbits}bit.zip"))

    # -- the cases ---------------------------------------------------------

    def test_an_install_exits_0_with_its_log_reports_and_nothing_left_behind(self):
        program = self.full_program()
        temp = os.path.join(self.work, "temp-success")
        os.makedirs(temp)
        with open(os.path.join(temp, "notes.txt"), "w") as f:
            f.write("the user's own file")
        before = os.listdir(temp)
        code, log = self.run_quiet(program, temp)
        self.assertEqual(0, code)
        for code_ in PRODUCT_CODES:
            self.assertIsNotNone(self.installed_version(code_), code_ + " not installed")
        self.assertEqual(MAIN_VERSION, self.installed_version(PRODUCT_CODES[MAIN_INDEX]))
        self.assertIn("Quiet run ends with exit code 0", log)
        self.assertIn("page Complete.html", log)
        self.assertNotIn("failure stage", log)
        reports = self.reports()
        self.assertEqual(["started", "completed"], self.analytics_statuses(reports))
        self.assertEqual([], [r for r in reports if r[0] == "PUT"], "no error report")
        # The quiet run shows no licence: it does not fetch one.
        self.assertEqual([], [r for r in reports if r[1].startswith("/license/")])
        self.assertEqual([], self.left_in(temp, before))
        self.assertEqual(["notes.txt"], [n for n in os.listdir(temp) if n in before])
        self.assertFalse(os.path.exists(self.desktop_shortcut()), "a quiet run makes no shortcut")

        # Run again: the suite is there, so nothing is downloaded or installed.
        self.control("reset")
        self.sink_before = self.sink_records()
        code, log = self.run_quiet(program, temp)
        self.assertEqual(0, code)
        self.assertIn("already installed", log)
        self.assertEqual([], self.requests())
        self.assertEqual(["started", "environment not supported"],
                         self.analytics_statuses(self.reports()))
        self.assertEqual([], self.left_in(temp, before))

    def test_setup_exit_codes_become_the_run_s_exit_code(self):
        # fixture, exit code, what the log says
        cases = [
            ("TLWSuite_exit3010.zip", 3010, "Quiet run ends with exit code 3010"),
            ("TLWSuite_exit1603.zip", 1603, "failure stage 2 (install), code 3"),
            # Busy until the bound: three retries, then the run gives up.
            ("TLWSuite_exit1618.zip", 1618, "-> cancel"),
        ]
        for fixture, expected, line in cases:
            with self.subTest(fixture=fixture):
                self.control("reset")
                self.sink_before = self.sink_records()
                self.serve(fixture, self.package)
                program = self.program(DOWNLOAD_URL=self.url("Brightcast_Suite_${osbits}bit.zip"))
                temp = os.path.join(self.work, "temp-" + fixture)
                code, log = self.run_quiet(program, temp)
                self.assertEqual(expected, code)
                self.assertIn(line, log)
                self.assertEqual([], self.left_in(temp, []))
                statuses = self.analytics_statuses(self.reports())
                self.assertEqual("started", statuses[0])
                self.assertEqual(2, len(statuses), statuses)
                if expected == 1618:
                    self.assertEqual(3, log.count("-> retry"), log)
                    self.assertEqual(3, log.count("waiting 10000 ms before installing again"))

    def test_a_download_that_fails_exits_1603_with_the_stage_in_the_log(self):
        # An unreachable server: a port nothing listens on.
        closed = self.url("nothing").replace(":%d/" % self.port, ":1/")
        cases = [
            ("missing package", self.url("tlw/missing_${osbits}.zip")),
            ("unreachable server", closed.replace("nothing", "Brightcast_Suite_${osbits}bit.zip")),
        ]
        for what, url in cases:
            with self.subTest(what=what):
                self.control("reset")
                self.sink_before = self.sink_records()
                program = self.program(DOWNLOAD_URL=url, PRODUCT_FILE_NAME="")
                temp = os.path.join(self.work, "temp-" + what.replace(" ", "-"))
                code, log = self.run_quiet(program, temp)
                self.assertEqual(1603, code)
                self.assertIn("failure stage 1 (download)", log)
                self.assertIn("Quiet run ends with exit code 1603", log)
                reports = self.reports()
                self.assertEqual(["started", "error occurred"], self.analytics_statuses(reports))
                # The error report carries the log, as after a window run's error.
                self.assertEqual(1, len([r for r in reports if r[0] == "PUT"]), reports)
                self.assertEqual([], self.left_in(temp, []))
                self.assertIsNone(self.installed_version(PRODUCT_CODES[0]))

    def test_a_second_copy_exits_1618_at_once(self):
        program = self.full_program()
        # The first copy's download is slow, so that it still runs meanwhile.
        self.control("add?path=/%s&times=1&rate=131072" % self.package)
        temp = os.path.join(self.work, "temp-first")
        first_log = os.path.join(self.work, "first.log")
        first = self.start(program, temp, "/quiet", "/log", pagekit.windows_path(first_log))
        deadline = time.monotonic() + BUSY_WAIT_SECONDS
        while "/" + self.package not in self.requests():
            self.assertIsNone(first.poll(), "the first copy ended before its download")
            self.assertLess(time.monotonic(), deadline, "the first copy did not download")
            time.sleep(0.2)
        code, log = self.run_quiet(program, os.path.join(self.work, "temp-second"))
        self.assertEqual(1618, code)
        self.assertIn("Another copy of the program is running", log)
        self.assertIsNone(first.poll(), "the first copy should still run")
        self.assertEqual(0, self.finished(first))
        self.assertIsNotNone(self.installed_version(PRODUCT_CODES[MAIN_INDEX]))

    def test_switches_it_does_not_know_make_the_window_run(self):
        program = self.full_program()
        temp = os.path.join(self.work, "temp-window")
        for arguments in (["/quiet", "/unknown"], ["/passive"], ["/quiet", "/log"]):
            with self.subTest(arguments=arguments):
                self.control("reset")
                self.remove_shortcut()
                self.sink_before = self.sink_records()
                run = self.start(program, temp, *arguments)
                self.assertEqual(0, self.finished(run))
                reports = self.reports()
                # As the window run does under Wine: the licence fetched, no
                # window possible, the shortcut left for a run that did not
                # complete, nothing downloaded.
                self.assertEqual(["started", "environment not supported"],
                                 self.analytics_statuses(reports))
                self.assertEqual(1, len([r for r in reports if r[1].startswith("/license/")]))
                self.assertTrue(os.path.exists(self.desktop_shortcut()))
                self.assertEqual([], self.requests())
        self.remove_shortcut()

    def test_upper_case_and_dash_switches_are_the_quiet_run(self):
        program = self.full_program()
        temp = os.path.join(self.work, "temp-dash")
        log = os.path.join(self.work, "dash.log")
        run = self.start(program, temp, "-QUIET", "/Log", pagekit.windows_path(log), "/NoRestart")
        self.assertEqual(0, self.finished(run))
        with open(log, encoding="utf-8") as f:
            self.assertIn("Quiet run (/norestart)", f.read())
        self.assertIsNotNone(self.installed_version(PRODUCT_CODES[MAIN_INDEX]))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for name in ("program", "fixtures", "wine"):
        parser.add_argument("--" + name, required=True)
    OPTS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
