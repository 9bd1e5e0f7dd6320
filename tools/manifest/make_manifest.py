#!/usr/bin/env python3
"""Writes the assembly manifest of OrvaneCtl.ocx for registration-free use: the classes, the
type library and the interfaces a host's process needs to create the control, call it through
IDispatch and its type information, and receive its events with nothing registered.

The GUIDs, the type library's version and the interfaces' kinds come from the IDL; the classes'
names, ProgIDs and the control's OLE status bits from the library's class table
(control/classes.cpp) and the control's kMiscStatus, which registration writes too. Whatever
it cannot find there ends the build.

usage: make_manifest.py --source DIR --arch x86|amd64 --version A.B.C.D --out FILE
"""
import argparse
import re
import sys
from xml.sax.saxutils import quoteattr

# The system's proxy/stub classes of automation interfaces: the type library marshaler for
# dual and oleautomation interfaces, and IDispatch's own for dispinterfaces (what
# RegisterTypeLib writes under Interface\{iid}\ProxyStubClsid32).
PS_OA_INTERFACE = "{00020424-0000-0000-C000-000000000046}"
PS_DISPATCH = "{00020420-0000-0000-C000-000000000046}"
# Every class of the library is apartment-threaded (DllRegisterServer writes the same).
THREADING_MODEL = "Apartment"


def fail(text):
    sys.exit(f"make_manifest: {text}")


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def guid(attributes):
    m = re.search(r"uuid\(([0-9A-Fa-f-]{36})\)", attributes)
    return "{" + m.group(1).upper() + "}" if m else None


def parse_idl(text):
    """(library GUID, version, [(coclass name, GUID)], [(interface name, IID, proxy/stub)])."""
    text = re.sub(r"//[^\n]*", "", text)
    lib = re.search(r"\[([^\]]*)\]\s*library\s+\w+", text)
    if not lib or not guid(lib.group(1)):
        fail("no library with a uuid in the IDL")
    version = re.search(r"version\((\d+)\.(\d+)\)", lib.group(1))
    if not version:
        fail("the library has no version")
    classes = [(m.group(2), guid(m.group(1)))
               for m in re.finditer(r"\[([^\]]*)\]\s*coclass\s+(\w+)", text)]
    interfaces = []
    for m in re.finditer(r"\[([^\]]*)\]\s*(interface|dispinterface)\s+(\w+)\s*[:{]", text):
        attributes, kind, name = m.groups()
        words = set(re.findall(r"\b\w+\b", attributes))
        if kind == "dispinterface":
            interfaces.append((name, guid(attributes), PS_DISPATCH))
        elif words & {"dual", "oleautomation"}:
            interfaces.append((name, guid(attributes), PS_OA_INTERFACE))
    if not classes or not interfaces or None in {g for _, g in classes} | {i for _, i, _ in interfaces}:
        fail("the IDL's classes and interfaces were not found with their uuids")
    return guid(lib.group(1)), f"{version.group(1)}.{version.group(2)}", classes, interfaces


def parse_class_table(classes_cpp, control_h):
    """{coclass name: (description, ProgID or None, OLE status words or None)}."""
    table = {}
    for m in re.finditer(r'\{\s*&CLSID_(\w+),\s*&[\w:]+,\s*"([^"]*)",\s*(nullptr|"[^"]*"),\s*'
                         r'(true|false)', classes_cpp):
        name, description, prog_id, is_control = m.groups()
        table[name] = (description, None if prog_id == "nullptr" else prog_id.strip('"'),
                       is_control == "true")
    status = re.search(r"kMiscStatus\s*=\s*([^;]*);", control_h)
    if not table or not status:
        fail("no class table in control/classes.cpp or no kMiscStatus in orvane_control.h")
    words = ",".join(w.lower() for w in re.findall(r"OLEMISC_(\w+)", status.group(1)))
    return {n: (d, p, words if c else None) for n, (d, p, c) in table.items()}


def manifest(lib, lib_version, classes, interfaces, table, arch, version):
    out = ['<?xml version="1.0" encoding="UTF-8" standalone="yes"?>',
           "<!-- The assembly manifest of OrvaneCtl.ocx: name it in your application's manifest",
           "     (or copy its <file> element and the <comInterfaceExternalProxyStub> elements",
           "     into it) to use the control without registering it. -->",
           '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">',
           f'  <assemblyIdentity type="win32" name="OrvaneCtl" version="{version}" '
           f'processorArchitecture="{arch}"/>',
           '  <file name="OrvaneCtl.ocx">']
    for name, clsid in classes:
        if name not in table:
            fail(f"coclass {name} is not in the class table")
        description, prog_id, status = table[name]
        attrs = [f'clsid="{clsid}"', f'threadingModel="{THREADING_MODEL}"', f'tlbid="{lib}"',
                 f"description={quoteattr(description)}"]
        if prog_id:
            attrs.append(f"progid={quoteattr(prog_id)}")
        if status:
            attrs.append(f'miscStatusContent="{status}"')
        out.append("    <comClass " + " ".join(attrs) + "/>")
    out.append(f'    <typelib tlbid="{lib}" version="{lib_version}" helpdir=""/>')
    out.append("  </file>")
    for name, iid, proxy in interfaces:
        out.append(f'  <comInterfaceExternalProxyStub name="{name}" iid="{iid}" '
                   f'proxyStubClsid32="{proxy}" tlbid="{lib}"/>')
    out.append("</assembly>")
    return "\r\n".join(out) + "\r\n"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--source", required=True)
    ap.add_argument("--arch", choices=("x86", "amd64"), required=True)
    ap.add_argument("--version", required=True)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    if not re.fullmatch(r"\d+\.\d+\.\d+\.\d+", args.version):
        fail(f"version {args.version} does not have four parts")
    lib, lib_version, classes, interfaces = parse_idl(read(f"{args.source}/control/OrvaneControl.idl"))
    table = parse_class_table(read(f"{args.source}/control/classes.cpp"),
                              read(f"{args.source}/control/orvane_control.h"))
    text = manifest(lib, lib_version, classes, interfaces, table, args.arch, args.version)
    with open(args.out, "w", encoding="utf-8", newline="") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
