#!/usr/bin/env python3
"""Cross-checks the codec's generator against the platform's script runtime under Wine.

Runs rnd_mask.vbs with cscript and our mask_bytes program, both for N positions, and
compares every number. cscript under Wine swallows script errors and exits 0, so the output
must end with END and hold exactly N + 1 numbers.

usage: generator_vbscript_test.py WINE_RUN MASK_BYTES_EXE VBS_FILE [N]
"""
import subprocess
import sys


def winpath(path):
    return "Z:" + path.replace("/", "\\")


def run(cmd):
    done = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    lines = done.stdout.decode("ascii", "replace").split()
    return done.returncode, lines


def parse(name, rc, lines, n):
    if rc != 0 or not lines or lines[-1] != "END" or lines[0] != "SEED":
        sys.exit(f"{name}: exit {rc}, output {' '.join(lines[:8])} ... {' '.join(lines[-4:])}")
    numbers = lines[1:-1]
    if len(numbers) != n + 1 or not all(x.isdigit() for x in numbers):
        sys.exit(f"{name}: expected {n + 1} numbers, got {len(numbers)}")
    return [int(x) for x in numbers]


def main():
    wine_run, mask_bytes, vbs = sys.argv[1:4]
    n = int(sys.argv[4]) if len(sys.argv) > 4 else 32767
    script = parse("cscript", *run([wine_run, "cscript", "//nologo", winpath(vbs), str(n)]), n)
    ours = parse("mask_bytes", *run([wine_run, mask_bytes, str(n)]), n)
    if script[0] != ours[0]:
        sys.exit(f"first value after re-seeding: script {script[0]}, ours {ours[0]}")
    for i in range(1, n + 1):
        if script[i] != ours[i]:
            sys.exit(f"mask byte {i}: script {script[i]}, ours {ours[i]}")
    print(f"generator agrees with the script runtime for {n} positions")


if __name__ == "__main__":
    main()
