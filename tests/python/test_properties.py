"""Property tests: random sessions, loaded from disk, against values computed here from the records."""

from __future__ import annotations

import datetime as dt
import itertools
import tempfile
from pathlib import Path
from typing import Any

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import uid, write_log
from kestro_sdk import Session, load

U32_MAX = 2**32 - 1
EPOCH = dt.datetime(2025, 6, 1, tzinfo=dt.UTC)
TOOL_IDS = ["t1", "t2", "t3"]

text_block = st.builds(lambda t: {"type": "text", "text": t}, st.text(max_size=4))
block = st.one_of(
    text_block,
    st.builds(lambda i, n, v: {"type": "tool_use", "id": i, "name": n, "input": {"v": v}},
              st.sampled_from(TOOL_IDS), st.sampled_from(["Bash", "Read", "Edit"]), st.integers(-5, 5)),
    st.fixed_dictionaries({"type": st.just("tool_result"), "tool_use_id": st.sampled_from(TOOL_IDS + ["t9"])},
                          optional={"content": st.text(max_size=6) | st.lists(text_block, max_size=3), "is_error": st.booleans()}),
)  # fmt: skip
count = st.integers(0, U32_MAX)
usage = st.fixed_dictionaries({"input_tokens": count, "output_tokens": count},
                              optional={"cache_creation_input_tokens": count, "cache_read_input_tokens": count})  # fmt: skip


@st.composite
def records(draw: st.DrawFn) -> list[dict[str, Any]]:
    """1 to 14 records; identifiers from a small pool so that duplicates, self-parents and loops are
    common, parents also outside it (orphans). The first text block names the record: r<index>."""
    out = []
    for i in range(draw(st.integers(1, 14))):
        role = draw(st.sampled_from(["user", "assistant"]))
        content = [{"type": "text", "text": f"r{i}"}, *draw(st.lists(block, max_size=4))]
        at = EPOCH + dt.timedelta(milliseconds=draw(st.integers(0, 3_600_000)))
        out.append({
            "parentUuid": draw(st.none() | st.integers(1, 10).map(uid)), "isSidechain": draw(st.booleans()),
            "userType": "external", "cwd": "/w/p", "sessionId": "s", "version": "1", "type": role,
            "message": {"role": role, "content": content} | draw(st.fixed_dictionaries({}, optional={"usage": usage})),
            "uuid": draw(st.integers(1, 8).map(uid)), "timestamp": at.strftime("%Y-%m-%dT%H:%M:%S.%fZ"),
            **draw(st.fixed_dictionaries({}, optional={"costUSD": st.floats(0, 50), "durationMs": st.integers(0, 10**12)})),
        })  # fmt: skip
    return out


def load_records(recs: list[dict[str, Any]]) -> Session:
    with tempfile.TemporaryDirectory() as d:
        return load(write_log(Path(d) / "s.jsonl", recs))


def ms(r: dict[str, Any]) -> int:
    return (dt.datetime.fromisoformat(r["timestamp"]) - EPOCH) // dt.timedelta(milliseconds=1)


def shown(epoch_ms: int) -> str:
    """How the module shows an instant held to the millisecond."""
    t = EPOCH + dt.timedelta(milliseconds=epoch_ms)
    return t.strftime("%Y-%m-%dT%H:%M:%S") + (f".{epoch_ms % 1000:03d}" if epoch_ms % 1000 else "") + "+00:00"


def index_of(message: Any) -> int:
    return int(message.text.split("\n", 1)[0][1:])


SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def linked_record(n: int, parent: int | None, i: int) -> dict[str, Any]:
    return {"parentUuid": None if parent is None else uid(parent), "isSidechain": False, "userType": "external",
            "cwd": "/w/p", "sessionId": "s", "version": "1", "type": "user", "uuid": uid(n),
            "message": {"role": "user", "content": [{"type": "text", "text": f"r{i}"}]},
            "timestamp": "2025-06-01T00:00:00Z"}  # fmt: skip


def test_tree_shows_roots_orphans_and_loops() -> None:
    # Which record goes where is checked against a literal build on random graphs in the core's
    # tests; here, that the module shows each part of the result.
    links = [(1, None), (2, 1), (3, 9), (4, 5), (5, 4), (6, 2)]
    tree = load_records([linked_record(n, parent, i) for i, (n, parent) in enumerate(links)]).conversation_tree
    (root,) = tree.root_messages
    assert (index_of(root.message), [index_of(c.message) for c in root.children]) == (0, [1])
    assert [index_of(c.message) for c in root.children[0].children] == [5]
    assert (tree.orphaned_messages, tree.circular_references) == ([uid(3)], [(uid(4), uid(4)), (uid(5), uid(5))])


@SETTINGS
@given(records())
def test_tree_and_threads_follow_the_linking_rules(recs: list[dict[str, Any]]) -> None:
    session = load_records(recs)
    tree = session.conversation_tree
    stack = [(n, 1) for n in reversed(tree.root_messages)]
    total = depth = branches = leaves = 0
    while stack:
        node, level = stack.pop()
        kids = node.children
        total, depth, branches, leaves = total + 1, max(depth, level), branches + (len(kids) > 1), leaves + (not kids)
        assert (node.child_count(), node.is_leaf()) == (len(kids), not kids)
        stack.extend((c, level + 1) for c in reversed(kids))
    s = tree.stats
    assert (s.total_messages, s.max_depth, s.num_branches, s.leaf_count, tree.max_depth(), tree.count_branches()) == (
        total, depth, branches, leaves, depth, branches)  # fmt: skip

    last = {r["uuid"]: i for i, r in enumerate(recs)}
    assert session.get_thread(uid(99)) == []
    for ident, i in last.items():
        thread = session.get_thread(ident)
        assert index_of(thread[-1]) == i and len({index_of(m) for m in thread}) == len(thread)
        assert all(newer.parent_uuid == older.uuid for older, newer in itertools.pairwise(thread))
        # The walk ends at a root, at a parent not in the session, or where it would repeat itself.
        assert thread[0].parent_uuid in (None, *(m.uuid for m in thread)) or thread[0].parent_uuid not in last


@SETTINGS
@given(records())
def test_metadata_and_tool_executions_match_the_records(recs: list[dict[str, Any]]) -> None:
    session = load_records(recs)
    meta = session.metadata
    roles = [r["type"] for r in recs]
    assert (meta.total_messages, meta.user_messages, meta.assistant_messages) == (
        len(recs), roles.count("user"), roles.count("assistant"))  # fmt: skip
    cost = 0.0
    for r in recs:  # summed in file order, as the module does
        cost += r.get("costUSD", 0.0)
    assert (meta.total_cost_usd, session.total_cost, session.cost_by_turn) == (
        cost, cost, [r.get("costUSD", 0.0) for r in recs])  # fmt: skip
    keys = ("input_tokens", "output_tokens", "cache_creation_input_tokens", "cache_read_input_tokens")
    sums = [min(sum(r["message"].get("usage", {}).get(k, 0) for r in recs), U32_MAX) for k in keys]
    totals = (meta.total_input_tokens, meta.total_output_tokens, meta.cache_creation_tokens, meta.cache_read_tokens)
    assert list(totals) == sums
    uses = [b["name"] for r in recs for b in r["message"]["content"] if b["type"] == "tool_use"]
    assert (meta.total_tool_calls, meta.tool_usage_count, sorted(meta.unique_tools_used)) == (
        len(uses), {n: uses.count(n) for n in uses}, sorted(set(uses)))  # fmt: skip
    times = [ms(r) for r in recs]
    assert (meta.first_message_timestamp, meta.last_message_timestamp) == (shown(min(times)), shown(max(times)))
    assert (meta.session_duration, meta.total_duration_ms) == (
        (max(times) - min(times)) // 1000, sum(r.get("durationMs", 0) for r in recs))  # fmt: skip
    answers = [r["durationMs"] for r in recs if r["type"] == "assistant" and "durationMs" in r]
    assert meta.average_response_time_ms == (sum(answers) / len(answers) if answers else None)

    pending: dict[str, tuple[str, Any, int]] = {}
    want = []
    for r in recs:
        for b in r["message"]["content"]:
            if b["type"] == "tool_use":
                pending[b["id"]] = (b["name"], b["input"], ms(r))
            elif b["type"] == "tool_result" and b["tool_use_id"] in pending:
                name, inp, used = pending.pop(b["tool_use_id"])
                content = b.get("content", "")
                content = content if isinstance(content, str) else "\n".join(x["text"] for x in content)
                want.append((name, inp, b["tool_use_id"], content, bool(b.get("is_error")),
                             max(ms(r) - used, 0), shown(ms(r))))  # fmt: skip
    got = [(e.tool_name, e.input, e.output.tool_use_id, e.output.content, e.output.is_error, e.duration_ms,
            e.timestamp) for e in session.tool_executions]  # fmt: skip
    assert got == want
