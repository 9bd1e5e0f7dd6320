#!/usr/bin/env python3
"""usage: report_test.py RUN_BENCH SAVED_RUN: writes the benchmark report from the saved run,
measuring nothing, and checks that each section holds a line computed from the saved rows."""
import subprocess
import sys
import tempfile

SECTIONS = [
    ("## Package download", "| (a) Orvane control, COM host | 1.518 | 1.518–1.518 | 169 |"),
    ("## Package download over HTTPS", "1.31 ×; with ChaCha20-Poly1305 (h) 1.44 × | yes |"),
    ("## Update check latency (50 checks in one process)", "| 1.92 | 1.92–1.92 | 3.84 | 0.83 |"),
    ("## Targets", "| 256 MiB download time ≤ 1.2 × reference (b) | 1.10 × | yes |"),
    ("## System calls per download", "| all | 430 | 376 | 6.72 | 5.88 |"),
    ("## Where the time of (a) and (b) goes", "| 256 MiB | (a) Orvane control, COM host | 2.10 |"),
    ("## Package digest", "| scheduler | 1.410 (1.410–1.410) | 1.630 (1.630–1.630) | 1.16 |"),
    ("## Commands", "| check loop, (e) curl, native |"),
]
with tempfile.TemporaryDirectory() as tmp:
    out = f"{tmp}/docs/benchmarks.md"  # in a folder the report step has to create
    subprocess.run([sys.executable, sys.argv[1], "--report-from", sys.argv[2], "--out", out],
                   check=True, timeout=120)
    with open(out, encoding="utf-8") as f:
        sections = {"## " + p.split("\n", 1)[0]: p for p in f.read().split("\n## ")[1:]}
failed = [title for title, line in SECTIONS if line not in sections.get(title, "")]
print("".join(f"FAIL {title}: missing, or without its line\n" for title in failed), end="")
sys.exit(1 if failed else 0)
