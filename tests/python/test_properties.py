"""Property tests: random sessions, loaded from disk, against values computed here."""

from __future__ import annotations

import tempfile
from pathlib import Path
from typing import Any

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import uid, write_log
from hostile_helpers import U32_MAX, expected_classification, forest_stats, iso_ms, rfc3339_ms
from kestro_sdk import Session, load

BASE_MS = 1_748_736_000_000  # 2025-06-01T00:00:00Z
TOOL_IDS = ["t1", "t2", "t3"]
TOOL_NAMES = ["Bash", "Read", "Edit"]

# Identifiers come from a small pool so duplicates, self-parents and loops are common; parents
# may also name identifiers outside the pool (orphans).
ident = st.integers(1, 8).map(uid)
parent = st.one_of(st.none(), st.integers(1, 10).map(uid))

block = st.one_of(
    st.builds(lambda t: {"type": "text", "text": t}, st.text(max_size=8)),
    st.builds(
        lambda i, n, v: {"type": "tool_use", "id": i, "name": n, "input": {"v": v}},
        st.sampled_from(TOOL_IDS),
        st.sampled_from(TOOL_NAMES),
        st.integers(-5, 5),
    ),
    st.builds(
        lambda i, c, e: {"type": "tool_result", "tool_use_id": i}
        | ({} if c is None else {"content": c})
        | ({} if e is None else {"is_error": e}),
        st.sampled_from(TOOL_IDS + ["t9"]),
        st.one_of(
            st.none(),
            st.text(max_size=6),
            st.lists(st.builds(lambda t: {"type": "text", "text": t}, st.text(max_size=4)), max_size=3),
        ),
        st.one_of(st.none(), st.booleans()),
    ),
)

usage = st.one_of(
    st.none(),
    st.fixed_dictionaries(
        {"input_tokens": st.integers(0, U32_MAX), "output_tokens": st.integers(0, U32_MAX)},
        optional={
            "cache_creation_input_tokens": st.integers(0, U32_MAX),
            "cache_read_input_tokens": st.integers(0, U32_MAX),
        },
    ),
)


@st.composite
def records(draw: st.DrawFn) -> list[dict[str, Any]]:
    out = []
    for i in range(draw(st.integers(1, 14))):
        role = draw(st.sampled_from(["user", "assistant"]))
        # The first block's text names the record, so tree nodes can be traced back to it.
        content = [{"type": "text", "text": f"r{i}"}] + draw(st.lists(block, max_size=4))
        message: dict[str, Any] = {"role": role, "content": content}
        u = draw(usage)
        if u is not None:
            message["usage"] = u
        line: dict[str, Any] = {
            "parentUuid": draw(parent),
            "isSidechain": draw(st.booleans()),
            "userType": "external",
            "cwd": "/w/p",
            "sessionId": "s",
            "version": "1",
            "type": role,
            "message": message,
            "uuid": draw(ident),
            "timestamp": iso_ms(BASE_MS + draw(st.integers(0, 3_600_000))),
        }
        cost = draw(st.one_of(st.none(), st.floats(0, 50, allow_nan=False, allow_infinity=False)))
        if cost is not None:
            line["costUSD"] = cost
        duration = draw(st.one_of(st.none(), st.integers(0, 10**12)))
        if duration is not None:
            line["durationMs"] = duration
        out.append(line)
    return out


def load_records(recs: list[dict[str, Any]]) -> Session:
    with tempfile.TemporaryDirectory() as d:
        return load(write_log(Path(d) / "s.jsonl", recs))


def index_of(message: Any) -> int:
    return int(message.text.split("\n", 1)[0][1:])


def ms_of(r: dict[str, Any]) -> int:
    import datetime as dt

    t = dt.datetime.strptime(r["timestamp"], "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=dt.timezone.utc)
    return round(t.timestamp() * 1000)


SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@SETTINGS
@given(records())
def test_every_message_is_exactly_one_of_node_orphan_cycle_or_below_an_orphan(recs: list[dict[str, Any]]) -> None:
    session = load_records(recs)
    want = expected_classification(recs)
    tree = session.conversation_tree

    got_nodes: list[int] = []
    got_forest_shape: list[Any] = []
    # Compare the forest shape as nested (index, [children]) built without recursion.
    stack: list[tuple[Any, list[Any]]] = [(n, got_forest_shape) for n in reversed(tree.root_messages)]
    while stack:
        node, siblings = stack.pop()
        entry: tuple[int, list[Any]] = (index_of(node.message), [])
        siblings.append(entry)
        got_nodes.append(entry[0])
        stack.extend((c, entry[1]) for c in reversed(node.children))
    assert got_forest_shape == [_as_lists(e) for e in want["forest"]]
    assert sorted(got_nodes) == want["nodes"]
    assert tree.orphaned_messages == want["orphans"]
    assert tree.circular_references == want["circular"]
    total = len(want["nodes"]) + len(want["orphans"]) + len(want["circular"]) + len(want["under_orphans"])
    assert total == len(recs)


def _as_lists(entry: tuple[int, list[Any]]) -> tuple[int, list[Any]]:
    i, children = entry
    return (i, [_as_lists(c) for c in children])


@SETTINGS
@given(records())
def test_stats_agree_with_a_walk_of_the_returned_tree(recs: list[dict[str, Any]]) -> None:
    tree = load_records(recs).conversation_tree
    walked: list[tuple[int, list[Any]]] = []
    stack: list[tuple[Any, list[Any]]] = [(n, walked) for n in tree.root_messages]
    while stack:
        node, siblings = stack.pop()
        entry: tuple[int, list[Any]] = (0, [])
        siblings.append(entry)
        assert node.child_count() == len(node.children)
        assert node.is_leaf() == (node.child_count() == 0)
        stack.extend((c, entry[1]) for c in node.children)
    total, depth, branches, leaves = forest_stats(walked)
    stats = tree.stats
    assert (stats.total_messages, stats.max_depth, stats.num_branches, stats.leaf_count) == (total, depth, branches, leaves)
    assert (tree.max_depth(), tree.count_branches()) == (depth, branches)


@SETTINGS
@given(records())
def test_metadata_counts_cost_tokens_and_times_match_sums(recs: list[dict[str, Any]]) -> None:
    session = load_records(recs)
    meta = session.metadata
    assert meta.total_messages == len(recs) == len(session)
    assert meta.user_messages == sum(r["type"] == "user" for r in recs)
    assert meta.assistant_messages == sum(r["type"] == "assistant" for r in recs)
    cost = 0.0
    for r in recs:  # file order, as the sum is defined
        cost += r.get("costUSD", 0.0)
    assert meta.total_cost_usd == cost == session.total_cost
    assert session.cost_by_turn == [r.get("costUSD", 0.0) for r in recs]

    def tokens(key: str) -> int:
        return min(sum(r["message"].get("usage", {}).get(key, 0) for r in recs), U32_MAX)

    assert meta.total_input_tokens == tokens("input_tokens")
    assert meta.total_output_tokens == tokens("output_tokens")
    assert meta.cache_creation_tokens == tokens("cache_creation_input_tokens")
    assert meta.cache_read_tokens == tokens("cache_read_input_tokens")

    uses = [b["name"] for r in recs for b in r["message"]["content"] if b["type"] == "tool_use"]
    assert meta.total_tool_calls == len(uses)
    assert meta.tool_usage_count == {n: uses.count(n) for n in set(uses)}
    assert sorted(meta.unique_tools_used) == sorted(set(uses))

    times = [ms_of(r) for r in recs]
    assert meta.first_message_timestamp == rfc3339_ms(min(times))
    assert meta.last_message_timestamp == rfc3339_ms(max(times))
    assert meta.session_duration == (max(times) - min(times)) // 1000
    assert meta.total_duration_ms == sum(r.get("durationMs", 0) for r in recs)
    answers = [r["durationMs"] for r in recs if r["type"] == "assistant" and "durationMs" in r]
    assert meta.average_response_time_ms == (float(sum(answers)) / len(answers) if answers else None)


@SETTINGS
@given(records())
def test_each_execution_pairs_the_first_result_after_the_last_use(recs: list[dict[str, Any]]) -> None:
    session = load_records(recs)
    pending: dict[str, tuple[str, Any, int]] = {}
    want = []
    for r in recs:
        for b in r["message"]["content"]:
            if b["type"] == "tool_use":
                pending[b["id"]] = (b["name"], b["input"], ms_of(r))
            elif b["type"] == "tool_result" and b["tool_use_id"] in pending:
                name, inp, used = pending.pop(b["tool_use_id"])
                content = b.get("content", "")
                if isinstance(content, list):
                    content = "\n".join(x["text"] for x in content)
                want.append((name, inp, b["tool_use_id"], content, bool(b.get("is_error")), max(ms_of(r) - used, 0), rfc3339_ms(ms_of(r))))
    got = [
        (e.tool_name, e.input, e.output.tool_use_id, e.output.content, e.output.is_error, e.duration_ms, e.timestamp)
        for e in session.tool_executions
    ]
    assert got == want


@SETTINGS
@given(records())
def test_get_thread_ends_and_follows_parent_links(recs: list[dict[str, Any]]) -> None:
    session = load_records(recs)
    last = {r["uuid"]: i for i, r in enumerate(recs)}
    for ident_text in {r["uuid"] for r in recs} | {uid(99)}:
        thread = session.get_thread(ident_text)
        if ident_text not in last:
            assert thread == []
            continue
        assert 1 <= len(thread) <= len(recs)
        assert index_of(thread[-1]) == last[ident_text]
        for older, newer in zip(thread, thread[1:]):
            assert newer.parent_uuid == older.uuid
        assert len({index_of(m) for m in thread}) == len(thread)
        first_parent = thread[0].parent_uuid
        assert first_parent is None or first_parent not in last or first_parent in {m.uuid for m in thread}
