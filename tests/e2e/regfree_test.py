#!/usr/bin/env python3
"""In a fresh Wine prefix of its own, against nginx: update_host (the C++ sample) walks the
cycle from its folder holding the control and its manifest (named by the application's manifest
or copied into it), and without one ends with REGDB_E_CLASSNOTREG and says why. regsvr32 /n
/i:user writes under HKCU\\Software\\Classes what the machine's registration writes under HKLM,
nothing under HKLM, and /u /n /i:user removes exactly that (`reg export` dumps)."""

import argparse
import os
import re
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from samples_test import run, winpath  # noqa: E402

CYCLE = ("CheckUpdate: 0", "HttpStatus 200 OK", "InfoReceived: Sample 3.0.0.1",
         "ReceiveUpdate: 0", "ReceivingUpdate", "UpdateReceived", "RunUpdate: ")
APP = """<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <assemblyIdentity type="win32" name="Example.UpdateHost" version="1.0.0.0" processorArchitecture="x86"/>
{}</assembly>
"""
# (case, the application manifest made from the control's, exit status, texts printed)
CASES = [
    ("the control's assembly named by update_host.exe.manifest",
     lambda c: APP.format("<dependency><dependentAssembly>" +
                          re.search(r"<assemblyIdentity [^>]*/>", c).group(0) +
                          "</dependentAssembly></dependency>\n"), 0, CYCLE),
    ("the control's elements inside update_host.exe.manifest",
     lambda c: APP.format(c[c.index("  <file "):c.index("</assembly>")]), 0, CYCLE),
    ("no manifest", None, 1, ("0x80040154", "not registered", "no application manifest")),
]
USER, MACHINE = "HKEY_CURRENT_USER\\Software\\Classes", "HKEY_LOCAL_MACHINE\\Software\\Classes"


def reg_dump(wine_run, key, path):
    """{(key below `key` in lower case, value line or "")} of `reg export` (UTF-16)."""
    if run([wine_run, "reg", "export", key, winpath(path), "/y"]).returncode != 0:
        return set()
    entries, current = set(), None
    with open(path, encoding="utf-16") as f:
        for line in f.read().splitlines():
            if line.startswith("[") and line.endswith("]"):
                current = line[1 + len(key):-1].lower()
                entries.add((current, ""))
            elif current is not None and line:
                entries.add((current, line))
    return entries


def main():
    ap = argparse.ArgumentParser()
    for option in ("--bin", "--wine-run", "--manifest"):
        ap.add_argument(option, required=True)
    args = ap.parse_args()
    webroot, port = os.environ["ORV_WEBROOT"], os.environ["ORV_NGINX_PORT"]
    work = os.path.dirname(webroot)
    os.environ["ORV_WINEPREFIX"] = os.path.join(work, "prefix")  # wine-run's prefix
    wine, failures, started = args.wine_run, [], time.monotonic()
    run([wine, "--start"], timeout=300)
    print(f"fresh prefix made and started in {time.monotonic() - started:.1f} s")
    try:
        app = os.path.join(work, "app")
        os.makedirs(app)
        for path in (args.bin + "/update_host.exe", args.bin + "/OrvaneCtl.ocx", args.manifest):
            shutil.copy(path, app)
        with open(args.manifest, encoding="utf-8") as f:
            control = f.read()
        package = os.path.join(webroot, "sample-setup.exe")
        shutil.copy(os.path.join(args.bin, "OrvaneDemoSetup.exe"), package)
        run([wine, os.path.join(args.bin, "orvinfo.exe"), "make", "--name", "Sample", "--version",
             "3.0.0.1", "--package", winpath(package), "-o", winpath(webroot + "/update.orv")])

        def run_host(downloads):  # a new folder each time: the started package writes there
            os.makedirs(downloads)
            return run([wine, os.path.join(app, "update_host.exe"), "127.0.0.1", port, "/",
                        winpath(downloads)], timeout=60)

        for n, (case, make, status, texts) in enumerate(CASES):
            host_manifest = os.path.join(app, "update_host.exe.manifest")
            if make:
                with open(host_manifest, "w", encoding="utf-8") as f:
                    f.write(make(control))
            else:
                os.remove(host_manifest)
            done = run_host(os.path.join(app, f"downloads{n}"))
            print(f"{case}: exit {done.returncode}")
            missing = [text for text in texts if text not in done.stdout + done.stderr]
            received = os.path.join(app, f"downloads{n}", "sample-setup.exe")
            if status == 0 and (not os.path.exists(received) or
                                open(received, "rb").read() != open(package, "rb").read()):
                missing.append("the served package, byte for byte")
            if done.returncode != status or missing:
                failures.append(f"{case}: exit {done.returncode}, missing {missing}")

        # HKCU\Software\Classes exists on Windows; a fresh prefix makes it at the first write.
        ocx = winpath(os.path.join(app, "OrvaneCtl.ocx"))
        run([wine, "reg", "add", USER, "/f"])
        dump = lambda key, name: reg_dump(wine, key, os.path.join(work, name + ".reg"))  # noqa
        user0, machine0 = dump(USER, "u0"), dump(MACHINE, "m0")
        run([wine, "regsvr32", "/s", "/n", "/i:user", ocx])
        written = dump(USER, "u1") - user0
        if dump(MACHINE, "m1") != machine0:
            failures.append("regsvr32 /n /i:user changed HKLM\\Software\\Classes")
        run([wine, "regsvr32", "/s", "/u", "/n", "/i:user", ocx])
        if dump(USER, "u2") != user0:
            failures.append("regsvr32 /u /n /i:user did not remove exactly what it wrote")
        run([wine, "regsvr32", "/s", ocx])  # the machine's registration, for comparison
        by_machine = dump(MACHINE, "m2") - machine0
        run([wine, "regsvr32", "/s", "/u", ocx])
        # The folders a fresh user's classes did not have yet are the only keys of its own.
        written -= {("\\clsid", ""), ("\\interface", ""), ("\\typelib", "")}
        if by_machine != written or len(written) < 100:
            failures.append(f"per-user keys differ from the machine's: only per user "
                            f"{sorted(written - by_machine)}, only per machine "
                            f"{sorted(by_machine - written)}")
        guids = set(re.findall(r"\{[0-9A-F-]{36}\}", control))
        if {g for g in guids if g not in str(written).upper()}:
            failures.append("the manifest names classes or interfaces registration does not")
        print(f"regsvr32 /n /i:user wrote {len(written)} keys and values below {USER}")
    finally:
        run([wine, "--stop"])
    for f in failures:
        print("FAIL:", f)
    print(f"registration-free test took {time.monotonic() - started:.1f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
