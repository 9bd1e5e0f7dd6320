#!/usr/bin/env python3
"""Registration-free use and per-user registration, in a fresh Wine prefix of the test's own
(nothing registered), against nginx (under with_servers.py).

update_host, the C++ sample, walks the update cycle from its own folder holding the control and
its assembly manifest: named by the application's manifest, or with the control's elements
copied into it; without a manifest it ends with REGDB_E_CLASSNOTREG and says why. Then
regsvr32 /n /i:user writes under HKCU\\Software\\Classes exactly the keys the machine's
registration writes under HKLM\\Software\\Classes (and those the manifest names), nothing under
HKLM, and /u /n /i:user takes them all away again: compared as `reg export` dumps."""

import argparse
import os
import re
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from samples_test import run, winpath  # noqa: E402

NOT_REGISTERED = "0x80040154"  # REGDB_E_CLASSNOTREG
CYCLE = ("CheckUpdate: 0", "HttpStatus 200 OK", "InfoReceived: Sample 3.0.0.1",
         "ReceiveUpdate: 0", "ReceivingUpdate", "UpdateReceived",
         "RunUpdate: ")
APP_HEAD = """<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <assemblyIdentity type="win32" name="Example.UpdateHost" version="1.0.0.0" processorArchitecture="x86"/>
"""


def dependent(control):
    """An application manifest naming the control's assembly (OrvaneCtl.manifest beside it)."""
    identity = re.search(r"<assemblyIdentity [^>]*/>", control).group(0)
    return (APP_HEAD + "  <dependency><dependentAssembly>\n    " + identity +
            "\n  </dependentAssembly></dependency>\n</assembly>\n")


def inline(control):
    """An application manifest holding the control's <file> and proxy/stub elements itself."""
    body = control[control.index("  <file "):control.index("</assembly>")]
    return APP_HEAD + body + "</assembly>\n"


# (case, application manifest from the control's manifest or None, exit status, lines printed)
CASES = [
    ("the control's assembly named by update_host.exe.manifest", dependent, 0, CYCLE),
    ("the control's elements inside update_host.exe.manifest", inline, 0, CYCLE),
    ("no manifest", None, 1, (NOT_REGISTERED, "not registered", "no application manifest")),
]


def reg_dump(wine_run, key, work, name):
    """{(key below `key`, lower case; value line or "")} of a `reg export` (UTF-16; reg query
    would print through the console code page)."""
    path = os.path.join(work, name + ".reg")
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


def manifest_entries(control):
    """What the manifest says that registration must write too, as dump entries."""
    lib = re.search(r'<typelib tlbid="([^"]+)" version="([^"]+)"', control).groups()
    want = {(f"\\typelib\\{lib[0]}\\{lib[1]}".lower(), "")}
    for clsid, model, desc, rest in re.findall(
            r'<comClass clsid="([^"]+)" threadingModel="([^"]+)" tlbid="[^"]+" '
            r'description="([^"]+)"([^>]*)/>', control):
        key = f"\\clsid\\{clsid}".lower()
        want |= {(key, f'@="{desc}"'), (key + "\\inprocserver32", f'"ThreadingModel"="{model}"')}
        prog_id = re.search(r'progid="([^"]+)"', rest)
        if prog_id:
            want |= {(key + "\\progid", f'@="{prog_id.group(1)}"'),
                     (f"\\{prog_id.group(1)}\\clsid".lower(), f'@="{clsid}"')}
    for name, iid, proxy in re.findall(r'<comInterfaceExternalProxyStub name="([^"]+)" '
                                       r'iid="([^"]+)" proxyStubClsid32="([^"]+)"', control):
        key = f"\\interface\\{iid}".lower()
        want |= {(key, f'@="{name}"'), (key + "\\proxystubclsid32", f'@="{proxy}"')}
    return want


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True)
    ap.add_argument("--wine-run", required=True)
    ap.add_argument("--manifest", required=True)
    args = ap.parse_args()
    work = os.path.dirname(os.environ["ORV_WEBROOT"])
    webroot, port = os.environ["ORV_WEBROOT"], os.environ["ORV_NGINX_PORT"]
    os.environ["ORV_WINEPREFIX"] = os.path.join(work, "prefix")  # wine-run's prefix
    failures = []
    started = time.monotonic()
    if run([args.wine_run, "--start"], timeout=300).returncode != 0:
        print("FAIL: the fresh prefix could not be made")
        return 1
    print(f"fresh prefix made and started in {time.monotonic() - started:.1f} s")
    try:
        app = os.path.join(work, "app")
        for name in ("update_host.exe", "OrvaneCtl.ocx"):
            shutil.copy(os.path.join(args.bin, name), app)
        shutil.copy(args.manifest, app)
        with open(args.manifest, encoding="utf-8") as f:
            control = f.read()
        package = os.path.join(webroot, "sample-setup.exe")
        shutil.copy(os.path.join(args.bin, "OrvaneDemoSetup.exe"), package)
        if run([args.wine_run, os.path.join(args.bin, "orvinfo.exe"), "make", "--name", "Sample",
                "--version", "3.0.0.1", "--package", winpath(package),
                "-o", winpath(os.path.join(webroot, "update.orv"))]).returncode != 0:
            print("FAIL: orvinfo make")
            return 1
        host = os.path.join(app, "update_host.exe")
        host_manifest = host + ".manifest"

        def run_host(downloads):  # a new folder each time: the started package writes there
            os.makedirs(downloads)
            return run([args.wine_run, host, "127.0.0.1", port, "/", winpath(downloads)],
                       timeout=60)

        for n, (case, make, status, lines) in enumerate(CASES):
            if make:
                with open(host_manifest, "w", encoding="utf-8") as f:
                    f.write(make(control))
            elif os.path.exists(host_manifest):
                os.remove(host_manifest)
            t = time.monotonic()
            done = run_host(os.path.join(app, f"downloads{n}"))
            print(f"{case}: exit {done.returncode} after {time.monotonic() - t:.1f} s")
            said = done.stdout + done.stderr
            missing = [line for line in lines if line not in said]
            if done.returncode != status or missing:
                failures.append(f"{case}: exit {done.returncode}, missing {missing}")
            received = os.path.join(app, f"downloads{n}", "sample-setup.exe")
            if status == 0 and (not os.path.exists(received) or
                                open(received, "rb").read() != open(package, "rb").read()):
                failures.append(f"{case}: the downloaded package differs from the served one")

        # Per-user registration (HKCU\Software\Classes exists on Windows; a fresh prefix
        # makes it only when something is written there).
        ocx = winpath(os.path.join(app, "OrvaneCtl.ocx"))
        user, machine = "HKEY_CURRENT_USER\\Software\\Classes", "HKEY_LOCAL_MACHINE\\Software\\Classes"
        run([args.wine_run, "reg", "add", user, "/f"])
        user0, machine0 = reg_dump(args.wine_run, user, work, "u0"), reg_dump(args.wine_run, machine, work, "m0")
        if run([args.wine_run, "regsvr32", "/s", "/n", "/i:user", ocx]).returncode != 0:
            failures.append("regsvr32 /n /i:user failed")
        written = reg_dump(args.wine_run, user, work, "u1") - user0
        if reg_dump(args.wine_run, machine, work, "m1") != machine0:
            failures.append("regsvr32 /n /i:user changed HKLM\\Software\\Classes")
        # What Wine's COM makes of it (its classes root shows HKLM's classes only).
        done = run_host(os.path.join(app, "downloads-user"))
        print(f"without a manifest, registered for the user only: exit {done.returncode}")
        if run([args.wine_run, "regsvr32", "/s", "/u", "/n", "/i:user", ocx]).returncode != 0:
            failures.append("regsvr32 /u /n /i:user failed")
        if reg_dump(args.wine_run, user, work, "u2") != user0:
            failures.append("regsvr32 /u /n /i:user left keys under HKCU\\Software\\Classes")

        # The machine's registration writes the same keys below HKLM\Software\Classes.
        run([args.wine_run, "regsvr32", "/s", ocx])
        by_machine = reg_dump(args.wine_run, machine, work, "m2") - machine0
        run([args.wine_run, "regsvr32", "/s", "/u", ocx])
        # The folders a fresh user's classes did not have yet are the only keys of its own.
        written -= {("\\clsid", ""), ("\\interface", ""), ("\\typelib", "")}
        if by_machine != written or len(written) < 100:
            failures.append(f"per-user keys differ from the machine's: only per user "
                            f"{sorted(written - by_machine)}, only per machine "
                            f"{sorted(by_machine - written)}")
        unnamed = manifest_entries(control) - written
        if unnamed:
            failures.append(f"the manifest names what registration does not write: {sorted(unnamed)}")
        print(f"regsvr32 /n /i:user wrote {len(written)} keys and values below {user}")
    finally:
        run([args.wine_run, "--stop"])
    for f in failures:
        print("FAIL:", f)
    print(f"registration-free test took {time.monotonic() - started:.1f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
