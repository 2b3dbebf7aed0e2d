#!/usr/bin/env python3
"""The load benchmark: product against the floor and the Python baseline, plus what they omit.

    python3 bench/run.py [--json] [--workdir DIR] [--repeat N] [--chain-messages N] [--save FILE]

Uses the installed kestro_sdk (it builds nothing of the product). Generates the
standard inputs into the work folder when they are missing (default
$TMPDIR/kestro-bench), builds the floor binary there, runs the shared
compare.py on the 100 MB session, then adds, each in a fresh child process:
  project  load_project over the ~200 MB tree (every project of the base
           directory, all kept alive) against the floor's parse time summed
           over the same 300 files;
  read     every property of every message, every content block with its
           properties, and one walk over the whole conversation tree, after
           load(), against the time of load() itself;
  import   `import kestro_sdk` in a fresh interpreter, median of several;
  chain    a single reply chain of a million small messages: load time, tree
           statistics, peak RSS, and memory per message against a quarter of it.
Prints one table, or with --json one JSON object. Exit status 1 when a step
fails; a missed target is reported, not an error.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import inputs  # noqa: E402

PROBES = HERE / "probes.py"
IMPORT_RUNS = 9
# How much per-message memory may grow from a quarter of the chain to the whole
# before the growth no longer counts as linear (allocator rounding and vector
# doubling make an exact 1.0 impossible).
LINEAR_SLACK = 1.25


def run_json(cmd: list, timeout: float) -> dict:
    """Runs a child that prints one JSON object; failures come back as {"error": ...}."""
    try:
        r = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"error": f"timed out after {timeout:.0f} s"}
    try:
        out = json.loads(r.stdout)
    except json.JSONDecodeError:
        tail = (r.stderr.strip().splitlines() or [f"exit {r.returncode}"])[-1]
        return {"error": tail}
    if r.returncode != 0 and isinstance(out, dict):
        out.setdefault("exit_status", r.returncode)
    return out


def probe(name: str, *args: str, timeout: float) -> dict:
    return run_json([sys.executable, str(PROBES), name, *args], timeout)


def run_compare(session: Path, floor: Path, repeat: int, timeout: float) -> dict:
    compare = inputs.shared_dir() / "compare.py"
    return run_json(
        [sys.executable, str(compare), str(session), "--floor", str(floor), "--repeat", str(repeat), "--json"], timeout
    )


def floor_over_tree(floor: Path, base: Path, repeat: int) -> dict:
    """Sum of the floor's best parse time over every file of the tree.

    One floor run per file rather than one over a concatenation: load_project
    opens, reads and finishes 300 files of 44 KB to 5 MB, and the floor should
    pay those per-file costs too. The floor times itself, so process start-up
    is not in the sum.
    """
    files = sorted(base.rglob("*.jsonl"))
    total, size = 0.0, 0
    for f in files:
        r = subprocess.run([str(floor), str(f), "--repeat", str(repeat), "--json"], capture_output=True, text=True)
        if r.returncode != 0:
            return {"error": f"{f}: {r.stderr.strip()}"}
        d = json.loads(r.stdout)
        total += d["parse_s"]
        size += d["file_bytes"]
    return {"files": len(files), "bytes": size, "parse_s": total}


def import_times(runs: int, timeout: float) -> dict:
    times, errors = [], []
    for _ in range(runs):
        r = probe("import", timeout=timeout)
        if "error" in r:
            errors.append(r["error"])
        else:
            times.append(r["import_s"])
    if not times:
        return {"error": errors[0] if errors else "no runs"}
    return {"runs": len(times), "median_s": statistics.median(times), "min_s": min(times), "max_s": max(times)}


def chain_figures(workdir: Path, messages: int, timeout: float) -> dict:
    quarter = max(messages // 4, 1)
    full = inputs.write_chain(workdir / f"chain-{messages}.jsonl", messages)
    part = inputs.write_chain(workdir / f"chain-{quarter}.jsonl", quarter)
    big = probe("chain", str(full), timeout=timeout)
    small = probe("chain", str(part), timeout=timeout)
    out = {"messages": messages, "file_bytes": full.stat().st_size, "full": big, "quarter": small}
    if "error" in big or "error" in small:
        return out
    per_msg = {}
    for key, r in (("full", big), ("quarter", small)):
        per_msg[key] = {
            "load_s": r["load_s"] / r["messages"],
            "rss_bytes": (r["peak_rss_bytes"] - r["before_load_bytes"]) / r["messages"],
        }
    out["per_message"] = per_msg
    out["rss_growth_ratio"] = per_msg["full"]["rss_bytes"] / per_msg["quarter"]["rss_bytes"]
    out["time_growth_ratio"] = per_msg["full"]["load_s"] / per_msg["quarter"]["load_s"]
    out["peak_per_file_byte"] = big["peak_rss_bytes"] / out["file_bytes"]
    return out


def targets(res: dict) -> list:
    """(label, value, target text, met) for each target that could be measured."""
    rows = []
    cmp_ = res.get("compare", {})
    ratios = cmp_.get("ratios", {})
    if "product / floor parse" in ratios:
        v = ratios["product / floor parse"]
        rows.append(("load vs floor parse (throughput)", f"{v:.2f}x", ">= 0.6x", v >= 0.6))
    if "product / baseline (orjson)" in ratios:
        v = ratios["product / baseline (orjson)"]
        rows.append(("load vs baseline orjson (throughput)", f"{v:.1f}x", ">= 30x", v >= 30))
    rss = cmp_.get("peak_rss", {}).get("product", {})
    if "peak_per_file_byte" in rss:
        v = rss["peak_per_file_byte"]
        rows.append(("peak RSS / file (100 MB load)", f"{v:.2f}x", "<= 1.5x", v <= 1.5))
    pr = res.get("project", {})
    if "time_ratio" in pr:
        v = pr["time_ratio"]
        rows.append(("load_project time / floor time", f"{v:.2f}x", "<= 1.5x", v <= 1.5))
    rd = res.get("read", {})
    if "read_total_s" in rd:
        v = rd["read_total_s"] / rd["load_s"]
        rows.append(("read everything / load time", f"{v:.2f}x", "<= 1x", v <= 1.0))
    im = res.get("import", {})
    if "median_s" in im:
        v = im["median_s"] * 1e3
        rows.append(("import kestro_sdk (median)", f"{v:.2f} ms", "<= 5 ms", v <= 5.0))
    ch = res.get("chain", {})
    if "rss_growth_ratio" in ch:
        v = ch["rss_growth_ratio"]
        rows.append(("1 M chain: memory per message vs 1/4", f"{v:.2f}x", "linear (<= 1.25x)", v <= LINEAR_SLACK))
    return rows


def fmt_s(v: float) -> str:
    return f"{v * 1e3:.1f} ms" if v < 1 else f"{v:.3f} s"


def print_table(res: dict) -> None:
    m = res["machine"]
    print(f"kestro_sdk load benchmark: {m['cpus']} CPUs, Python {m['python']}, {m['platform']}")
    rows = []  # (what, figure, compared with)
    c = res.get("compare", {})
    if "error" in c:
        rows.append(("compare.py", "FAILED", c["error"]))
    else:
        size = c["file_bytes"]
        fl = c.get("floor", {})
        rows.append(
            (
                "input",
                f"{size / 1e6:.1f} MB",
                f"{c['counts'].get('product', ['?'])[0]} messages, "
                f"counts {'agree' if c.get('counts_agree') else 'DIFFER'}",
            )
        )
        for key, label in (
            ("read", "floor read only"),
            ("utf8", "floor read + UTF-8 check"),
            ("parse", "floor read + split + DOM parse"),
        ):
            if f"{key}_s" in fl:
                rows.append((label, f"{fl[key + '_mb_s']:.0f} MB/s", fmt_s(fl[key + "_s"])))
        for name, secs in c.get("seconds", {}).items():
            rows.append((name, f"{c['mb_s'][name]:.0f} MB/s", fmt_s(secs)))
        for name, err in c.get("errors", {}).items():
            rows.append((name, "FAILED", err))
        for name, r in c.get("peak_rss", {}).items():
            if "error" in r:
                rows.append((f"peak RSS {name}", "FAILED", r["error"]))
            else:
                rows.append(
                    (
                        f"peak RSS {name}",
                        f"{r['peak_bytes'] / 1e6:.0f} MB",
                        f"{r['peak_per_file_byte']:.2f} x file, {r['growth_per_file_byte']:.2f} x above start",
                    )
                )
    p = res.get("project", {})
    if "error" in p:
        rows.append(("load_project tree", "FAILED", p["error"]))
    elif p:
        rows.append(
            (
                "load_project, 6 projects",
                fmt_s(p["load_project_s"]),
                f"{p['bytes'] / 1e6:.1f} MB, {p['sessions']} sessions, "
                f"{p['bytes'] / 1e6 / p['load_project_s']:.0f} MB/s",
            )
        )
        rows.append(
            (
                "floor parse, same 300 files",
                fmt_s(p["floor_parse_s"]),
                f"{p['bytes'] / 1e6 / p['floor_parse_s']:.0f} MB/s",
            )
        )
        rows.append(
            (
                "peak RSS load_project",
                f"{p['peak_rss_bytes'] / 1e6:.0f} MB",
                f"{p['peak_rss_bytes'] / p['bytes']:.2f} x tree",
            )
        )
    r = res.get("read", {})
    if "error" in r:
        rows.append(("read everything", "FAILED", r["error"]))
    elif r:
        rows.append(("load() in the read probe", fmt_s(r["load_s"]), "best of the probe's runs"))
        rs = r["read_s"]
        n = r["counts"]
        rows.append(("  read 15 properties x message", fmt_s(rs["messages"]), f"{n['property_reads']:,} reads"))
        rows.append(("  read every content block", fmt_s(rs["blocks"]), f"{n['blocks']:,} blocks"))
        rows.append(("  walk the conversation tree", fmt_s(rs["tree"]), f"{n['tree_nodes']:,} nodes"))
        rows.append(("  read everything, total", fmt_s(r["read_total_s"]), ""))
    i = res.get("import", {})
    if "error" in i:
        rows.append(("import kestro_sdk", "FAILED", i["error"]))
    elif i:
        rows.append(
            (
                "import kestro_sdk",
                f"{i['median_s'] * 1e3:.2f} ms",
                f"median of {i['runs']} (min {i['min_s'] * 1e3:.2f}, max {i['max_s'] * 1e3:.2f})",
            )
        )
    ch = res.get("chain", {})
    for key in ("full", "quarter"):
        d = ch.get(key, {})
        label = f"chain of {ch.get('messages', 0) if key == 'full' else ch.get('messages', 0) // 4:,}"
        if "error" in d:
            rows.append((label, "FAILED", d["error"]))
        elif d:
            st = d["stats"]
            rows.append(
                (
                    f"{label}: load",
                    fmt_s(d["load_s"]),
                    f"depth {st['max_depth']:,}, leaves {st['leaf_count']}, "
                    f"branches {st['num_branches']}, stats read {fmt_s(d['stats_s'])}",
                )
            )
            rows.append(
                (
                    f"{label}: peak RSS",
                    f"{d['peak_rss_bytes'] / 1e6:.0f} MB",
                    f"{(d['peak_rss_bytes'] - d['before_load_bytes']) / d['messages']:.0f} "
                    f"bytes per message above start",
                )
            )
    if "file_bytes" in ch and "peak_per_file_byte" in ch:
        rows.append(
            (
                "chain file",
                f"{ch['file_bytes'] / 1e6:.0f} MB",
                f"peak RSS {ch['peak_per_file_byte']:.2f} x file, load time per message "
                f"{ch['time_growth_ratio']:.2f} x the quarter's",
            )
        )
    w1 = max(len(a) for a, _, _ in rows)
    w2 = max(len(b) for _, b, _ in rows)
    for a, b, cc in rows:
        print(f"  {a:<{w1}}  {b:>{w2}}  {cc}")
    t = targets(res)
    if t:
        print("targets")
        w = max(len(x[0]) for x in t)
        for label, value, want, met in t:
            print(f"  {label:<{w}}  {value:>9}  {want:<18} {'met' if met else 'MISSED'}")


def main(argv: list) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--json", action="store_true", help="print one JSON object instead of a table")
    ap.add_argument("--workdir", type=Path, default=inputs.default_workdir())
    ap.add_argument("--repeat", type=int, default=3, help="runs per timing; the best is kept")
    ap.add_argument("--chain-messages", type=int, default=1_000_000)
    ap.add_argument("--timeout", type=float, default=600, help="seconds allowed to each child")
    ap.add_argument("--save", type=Path, help="also write the JSON object to this file")
    a = ap.parse_args(argv)
    a.workdir.mkdir(parents=True, exist_ok=True)

    t0 = time.perf_counter()
    session = inputs.generate_session(a.workdir / inputs.SESSION_100MB, 100, 1)
    tree = inputs.generate_project_tree(a.workdir / inputs.PROJECT_TREE)
    floor = inputs.build_floor(a.workdir / inputs.FLOOR)
    res = {
        "machine": {"cpus": os.cpu_count(), "python": platform.python_version(), "platform": platform.platform()},
        "inputs": {
            "session": str(session),
            "session_bytes": session.stat().st_size,
            "tree": str(tree),
            "tree_bytes": inputs.tree_bytes(tree),
        },
    }
    for key, want in (("session_bytes", inputs.SESSION_100MB_BYTES), ("tree_bytes", inputs.PROJECT_TREE_BYTES)):
        if res["inputs"][key] != want:
            res["inputs"].setdefault("warnings", []).append(
                f"{key} is {res['inputs'][key]}, expected {want}: the generator changed"
            )

    res["compare"] = run_compare(session, floor, a.repeat, a.timeout)
    proj = probe("project", str(tree), "--repeat", str(a.repeat), timeout=a.timeout)
    if "error" not in proj:
        fl = floor_over_tree(floor, tree, a.repeat)
        if "error" in fl:
            proj = fl
        else:
            proj.update(
                bytes=fl["bytes"],
                files=fl["files"],
                floor_parse_s=fl["parse_s"],
                time_ratio=proj["load_project_s"] / fl["parse_s"],
            )
    res["project"] = proj
    res["read"] = probe("read", str(session), "--repeat", str(a.repeat), timeout=a.timeout)
    res["import"] = import_times(IMPORT_RUNS, a.timeout)
    res["chain"] = chain_figures(a.workdir, a.chain_messages, a.timeout)
    res["targets"] = [{"what": w, "value": v, "target": t, "met": m} for w, v, t, m in targets(res)]
    res["elapsed_s"] = time.perf_counter() - t0

    failed = (
        any("error" in res[k] for k in ("compare", "project", "read", "import"))
        or any("error" in res["chain"].get(k, {}) for k in ("full", "quarter"))
        or bool(res["compare"].get("errors"))
        or res["compare"].get("counts_agree") is False
    )
    if a.save:
        a.save.write_text(json.dumps(res, indent=2) + "\n")
    if a.json:
        print(json.dumps(res, indent=2))
    else:
        print_table(res)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
