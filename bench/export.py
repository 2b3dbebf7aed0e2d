#!/usr/bin/env python3
"""What reading sessions back costs: exports of the 100 MB session, the Parquet export of the
standard tree, and how soon `show` starts drawing.

    python3 bench/export.py [--json] [--repeat N] [--dir DIR] [--tree DIR] [--only parquet]

Uses the installed kestro_sdk. The inputs are made with ../shared/bench/gen_sessions.py
(seed 1) in DIR (default $TMPDIR/kestro-bench-export) and kept there for the next run:

* export: `kestro_sdk.export.export([session], out, fmt)` of the 100 MB session, in process,
  reading included, for html (the target: 3 s or less), md and jsonl; median of --repeat, as
  wall time and as CPU time (the work is on one thread: on an idle core the two agree, on a
  shared machine the CPU time is the fairer figure).
* parquet: `kestro_sdk.export.to_parquet(tree, out)` of the standard 200 MB tree (made when
  missing in --tree, default /tmp/kb/projects: 6 projects, 300 sessions of 0.65 MB, seed 1),
  in process with pyarrow already imported, into an emptied folder (the target: 1 s or less);
  median of --repeat as wall and CPU time, on every core and on one thread; and the same run
  in a fresh interpreter, imports included.
* show: time from starting `python -m kestro_sdk show SESSION` on the 10 MB session to the
  first byte it draws (the target: 0.3 s or less), both into a pipe (plain text, no pager)
  and on a pseudo-terminal through the pager path (`cat` as the pager); median of --repeat;
  also the CPU time the command spent up to that byte.
* python_startup: an interpreter that runs nothing, for scale.
* markdown_it: the import time of the Markdown renderer, in a fresh interpreter.
"""

from __future__ import annotations

import argparse
import json
import os
import pty
import resource
import select
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
GEN = ROOT.parent / "shared" / "bench" / "gen_sessions.py"


def make(path: Path, size_mb: int) -> Path:
    if not path.exists():
        if not GEN.exists():
            sys.exit(f"the generator is missing: {GEN}")
        subprocess.run([sys.executable, str(GEN), "session", str(path), "--size-mb", str(size_mb), "--seed", "1"],
                       check=True, capture_output=True)  # fmt: skip
    return path


def export_seconds(session: Path, fmt: str, repeat: int, work: Path) -> list[tuple[float, float]]:
    """(wall, CPU) seconds of each run."""
    from kestro_sdk import export

    times = []
    for _ in range(repeat):
        out = work / f"out-{fmt}"
        shutil.rmtree(out, ignore_errors=True)
        start, cpu = time.perf_counter(), time.process_time()
        export.export([session], out, fmt)  # type: ignore[arg-type]
        times.append((time.perf_counter() - start, time.process_time() - cpu))
    return times


def make_tree(tree: Path) -> Path:
    if not tree.exists():
        if not GEN.exists():
            sys.exit(f"the generator is missing: {GEN}")
        part = tree.with_name(tree.name + ".part")
        shutil.rmtree(part, ignore_errors=True)
        subprocess.run([sys.executable, str(GEN), "project", str(part), "--projects", "6", "--sessions", "300",
                        "--size-mb", "0.65", "--seed", "1"], check=True, capture_output=True)  # fmt: skip
        os.replace(part, tree)
    return tree


def parquet_seconds(tree: Path, repeat: int, work: Path, threads: int | None) -> list[tuple[float, float]]:
    """(wall, CPU) seconds of each run; CPU counts every thread of this process."""
    import pyarrow  # noqa: F401  (imported before the clock starts: the figure is the export's)

    from kestro_sdk import export

    times = []
    for _ in range(repeat):
        out = work / "out-parquet"
        shutil.rmtree(out, ignore_errors=True)
        start, cpu = time.perf_counter(), time.process_time()
        export.to_parquet(tree, out, exporter_id="bench", threads=threads)
        times.append((time.perf_counter() - start, time.process_time() - cpu))
    return times


PARQUET_CHILD = """
import sys, time
start = time.perf_counter()
from kestro_sdk import export
export.to_parquet(sys.argv[1], sys.argv[2], exporter_id="bench")
print(time.perf_counter() - start)
"""


def parquet_fresh_seconds(tree: Path, work: Path) -> tuple[float, float]:
    """(wall, CPU) of an export in a fresh interpreter, imports included (not its start-up)."""
    out = work / "out-parquet-fresh"
    shutil.rmtree(out, ignore_errors=True)
    before = _children_cpu()
    done = subprocess.run([sys.executable, "-c", PARQUET_CHILD, str(tree), str(out)],
                          check=True, capture_output=True, text=True)  # fmt: skip
    return float(done.stdout), _children_cpu() - before


def _children_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def first_byte_pipe(session: Path) -> float:
    start = time.perf_counter()
    proc = subprocess.Popen([sys.executable, "-m", "kestro_sdk", "show", str(session), "--no-pager"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)  # fmt: skip
    assert proc.stdout is not None
    proc.stdout.read(1)
    took = time.perf_counter() - start
    proc.kill()
    proc.wait()
    return took


def first_byte_cpu(session: Path) -> float:
    """CPU seconds the command spent up to its first byte (it is killed right after it)."""
    before = _children_cpu()
    first_byte_pipe(session)
    return _children_cpu() - before


def first_byte_terminal(session: Path) -> float:
    master, slave = pty.openpty()
    env = dict(os.environ, KESTRO_PAGER="cat", COLUMNS="120", LINES="40")
    start = time.perf_counter()
    proc = subprocess.Popen([sys.executable, "-m", "kestro_sdk", "show", str(session)],
                            stdout=slave, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, env=env)  # fmt: skip
    os.close(slave)
    took = float("inf")
    ready, _, _ = select.select([master], [], [], 30)
    if ready:
        os.read(master, 1)
        took = time.perf_counter() - start
    proc.kill()
    proc.wait()
    os.close(master)
    return took


def startup_seconds() -> float:
    """An interpreter that does nothing, for scale: the part of a first byte that is not ours."""
    start = time.perf_counter()
    subprocess.run([sys.executable, "-c", "pass"], check=True)
    return time.perf_counter() - start


def import_ms(module: str, repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        out = subprocess.run([sys.executable, "-X", "importtime", "-c", f"import {module}"],
                             capture_output=True, text=True, check=True)  # fmt: skip
        for line in out.stderr.splitlines():
            parts = [p.strip() for p in line.removeprefix("import time:").split("|")]
            if len(parts) == 3 and parts[2] == module:
                best = min(best, int(parts[1]) / 1000)
    return best


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--json", action="store_true")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--dir", type=Path, default=Path(tempfile.gettempdir()) / "kestro-bench-export")
    ap.add_argument("--tree", type=Path, default=Path("/tmp/kb/projects"))
    ap.add_argument("--only", choices=["parquet"], help="Measure the Parquet export alone.")
    args = ap.parse_args()
    args.dir.mkdir(parents=True, exist_ok=True)
    results: dict[str, object] = {"load_average_1m": round(os.getloadavg()[0], 2)}
    tree = make_tree(args.tree)
    results["tree_mb"] = round(sum(p.stat().st_size for p in tree.rglob("*.jsonl")) / 1e6, 1)
    for name, threads in (("parquet", None), ("parquet_1_thread", 1)):
        times = parquet_seconds(tree, args.repeat, args.dir, threads)
        results[f"{name}_s"] = round(statistics.median(wall for wall, _ in times), 3)
        results[f"{name}_cpu_s"] = round(statistics.median(cpu for _, cpu in times), 3)
    fresh = [parquet_fresh_seconds(tree, args.dir) for _ in range(args.repeat)]
    results["parquet_fresh_process_s"] = round(statistics.median(wall for wall, _ in fresh), 3)
    results["parquet_fresh_process_cpu_s"] = round(statistics.median(cpu for _, cpu in fresh), 3)
    if args.only == "parquet":
        _report(results, args.json)
        return
    big = make(args.dir / "s100.jsonl", 100)
    small = make(args.dir / "s10.jsonl", 10)
    size_mb = big.stat().st_size / 1e6

    results["session_mb"] = round(size_mb, 1)
    for fmt in ("html", "md", "jsonl"):
        times = export_seconds(big, fmt, args.repeat, args.dir)
        med = statistics.median(wall for wall, _ in times)
        results[f"export_{fmt}_s"] = round(med, 3)
        results[f"export_{fmt}_cpu_s"] = round(statistics.median(cpu for _, cpu in times), 3)
        results[f"export_{fmt}_mb_per_s"] = round(size_mb / med, 1)
    probes = (("show_first_byte_pipe_s", first_byte_pipe), ("show_first_byte_pipe_cpu_s", first_byte_cpu),
              ("show_first_byte_terminal_s", first_byte_terminal))  # fmt: skip
    for name, probe in probes:
        results[name] = round(statistics.median(probe(small) for _ in range(max(args.repeat, 5))), 3)
    results["python_startup_s"] = round(statistics.median(startup_seconds() for _ in range(max(args.repeat, 5))), 3)
    results["markdown_it_import_ms"] = round(import_ms("markdown_it", args.repeat), 1)
    _report(results, args.json)


def _report(results: dict[str, object], as_json: bool) -> None:
    results["load_average_1m_end"] = round(os.getloadavg()[0], 2)
    if as_json:
        print(json.dumps(results, indent=2))
    else:
        for key, value in results.items():
            print(f"{key:32} {value}")


if __name__ == "__main__":
    main()
