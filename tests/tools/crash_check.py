#!/usr/bin/env python3
"""Runs a Windows program that crashes and checks that the test set-up reports it promptly:
the crash and its stack on the output, well within a test time-out. (The exit status is not
always non-zero under Wine; the test runner fails a test on the crash report itself.)

usage: crash_check.py WINE_RUN PROGRAM
"""
import subprocess
import sys
import time

LIMIT = 30  # seconds; the debugger's crash window would hold the program until killed


def main():
    wine_run, program = sys.argv[1:3]
    started = time.monotonic()
    try:
        done = subprocess.run([wine_run, program], stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=LIMIT)
    except subprocess.TimeoutExpired:
        sys.exit(f"the crashed program was still running after {LIMIT} s")
    took = time.monotonic() - started
    output = (done.stdout + done.stderr).decode("utf-8", "replace")
    print(output[-3000:])
    print(f"exit {done.returncode} after {took:.1f} s")
    if "Unhandled exception" not in output or "Backtrace" not in output:
        sys.exit("no crash report with a stack on the output")


if __name__ == "__main__":
    main()
