#!/usr/bin/env python3
"""Checks that PE files are binaries of the expected machine importing only system libraries,
so they run on a machine that has nothing but Windows itself.

--machine names the machine of every file; without it, a file in a folder named x64 (the
release package's 64-bit folder) is expected to be x86-64 (PE32+), any other 32-bit Intel
(PE32)."""
import argparse
import os
import re
import subprocess
import sys

SYSTEM = {"advapi32.dll", "comctl32.dll", "comdlg32.dll", "gdi32.dll", "kernel32.dll",
          "msvcrt.dll", "ole32.dll", "oleaut32.dll", "shell32.dll", "user32.dll",
          "version.dll", "wsock32.dll", "ws2_32.dll", "shlwapi.dll", "psapi.dll",
          "bcrypt.dll", "crypt32.dll", "secur32.dll", "winhttp.dll", "wintrust.dll"}

# What `file` says of each machine's PE files, and the objdump that reads them.
MACHINES = {
    "i386": ("PE32 ", "Intel 80386", "i686-w64-mingw32-objdump"),
    "x86-64": ("PE32+ ", "x86-64", "x86_64-w64-mingw32-objdump"),
}


def expected_machine(path, forced):
    if forced:
        return forced
    folder = os.path.basename(os.path.dirname(os.path.abspath(path)))
    return "x86-64" if folder == "x64" else "i386"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--machine", choices=sorted(MACHINES))
    ap.add_argument("files", nargs="+")
    args = ap.parse_args()
    failures = 0
    for path in args.files:
        machine = expected_machine(path, args.machine)
        kind, arch, objdump = MACHINES[machine]
        info = subprocess.run(["file", "-b", path], capture_output=True, text=True).stdout
        dump = subprocess.run([objdump, "-p", path], capture_output=True, text=True).stdout
        dlls = sorted({m.lower() for m in re.findall(r"DLL Name: (\S+)", dump)})
        bad = [d for d in dlls if d not in SYSTEM]
        right_machine = info.startswith(kind) and arch in info
        print(f"{path}: {info.strip()}; imports {', '.join(dlls)}")
        problem = (f"is not {kind.strip()} {machine}" if not right_machine else
                   f"has no import table that {objdump} could read" if not dlls else
                   f"imports {', '.join(bad)}" if bad else None)
        if problem:
            print(f"FAIL: {path} {problem}")
            failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
