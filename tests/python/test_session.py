"""Session: aggregate properties, queries and representation."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import pytest

from conftest import chain, record, text, tool_use, uid
from kestro_sdk import Message, Session


def uuids(messages: list[Message]) -> list[str]:
    return [m.uuid for m in messages]


@pytest.fixture
def mixed(load_lines) -> Session:
    """u1 -> a2 (tools A, A, B) -> u3 -> a4 (tool C, sidechain) -> u5 (sidechain)."""
    return load_lines([
        record("user", 1, ts="2025-06-01T08:00:01.100Z", cwd="/home/u/proj/", session_id="abc"),
        record("assistant", 2, parent=1, content=[tool_use("t1", "A"), tool_use("t2", "A"), tool_use("t3", "B")], cost=1.5),
        record("user", 3, parent=2, ts="2025-06-01T07:59:58.200Z"),
        record("assistant", 4, parent=3, content=[text("x"), tool_use("t4", "C")], cost=0.5, sidechain=True),
        record("user", 5, parent=4, sidechain=True, cwd="/other"),
    ])  # fmt: skip


def test_aggregates(mixed: Session) -> None:
    assert (len(mixed), len(mixed.messages), bool(mixed), mixed.session_id) == (5, 5, True, "abc")
    assert [m.uuid for m in mixed] == [m.uuid for m in mixed] == [uid(n) for n in range(1, 6)]
    assert (mixed.total_cost, mixed.cost_by_turn, sorted(mixed.tools_used), mixed.tool_costs) == (
        2.0, [0.0, 1.5, 0.0, 0.5, 0.0], ["A", "B", "C"], {"A": 1.0, "B": 0.5, "C": 0.5})  # fmt: skip
    # 2.9 seconds from the earliest to the latest record, truncated toward zero.
    assert (mixed.duration, mixed.metadata.session_duration) == (2, 2)
    assert (mixed.project_path, mixed.project_name) == ("/home/u/proj/", "proj")
    assert repr(mixed.metadata) == str(mixed.metadata) == "<SessionMetadata messages=5 cost=$2.0000 tools=3>"
    with pytest.raises(TypeError):
        mixed[0]


def test_without_tools(load_lines) -> None:
    session = load_lines(chain(3, cwd="/", cost=0.123456))
    assert (session.total_cost, session.cost_by_turn, session.tools_used, session.tool_costs) == (
        0.370368, [0.123456] * 3, [], {})  # fmt: skip
    assert (session.project_name, repr(session), str(session)) == (
        "unknown", *["<Session id='sess-1' messages=3 cost=$0.3704>"] * 2)  # fmt: skip


# Threads are checked on random sessions by the property tests. Arguments are given by position
# and by keyword.
QUERIES: dict[str, tuple[Callable[[Session], Any], list[int]]] = {
    "main_chain_excludes_sidechains": (lambda s: s.get_main_chain(), [1, 2, 3]),
    "role": (lambda s: s.get_messages_by_role(role="user"), [1, 3, 5]),
    "role_is_case_sensitive": (lambda s: s.get_messages_by_role("Assistant"), []),
    "tool_used_twice_listed_once": (lambda s: s.get_messages_by_tool(tool_name="A"), [2]),
    "tool_is_case_sensitive": (lambda s: s.get_messages_by_tool("a"), []),
    "thread_three_levels_deep": (lambda s: s.get_thread(message_uuid=uid(4)), [1, 2, 3, 4]),
    "filter_keeps_on_truthy_text": (lambda s: s.filter_messages(predicate=lambda m: "yes"), [1, 2, 3, 4, 5]),
    "filter_drops_on_empty_list": (lambda s: s.filter_messages(lambda m: []), []),
}


@pytest.mark.parametrize("query,expected", QUERIES.values(), ids=QUERIES.keys())
def test_queries(mixed: Session, query: Callable[[Session], Any], expected: list[int]) -> None:
    assert uuids(query(mixed)) == [uid(n) for n in expected]


def test_duplicate_uuids_first_for_lookup_last_for_thread(load_lines) -> None:
    session = load_lines([record("user", 1), record("user", 2), record("assistant", 10, parent=1, content="first"),
                          record("assistant", 10, parent=2, content="last")])  # fmt: skip
    assert (session.get_message_by_uuid(uuid=uid(10)).text, session.get_message_by_uuid(uid(9))) == ("first", None)
    thread = session.get_thread(uid(10))
    assert (uuids(thread), thread[-1].text) == ([uid(2), uid(10)], "last")


def test_filter_passes_new_objects_and_stops_at_the_first_exception(mixed: Session) -> None:
    seen: list[Message] = []

    def predicate(m: Message) -> bool:
        seen.append(m)
        if len(seen) == 6:
            raise KeyError("sixth")
        return len(mixed.messages) == 5 and m.role == "assistant"

    kept = mixed.filter_messages(predicate)
    assert (uuids(seen), uuids(kept)) == ([uid(n) for n in range(1, 6)], [uid(2), uid(4)])
    assert all(k is not s for k in kept for s in seen)
    with pytest.raises(KeyError, match="sixth"):
        mixed.filter_messages(predicate)
    assert len(seen) == 6

    class NoBool:
        def __bool__(self) -> bool:
            raise ValueError("no truth")

    with pytest.raises(ValueError, match="no truth"):
        mixed.filter_messages(lambda m: NoBool())
