"""Helpers for the hostile-input and leak tests: isolation, memory, a walk over everything."""

from __future__ import annotations

import gc
import os
import subprocess
import sys
import textwrap
from typing import Any, Callable

import kestro_sdk


def run_isolated(code: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    """Runs code in a fresh interpreter, so a crash (negative return code) or a hang
    (TimeoutExpired) fails one test, not the run."""
    env = dict(os.environ if env is None else env)
    # The child must import the same kestro_sdk as this process.
    env["PYTHONPATH"] = os.path.dirname(os.path.dirname(kestro_sdk.__file__))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          errors="replace", timeout=60, env=env)  # fmt: skip


def rss_growth(action: Callable[[], object], rounds: int, warmup: int) -> int:
    """Runs action warmup times, then rounds times; returns the resident-set growth over the rounds."""

    def rss() -> int:
        gc.collect()
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    for _ in range(warmup):
        action()
    before = rss()
    for _ in range(rounds):
        action()
    return rss() - before


def walk(root: Any) -> int:
    """Reads every property, calls every parameterless method and takes repr and str of root and of
    everything it hands out, tree nodes included; returns a count so the work is not optimised away."""
    n, stack = 0, [root]
    while stack:
        obj = stack.pop()
        n += len(repr(obj)) + len(str(obj))
        if isinstance(obj, (list, tuple)):
            stack.extend(obj)
        elif isinstance(obj, dict):
            stack.extend(obj.values())
        elif type(obj).__module__ == "kestro_sdk":
            for name, member in vars(type(obj)).items():
                if type(member).__name__ == "getset_descriptor" and not name.startswith("__"):
                    stack.append(getattr(obj, name))
                elif getattr(member, "__text_signature__", None) == "($self)":
                    stack.append(getattr(obj, name)())
    return n


def walk_session(s: kestro_sdk.Session) -> int:
    """walk() plus every query that takes an argument and the iterator."""
    last = s.messages[-1].uuid
    queries = [list(iter(s)), s.get_messages_by_role("user"), s.get_messages_by_tool("Tool1"), s.get_thread(last),
               s.get_message_by_uuid(last), s.filter_messages(lambda m: m.cost > 0)]  # fmt: skip
    return walk([s, queries])
