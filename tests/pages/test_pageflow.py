#!/usr/bin/env python3
"""The installing flow of the pages, run headless by pageflow.exe under Wine
against the real product controller, nginx serving the package over HTTPS
(tests/servers/webserver.py: a test CA made for the run and trusted by the
Wine prefix while it runs) and the test products: the flow's own script
decides, the controller downloads, unzips and installs for real.

  test_pageflow.py --pageflow EXE --program EXE --fixtures DIR --wine WINE
                   [unittest args]
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "demo"))
# The test products are the ones the product fixture builds.
sys.path.insert(0, os.path.join(HERE, "..", "product", "fixture"))
sys.path.insert(0, os.path.join(HERE, "..", "servers"))
import pagekit  # noqa: E402
import webserver  # noqa: E402
from make_fixtures import PRODUCT_CODES  # noqa: E402

FLOW_SECONDS = 600
# The flow's progress line during the download: "download 52%  ...".
DOWNLOAD_PERCENT = re.compile(r"^download (\d+)%")
# Bounds of the waits of the killed-run case.
KILL_WAIT_SECONDS = 300
SETUP_END_SECONDS = 180
OPTS = None
# The file in each folder the program makes that names the processes using it.
USERS_FILE = "~bcrun.users"


def system_bits():
    """What the pages' "${osbits}" becomes: the width of the Windows in the
    prefix (Wine records it as "#arch=win64" or "#arch=win32" in the
    prefix's registry), not the width of the programs under test."""
    prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
    try:
        with open(os.path.join(prefix, "system.reg"), encoding="utf-8", errors="replace") as f:
            head = f.read(4096)
    except OSError:
        head = ""
    if "#arch=win64" in head:
        return "64"
    if "#arch=win32" in head:
        return "32"
    return "64" if os.environ.get("WINEARCH") == "win64" else "32"


def unix_path(windows):
    return windows[2:].replace("\\", "/") if windows.startswith("Z:") else windows


class PageFlowRuns(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="pageflow-")
        cls.served = os.path.join(cls.work, "www")
        os.makedirs(cls.served)
        try:
            cls.site = webserver.HttpsSite(os.path.join(cls.work, "web"), cls.served,
                                           OPTS.wine).start()
        except BaseException:
            shutil.rmtree(cls.work, ignore_errors=True)
            raise
        cls.package = "Brightcast_Suite_%sbit.zip" % system_bits()

    @classmethod
    def tearDownClass(cls):
        cls.site.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    def setUp(self):
        self.uninstall_products()
        # Each case reads the requests nginx logged after this point.
        self.mark = len(self.site.requests())
        # The controller keeps the package next to the running program; a
        # package from another case would only be verified and resumed.
        folder = os.path.dirname(OPTS.pageflow)
        for name in os.listdir(folder):
            if name.endswith(".zip"):
                os.remove(os.path.join(folder, name))
        self.addCleanup(self.uninstall_products)

    def uninstall_products(self):
        for code in PRODUCT_CODES:
            subprocess.run([OPTS.wine, "msiexec", "/x", code, "/qn"], stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)

    def log(self):
        return self.site.requests()[self.mark:]

    def requests(self):
        return [(e["uri"], e["status"]) for e in self.log()]

    def serve(self, fixture, name):
        """The package with its companion, and the companion's signature where
        the fixtures have one: every file of the package goes out from nginx."""
        source = os.path.join(OPTS.fixtures, "packages", fixture)
        target = os.path.join(self.served, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(source, target)
        shutil.copyfile(source + ".meta", target + ".meta")
        shutil.copyfile(source + ".meta.sig", target + ".meta.sig")

    def program(self, name="Setup.exe", **parameters):
        """The program with the pages packed in, their parameters replaced."""
        pages = pagekit.make_pages(os.path.join(self.work, "pages-" + name), **parameters)
        return pagekit.pack(OPTS.program, pages, os.path.join(self.work, name))

    def url(self, name):
        return self.site.url(name)

    def run_flow(self, program):
        code, lines, err = self.finish_flow(self.spawn([OPTS.wine, OPTS.pageflow,
                                                        pagekit.windows_path(program)]))
        self.assertTrue(lines, "pageflow printed nothing")
        return code, lines, err

    def assert_completed(self, lines, err, more=""):
        """The flow reported completion; otherwise its whole output, stdout's
        failure stage and code included, says why."""
        self.assertEqual("flow status 1", lines[-1] if lines else "",
                         "\n".join(["stdout:"] + lines + ["stderr:", err, more,
                                                          "setup's log lines:", self.setup_trace]))

    def assert_installed(self, lines):
        for code in PRODUCT_CODES:
            self.assertTrue(any(l.startswith("product " + code + " installed") for l in lines),
                            "%s not installed: %s" % (code, lines))
        self.assertIn("product version: 18.3.1.204", lines)
        self.assertTrue(any(l.startswith("start program: ") and
                            l.endswith("\\Brightcast Suite Test\\brightcast.exe") for l in lines),
                        lines)

    def start_flow(self, program, temp, *options):
        """pageflow.exe with its own temporary folder (Wine takes TMP and TEMP
        from the prefix, so they are set inside the Windows process tree)."""
        os.makedirs(temp, exist_ok=True)
        wtemp = pagekit.windows_path(temp)
        command = "set TMP=%s&& set TEMP=%s&& %s %s" % (
            wtemp, wtemp, pagekit.windows_path(OPTS.pageflow),
            " ".join([pagekit.windows_path(program)] + list(options)))
        return self.spawn([OPTS.wine, "cmd", "/c", command])

    def spawn(self, command):
        """The flow writes into files, not pipes: a process it leaves behind
        (a setup of a killed run, a service Wine starts) may keep what it
        inherited open, and a pipe would then never end."""
        # Counted for the class: each case is an instance of its own, and the
        # files of every case share one folder.
        cls = type(self)
        cls.flows = getattr(cls, "flows", 0) + 1
        base = os.path.join(self.work, "flow%d" % cls.flows)
        # The test setup adds its log lines here (its own log goes with the
        # run's folder).
        env = dict(os.environ, BC_TESTSETUP_TRACE=pagekit.windows_path(base + ".setup"))
        with open(base + ".out", "wb") as out, open(base + ".err", "wb") as err:
            flow = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                    env=env)
        flow.out_path, flow.err_path = base + ".out", base + ".err"
        flow.setup_path = base + ".setup"
        return flow

    @staticmethod
    def err_lines(flow):
        """What the flow wrote to stderr so far, a list of lines."""
        with open(flow.err_path, encoding="utf-8", errors="replace") as f:
            return f.read().splitlines()

    def finish_flow(self, flow):
        flow.wait(timeout=FLOW_SECONDS)
        with open(flow.out_path, encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
        err = "\n".join(self.err_lines(flow)) + "\n"
        sys.stderr.write(err)
        try:
            with open(flow.setup_path, encoding="utf-8", errors="replace") as f:
                self.setup_trace = f.read()
        except OSError:
            self.setup_trace = "(none)"
        return flow.returncode, lines, err

    def kill_flow_when(self, flow, condition, what):
        deadline = time.monotonic() + KILL_WAIT_SECONDS
        while not condition():
            self.assertIsNone(flow.poll(), "the flow ended before %s" % what)
            self.assertLess(time.monotonic(), deadline, "no %s within %d s" % (
                what, KILL_WAIT_SECONDS))
            time.sleep(0.2)
        # As Task Manager ends a program: at once, with no clean-up of its own.
        subprocess.run([OPTS.wine, "taskkill", "/f", "/im", "pageflow.exe"],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        flow.wait(timeout=60)

    def setup_runs_in(self, temp):
        """Whether a setup started from a folder under `temp` still runs."""
        marks = (temp.encode(), pagekit.windows_path(temp).encode())
        found = subprocess.run(["pgrep", "-f", "setup.exe"], capture_output=True, text=True)
        for pid in found.stdout.split():
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    command = f.read()
            except OSError:
                continue
            if any(mark in command for mark in marks):
                return True
        return False

    def wait_for_setup_to_end(self, temp):
        """Setup started by a killed run goes on; the next run is started once
        it has ended, so that every folder is free to be removed."""
        deadline = time.monotonic() + SETUP_END_SECONDS
        while self.setup_runs_in(temp):
            self.assertLess(time.monotonic(), deadline, "setup still runs after %d s" %
                            SETUP_END_SECONDS)
            time.sleep(0.5)

    def removed_at_start(self, err):
        """Names of the folders a run's start removed, from its progress lines."""
        return set(l.rstrip("\\").rsplit("\\", 1)[-1] for l in err.splitlines()
                   if l.startswith("removed the folder of an earlier run: "))

    def folders(self, temp):
        return sorted(n for n in os.listdir(temp) if os.path.isdir(os.path.join(temp, n)))

    def files_of_setup(self, names):
        # The test setup, like a runtime's installer, leaves its own log in
        # the temporary folder; it is setup's file, not one of the program's.
        return [n for n in names if not n.startswith("dd_vcredist_")]

    def test_a_completed_run_leaves_the_temporary_folder_as_it_found_it(self):
        self.serve("TLWSuite_full.zip", self.package)
        program = self.program(DOWNLOAD_URL=self.url("Brightcast_Suite_${osbits}bit.zip"))
        temp = os.path.join(self.work, "temp-completed")
        os.makedirs(temp)
        with open(os.path.join(temp, "notes.txt"), "w") as f:
            f.write("the user's own file")
        before = sorted(os.listdir(temp))
        code, lines, err = self.finish_flow(self.start_flow(program, temp))
        self.assert_completed(lines, err)
        self.assert_installed(lines)
        # Every entry of the package, and the log setup wrote beside it.
        with zipfile.ZipFile(os.path.join(self.served, self.package)) as z:
            entries = len([i for i in z.infolist() if not i.is_dir()])
        self.assertIn("extracted files: %d" % (entries + 1), lines)
        self.assertEqual(before, self.files_of_setup(sorted(os.listdir(temp))))

    def test_killed_runs_are_removed_by_the_next_start_and_the_download_resumes(self):
        self.serve("TLWSuite_full.zip", self.package)
        program = self.program(DOWNLOAD_URL=self.url("Brightcast_Suite_${osbits}bit.zip"))
        temp = os.path.join(self.work, "temp-killed")
        os.makedirs(temp)
        # Another program's folder with a name like ours: never touched.
        foreign = os.path.join(temp, "1a2b3c")
        os.makedirs(foreign)
        with open(os.path.join(foreign, "data.txt"), "w") as f:
            f.write("not ours")
        # The first run takes nginx's slow copy of the same files, so it can
        # be killed in the middle; the package keeps its name next to the
        # program, so the next run resumes it.
        slow = self.program("SlowSetup.exe",
                            DOWNLOAD_URL=self.url("slow/Brightcast_Suite_${osbits}bit.zip"))
        first = self.start_flow(slow, temp)
        target = "/" + self.package

        def half_downloaded():
            return any(int(m.group(1)) >= 50 for m in
                       (DOWNLOAD_PERCENT.match(l) for l in self.err_lines(first)) if m)
        self.kill_flow_when(first, half_downloaded, "half of the package downloaded")
        left_by_first = set(self.folders(temp)) - {"1a2b3c"}
        self.assertGreater(len(left_by_first), 1, "the killed run left its folders")
        self.mark = len(self.site.requests())

        second = self.start_flow(program, temp)
        self.kill_flow_when(second, lambda: any("install milestone: product 2 " in l
                                                for l in self.err_lines(second)),
                            "the second product installed")
        resumed = [e for e in self.log() if e["uri"] == target]
        self.assertEqual(1, len(resumed), resumed)
        self.assertEqual(206, resumed[0]["status"], resumed[0])
        self.assertGreater(int(resumed[0]["range"].split("=")[1].split("-")[0]), 0, resumed)
        # The second run's start removed the folders of the first.
        self.assertEqual(left_by_first, self.removed_at_start("\n".join(self.err_lines(second))))
        self.wait_for_setup_to_end(temp)
        left = set(self.folders(temp)) - {"1a2b3c"}
        self.assertGreater(len(left), 1, "the second killed run left its folders")
        self.assertFalse(left & left_by_first)

        code, lines, err = self.finish_flow(self.start_flow(program, temp))
        self.assert_completed(lines, err)
        self.assert_installed(lines)
        # The second run's folders went at the start; the run's own at its end.
        self.assertEqual(left, self.removed_at_start(err), err)
        self.assertEqual(["1a2b3c"], self.folders(temp))
        self.assertEqual(["data.txt"], os.listdir(foreign))

    def test_a_cancel_during_the_download_ends_the_transfer_and_leaves_nothing_behind(self):
        self.serve("TLWSuite_full.zip", self.package)
        # nginx's slow copy, so the Cancel comes while the package is on its way.
        program = self.program("CancelSetup.exe",
                               DOWNLOAD_URL=self.url("slow/Brightcast_Suite_${osbits}bit.zip"))
        temp = os.path.join(self.work, "temp-cancel")
        os.makedirs(temp)
        size = os.path.getsize(os.path.join(self.served, self.package))
        code, lines, err = self.finish_flow(
            self.start_flow(program, temp, "--cancel-at", "download:10"))
        self.assertIn("cancel at download ", err, lines)
        # The page's Cancel reports status 3 (cancelled) and the flow's end.
        self.assertEqual("flow status 3", lines[-1], err)
        self.assertTrue(any(l.startswith("flow outcome canceled,") for l in lines), lines)
        self.assertNotIn("workers still running", err)
        # nginx saw the client end the transfer well before its end (it logs
        # a request once its connection is done).
        target = "/slow/" + self.package
        deadline = time.monotonic() + 30
        while not [e for e in self.log() if e["uri"] == target]:
            self.assertLess(time.monotonic(), deadline, "nginx logged no package request")
            time.sleep(0.2)
        package = [e for e in self.log() if e["uri"] == target]
        self.assertEqual(1, len(package), package)
        self.assertEqual("", package[0]["completion"], package[0])
        self.assertLess(package[0]["sent"], size // 2, package[0])
        # Nothing was unpacked or installed, and the run's folders are gone
        # (the download folder with them); the partial package stays for the
        # next start to resume.
        self.assertIn("extracted files: 0", lines)
        self.assertIn("product %s not installed" % PRODUCT_CODES[0], lines)
        self.assertEqual([], os.listdir(temp))
        self.assertTrue(os.path.exists(os.path.join(os.path.dirname(OPTS.pageflow),
                                                    self.package)))

    def test_a_package_is_downloaded_unpacked_and_installed(self):
        self.serve("TLWSuite_full.zip", self.package)
        program = self.program(DOWNLOAD_URL=self.url("Brightcast_Suite_${osbits}bit.zip"))
        code, lines, err = self.run_flow(program)
        self.assert_completed(lines, err)
        self.assertEqual(0, code)
        self.assertIn("flow outcome completed, failure stage 0, code 0", lines)
        self.assertIn("install milestone: product 7 of 7 installed", err)
        # Setup ran once, on the program's hidden desktop, and ended well.
        self.assertEqual(1, self.setup_trace.count("exit code: 0"), self.setup_trace)
        self.assertIn("desktop: NBKVirtualDesktop", self.setup_trace)
        self.assert_installed(lines)
        size = os.path.getsize(os.path.join(self.served, self.package))
        self.assertTrue(any(l.endswith(": %d bytes, every block verified" % size) for l in lines))
        targets = [t for t, _ in self.requests()]
        # The program carries the tree's package key: the signature comes
        # after the companion and before any package byte.
        self.assertEqual(["/%s.meta" % self.package, "/%s.meta.sig" % self.package,
                          "/" + self.package], targets)

    def test_a_missing_package_falls_back_to_the_default_once(self):
        self.serve("TLWSuite_full.zip", "tlw/Brightcast_Suite.zip")
        program = self.program(DOWNLOAD_URL=self.url("tlw/missing_${osbits}.zip"),
                               PRODUCT_FILE_NAME="Brightcast_Suite.zip")
        code, lines, err = self.run_flow(program)
        requests = self.requests()
        self.assert_completed(lines, err, str(requests))
        self.assertEqual(0, code)
        # One attempt at the missing package, then the default in the same folder.
        self.assertEqual(("/tlw/missing_%s.zip.meta" % system_bits(), 404), requests[0])
        self.assertEqual(["/tlw/Brightcast_Suite.zip.meta", "/tlw/Brightcast_Suite.zip.meta.sig",
                          "/tlw/Brightcast_Suite.zip"],
                         [t for t, _ in requests[1:]])

    def test_a_busy_installer_is_retried_after_the_question(self):
        self.serve("TLWSuite_busyonce.zip", self.package)
        program = self.program(DOWNLOAD_URL=self.url("Brightcast_Suite_${osbits}bit.zip"))
        code, lines, err = self.run_flow(program)
        self.assert_completed(lines, err)
        self.assertEqual(0, code)
        self.assertEqual(1, err.count("-> retry"), err)
        self.assert_installed(lines)

    def test_a_companion_not_signed_by_the_package_key_ends_the_flow_with_a_message(self):
        # Another package's signature: a real one, but not of this companion.
        self.serve("TLWSuite_full.zip", self.package)
        shutil.copyfile(os.path.join(OPTS.fixtures, "packages", "TLWSuite_nosetup.zip.meta.sig"),
                        os.path.join(self.served, self.package + ".meta.sig"))
        program = self.program(DOWNLOAD_URL=self.url("Brightcast_Suite_${osbits}bit.zip"))
        code, lines, err = self.run_flow(program)
        self.assertEqual("flow status 2", lines[-1], err)
        self.assertEqual(1, code)
        # Download stage, code 1 (failed), once: not retried, and no package byte asked for.
        self.assertIn("flow outcome failed, failure stage 1, code 1", lines)
        self.assertIn("message box: ", err)
        self.assertEqual(["/%s.meta" % self.package, "/%s.meta.sig" % self.package],
                         [t for t, _ in self.requests()])

    def test_a_package_without_setup_ends_the_flow_with_a_message(self):
        self.serve("TLWSuite_nosetup.zip", self.package)
        program = self.program(DOWNLOAD_URL=self.url("Brightcast_Suite_${osbits}bit.zip"))
        code, lines, err = self.run_flow(program)
        # The error status the installing page reported stays.
        self.assertEqual("flow status 2", lines[-1])
        self.assertEqual(1, code)
        self.assertIn("flow outcome failed, failure stage 5, code 0", lines)
        self.assertIn("message box: ", err)
        self.assertIn("product %s not installed" % PRODUCT_CODES[0], lines)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for name in ("pageflow", "program", "fixtures", "wine"):
        parser.add_argument("--" + name, required=True)
    OPTS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
