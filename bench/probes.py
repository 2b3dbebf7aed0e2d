"""Measurements that each run in a fresh interpreter and print one JSON object.

    python3 probes.py import
    python3 probes.py read FILE [--repeat N]
    python3 probes.py project BASE [--repeat N]
    python3 probes.py chain FILE

A fresh process per probe keeps them apart: the peak RSS (VmHWM) is this
probe's own, import time is a first import, and a probe that runs away can be
stopped by the caller's timeout without losing the other figures.
"""

from __future__ import annotations

import argparse
import gc
import importlib
import json
import resource
import sys
import time


def peak_rss_bytes() -> int:
    # VmHWM, not ru_maxrss: ru_maxrss survives fork+exec, so a child of a big
    # parent would report the parent's peak.
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def probe_import(_: argparse.Namespace) -> dict:
    t0 = time.perf_counter()
    importlib.import_module("kestro_sdk")
    return {"import_s": time.perf_counter() - t0}


MESSAGE_PROPERTIES = (
    "role",
    "text",
    "model",
    "cost",
    "tools",
    "stop_reason",
    "usage",
    "timestamp",
    "uuid",
    "parent_uuid",
    "is_sidechain",
    "cwd",
    "total_tokens",
    "input_tokens",
    "output_tokens",
)
BLOCK_PROPERTIES = {
    "TextBlock": ("text",),
    "ThinkingBlock": ("thinking", "signature"),
    "ToolUseBlock": ("id", "name", "input"),
    "ToolResultBlock": ("tool_use_id", "content", "is_error"),
    "ImageBlock": ("source_type", "media_type", "data"),
}


def read_messages(session) -> int:
    """Every property of every message; returns the number of property reads."""
    n = 0
    for m in session.messages:
        for name in MESSAGE_PROPERTIES:
            getattr(m, name)
        n += len(MESSAGE_PROPERTIES)
    return n


def read_blocks(session) -> int:
    """Every content block of every message, with every property of each block."""
    n = 0
    for m in session.messages:
        for b in m.get_content_blocks():
            for name in BLOCK_PROPERTIES[type(b).__name__]:
                getattr(b, name)
            n += 1
    return n


def walk_tree(session) -> int:
    """Visits every node of the conversation tree once, reading its message's uuid.

    Iterative: the main chain of a real session is tens of thousands of replies deep.
    """
    stack = list(session.conversation_tree.root_messages)
    n = 0
    while stack:
        node = stack.pop()
        _ = node.message.uuid
        stack.extend(node.children)
        n += 1
    return n


def probe_read(a: argparse.Namespace) -> dict:
    from kestro_sdk import load

    best_load = float("inf")
    for _ in range(a.repeat):
        t0 = time.perf_counter()
        s = load(a.file)
        best_load = min(best_load, time.perf_counter() - t0)
        del s
        gc.collect()
    s = load(a.file)
    parts = {"messages": read_messages, "blocks": read_blocks, "tree": walk_tree}
    best = {k: float("inf") for k in parts}
    counts = {}
    for _ in range(a.repeat):
        for name, fn in parts.items():
            t0 = time.perf_counter()
            counts[name] = fn(s)
            best[name] = min(best[name], time.perf_counter() - t0)
            gc.collect()
    return {
        "load_s": best_load,
        "read_s": best,
        "read_total_s": sum(best.values()),
        "counts": {
            "property_reads": counts["messages"],
            "blocks": counts["blocks"],
            "tree_nodes": counts["tree"],
            "messages": len(s),
        },
    }


def probe_project(a: argparse.Namespace) -> dict:
    from kestro_sdk import find_projects, load_project

    paths = find_projects(a.base)
    best = float("inf")
    sessions = messages = 0
    for _ in range(a.repeat):
        t0 = time.perf_counter()
        projects = [load_project(p) for p in paths]  # kept alive, as a user would
        best = min(best, time.perf_counter() - t0)
        sessions = sum(len(p.sessions) for p in projects)
        messages = sum(p.total_messages for p in projects)
        del projects
        gc.collect()
    return {
        "load_project_s": best,
        "projects": len(paths),
        "sessions": sessions,
        "messages": messages,
        "peak_rss_bytes": peak_rss_bytes(),
    }


def probe_chain(a: argparse.Namespace) -> dict:
    from kestro_sdk import load

    before = peak_rss_bytes()
    t0 = time.perf_counter()
    s = load(a.file)
    load_s = time.perf_counter() - t0
    peak = peak_rss_bytes()
    t0 = time.perf_counter()
    st = s.conversation_tree.stats
    stats_s = time.perf_counter() - t0
    return {
        "load_s": load_s,
        "messages": len(s),
        "stats_s": stats_s,
        "stats": {
            "total_messages": st.total_messages,
            "max_depth": st.max_depth,
            "num_branches": st.num_branches,
            "leaf_count": st.leaf_count,
        },
        "before_load_bytes": before,
        "peak_rss_bytes": peak,
    }


def main(argv: list) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = ap.add_subparsers(dest="probe", required=True)
    sub.add_parser("import").set_defaults(fn=probe_import)
    for name, fn, arg in (
        ("read", probe_read, "file"),
        ("project", probe_project, "base"),
        ("chain", probe_chain, "file"),
    ):
        p = sub.add_parser(name)
        p.add_argument(arg)
        p.add_argument("--repeat", type=int, default=3)
        p.set_defaults(fn=fn)
    a = ap.parse_args(argv)
    print(json.dumps(a.fn(a)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
