#!/usr/bin/env python3
"""Runs the benchmarks and writes their report (scripts/bench is the entry point; it builds,
starts the wineserver and registers the control first).

Package downloads from nginx on 127.0.0.1 by five contenders, alternated run by run after a
warm-up round: the control in our host (bench_control), the reference program of the same
socket design (bench_reference), WinInet (bench_wininet), URLDownloadToFileA (bench_urlmon),
all under Wine, and curl natively; when the win64 build is there, the 64-bit control in the
64-bit build of our host as well (in the win64 prefix). Then the latency of 50 update checks
in one process: the control (32-bit and 64-bit), WinInet, curl. Optionally strace counts of
one control and one reference run.
Then downloads over HTTPS (1, 64 and 256 MiB): the control over plain HTTP beside the control
and WinInet over HTTPS, from nginx with a certificate of a test authority that the programs
trust for their run; and the control once more from a server that picks ChaCha20-Poly1305.
Then the cost of a package digest: the control's 256 MiB download with and without field 7 in
the update information, bound to CPUs as the rest and left to the scheduler, beside the
throughput of the system's SHA-256 alone (bench_sha256).

usage: run_bench.py [--quick] [--sizes 1,64,256,1024] [--runs N] [--no-pin] [--no-profile]
                    [--out FILE] [--report-only] [--report-from DIR] [--https-only]
                    [--https-sizes 1,64,256] [--digest-only]

--https-only and --digest-only measure the HTTPS comparison or the digest cost alone and
replace that section of the report (docs/benchmarks.md), leaving the rest of the page as it was.
--report-only writes the report again from the last run's results in build/bench, --report-from
from those a run left in another folder; neither measures anything nor needs Wine.
"""

import argparse
import datetime
import json
import os
import platform
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "tools"))
import servers  # noqa: E402

WIN = os.path.join(ROOT, "build", "win32")
BIN = os.path.join(WIN, "bin")
WINE_RUN = os.path.join(WIN, "wine-run")
WIN64 = os.path.join(ROOT, "build", "win64")
BIN64 = os.path.join(WIN64, "bin")
WINE_RUN64 = os.path.join(WIN64, "wine-run")
WORK = os.path.join(ROOT, "build", "bench")
WWW = os.path.join(WORK, "www")
OUT = os.path.join(WORK, "out")
MIB = 1 << 20
CHECKS = 50
DIGEST_MIB = 256
DIGEST_SECTION = "## Package digest"

DOWNLOAD_CONTENDERS = ["control", "control64", "reference", "wininet", "urlmon", "curl"]
CHECK_CONTENDERS = ["control", "control64", "wininet", "curl"]
HTTPS_CONTENDERS = ["control", "control_tls", "wininet_tls", "control_tls_chacha"]
HTTPS_SIZES = [1, 64, 256]
HTTPS_TITLE = "## Package download over HTTPS"
LABELS = {
    "control": "(a) Orvane control, COM host",
    "control64": "(a64) the same, 64-bit control and host",
    "reference": "(b) reference, same socket design",
    "wininet": "(c) WinInet, 64 KiB reads",
    "urlmon": "(d) URLDownloadToFileA",
    "curl": "(e) curl, native",
    "control_tls": "(f) Orvane control, HTTPS",
    "wininet_tls": "(g) WinInet, HTTPS, 64 KiB reads",
    "control_tls_chacha": "(h) Orvane control, HTTPS, server picks ChaCha20-Poly1305",
}
# The HTTPS servers of the run: {contender: port}, and the test authority (Windows path)
# that the programs trust for their run.
TLS_PORTS = {}
TRUST_ENV = {}


def pin_cpus():
    """(server CPU, client CPU) when the machine has two or more, else None."""
    cpus = sorted(os.sched_getaffinity(0))
    return (cpus[0], cpus[-1]) if len(cpus) >= 2 else None


def have_win64():
    """Whether the win64 build has its benchmark host (and so the 64-bit control)."""
    return os.path.exists(os.path.join(BIN64, "bench_control.exe"))


def restart_wineserver(cpu, wine_run=WINE_RUN):
    """Restarts the prefix's persistent wineserver, bound to `cpu` when given. Every Windows
    call that needs the server waits for it; with the server and the program on the same CPU
    these hand-overs do not cross CPUs."""
    # Every Wine command goes through build/ARCH/wine-run, the build's one Wine environment.
    subprocess.run([wine_run, "--stop"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   check=False)
    prefix = ["taskset", "-c", str(cpu)] if cpu is not None else []
    subprocess.run(prefix + [wine_run, "--exec", "wineserver", "-p"], stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    subprocess.run(prefix + [wine_run, "cmd", "/c", "exit"], stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)


CLIENT_PREFIX = []  # "taskset -c N" when the client side is pinned


def winpath(path):
    """The Windows path Wine shows for a Unix path (drive Z: is the root)."""
    return "Z:" + path.replace("/", "\\")


def rel(path):
    return os.path.relpath(path, ROOT)


# ---------------------------------------------------------------------------------------
# Packages and update information files


def make_packages(sizes):
    """pkg_<n>m.bin of n MiB of random data (one random 1 MiB block repeated, the same bytes
    every time), and pkg_<n>m.orv naming it, in the web root. Files already there are kept."""
    os.makedirs(WWW, exist_ok=True)
    block = random.Random(4729).randbytes(MIB)
    for n in sizes:
        path = os.path.join(WWW, f"pkg_{n}m.bin")
        if not (os.path.exists(path) and os.path.getsize(path) == n * MIB):
            with open(path + ".part", "wb") as f:
                for _ in range(n):
                    f.write(block)
            os.replace(path + ".part", path)
        make_info(path, os.path.join(WWW, f"pkg_{n}m.orv"))
        make_info(path, os.path.join(WWW, f"pkg_{n}m_digest.orv"), ["--digest"])
    # The file of the check loop: a small package is enough, the record is what counts.
    make_info(os.path.join(WWW, f"pkg_{sizes[0]}m.bin"), os.path.join(WWW, "update.orv"))


def make_info(package, info, more=()):
    native = os.path.join(ROOT, "build", "native", "bin", "orvinfo")
    common = ["make", "--name", "Orvane Benchmark", "--version", "1.0.0.0", "--date", "01/01/2024",
              *more]
    if os.path.exists(native):
        cmd = [native] + common + ["--package", package, "-o", info]
    else:
        cmd = [WINE_RUN, os.path.join(BIN, "orvinfo.exe")] + common + [
            "--package", winpath(package), "-o", winpath(info)]
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)


# ---------------------------------------------------------------------------------------
# Running one contender


def status_kib(pid, field):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def run_process(cmd, timeout):
    """Runs cmd, polling VmHWM of its PID (Debian's wine keeps the PID of the process it was
    started as for the Windows program). Returns (stdout, stderr, rc, polled VmHWM in bytes)."""
    cmd = CLIENT_PREFIX + cmd
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            stdin=subprocess.DEVNULL, text=True, env=dict(os.environ, **TRUST_ENV))
    deadline = time.monotonic() + timeout
    hwm = 0
    while proc.poll() is None:
        hwm = max(hwm, status_kib(proc.pid, "VmHWM"))
        if time.monotonic() > deadline:
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait()
            raise RuntimeError(f"timed out after {timeout} s: {' '.join(cmd)}")
        time.sleep(0.01)
    out, err = proc.communicate()
    return out, err, proc.returncode, hwm * 1024


def last_json(text):
    for line in reversed(text.strip().splitlines()):
        line = line.strip()
        if line.startswith("{"):
            return json.loads(line)
    return None


def clear_url_cache():
    """URLDownloadToFileA keeps a copy of every download in the prefix's internet cache and may
    answer the next call from it: emptied before each of its runs."""
    users = os.path.join(WIN, "wineprefix", "drive_c", "users")
    if not os.path.isdir(users):
        return
    for user in os.listdir(users):
        cache = os.path.join(users, user, "AppData", "Local", "Microsoft", "Windows", "INetCache")
        shutil.rmtree(cache, ignore_errors=True)


def download_command(name, port, size):
    pkg = f"pkg_{size}m.bin"
    url = f"http://127.0.0.1:{port}/{pkg}"
    out = os.path.join(OUT, f"{name}.bin")
    if name in ("control", "control64", "digest"):
        # "digest": the same download from update information that carries field 7;
        # "control64": the 64-bit host and control, in the win64 build's prefix.
        info = f"pkg_{size}m_digest.orv" if name == "digest" else f"pkg_{size}m.orv"
        runner, folder = (WINE_RUN64, BIN64) if name == "control64" else (WINE_RUN, BIN)
        out = os.path.join(OUT, "control.bin")
        cmd = [runner, os.path.join(folder, "bench_control.exe"), "download", str(port), info,
               winpath(OUT), "control.bin"]
    elif name == "reference":
        cmd = [WINE_RUN, os.path.join(BIN, "bench_reference.exe"), str(port), pkg, winpath(out)]
    elif name == "wininet":
        cmd = [WINE_RUN, os.path.join(BIN, "bench_wininet.exe"), "download", url, winpath(out)]
    elif name in ("control_tls", "control_tls_chacha"):
        cmd = [WINE_RUN, os.path.join(BIN, "bench_control.exe"), "download",
               str(TLS_PORTS.get(name, "TLSPORT")), f"pkg_{size}m.orv", winpath(OUT),
               f"{name}.bin", "https://localhost"]
    elif name == "wininet_tls":
        url = f"https://localhost:{TLS_PORTS.get(name, 'TLSPORT')}/{pkg}"
        cmd = [WINE_RUN, os.path.join(BIN, "bench_wininet.exe"), "download", url, winpath(out)]
    elif name == "urlmon":
        cmd = [WINE_RUN, os.path.join(BIN, "bench_urlmon.exe"), url, winpath(out)]
    else:
        cmd = ["/usr/bin/time", "-f", "maxrss_kib %M", "curl", "-s", "-S", "-o", out, "-w",
               "%{time_total} %{size_download} %{http_code}\\n", url]
    return cmd, out


def run_download(name, port, size):
    cmd, out = download_command(name, port, size)
    if name == "urlmon":
        clear_url_cache()
    stdout, stderr, rc, polled = run_process(cmd, timeout=120 + size)
    expected = size * MIB
    try:
        if name == "curl":
            fields = stdout.split()
            rss = re.search(r"maxrss_kib (\d+)", stderr)
            if rc != 0 or len(fields) < 3 or fields[2] != "200" or not rss:
                raise RuntimeError(f"curl failed: {stdout} {stderr}")
            r = {"ok": True, "seconds": float(fields[0]), "bytes": int(fields[1]),
                 "file_bytes": os.path.getsize(out), "peak_working_set": int(rss.group(1)) * 1024}
        else:
            r = last_json(stdout)
            if rc != 0 or not r or not r.get("ok"):
                raise RuntimeError(f"{name} failed (rc {rc}): {stdout.strip()} {stderr.strip()}")
        if r["bytes"] != expected or r["file_bytes"] != expected:
            raise RuntimeError(f"{name}: {r['bytes']} bytes received, file of {r['file_bytes']}, "
                               f"{expected} expected")
    finally:
        if os.path.exists(out):
            os.remove(out)
    r.update(contender=name, size_mib=size, polled_vm_hwm=polled)
    return r


def check_command(name, port):
    url = f"http://127.0.0.1:{port}/update.orv"
    if name in ("control", "control64"):
        runner, folder = (WINE_RUN64, BIN64) if name == "control64" else (WINE_RUN, BIN)
        return [runner, os.path.join(folder, "bench_control.exe"), "check", str(port),
                "update.orv", str(CHECKS)]
    if name == "wininet":
        return [WINE_RUN, os.path.join(BIN, "bench_wininet.exe"), "check", url, str(CHECKS)]
    cmd = ["curl", "-s", "-S", "-w", "%{time_total} %{http_code}\\n"]
    for _ in range(CHECKS):
        cmd += ["-o", "/dev/null", url]
    return cmd


def run_check(name, port):
    stdout, stderr, rc, _ = run_process(check_command(name, port), timeout=120)
    if name == "curl":
        lines = [ln.split() for ln in stdout.strip().splitlines()]
        if rc != 0 or len(lines) != CHECKS or any(ln[1] != "200" for ln in lines):
            raise RuntimeError(f"curl checks failed: {stdout} {stderr}")
        times = [float(ln[0]) for ln in lines]
        r = {"ok": True, "seconds": sum(times), "check_seconds": times}
    else:
        r = last_json(stdout)
        if rc != 0 or not r or not r.get("ok"):
            raise RuntimeError(f"{name} checks failed (rc {rc}): {stdout.strip()} {stderr.strip()}")
    r.update(contender=name, per_check_ms=r["seconds"] * 1000 / CHECKS)
    return r


# ---------------------------------------------------------------------------------------
# HTTPS


def start_https_servers(pins):
    """nginx serving the web root over TLS with a certificate of a test authority: once with
    its own cipher choice, once picking ChaCha20-Poly1305. The programs trust the authority
    for their run (ORV_BENCH_TRUST_CA). Returns the servers."""
    certs = servers.make_test_certificates(os.path.join(WORK, "certs"))
    site = {"localhost": certs["localhost"]}
    default = servers.start_nginx(os.path.join(WORK, "nginx-tls"), WWW, tls_sites=site)
    chacha = servers.start_nginx(os.path.join(WORK, "nginx-chacha"), WWW, tls_sites=site,
                                 tls_ciphers="ECDHE-RSA-CHACHA20-POLY1305")
    if pins:
        for server in (default, chacha):
            os.sched_setaffinity(server.proc.pid, {pins[0]})
    TLS_PORTS.update(control_tls=default.tls_ports["localhost"],
                     wininet_tls=default.tls_ports["localhost"],
                     control_tls_chacha=chacha.tls_ports["localhost"])
    TRUST_ENV["ORV_BENCH_TRUST_CA"] = winpath(certs["ca"])
    return [default, chacha]


def measure_https(port, sizes, runs, results):
    """The HTTPS rounds: warm-up, then `runs` rounds of HTTPS_CONTENDERS, alternated."""
    rows = []
    for size in sizes:
        for rnd in range(runs + 1):
            for c in HTTPS_CONTENDERS:
                r = run_download(c, port, size)
                r["https"] = True
                tag = "warm-up" if rnd == 0 else f"run {rnd}"
                print(f"bench: https {size} MiB {tag:8} {c:18} {r['seconds']:8.3f} s", flush=True)
                if rnd:
                    rows.append(r)
                    results.write(json.dumps(r) + "\n")
    return rows


def https_section(rows, runs):
    """The report's section on downloads over HTTPS."""
    lines = [HTTPS_TITLE, ""]
    add = lines.append
    sizes = sorted({r["size_mib"] for r in rows})
    add("The control over plain HTTP, (a) as above, beside the control (f) and WinInet (g) over "
        "HTTPS from the same nginx (`ssl_protocols TLSv1.2 TLSv1.3`, its own cipher choice; "
        "Wine's Schannel negotiates TLS 1.2 with AES-256-GCM), and the control once more (h) "
        "from an nginx that picks ChaCha20-Poly1305. The server certificate comes from a test "
        "authority that each program adds to the current user's trusted roots for its run and "
        "removes again, outside the timed part; the control checks the chain, the name "
        "(`https://localhost`) and the dates on every connection. Rounds alternate as above "
        f"(one warm-up, then {runs}); times and memory are measured as above.")
    add("")
    for size in sizes:
        group = {c: [r for r in rows if r["contender"] == c and r["size_mib"] == size]
                 for c in HTTPS_CONTENDERS}
        med = {c: statistics.median([r["seconds"] for r in group[c]]) for c in group if group[c]}
        add(f"### {size} MiB over HTTPS ({len(group['control'])} runs)")
        add("")
        add("| contender | median s | min–max s | MiB/s | peak RSS MiB | × (a) | × (g) |")
        add("|---|---:|---:|---:|---:|---:|---:|")
        for c in HTTPS_CONTENDERS:
            if not group[c]:
                continue
            m, lo, hi = summary([r["seconds"] for r in group[c]])
            peak = statistics.median([r["peak_working_set"] for r in group[c]])
            add(f"| {LABELS[c]} | {secs(m)} | {secs(lo)}–{secs(hi)} | {size / m:.0f} | "
                f"{mib(peak):.1f} | {ratio(m, med.get('control'))} | "
                f"{ratio(m, med.get('wininet_tls'))} |")
        add("")
    if max(sizes) >= 64:
        add("| target | measured | met |")
        add("|---|---|---|")
    for size in sizes:
        if size < 64:
            continue
        a = [r["seconds"] for r in rows if r["contender"] == "control" and r["size_mib"] == size]
        f = [r["seconds"] for r in rows
             if r["contender"] == "control_tls" and r["size_mib"] == size]
        h = [r["seconds"] for r in rows
             if r["contender"] == "control_tls_chacha" and r["size_mib"] == size]
        if a and f:
            q = statistics.median(f) / statistics.median(a)
            extra = (f"; with ChaCha20-Poly1305 (h) {statistics.median(h) / statistics.median(a):.2f} ×"
                     if h else "")
            add(f"| {size} MiB over HTTPS (f) ≤ 1.5 × plain HTTP (a) | {q:.2f} ×{extra} | "
                f"{'yes' if q <= 1.5 else 'no'} |")
    add("")
    add("Commands (as under Commands below; TLSPORT is the HTTPS port of the nginx in question, "
        "and `ORV_BENCH_TRUST_CA` names the test authority's certificate as a Windows path):")
    add("")
    for c in HTTPS_CONTENDERS[1:]:
        cmd, _ = download_command(c, "PORT", "N")
        cmd = [("TLSPORT" if part.isdigit() else part) for part in cmd]
        add(f"- {LABELS[c]}: `{render(cmd)}`")
    add("")
    return lines


# ---------------------------------------------------------------------------------------
# Package digest


def run_sha256(size):
    stdout, stderr, rc, _ = run_process(
        [WINE_RUN, os.path.join(BIN, "bench_sha256.exe"), str(size), "16", "5"], timeout=300)
    r = last_json(stdout)
    if rc != 0 or not r or not r.get("ok"):
        raise RuntimeError(f"bench_sha256 failed (rc {rc}): {stdout.strip()} {stderr.strip()}")
    return r


def measure_digest(nginx, pins, runs, results):
    """The control's download of DIGEST_MIB with and without a digest, alternated run by run:
    first bound to CPUs as the other downloads, then left to the scheduler; then CNG alone."""
    global CLIENT_PREFIX
    rows = []
    sha = {}
    for mode in (["pinned"] if pins else []) + ["unpinned"]:
        pinned = mode == "pinned"
        CLIENT_PREFIX = ["taskset", "-c", str(pins[1])] if pinned else []
        restart_wineserver(pins[1] if pinned else None)
        os.sched_setaffinity(nginx.proc.pid, {pins[0]} if pinned else os.sched_getaffinity(0))
        for rnd in range(runs + 1):
            for c in ("control", "digest"):
                r = run_download(c, nginx.port, DIGEST_MIB)
                tag = "warm-up" if rnd == 0 else f"run {rnd}"
                print(f"bench: digest {mode:8} {tag:8} {c:8} {r['seconds']:8.3f} s", flush=True)
                if rnd:
                    r.update(digest_mode=mode)
                    rows.append(r)
                    results.write(json.dumps(r) + "\n")
        sha[mode] = run_sha256(DIGEST_MIB)
        print(f"bench: CNG SHA-256 {mode} {sha[mode]['best_mib_per_s']:.0f} MiB/s", flush=True)
    # Back to the binding of the other measurements.
    CLIENT_PREFIX = ["taskset", "-c", str(pins[1])] if pins else []
    restart_wineserver(pins[1] if pins else None)
    if pins:
        os.sched_setaffinity(nginx.proc.pid, {pins[0]})
    return rows, sha


def digest_section(rows, sha, runs):
    lines = [DIGEST_SECTION, ""]
    add = lines.append
    add(f"The control's {DIGEST_MIB} MiB download (as row (a) above) from update information "
        "without and with a package digest (field 7, `orvinfo make --digest`): with it, the "
        "control computes the package's SHA-256 with the system's CNG on a worker thread while "
        "the pieces arrive, and compares it before the finished file is moved into place. "
        f"{runs} runs each after a warm-up, the two alternated run by run; \"bound\" is the "
        "CPU binding of the rows above (the worker then shares the client's CPU with the "
        "message thread), \"scheduler\" leaves every process free to use both CPUs. Seconds "
        "run from `ReceiveUpdate` to `UpdateReceived`, the comparison included.")
    add("")
    add("| CPUs | without digest median s (min–max) | with digest median s (min–max) | × | "
        "with digest MiB/s | CNG SHA-256 alone MiB/s (best of 5, 16 KiB pieces) |")
    add("|---|---:|---:|---:|---:|---:|")
    target = None
    floor = 0
    for mode in ("pinned", "unpinned"):
        plain = [r["seconds"] for r in rows if r.get("digest_mode") == mode
                 and r["contender"] == "control"]
        dig = [r["seconds"] for r in rows if r.get("digest_mode") == mode
               and r["contender"] == "digest"]
        if not plain or not dig:
            continue
        (pm, plo, phi), (dm, dlo, dhi) = summary(plain), summary(dig)
        cng = sha.get(mode, {}).get("best_mib_per_s", 0)
        add(f"| {'bound' if mode == 'pinned' else 'scheduler'} | {secs(pm)} ({secs(plo)}–"
            f"{secs(phi)}) | {secs(dm)} ({secs(dlo)}–{secs(dhi)}) | {dm / pm:.2f} | "
            f"{DIGEST_MIB / dm:.0f} | {cng:.0f} |")
        if mode == "unpinned":
            target = dm / pm
            floor = DIGEST_MIB / cng if cng else 0
    add("")
    if target is not None and floor:
        add(f"The package cannot be hashed faster than CNG hashes it alone: at the rate measured "
            f"right after the scheduler's runs, {floor:.2f} s for {DIGEST_MIB} MiB, so with the "
            f"worker fully in parallel the digest download could at best take "
            f"{max(floor, pm) / pm:.2f} × the plain one here. Under Wine the system's SHA-256 "
            "is slower than the download itself; on a machine whose second CPU is busy with "
            "other work, as this one was, the hashing competes with the download for the same "
            "CPU time.")
        add("")
    if target is not None:
        add(f"Target: a {DIGEST_MIB} MiB download with a digest takes at most 1.5 × the same "
            f"download without one, left to the scheduler: {target:.2f} × — "
            f"{'met' if target <= 1.5 else 'not met'}.")
        add("")
    return lines


def splice_section(path, section):
    """Replaces the section of the report at `path` that starts with the section's title (up
    to the next section), or puts it before the update check latency."""
    with open(path) as f:
        text = f.read().splitlines()
    title = section[0]
    if title in text:
        start = text.index(title)
        end = next((i for i in range(start + 1, len(text)) if text[i].startswith("## ")),
                   len(text))
    else:
        start = end = next((i for i, line in enumerate(text)
                            if line.startswith("## Update check latency")), len(text))
    text[start:end] = section
    with open(path, "w") as f:
        f.write("\n".join(text).rstrip() + "\n")


# ---------------------------------------------------------------------------------------
# Profiles


def strace_counts(name, port, size):
    """strace -c -f of one run: the calls of the 32-bit Windows process, most frequent first."""
    cmd, out = download_command(name, port, size)
    log = os.path.join(WORK, f"strace-{name}-{size}m.txt")
    subprocess.run(CLIENT_PREFIX + ["strace", "-c", "-f", "-o", log] + cmd, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=600, check=False)
    if os.path.exists(out):
        os.remove(out)
    counts = {}
    with open(log) as f:
        text = f.read()
    section = text.split("32 bit mode:")[-1]
    for line in section.splitlines():
        parts = line.split()
        if len(parts) >= 5 and parts[0][0].isdigit() and parts[-1] != "total":
            counts[parts[-1]] = int(parts[3])
    return counts


# ---------------------------------------------------------------------------------------
# Report


def machine():
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    mem = status_line("/proc/meminfo", "MemTotal")
    mem = f"{int(mem.split()[0]) / (1 << 20):.1f} GiB" if mem.endswith("kB") else mem

    def version(cmd):
        try:
            r = subprocess.run(cmd, capture_output=True, text=True, timeout=30)
            return (r.stdout + r.stderr).strip().splitlines()[0]
        except (OSError, IndexError, subprocess.TimeoutExpired):
            return "unknown"

    return {
        "cores": os.cpu_count(),
        "cpu": cpu,
        "memory": mem,
        "kernel": platform.release(),
        "wine": version(["wine", "--version"]),
        "nginx": version(["nginx", "-v"]),
        "curl": version(["curl", "--version"]),
        "compiler": version(["i686-w64-mingw32-g++-posix", "--version"]),
        "compiler64": version(["x86_64-w64-mingw32-g++-posix", "--version"]),
        "load": open("/proc/loadavg").read().split()[:3],
        "filesystem": version(["findmnt", "-n", "-T", OUT, "-o", "FSTYPE,SOURCE"]),
    }


def status_line(path, field):
    with open(path) as f:
        for line in f:
            if line.startswith(field + ":"):
                return line.split(":", 1)[1].strip()
    return "unknown"


def mib(n):
    return n / MIB


def secs(x):
    return f"{x:.4f}" if x < 1 else f"{x:.3f}"


def summary(values):
    return statistics.median(values), min(values), max(values)


def ratio(a, b):
    return f"{a / b:.2f}" if b else "—"


def write_report(path, info, sizes, runs, downloads, checks, profiles, quick, elapsed,
                 digests=(), sha=None):
    everything = downloads
    downloads = [r for r in downloads if not r.get("https")]
    lines = []
    add = lines.append
    add("# Benchmarks")
    add("")
    add("How fast the Orvane control downloads a package, how much memory it takes, and how long")
    add("an update check lasts, next to the other ways a program on this machine could do the same.")
    add("Everything below was measured in one run of `scripts/bench"
        + (" --quick" if quick else "") + f"` on {info['date']} ({elapsed / 60:.0f} minutes).")
    add("")
    add("## Machine")
    add("")
    add(f"- CPU: {info['cpu']}, {info['cores']} cores (`nproc`), memory {info['memory']}")
    add(f"- Linux {info['kernel']}; load average at the start {' '.join(info['load'])} "
        "(the machine is shared with other work)")
    add(f"- Wine: {info['wine']}, 32-bit prefix in `build/win32/wineprefix`"
        + (", 64-bit prefix in `build/win64/wineprefix` for (a64)" if info.get("win64") else "")
        + " (Wine's 64-bit part is installed: every prefix runs on the 64-bit wineserver)")
    add(f"- Compiler: {info['compiler']}"
        + (f"; (a64): {info['compiler64']}" if info.get("win64") else ""))
    add(f"- Output files: `{rel(OUT)}` on {' '.join(info['filesystem'].split())}")
    add(f"- Server: {info['nginx']}, on 127.0.0.1, `sendfile on`, started by the benchmark")
    add(f"- curl: {info['curl']}")
    add("")
    add("## Method")
    add("")
    add(f"- Every size: one warm-up round of all contenders (not counted), then {runs} rounds; "
        "within a round the contenders run one after the other in the order of the table, "
        "so they alternate run by run (A B C D E A B C D E …). Each run is a new process.")
    add("- Seconds are measured inside the process, from the start of the transfer to its end: "
        "(a) from `ReceiveUpdate` to `UpdateReceived` (the update check before it is not "
        "counted), the same for (a64), the 64-bit build of the same host and control; (b) from creating the file and socket to the close notification; (c) from "
        "`InternetOpenUrlA` to the last `InternetReadFile`; (d) around `URLDownloadToFileA`; "
        "(e) curl's own `time_total`. Process start-up (about a second for Wine) is not counted.")
    add("- Every run's file is checked for the exact size, then deleted. Packages are random "
        "data (one random 1 MiB block repeated), served from disk by nginx. (b) and (c) write "
        "their output as a new file (`CREATE_NEW`), as the control writes its temporary file, "
        "since under Wine a file opened with `CREATE_ALWAYS` is written to disk in full when "
        "it is closed (see Findings).")
    add("- Peak resident memory: for the Windows programs `PeakWorkingSetSize` of "
        "`GetProcessMemoryInfo`, which Wine takes from `VmHWM` of the Linux process. Debian's "
        "`wine` keeps the PID it was started with, and the benchmark polled `/proc/PID/status` "
        "during every run as a cross-check (largest polled VmHWM vs reported peak: see the "
        "end of this page). For curl, `/usr/bin/time` (maximum resident set size). "
        "\"Above idle\" is the peak minus the working set of the same process just before the "
        "transfer started (for the control: created, connected to our event sink, after the "
        "update check).")
    add("- URLDownloadToFileA stores every download in Wine's internet cache as well; the cache "
        "is emptied before each of its runs so that every run fetches from the server.")
    if info["pins"]:
        add(f"- CPUs: nginx runs on CPU {info['pins'][0]}; the wineserver and every contender "
            f"(curl too) on CPU {info['pins'][1]} (`taskset`). A Windows program under Wine "
            "waits for the wineserver at every socket notification, several times per 16 KiB; "
            "left to the scheduler, these hand-overs sometimes cross the two virtual CPUs and "
            "the same download then takes up to three times as long from one run to the next "
            "(see Findings). `--no-pin` measures without binding.")
    else:
        add("- CPUs: no process was bound to a CPU (`--no-pin`, or a single CPU).")
    add("- Median and min–max are over the counted runs. Ratios divide medians of seconds.")
    add("")

    add("## Package download")
    add("")
    for size in sizes:
        rows = {c: [r for r in downloads if r["contender"] == c and r["size_mib"] == size]
                for c in DOWNLOAD_CONTENDERS}
        med = {c: statistics.median([r["seconds"] for r in rows[c]]) for c in rows if rows[c]}
        add(f"### {size} MiB" + (f" ({len(rows['control'])} runs)" if rows["control"] else ""))
        add("")
        add("| contender | median s | min–max s | MiB/s | peak RSS MiB | above idle MiB "
            "| × (b) | × (c) | × (e) |")
        add("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
        for c in DOWNLOAD_CONTENDERS:
            if not rows[c]:
                continue
            m, lo, hi = summary([r["seconds"] for r in rows[c]])
            peak = statistics.median([r["peak_working_set"] for r in rows[c]])
            if "idle_working_set" in rows[c][0]:
                above = max(r["peak_working_set"] - r["idle_working_set"] for r in rows[c])
                above_text = f"{mib(above):.1f}"
            else:
                above_text = "—"
            add(f"| {LABELS[c]} | {secs(m)} | {secs(lo)}–{secs(hi)} | {size / m:.0f} | "
                f"{mib(peak):.1f} | {above_text} | {ratio(m, med.get('reference'))} | "
                f"{ratio(m, med.get('wininet'))} | {ratio(m, med.get('curl'))} |")
        add("")
    add("\"above idle\" is the largest over the runs; peak RSS is the median.")
    add("")

    secure = [r for r in everything if r.get("https")]
    if secure:
        lines.extend(https_section(secure, runs))

    add(f"## Update check latency ({CHECKS} checks in one process)")
    add("")
    add("| contender | median ms per check | min–max ms per check | first check ms | × (c) | × (e) |")
    add("|---|---:|---:|---:|---:|---:|")
    cmed = {c: statistics.median([r["per_check_ms"] for r in checks if r["contender"] == c])
            for c in CHECK_CONTENDERS if any(r["contender"] == c for r in checks)}
    for c in CHECK_CONTENDERS:
        rs = [r for r in checks if r["contender"] == c]
        if not rs:
            continue
        m, lo, hi = summary([r["per_check_ms"] for r in rs])
        first = statistics.median([r["check_seconds"][0] * 1000 for r in rs])
        label = {"control": "(a) Orvane control, `CheckUpdate` to `InfoReceived`",
                 "control64": "(a64) the same, 64-bit control and host",
                 "wininet": "(c) WinInet loop (open URL, read, decode the record)",
                 "curl": f"(e) curl, {CHECKS} URLs in one process"}[c]
        add(f"| {label} | {m:.2f} | {lo:.2f}–{hi:.2f} | {first:.2f} | {ratio(m, cmed.get('wininet'))} "
            f"| {ratio(m, cmed.get('curl'))} |")
    add("")
    add(f"Per check = the loop's total time ÷ {CHECKS}, one value per run; the table gives the "
        f"median and range over {len([r for r in checks if r['contender'] == 'control'])} runs. "
        "The control opens a new HTTP/1.0 connection for every check, as it is built to; "
        "WinInet and curl keep one HTTP/1.1 connection open across the loop.")
    add("")

    add("## Targets")
    add("")
    add("| target | measured | met |")
    add("|---|---|---|")
    for size in (256, 1024):
        rs = [r for r in downloads if r["contender"] == "control" and r["size_mib"] == size]
        if rs:
            above = max(r["peak_working_set"] - r["idle_working_set"] for r in rs)
            add(f"| peak memory of a {size} MiB download ≤ 16 MiB above idle | "
                f"{mib(above):.2f} MiB above idle (largest of {len(rs)} runs) | "
                f"{'yes' if above <= 16 * MIB else 'no'} |")
    def add_targets(contender, base, download_label, check_base, check_label, check_limit):
        """The rows of `contender`'s download times against `base`'s (median over median, at
        most 1.2 ×) and of its check latency against `check_base`'s (at most `check_limit` ×)."""
        for size in sizes:
            a, b = ([r["seconds"] for r in downloads if r["contender"] == c and r["size_mib"] == size]
                    for c in (contender, base))
            if a and b:
                q = statistics.median(a) / statistics.median(b)
                add(f"| {size} MiB download time {download_label} | {q:.2f} × | "
                    f"{'yes' if q <= 1.2 else 'no'} |")
        if contender in cmed and check_base in cmed:
            q = cmed[contender] / cmed[check_base]
            add(f"| check latency {check_label} | {cmed[contender]:.2f} ms vs "
                f"{cmed[check_base]:.2f} ms ({q:.2f} ×) | {'yes' if q <= check_limit else 'no'} |")

    add_targets("control", "reference", "≤ 1.2 × reference (b)",
                "wininet", "≤ WinInet's in-process loop", 1.0)
    # The 64-bit control against the 32-bit one: the same code, so the same speed is expected
    # (within the spread of the runs: 1.2 × allows for it).
    label64 = "of the 64-bit control ≤ 1.2 × the 32-bit one"
    add_targets("control64", "control", label64, "control", label64, 1.2)
    add("")

    if profiles:
        add("## System calls per download")
        add("")
        size = profiles["size"]
        add(f"`strace -c -f` of one {size} MiB download each, counting the calls of the 32-bit "
            f"Windows process ({size * 64} read notifications of 16 KiB at least). The wineserver "
            "runs as its own process and is not traced; a `write`/`read` pair on its pipe is one "
            "server request of the Windows process.")
        add("")
        names = sorted(set(profiles["control"]) | set(profiles["reference"]),
                       key=lambda n: -(profiles["control"].get(n, 0) + profiles["reference"].get(n, 0)))
        pieces = size * 64
        add(f"| system call | (a) control | (b) reference | (a) per 16 KiB read | (b) per 16 KiB read |")
        add("|---|---:|---:|---:|---:|")
        for n in names[:12]:
            a, b = profiles["control"].get(n, 0), profiles["reference"].get(n, 0)
            add(f"| {n} | {a} | {b} | {a / pieces:.2f} | {b / pieces:.2f} |")
        a, b = sum(profiles["control"].values()), sum(profiles["reference"].values())
        add(f"| all | {a} | {b} | {a / pieces:.2f} | {b / pieces:.2f} |")
        add("")
        add("The counts include process start-up, which for (a) loads COM and the control. "
            "A program that finds its message queue empty yields (`sched_yield`) and asks the "
            "server again, so some counts depend on whether the program or the data was "
            "ahead in that run; `recvmsg` (one per read notification) and the file writes do "
            "not.")
        add("")

    timed = [r for r in downloads if "first_piece_seconds" in r]
    if timed:
        add("## Where the time of (a) and (b) goes")
        add("")
        add("Medians: from the start to the first piece of body, the pieces themselves, and from "
            "the last piece to the end (the close notification, closing the file; for (a) also "
            "moving the finished file into place and `UpdateReceived`).")
        add("")
        add("| size | contender | to first piece ms | pieces ms | per piece µs | after last piece ms "
            "| total ms |")
        add("|---:|---|---:|---:|---:|---:|---:|")
        for size in sizes:
            for c in ("control", "control64", "reference"):
                rs = [r for r in timed if r["contender"] == c and r["size_mib"] == size]
                if not rs:
                    continue
                first = statistics.median([r["first_piece_seconds"] for r in rs])
                after = statistics.median([r["after_last_piece_seconds"] for r in rs])
                middle = statistics.median([r["seconds"] - r["first_piece_seconds"]
                                            - r["after_last_piece_seconds"] for r in rs])
                total = statistics.median([r["seconds"] for r in rs])
                pieces = statistics.median([r["pieces"] for r in rs])
                add(f"| {size} MiB | {LABELS[c]} | {first * 1000:.2f} | {middle * 1000:.1f} | "
                    f"{middle * 1e6 / pieces:.1f} | {after * 1000:.2f} | {total * 1000:.1f} |")
        add("")

    if digests:
        lines.extend(digest_section(digests, sha, runs))

    findings = os.path.join(ROOT, "bench", "findings.md")
    if os.path.exists(findings):
        with open(findings) as f:
            add(f.read().rstrip())
        add("")

    add("## Commands")
    add("")
    add("The whole page: `scripts/bench` (full) or `scripts/bench --quick` (1 and 64 MiB, 3 "
        "runs). `scripts/bench --sizes 256 --runs 5` measures one size. It builds, creates the "
        "prefix, registers the control (`wine regsvr32 /s OrvaneCtl.ocx`), starts nginx on a "
        f"free port (PORT below) serving `{rel(WWW)}`, and runs, from the repository root, with "
        "`WINEPREFIX=build/win32/wineprefix` set by `build/win32/wine-run`"
        + (f", each command prefixed with `taskset -c {info['pins'][1]}` (nginx and the "
           f"wineserver bound as told under Method):" if info["pins"] else ":"))
    add("")
    add("| row | command |")
    add("|---|---|")
    for c in DOWNLOAD_CONTENDERS:
        cmd, _ = download_command(c, "PORT", "N")
        add(f"| {LABELS[c]}, N MiB | `{render(cmd)}` |")
    cmd, _ = download_command("digest", "PORT", DIGEST_MIB)
    add(f"| (a) with a package digest, {DIGEST_MIB} MiB | `{render(cmd)}` |")
    add(f"| CNG SHA-256 alone | `{render([WINE_RUN, os.path.join(BIN, 'bench_sha256.exe'), str(DIGEST_MIB), '16', '5'])}` |")
    for c in CHECK_CONTENDERS:
        cmd = check_command(c, "PORT")
        if c == "curl":
            text = render(cmd[:5]) + " -o /dev/null http://127.0.0.1:PORT/update.orv … (50 times)"
        else:
            text = render(cmd)
        add(f"| check loop, {LABELS[c]} | `{text}` |")
    add("")
    gaps = [r["polled_vm_hwm"] - r["peak_working_set"] for r in downloads
            if r["contender"] != "curl" and r["polled_vm_hwm"]]
    if gaps:
        add(f"Cross-check of the memory figures: in {len(gaps)} Windows runs, the largest "
            "VmHWM polled from `/proc/PID/status` every 10 ms lay between "
            f"{mib(max(gaps)):+.2f} and {mib(min(gaps)):+.2f} MiB of the `PeakWorkingSetSize` "
            "the program reported (the program reads its peak before it shuts down; the poll "
            "sees the shutdown but misses up to 10 ms of the run).")
        add("")
    add(f"Raw results, one JSON object per run: `{rel(os.path.join(WORK, 'results.jsonl'))}`.")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def report_from(folder, out=None):
    """Writes the report from the results a run left in `folder` (meta.json and results.jsonl,
    as in build/bench), measuring nothing: to `out`, else where that run wrote it (relative
    to the repository root). Returns the report's path."""
    with open(os.path.join(folder, "meta.json")) as f:
        meta = json.load(f)
    with open(os.path.join(folder, "results.jsonl")) as f:
        rows = [json.loads(line) for line in f if line.strip()]
    out = os.path.abspath(out) if out else os.path.join(ROOT, meta["out"])
    os.makedirs(os.path.dirname(out), exist_ok=True)
    write_report(out, meta["info"], meta["sizes"], meta["runs"],
                 [r for r in rows if "size_mib" in r and "digest_mode" not in r],
                 [r for r in rows if "size_mib" not in r], meta["profiles"], meta["quick"],
                 meta["elapsed"], [r for r in rows if "digest_mode" in r], meta.get("sha"))
    return out


def render(cmd):
    """A command as it would be typed from the repository root; <repo> stands for the root in
    Windows paths, which must be absolute."""
    out = []
    for part in cmd:
        part = part.replace(winpath(ROOT), "Z:<repo>").replace(ROOT + "/", "")
        if any(ch in part for ch in " \\{}%<>"):
            part = "'" + part + "'"
        out.append(part)
    return " ".join(out)


# ---------------------------------------------------------------------------------------


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="1 and 64 MiB, 3 runs")
    ap.add_argument("--sizes", help="comma-separated MiB")
    ap.add_argument("--runs", type=int)
    ap.add_argument("--no-profile", action="store_true", help="skip the strace counts")
    ap.add_argument("--no-pin", action="store_true",
                    help="leave processes to the scheduler instead of binding them to CPUs")
    ap.add_argument("--report-only", action="store_true",
                    help="write the report again from the last run's results, measuring nothing")
    ap.add_argument("--report-from", metavar="DIR",
                    help="write the report from the results a run left in DIR (meta.json, "
                    "results.jsonl; build/bench for --report-only), measuring nothing")
    ap.add_argument("--digest-only", action="store_true",
                    help=f"measure only the {DIGEST_MIB} MiB download with and without a package "
                    "digest and put that section into the existing report")
    ap.add_argument("--out", help="report file (default docs/benchmarks.md; build/bench/"
                    "benchmarks.md with --quick)")
    ap.add_argument("--https-only", action="store_true",
                    help="measure only the HTTPS comparison and replace its section of the report")
    ap.add_argument("--https-sizes", help="comma-separated MiB for the HTTPS comparison "
                    "(default 1,64,256; with --quick 1,64)")
    args = ap.parse_args()
    https_sizes = ([int(x) for x in args.https_sizes.split(",")] if args.https_sizes
                   else [1, 64] if args.quick else HTTPS_SIZES)
    sizes = [int(s) for s in args.sizes.split(",")] if args.sizes else (
        [1, 64] if args.quick else [1, 64, 256, 1024])
    runs = args.runs or (3 if args.quick else 5)
    out_path = args.out or (os.path.join(WORK, "benchmarks.md") if args.quick
                            else os.path.join(ROOT, "docs", "benchmarks.md"))

    meta_path = os.path.join(WORK, "meta.json")
    results_path = os.path.join(WORK, "results.jsonl")
    if args.report_only or args.report_from:
        path = report_from(args.report_from or WORK, args.out)
        print(f"bench: report in {rel(path)}", flush=True)
        return 0

    started = time.monotonic()
    info = machine()
    pins = None if args.no_pin else pin_cpus()
    info["pins"] = pins
    info["win64"] = have_win64()
    global CLIENT_PREFIX
    CLIENT_PREFIX = ["taskset", "-c", str(pins[1])] if pins else []
    restart_wineserver(pins[1] if pins else None)
    if args.https_only:
        return https_only(args, https_sizes, runs, pins, info)
    if info["win64"]:
        restart_wineserver(pins[1] if pins else None, WINE_RUN64)
    else:
        print("bench: no win64 build, the 64-bit control is not measured", flush=True)
        DOWNLOAD_CONTENDERS.remove("control64")
        CHECK_CONTENDERS.remove("control64")
    info["date"] = datetime.date.today().isoformat()
    os.makedirs(OUT, exist_ok=True)
    if args.digest_only:
        sizes = [DIGEST_MIB]
    elif DIGEST_MIB not in sizes and not args.quick:
        sizes = sorted(sizes + [DIGEST_MIB])
    print(f"bench: packages of {sizes} MiB in {rel(WWW)}", flush=True)
    make_packages(sizes)
    nginx = servers.start_nginx(os.path.join(WORK, "nginx"), WWW)
    if pins:
        os.sched_setaffinity(nginx.proc.pid, {pins[0]})
    results = open(results_path, "a" if args.digest_only else "w")
    downloads, checks, profiles, digests, sha = [], [], None, [], None
    try:
        if args.digest_only:
            digests, sha = measure_digest(nginx, pins, runs, results)
            return 0
        for size in sizes:
            for rnd in range(runs + 1):
                for c in DOWNLOAD_CONTENDERS:
                    r = run_download(c, nginx.port, size)
                    tag = "warm-up" if rnd == 0 else f"run {rnd}"
                    print(f"bench: {size} MiB {tag:8} {c:10} {r['seconds']:8.3f} s "
                          f"peak {mib(r['peak_working_set']):6.1f} MiB", flush=True)
                    if rnd:
                        downloads.append(r)
                        results.write(json.dumps(r) + "\n")
        for rnd in range(runs + 1):
            for c in CHECK_CONTENDERS:
                r = run_check(c, nginx.port)
                tag = "warm-up" if rnd == 0 else f"run {rnd}"
                print(f"bench: checks {tag:8} {c:10} {r['per_check_ms']:7.2f} ms per check",
                      flush=True)
                if rnd:
                    checks.append(r)
                    results.write(json.dumps(r) + "\n")
        if not args.no_profile and shutil.which("strace"):
            size = 64 if 64 in sizes else sizes[0]
            profiles = {"size": size, "control": strace_counts("control", nginx.port, size),
                        "reference": strace_counts("reference", nginx.port, size)}
        make_packages(sorted(set(https_sizes) - set(sizes)) or sizes[:1])
        secure = start_https_servers(pins)
        try:
            downloads += measure_https(nginx.port, https_sizes, runs, results)
        finally:
            for server in secure:
                server.stop()
        if not args.quick:
            digests, sha = measure_digest(nginx, pins, runs, results)
    finally:
        results.close()
        nginx.stop()
        if args.digest_only and digests:
            splice_section(out_path, digest_section(digests, sha, runs))
            print(f"bench: digest section in {rel(out_path)}", flush=True)
        if info["win64"]:
            subprocess.run([WINE_RUN64, "--stop"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=False)
    elapsed = time.monotonic() - started
    with open(meta_path, "w") as f:
        json.dump({"info": info, "sizes": sizes, "runs": runs, "profiles": profiles,
                   "quick": args.quick, "elapsed": elapsed, "out": out_path, "sha": sha}, f)
    os.makedirs(os.path.dirname(out_path), exist_ok=True)
    write_report(out_path, info, sizes, runs, downloads, checks, profiles, args.quick, elapsed,
                 digests, sha)
    print(f"bench: report in {rel(out_path)}", flush=True)
    return 0


def https_only(args, sizes, runs, pins, info):
    """The HTTPS comparison alone, spliced into an existing report."""
    out_path = args.out or os.path.join(ROOT, "docs", "benchmarks.md")
    if not os.path.exists(out_path):
        print(f"bench: {rel(out_path)} does not exist; run the whole benchmark first",
              file=sys.stderr)
        return 1
    os.makedirs(OUT, exist_ok=True)
    print(f"bench: packages of {sizes} MiB in {rel(WWW)}", flush=True)
    make_packages(sizes)
    nginx = servers.start_nginx(os.path.join(WORK, "nginx"), WWW)
    started = [nginx]
    if pins:
        os.sched_setaffinity(nginx.proc.pid, {pins[0]})
    try:
        started += start_https_servers(pins)
        with open(os.path.join(WORK, "https.jsonl"), "w") as results:
            rows = measure_https(nginx.port, sizes, runs, results)
    finally:
        for server in started:
            server.stop()
    section = https_section(rows, runs)
    section.insert(2, f"Measured on {datetime.date.today().isoformat()} with `scripts/bench "
                   f"--https-only`, load average at the start {' '.join(info['load'])}; the "
                   "other sections of this page come from the run named at the top.")
    section.insert(3, "")
    splice_section(out_path, section)
    findings = os.path.join(ROOT, "bench", "findings.md")
    with open(findings) as f:
        splice_section(out_path, f.read().rstrip().splitlines() + [""])
    print(f"bench: HTTPS section in {rel(out_path)}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
