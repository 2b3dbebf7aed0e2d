#!/usr/bin/env python3
"""The complete reader against the exact one: time and peak memory of read() and load().

    python3 bench/reader.py [--workdir DIR] [--repeat N] [--size-mb N] [--json]

Uses the installed kestro_sdk. Generates, when missing, the standard session and one in the
newer shape (with its sub-agent files) with ../shared/bench/gen_sessions.py into the work folder
(default $TMPDIR/kestro-bench-reader). Each measurement runs in a fresh child process: the
median wall time of `repeat` calls, and the child's peak resident memory after one call
(ru_maxrss, the interpreter included). load() cannot read the newer shape's files whole, so on
those only read() is timed. Targets: read within 1.1x of load's time and 1.2x of its peak memory
on the standard session.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
GENERATOR = HERE.parent.parent / "shared" / "bench" / "gen_sessions.py"

# Peak memory: one call in a fresh process. Times: the readers named alternate call by call in
# one process, so that a busy machine slows them alike.
CHILD = r"""
import json, resource, sys, time
import kestro_sdk
from kestro_sdk import _core
path, names, repeat = sys.argv[1], sys.argv[2].split(","), int(sys.argv[3])
calls = {"load": _core.load, "read": kestro_sdk.read}
if repeat == 0:
    value = calls[names[0]](path)
    records = len(value.records) if names[0] == "read" else len(value.messages)
    print(json.dumps({"peak_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, "records": records}))
else:
    times = {name: [] for name in names}
    for _ in range(repeat):
        for name in names:
            t0 = time.perf_counter()
            value = calls[name](path)
            times[name].append(time.perf_counter() - t0)
            del value
    print(json.dumps({"times": times}))
"""


def child(path: Path, which: str, repeat: int) -> dict[str, object]:
    out = subprocess.run(
        [sys.executable, "-c", CHILD, str(path), which, str(repeat)], capture_output=True, text=True, check=True
    )
    result: dict[str, object] = json.loads(out.stdout)
    return result


def ensure(workdir: Path, name: str, size_mb: int, modern: bool) -> Path:
    path = workdir / f"{name}.jsonl"
    if not path.exists():
        workdir.mkdir(parents=True, exist_ok=True)
        cmd = [sys.executable, str(GENERATOR), "session", str(path), "--size-mb", str(size_mb), "--seed", "1"]
        subprocess.run(cmd + (["--modern"] if modern else []), check=True, capture_output=True)
    return path


def measure(path: Path, which: str, times: list[float]) -> dict[str, float]:
    mem = child(path, which, 0)
    size = path.stat().st_size
    median = statistics.median(times)
    records = float(mem["records"])  # type: ignore[arg-type]
    return {
        "seconds": median,
        "mb_per_s": size / 1e6 / median,
        "records_per_s": records / median,
        "peak_mib": float(mem["peak_kib"]) / 1024,
    }  # type: ignore[arg-type]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--workdir", type=Path, default=Path(tempfile.gettempdir()) / "kestro-bench-reader")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--size-mb", type=int, default=100)
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args()

    standard = ensure(args.workdir, f"s{args.size_mb}", args.size_mb, modern=False)
    modern = ensure(args.workdir, f"m{args.size_mb}", args.size_mb, modern=True)
    both = child(standard, "load,read", args.repeat)["times"]
    alone = child(modern, "read", args.repeat)["times"]
    assert isinstance(both, dict) and isinstance(alone, dict)
    rows = {
        "standard load": measure(standard, "load", both["load"]),
        "standard read": measure(standard, "read", both["read"]),
        "modern read": measure(modern, "read", alone["read"]),
    }
    load, read = rows["standard load"], rows["standard read"]
    ratios = {"time": read["seconds"] / load["seconds"], "peak_memory": read["peak_mib"] / load["peak_mib"]}
    if args.json:
        print(json.dumps({"rows": rows, "ratios": ratios}, indent=2))
        return 0
    print(f"{'':16} {'median s':>9} {'MB/s':>8} {'records/s':>11} {'peak MiB':>9}")
    for name, row in rows.items():
        figures = f"{row['seconds']:9.3f} {row['mb_per_s']:8.1f} {row['records_per_s']:11.0f} {row['peak_mib']:9.1f}"
        print(f"{name:16} {figures}")
    print(
        f"read/load: time {ratios['time']:.3f}x (target 1.1x), peak memory {ratios['peak_memory']:.3f}x (target 1.2x)"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
