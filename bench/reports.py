#!/usr/bin/env python3
"""What a report costs from process start to exit: cold, warm and after 1 MB is appended; time and peak memory.

    python3 bench/reports.py TREE [TREE ...] [--repeat N] [--json]

Runs the installed ``kestro-sdk`` script beside the interpreter (as a user runs
it), on each projects folder TREE, best of --repeat (default 3):

* cold: ``daily --json`` with an empty cache folder (it reads every file and fills the cache);
* no cache: ``daily --json --no-cache`` (reads every file, leaves the cache alone);
* warm: ``daily --json`` again with nothing changed;
* appended: ``daily --json`` after 1 MB of complete lines is appended to one log
  (the log is cut back to its old size after each run and the cache warmed again);
* statusline: ``statusline`` warm;
* baseline: ``python -c pass`` with the same interpreter, to tell the machine's own
  start-up cost (and load) from the command's.

Peak memory is the child's maximum resident set size and CPU time its user plus
system time (``wait4``): on a shared machine the CPU time moves less than the
wall time. Each figure is the best of the runs. The trees come
from ``../shared/bench/gen_sessions.py`` (see its README); nothing is written in
them except the appended megabyte, which is removed again.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

APPEND_BYTES = 1 << 20


def script() -> str:
    found = shutil.which("kestro-sdk", path=str(Path(sys.executable).parent))
    if found is None:
        raise SystemExit("kestro-sdk is not installed beside this interpreter (scripts/build-python)")
    return found


def run(args: list[str], env: dict[str, str]) -> tuple[float, int, float]:
    """Seconds from start to exit, peak resident kilobytes and CPU seconds of one run."""
    start = time.perf_counter()
    proc = subprocess.Popen(args, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    err = proc.stderr.read().decode() if proc.stderr else ""
    if proc.returncode != 0:
        raise SystemExit(f"{' '.join(args)} failed ({proc.returncode}): {err.strip()}")
    return elapsed, usage.ru_maxrss, usage.ru_utime + usage.ru_stime


def best(samples: list[tuple[float, int, float]]) -> dict[str, float]:
    return {
        "seconds": round(min(s for s, _, _ in samples), 4),
        "cpu_seconds": round(min(c for _, _, c in samples), 4),
        "peak_mb": round(min(k for _, k, _ in samples) / 1024, 1),
    }


def complete_lines(sources: list[Path], size: int) -> bytes:
    """About ``size`` bytes of complete lines taken from the start of other logs."""
    out = b""
    for source in sources:
        data = source.read_bytes()
        need = size - len(out)
        if len(data) > need:
            cut = data.rfind(b"\n", 0, need) + 1
            return out + data[:cut]
        out += data if data.endswith(b"\n") else data + b"\n"
    return out


def bench(tree: Path, repeat: int) -> dict[str, object]:
    exe = script()
    logs = sorted(tree.rglob("*.jsonl"))
    total = sum(p.stat().st_size for p in logs)
    target = logs[len(logs) // 2]
    extra = complete_lines([p for p in logs if p != target], APPEND_BYTES)
    daily = [exe, "daily", "--json", "--base", str(tree), "--timezone", "UTC"]
    results: dict[str, object] = {"tree": str(tree), "files": len(logs), "mb": round(total / 1e6, 1)}
    with tempfile.TemporaryDirectory() as tmp:
        env = dict(os.environ, KESTRO_CACHE_DIR=str(Path(tmp) / "cache"), KESTRO_CONFIG=str(Path(tmp) / "none.toml"))
        cold = []
        for _ in range(repeat):
            shutil.rmtree(Path(tmp) / "cache", ignore_errors=True)
            cold.append(run(daily, env))
        results["cold"] = best(cold)
        results["no_cache"] = best([run([*daily, "--no-cache"], env) for _ in range(repeat)])
        run(daily, env)
        results["warm"] = best([run(daily, env) for _ in range(repeat)])
        appended = []
        size = target.stat().st_size
        for _ in range(repeat):
            with target.open("ab") as f:
                f.write(extra)
            try:
                appended.append(run(daily, env))
            finally:
                with target.open("r+b") as f:
                    f.truncate(size)
            run(daily, env)
        results["appended"] = best(appended) | {"appended_mb": round(len(extra) / 1e6, 2)}
        status = [exe, "statusline", "--base", str(tree), "--timezone", "UTC"]
        run(status, env)
        results["statusline"] = best([run(status, env) for _ in range(repeat)])
        results["baseline"] = best([run([sys.executable, "-c", "pass"], env) for _ in range(repeat)])
    return results


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("trees", nargs="+", type=Path)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args()
    out = [bench(t, args.repeat) for t in args.trees]
    if args.json:
        print(json.dumps(out, indent=2))
        return
    print(f"load average {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    for r in out:
        print(f"{r['tree']}: {r['files']} files, {r['mb']} MB")
        for key in ("cold", "no_cache", "warm", "appended", "statusline", "baseline"):
            v = r[key]
            assert isinstance(v, dict)
            print(
                f"  {key:<11} {v['seconds'] * 1000:8.0f} ms  {v['cpu_seconds'] * 1000:8.0f} ms CPU  "
                f"{v['peak_mb']:6.1f} MB peak"
            )


if __name__ == "__main__":
    main()
