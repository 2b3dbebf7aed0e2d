#!/usr/bin/env python3
"""The usage scan: its time against load_project, thread scaling, peak memory, growth, Ctrl-C.

    python3 bench/scan.py [--tree DIR ...] [--big DIR] [--repeat N] [--json]

Uses the installed kestro_sdk. The trees are made, when missing, by ../shared/bench/gen_sessions.py
with the standard arguments (6 projects, 300 sessions of 0.65 MB on average, seed 1) into
/tmp/kb/projects and, with --modern, /tmp/kb/modern; the 1 GB tree (--sessions 1500) into
/tmp/kb/projects1g. Each figure comes from a fresh child process:

* scan/load: the median of `repeat` calls of scan_usage(tree) against the median of `repeat`
  passes of _core.load_project over every project of the same tree, the two alternating in one
  process so that a busy machine slows them alike (target: at most 0.7x); in wall time and in
  CPU time (user + system over all threads), which a busy machine disturbs less;
* threads: scan_usage(tree, threads=1) against threads=2, alternating (target: at least 1.7x);
* peak: the resident peak (ru_maxrss) of a process that imports kestro_sdk and scans once
  (target: 100 MB or less);
* growth: time and peak on the 1 GB tree against the standard one, per byte;
* Ctrl-C: SIGINT sent to a child scanning the 1 GB tree 0.3 s in; the time until its
  KeyboardInterrupt is caught (target: about 100 ms).
"""

from __future__ import annotations

import argparse
import json
import signal
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
GENERATOR = HERE.parent.parent / "shared" / "bench" / "gen_sessions.py"

TIMES = r"""
import json, os, sys, time
import kestro_sdk
from kestro_sdk import _core
tree, names, repeat = sys.argv[1], sys.argv[2].split(","), int(sys.argv[3])
projects = sorted(os.listdir(tree))
def load_all():
    return [_core.load_project(p, tree) for p in projects]
calls = {
    "scan": lambda: kestro_sdk.scan_usage(tree),
    "scan1": lambda: kestro_sdk.scan_usage(tree, threads=1),
    "scan2": lambda: kestro_sdk.scan_usage(tree, threads=2),
    "load": load_all,
}
times = {name: [] for name in names}
cpu = {name: [] for name in names}
for _ in range(repeat):
    for name in names:
        c0, t0 = time.process_time(), time.perf_counter()
        value = calls[name]()
        times[name].append(time.perf_counter() - t0)
        cpu[name].append(time.process_time() - c0)
        del value
print(json.dumps({"wall": times, "cpu": cpu}))
"""

PEAK = r"""
import json, resource, sys, time
t0 = time.perf_counter()
import kestro_sdk
table = kestro_sdk.scan_usage(sys.argv[1])
seconds = time.perf_counter() - t0
print(json.dumps({"peak_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, "rows": len(table),
                  "seconds": seconds}))
"""

INTERRUPT = r"""
import json, signal, sys, time
import kestro_sdk
# A shell's background job starts with SIGINT ignored; Ctrl-C is what is measured.
signal.signal(signal.SIGINT, signal.default_int_handler)
print("ready", flush=True)
try:
    kestro_sdk.scan_usage(sys.argv[1], threads=2)
    print(json.dumps({"finished": time.monotonic()}))
except KeyboardInterrupt:
    print(json.dumps({"interrupted": time.monotonic()}))
"""


def run(code: str, *args: str) -> dict[str, object]:
    out = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True, check=True)
    result: dict[str, object] = json.loads(out.stdout)
    return result


def ensure(tree: Path, sessions: int, modern: bool) -> Path:
    if not tree.exists():
        cmd = [sys.executable, str(GENERATOR), "project", str(tree), "--projects", "6", "--sessions", str(sessions),
               "--size-mb", "0.65", "--seed", "1"]  # fmt: skip
        subprocess.run(cmd + (["--modern"] if modern else []), check=True, capture_output=True)
    return tree


def tree_bytes(tree: Path) -> int:
    return sum(p.stat().st_size for p in tree.rglob("*.jsonl"))


def interrupt_latency(tree: Path) -> float:
    child = subprocess.Popen([sys.executable, "-c", INTERRUPT, str(tree)], stdout=subprocess.PIPE, text=True)
    assert child.stdout is not None
    child.stdout.readline()
    time.sleep(0.3)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate()
    result = json.loads(out)
    if "interrupted" not in result:
        raise RuntimeError("the scan finished before the signal; use a larger tree")
    return float(result["interrupted"]) - sent


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--legacy", type=Path, default=Path("/tmp/kb/projects"))
    parser.add_argument("--modern", type=Path, default=Path("/tmp/kb/modern"))
    parser.add_argument("--big", type=Path, default=Path("/tmp/kb/projects1g"))
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args()

    trees = {"legacy": ensure(args.legacy, 300, False), "modern": ensure(args.modern, 300, True)}
    big = ensure(args.big, 1500, False)
    report: dict[str, dict[str, float]] = {}
    for name, tree in trees.items():
        size = tree_bytes(tree)
        both = run(TIMES, str(tree), "scan,load", str(args.repeat))
        t, c = both["wall"], both["cpu"]
        th = run(TIMES, str(tree), "scan1,scan2", str(args.repeat))["wall"]
        peak = run(PEAK, str(tree))
        scan, load = statistics.median(t["scan"]), statistics.median(t["load"])  # type: ignore[index]
        scan_cpu, load_cpu = statistics.median(c["scan"]), statistics.median(c["load"])  # type: ignore[index]
        one, two = statistics.median(th["scan1"]), statistics.median(th["scan2"])  # type: ignore[index]
        report[name] = {
            "mb": size / 1e6,
            "scan_s": scan,
            "load_s": load,
            "scan_over_load": scan / load,
            "scan_cpu_s": scan_cpu,
            "load_cpu_s": load_cpu,
            "scan_over_load_cpu": scan_cpu / load_cpu,
            "scan_mb_per_s": size / 1e6 / scan,
            "one_thread_s": one,
            "two_threads_s": two,
            "speedup_2_threads": one / two,
            "peak_mib": float(peak["peak_kib"]) / 1024,  # type: ignore[arg-type]
            "rows": float(peak["rows"]),  # type: ignore[arg-type]
        }
    size = tree_bytes(big)
    both = run(TIMES, str(big), "scan", str(max(1, args.repeat // 2)))
    peak = run(PEAK, str(big))
    scan = statistics.median(both["wall"]["scan"])  # type: ignore[index]
    scan_cpu = statistics.median(both["cpu"]["scan"])  # type: ignore[index]
    legacy = report["legacy"]
    report["big"] = {
        "mb": size / 1e6,
        "scan_s": scan,
        "scan_mb_per_s": size / 1e6 / scan,
        "peak_mib": float(peak["peak_kib"]) / 1024,  # type: ignore[arg-type]
        "rows": float(peak["rows"]),  # type: ignore[arg-type]
        "time_per_byte_vs_legacy": (scan / size) / (legacy["scan_s"] / (legacy["mb"] * 1e6)),
        "cpu_per_byte_vs_legacy": (scan_cpu / size) / (legacy["scan_cpu_s"] / (legacy["mb"] * 1e6)),
        "interrupt_ms": 1000 * statistics.median(interrupt_latency(big) for _ in range(3)),
    }
    if args.json:
        print(json.dumps(report, indent=2))
        return 0
    for name, row in report.items():
        print(name + ": " + ", ".join(f"{k} {v:.3f}" for k, v in row.items()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
