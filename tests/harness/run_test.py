#!/usr/bin/env python3
"""Runs one test executable with the helper servers it needs.

  run_test.py [--timeout S] [--server NAME=SCRIPT[,ARG...]]... -- COMMAND...

Each server is started as `python3 SCRIPT --port 0 --dir DIR [ARG...]`, where
DIR is a fresh folder of its own. The server prints "PORT <n>" as its first
line once it listens on 127.0.0.1. The command then runs with, per server,
BC_<NAME>_PORT (the port) and BC_<NAME>_DIR (DIR as a Windows path under the
Z: drive). The servers are stopped when the command ends, and the exit status
is the command's.

The command's standard output and error pass through line by line, both
through the harness: a process the command leaves behind (under Wine the
desktop process takes the error output of the first program that needs it,
and stays while any program uses the desktop) then holds only the harness's
pipe, which is not waited on for long, never CTest's. When the command
runs GoogleTest and ends without finishing a test it started (a fault, an
exit, the time limit), the name of that test is printed at the end, so the
result says what broke.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import re
import tempfile
import threading
import time

SERVER_START_SECONDS = 20
# How long a Python command has to print its threads' stacks when it is out
# of time.
STACK_DUMP_SECONDS = 5


def windows_path(unix_path):
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def start_server(option, scratch, env):
    name, _, rest = option.partition("=")
    if not name or not rest:
        raise SystemExit("run_test: bad --server %r" % option)
    parts = rest.split(",")
    script, args = parts[0], parts[1:]
    folder = os.path.join(scratch, name.lower())
    os.makedirs(folder, exist_ok=True)
    proc = subprocess.Popen(
        [sys.executable, script, "--port", "0", "--dir", folder] + args,
        stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True,
        start_new_session=True)
    deadline = time.monotonic() + SERVER_START_SECONDS
    line = proc.stdout.readline()
    if not line.startswith("PORT ") or time.monotonic() > deadline:
        proc.kill()
        raise SystemExit("run_test: server %s did not start (%r)" % (name, line))
    port = int(line.split()[1])
    key = "BC_%s" % name.upper()
    env[key + "_PORT"] = str(port)
    env[key + "_DIR"] = windows_path(folder)
    return proc


def stop(proc):
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            return
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()


GTEST_RUN = re.compile(r"^\[ RUN      \] (\S+)")
GTEST_END = re.compile(r"^\[ +(OK|FAILED|SKIPPED) +\] (\S+)")


class OpenTest:
    """Follows GoogleTest's output: the test that started and has not ended."""

    def __init__(self):
        self.name = None

    def see(self, line):
        started = GTEST_RUN.match(line)
        if started:
            self.name = started.group(1)
            return
        ended = GTEST_END.match(line)
        if ended and ended.group(2) == self.name:
            self.name = None


def pass_through(stream, open_test):
    for raw in iter(stream.readline, b""):
        sys.stdout.buffer.write(raw)
        sys.stdout.buffer.flush()
        open_test.see(raw.decode("utf-8", "replace").rstrip("\r\n"))


def is_python(command):
    return os.path.basename(command[0]).startswith("python")


def end_timed_out(proc, command):
    if is_python(command):
        try:
            os.kill(proc.pid, signal.SIGABRT)
            proc.wait(STACK_DUMP_SECONDS)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            pass
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    proc.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", action="append", default=[])
    parser.add_argument("--timeout", type=float, default=1500)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    opts = parser.parse_args()
    command = opts.command[1:] if opts.command[:1] == ["--"] else opts.command
    if not command:
        raise SystemExit("run_test: no command")

    scratch = tempfile.mkdtemp(prefix="bc-test-")
    env = dict(os.environ)
    env["BC_SCRATCH_DIR"] = windows_path(scratch)
    if is_python(command):
        env["PYTHONFAULTHANDLER"] = "1"
    servers = []
    try:
        for option in opts.server:
            servers.append(start_server(option, scratch, env))
        proc = subprocess.Popen(command, env=env, start_new_session=True,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        open_test = OpenTest()
        reader = threading.Thread(target=pass_through, args=(proc.stdout, open_test),
                                  daemon=True)
        reader.start()
        try:
            code = proc.wait(opts.timeout)
            why = "exit code %d" % code
        except subprocess.TimeoutExpired:
            print("run_test: timed out after %g s" % opts.timeout, file=sys.stderr)
            end_timed_out(proc, command)
            code, why = 124, "timed out after %g s" % opts.timeout
        # Children that inherited the pipe may keep it open; do not wait long.
        reader.join(5)
        if open_test.name:
            print("run_test: test %s started and did not finish (%s)" % (open_test.name, why),
                  flush=True)
            if code == 0:
                code = 1
        return code
    finally:
        for proc in servers:
            stop(proc)
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
