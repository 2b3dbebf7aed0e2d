"""Helpers for the hostile-input, property and leak tests: isolation, memory, expected values."""

from __future__ import annotations

import gc
import os
import subprocess
import sys
import textwrap
from dataclasses import dataclass
from typing import Any, Callable

import kestro_sdk

U32_MAX = 2**32 - 1


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def rss_growth(action: Callable[[], object], rounds: int, warmup: int) -> int:
    """Runs action warmup times, then rounds times; returns the RSS growth over the rounds."""
    for _ in range(warmup):
        action()
    gc.collect()
    before = rss_bytes()
    for _ in range(rounds):
        action()
    gc.collect()
    return rss_bytes() - before


@dataclass
class Outcome:
    returncode: int
    stdout: str
    stderr: str


def run_isolated(code: str, timeout: float = 60.0, env: dict[str, str] | None = None) -> Outcome:
    """Runs code in a fresh interpreter, so a crash or a hang fails one test, not the run.

    A crash shows as a negative return code (the signal); a hang raises TimeoutExpired.
    """
    here = os.path.dirname(os.path.abspath(__file__))
    full_env = dict(os.environ if env is None else env)
    # The child must import the same kestro_sdk as this process.
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(kestro_sdk.__file__)))
    full_env["PYTHONPATH"] = os.pathsep.join([package_root, here, full_env.get("PYTHONPATH", "")])
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        errors="replace",
        timeout=timeout,
        env=full_env,
    )
    return Outcome(proc.returncode, proc.stdout, proc.stderr)


def walk_session(session: kestro_sdk.Session) -> int:
    """Reads every property and calls every method of a session and of everything it hands out,
    walking the tree to its leaves; returns a count so the work is not optimised away."""
    n = len(session) + len(repr(session)) + len(session.session_id) + len(session.tools_used)
    n += int(session.total_cost) + (session.duration or 0) + len(session.tool_costs)
    n += len(session.cost_by_turn) + len(session.project_path) + len(session.project_name)
    n += len(session.get_main_chain()) + len(session.get_messages_by_role("user"))
    n += len(session.get_messages_by_tool("Bash")) + len(session.filter_messages(lambda m: m.cost > 0))
    for message in session:
        n += walk_message(message)
        n += len(session.get_thread(message.uuid))
        n += session.get_message_by_uuid(message.uuid) is not None
    for ex in session.tool_executions:
        out = ex.output
        n += len(repr(ex)) + len(ex.tool_name) + ex.duration_ms + len(ex.timestamp) + len(str(ex.input))
        n += ex.is_success() + len(repr(out)) + len(out.tool_use_id) + len(out.content)
        n += len(out.stdout or "") + len(out.stderr or "") + out.interrupted + out.is_error
        n += out.is_success() + len(out.effective_content())
    meta = session.metadata
    n += len(repr(meta)) + meta.total_messages + meta.user_messages + meta.assistant_messages
    n += int(meta.total_cost_usd) + meta.total_input_tokens + meta.total_output_tokens
    n += meta.cache_creation_tokens + meta.cache_read_tokens + len(meta.unique_tools_used)
    n += meta.total_tool_calls + len(meta.tool_usage_count) + len(meta.session_file_path)
    n += len(meta.first_message_timestamp or "") + len(meta.last_message_timestamp or "")
    n += (meta.session_duration or 0) + meta.total_duration_ms + int(meta.average_response_time_ms or 0)
    tree = session.conversation_tree
    stats = tree.stats
    n += len(repr(tree)) + len(tree.orphaned_messages) + len(tree.circular_references)
    n += tree.max_depth() + tree.count_branches() + len(repr(stats)) + stats.total_messages
    n += stats.max_depth + stats.num_branches + stats.leaf_count
    stack = list(tree.root_messages)
    while stack:
        node = stack.pop()
        n += len(repr(node)) + node.is_leaf() + node.child_count() + walk_message(node.message)
        stack.extend(node.children)
    return n


def walk_message(m: kestro_sdk.Message) -> int:
    n = len(m.role) + len(m.text) + len(m.model or "") + int(m.cost) + len(m.tools)
    n += len(m.stop_reason or "") + len(m.timestamp) + len(m.uuid) + len(m.parent_uuid or "")
    n += m.is_sidechain + len(m.cwd) + (m.total_tokens or 0) + (m.input_tokens or 0) + (m.output_tokens or 0)
    n += len(repr(m)) + len(str(m)) + m.has_tool_use()
    if m.usage is not None:
        u = m.usage
        n += len(repr(u)) + u.input_tokens + u.output_tokens + (u.cache_creation_input_tokens or 0)
        n += (u.cache_read_input_tokens or 0) + len(u.service_tier or "")
    for b in m.get_content_blocks():
        n += len(repr(b))
        if isinstance(b, kestro_sdk.TextBlock):
            n += len(b.text)
        elif isinstance(b, kestro_sdk.ThinkingBlock):
            n += len(b.thinking) + len(b.signature)
        elif isinstance(b, kestro_sdk.ToolUseBlock):
            n += len(b.id) + len(b.name) + len(str(b.input))
        elif isinstance(b, kestro_sdk.ToolResultBlock):
            n += len(b.tool_use_id) + len(b.content or "") + bool(b.is_error)
        elif isinstance(b, kestro_sdk.ImageBlock):
            n += len(b.source_type) + len(b.media_type) + len(b.data)
    n += len(m.get_tool_blocks()) + len(m.get_text_blocks())
    return n


# ---- Expected values, computed here from the records as written, never by the module. ----


def expected_classification(records: list[dict[str, Any]]) -> dict[str, Any]:
    """Sorts record indices into nodes (with their depth-first forest), orphans, circular
    references and descendants of orphans, following the linking rules of the log format."""
    ids = {r["uuid"] for r in records}
    last: dict[str, int] = {}
    for i, r in enumerate(records):
        last[r["uuid"]] = i
    roots: list[int] = []
    filed: dict[str, list[int]] = {}
    orphans: list[int] = []
    circular: list[tuple[str, str]] = []
    circular_idx: list[int] = []
    for i, r in enumerate(records):
        parent = r["parentUuid"]
        if parent is None:
            roots.append(i)
            continue
        if parent not in ids:
            orphans.append(i)
            continue
        seen: set[str] = set()
        current = r["uuid"]
        looped = None
        while True:
            if current in seen:
                looped = current
                break
            seen.add(current)
            up = records[last[current]]["parentUuid"] if current in last else None
            if up is None:
                break
            current = up
        if looped is not None:
            circular.append((r["uuid"], looped))
            circular_idx.append(i)
        else:
            filed.setdefault(parent, []).append(i)
    # The forest as (record index, children) built depth first; a child list goes to the first
    # node that claims its identifier.
    forest: list[tuple[int, list[Any]]] = []
    nodes: list[int] = []
    stack: list[tuple[int, list[Any]]] = []
    for i in reversed(roots):
        entry: tuple[int, list[Any]] = (i, [])
        forest.insert(0, entry)
        stack.append(entry)
    order: list[tuple[int, list[Any]]] = []
    while stack:
        entry = stack.pop()
        order.append(entry)
        i, children = entry
        nodes.append(i)
        for c in filed.pop(records[i]["uuid"], []):
            children.append((c, []))
        stack.extend(reversed(children))
    classified = set(nodes) | set(orphans) | set(circular_idx)
    under_orphans = [i for i in range(len(records)) if i not in classified]
    return {
        "forest": forest,
        "nodes": sorted(nodes),
        "orphans": [records[i]["uuid"] for i in orphans],
        "circular": circular,
        "under_orphans": under_orphans,
    }


def forest_stats(forest: list[tuple[int, list[Any]]]) -> tuple[int, int, int, int]:
    """(nodes, max depth, branching nodes, leaves) of a forest of (index, children) pairs."""
    total = depth_max = branches = leaves = 0
    stack = [(entry, 1) for entry in forest]
    while stack:
        (_, children), depth = stack.pop()
        total += 1
        depth_max = max(depth_max, depth)
        branches += len(children) > 1
        leaves += not children
        stack.extend((c, depth + 1) for c in children)
    return total, depth_max, branches, leaves


def rfc3339_ms(epoch_ms: int) -> str:
    """How the module shows a UTC instant held to the millisecond."""
    import datetime as dt

    t = dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc) + dt.timedelta(milliseconds=epoch_ms)
    frac = f".{epoch_ms % 1000:03d}" if epoch_ms % 1000 else ""
    return t.strftime("%Y-%m-%dT%H:%M:%S") + frac + "+00:00"


def iso_ms(epoch_ms: int) -> str:
    """How a log line writes that instant (Z suffix, always three fraction digits)."""
    import datetime as dt

    t = dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc) + dt.timedelta(milliseconds=epoch_ms)
    return t.strftime("%Y-%m-%dT%H:%M:%S") + f".{epoch_ms % 1000:03d}Z"
