"""Session: aggregate properties, queries, thread walking and representation."""

from __future__ import annotations

from typing import Any, Callable

import pytest

from conftest import chain, record, text, tool_use, uid
from kestro_sdk import Message, Session


def uuids(messages: list[Message]) -> list[str]:
    return [m.uuid for m in messages]


@pytest.fixture
def mixed(load_lines) -> Session:
    """u1 -> a2 (tools A, A, B) -> u3 -> a4 (tool C, sidechain) -> u5 (sidechain)."""
    return load_lines([
        record("user", 1, ts="2025-06-01T08:00:01.100Z", cwd="/home/u/proj/"),
        record("assistant", 2, parent=1, content=[tool_use("t1", "A"), tool_use("t2", "A"), tool_use("t3", "B")], cost=1.5),
        record("user", 3, parent=2, ts="2025-06-01T07:59:58.200Z"),
        record("assistant", 4, parent=3, content=[text("x"), tool_use("t4", "C")], cost=0.5, sidechain=True),
        record("user", 5, parent=4, sidechain=True, cwd="/other"),
    ])  # fmt: skip


def test_aggregates(mixed: Session) -> None:
    assert (len(mixed), len(mixed.messages), bool(mixed)) == (5, 5, True)
    assert [m.uuid for m in mixed] == [m.uuid for m in mixed] == [uid(n) for n in range(1, 6)]
    assert (mixed.total_cost, mixed.cost_by_turn, sorted(mixed.tools_used)) == (2.0, [0.0, 1.5, 0.0, 0.5, 0.0], ["A", "B", "C"])
    assert mixed.tool_costs == {"A": 1.0, "B": 0.5, "C": 0.5}
    # 2.9 seconds from the earliest to the latest record, truncated toward zero.
    assert (mixed.duration, mixed.metadata.session_duration) == (2, 2)
    assert (mixed.project_path, mixed.project_name) == ("/home/u/proj/", "proj")
    with pytest.raises(TypeError):
        mixed[0]


def test_without_costs_or_tools(load_lines) -> None:
    session = load_lines(chain(3, cwd="/"))
    assert (session.total_cost, session.cost_by_turn, session.tools_used, session.tool_costs) == (0.0, [0.0] * 3, [], {})
    assert session.project_name == "unknown"


def test_repr_and_str(load_lines) -> None:
    session = load_lines([record("user", i + 1, session_id="abc", cost=0.123456 if i == 0 else None) for i in range(12)])
    assert repr(session) == str(session) == "<Session id='abc' messages=12 cost=$0.1235>"


QUERIES: dict[str, tuple[Callable[[Session], Any], list[int]]] = {
    "main_chain_excludes_sidechains": (lambda s: s.get_main_chain(), [1, 2, 3]),
    "role": (lambda s: s.get_messages_by_role("user"), [1, 3, 5]),
    "role_is_case_sensitive": (lambda s: s.get_messages_by_role("Assistant"), []),
    "tool_used_twice_listed_once": (lambda s: s.get_messages_by_tool("A"), [2]),
    "tool_is_case_sensitive": (lambda s: s.get_messages_by_tool("a"), []),
    "thread_of_a_root": (lambda s: s.get_thread(uid(1)), [1]),
    "thread_three_levels_deep": (lambda s: s.get_thread(uid(4)), [1, 2, 3, 4]),
    "thread_unknown": (lambda s: s.get_thread(uid(99)), []),
    "filter_keeps_on_truthy_text": (lambda s: s.filter_messages(lambda m: "yes"), [1, 2, 3, 4, 5]),
    "filter_drops_on_empty_list": (lambda s: s.filter_messages(lambda m: []), []),
}


@pytest.mark.parametrize("query,expected", QUERIES.values(), ids=QUERIES.keys())
def test_queries(mixed: Session, query: Callable[[Session], Any], expected: list[int]) -> None:
    assert uuids(query(mixed)) == [uid(n) for n in expected]


def test_duplicate_uuids_first_for_lookup_last_for_thread(load_lines) -> None:
    session = load_lines([record("user", 1), record("user", 2), record("assistant", 10, parent=1, content="first"),
                          record("assistant", 10, parent=2, content="last")])  # fmt: skip
    assert session.get_message_by_uuid(uid(10)).text == "first"
    assert (session.get_message_by_uuid(uid(10).upper()), session.get_message_by_uuid(uid(9))) == (None, None)
    thread = session.get_thread(uid(10))
    assert (uuids(thread), thread[-1].text) == ([uid(2), uid(10)], "last")


@pytest.mark.parametrize(
    "lines,target,expected",
    [
        ([record("user", 1, parent=2), record("assistant", 2, parent=3), record("user", 3, parent=1), record("assistant", 4, parent=3)], 4, [2, 1, 3, 4]),
        ([record("user", 2, parent=40), record("assistant", 3, parent=2)], 3, [2, 3]),
    ],
    ids=["into_a_loop", "missing_parent"],
)  # fmt: skip
def test_thread_ends_on_cycles_and_gaps(load_lines, lines: list[dict], target: int, expected: list[int]) -> None:
    assert uuids(load_lines(lines).get_thread(uid(target))) == [uid(n) for n in expected]


def test_filter_passes_new_objects_and_may_read_the_session(mixed: Session) -> None:
    seen: list[Message] = []

    def predicate(m: Message) -> bool:
        seen.append(m)
        return len(mixed.messages) == 5 and m.role == "assistant"

    kept = mixed.filter_messages(predicate)
    assert (uuids(seen), uuids(kept)) == ([uid(n) for n in range(1, 6)], [uid(2), uid(4)])
    assert all(k is not s for k in kept for s in seen)


def test_filter_stops_at_the_first_exception(mixed: Session) -> None:
    calls = []

    def predicate(m: Message) -> bool:
        calls.append(m.uuid)
        if len(calls) == 3:
            raise KeyError("third")
        return True

    with pytest.raises(KeyError, match="third"):
        mixed.filter_messages(predicate)
    assert calls == [uid(1), uid(2), uid(3)]

    class NoBool:
        def __bool__(self) -> bool:
            raise ValueError("no truth")

    with pytest.raises(ValueError, match="no truth"):
        mixed.filter_messages(lambda m: NoBool())
