"""Lifetime: objects outlive what made them, and repeated use does not grow memory."""

from __future__ import annotations

import gc
import os
from pathlib import Path

from conftest import big_session_lines, chain, write_log
from kestro_sdk import Session, load, load_project


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def walk_everything(session: Session) -> int:
    """Touches every property, method and tree node once; returns a count so nothing is optimised away."""
    touched = len(session) + len(session.session_id) + len(repr(session)) + len(session.tools_used)
    touched += int(session.total_cost) + (session.duration or 0) + len(session.tool_costs) + len(session.cost_by_turn)
    touched += len(session.project_path) + len(session.project_name) + len(session.get_main_chain())
    touched += len(session.get_messages_by_role("assistant")) + len(session.get_messages_by_tool("Tool1"))
    touched += len(session.filter_messages(lambda m: m.has_tool_use()))
    for m in session:
        touched += len(m.role) + len(m.text) + len(m.tools) + len(m.timestamp) + len(m.uuid) + len(m.cwd) + len(repr(m)) + len(str(m))
        touched += (m.total_tokens or 0) + (m.input_tokens or 0) + (m.output_tokens or 0) + int(m.is_sidechain) + len(m.model or "")
        touched += len(m.stop_reason or "") + len(m.parent_uuid or "") + int(m.cost)
        if m.usage is not None:
            touched += len(repr(m.usage)) + (m.usage.cache_read_input_tokens or 0) + len(m.usage.service_tier or "")
        for b in m.get_content_blocks():
            touched += len(repr(b))
        touched += len(m.get_tool_blocks()) + len(m.get_text_blocks())
    last = session.messages[-1].uuid
    touched += len(session.get_thread(last)) + (session.get_message_by_uuid(last) is not None)
    for ex in session.tool_executions:
        out = ex.output
        touched += len(repr(ex)) + len(str(ex.input)) + len(ex.timestamp) + len(out.effective_content()) + out.is_success()
    meta = session.metadata
    touched += len(repr(meta)) + len(meta.tool_usage_count) + len(meta.unique_tools_used) + len(meta.session_file_path)
    tree = session.conversation_tree
    touched += len(tree.orphaned_messages) + len(tree.circular_references) + len(repr(tree.stats))
    stack = list(tree.root_messages)
    while stack:
        node = stack.pop()
        touched += len(repr(node)) + len(node.message.uuid) + node.child_count()
        stack.extend(node.children)
    return touched


def test_memory_settles_over_repeated_walks(tmp_path: Path) -> None:
    path = write_log(tmp_path / "big.jsonl", big_session_lines(1_000_000))
    assert path.stat().st_size >= 1_000_000
    session = load(path)
    for _ in range(20):
        walk_everything(session)
    gc.collect()
    before = rss_bytes()
    for _ in range(200):
        walk_everything(session)
    gc.collect()
    growth = rss_bytes() - before
    assert growth < 4 * 1024 * 1024, f"RSS grew by {growth} bytes"


def test_memory_settles_over_repeated_loads(tmp_path: Path) -> None:
    path = write_log(tmp_path / "-p" / "big.jsonl", big_session_lines(300_000))
    for _ in range(5):
        load(path)
    gc.collect()
    before = rss_bytes()
    for _ in range(60):
        walk_everything(load(path))
        load_project(str(path.parent))
    gc.collect()
    growth = rss_bytes() - before
    assert growth < 4 * 1024 * 1024, f"RSS grew by {growth} bytes"


def test_objects_outlive_their_session(load_lines) -> None:
    session = load_lines(chain(3))
    message, tree, meta = session.messages[2], session.conversation_tree, session.metadata
    root = tree.root_messages[0]
    del session
    gc.collect()
    assert (message.parent_uuid is not None, meta.total_messages, root.children[0].children[0].message.uuid) == (True, 3, message.uuid)


def test_sessions_outlive_their_project(tmp_path: Path) -> None:
    write_log(tmp_path / "-p" / "s.jsonl", chain(2))
    sessions = load_project(str(tmp_path / "-p")).sessions
    gc.collect()
    assert [len(s) for s in sessions] == [2]
