#!/usr/bin/env python3
"""Runs tests/harness/run_test.py on small stand-in commands: the exit code
passes through, and a GoogleTest test that started and did not finish (a
fault, an early exit, the time limit) is named in the output.

  test_run_test.py --script PATH
"""
import argparse
import subprocess
import sys

# (name, the stand-in's Python code, time limit, expected exit code, text the
# output must hold, text it must not hold)
CASES = [
    ("finished tests pass", "print('[ RUN      ] A.B'); print('[       OK ] A.B (1 ms)')",
     30, 0, "[       OK ] A.B", "did not finish"),
    ("a failing exit code passes through", "import sys; print('[ RUN      ] A.B');"
     "print('[  FAILED  ] A.B (1 ms)'); sys.exit(1)", 30, 1, "[  FAILED  ] A.B",
     "did not finish"),
    ("a fault inside a test names it", "import os; print('[ RUN      ] S.One');"
     "print('[       OK ] S.One (0 ms)'); print('[ RUN      ] S.Two', flush=True); os._exit(3)",
     30, 3, "run_test: test S.Two started and did not finish (exit code 3)", "S.One started"),
    ("an exit 0 inside a test is no success", "import os; print('[ RUN      ] S.Quit', flush=True);"
     "os._exit(0)", 30, 1, "run_test: test S.Quit started and did not finish (exit code 0)", ""),
    ("the time limit names the test", "import time; print('[ RUN      ] S.Hang', flush=True);"
     "time.sleep(60)", 2, 124, "test S.Hang started and did not finish (timed out after 2 s)",
     ""),
    ("a Python command out of time shows where it waits",
     "import threading, time\ndef waits_for_ever(): time.sleep(60)\n"
     "threading.Thread(target=waits_for_ever).start()\nwaits_for_ever()", 2, 124,
     "in waits_for_ever", ""),
    ("a program without tests keeps its code", "import sys; print('hello'); sys.exit(5)", 30, 5,
     "hello", "did not finish"),
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--script", required=True)
    script = parser.parse_args().script
    failed = 0
    for name, code, limit, expected, present, absent in CASES:
        run = subprocess.run([sys.executable, script, "--timeout", str(limit), "--",
                              sys.executable, "-c", code], capture_output=True, text=True,
                             timeout=120)
        output = run.stdout + run.stderr
        ok = (run.returncode == expected and present in output and
              (not absent or absent not in output))
        print(("ok   " if ok else "FAIL ") + name)
        if not ok:
            failed += 1
            print("  exit %d, expected %d; output:\n%s" % (run.returncode, expected, output))
    print("%d passed, %d failed" % (len(CASES) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
