#!/usr/bin/env python3
"""Checks that a PE file is a 32-bit Intel binary importing only system libraries, so it runs
on a machine that has nothing but Windows itself."""
import re
import subprocess
import sys

SYSTEM = {"advapi32.dll", "comctl32.dll", "comdlg32.dll", "gdi32.dll", "kernel32.dll",
          "msvcrt.dll", "ole32.dll", "oleaut32.dll", "shell32.dll", "user32.dll",
          "version.dll", "wsock32.dll", "ws2_32.dll", "shlwapi.dll", "psapi.dll",
          "bcrypt.dll", "crypt32.dll", "secur32.dll"}


def main():
    failures = 0
    for path in sys.argv[1:]:
        info = subprocess.run(["file", "-b", path], capture_output=True, text=True).stdout
        dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", path], capture_output=True,
                              text=True).stdout
        dlls = sorted({m.lower() for m in re.findall(r"DLL Name: (\S+)", dump)})
        bad = [d for d in dlls if d not in SYSTEM]
        ok = "PE32 " in info and "Intel 80386" in info and not bad
        print(f"{path}: {info.strip()}; imports {', '.join(dlls)}")
        if not ok:
            print(f"FAIL: {path} " + (f"imports {', '.join(bad)}" if bad else "is not PE32 i386"))
            failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
