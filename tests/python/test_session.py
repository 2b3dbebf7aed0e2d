"""Session: aggregate properties, queries, thread walking and representation."""

from __future__ import annotations

import pytest

from conftest import chain, record, text, tool_use, uid
from kestro_sdk import Message, Session


def uuids(messages: list[Message]) -> list[str]:
    return [m.uuid for m in messages]


def mixed(load_lines) -> Session:
    """u1 -> a2 (tools A, A, B) -> u3 -> a4 (tool C, sidechain) -> u5."""
    return load_lines(
        [
            record("user", 1, ts="2025-06-01T08:00:00Z"),
            record("assistant", 2, parent=1, content=[tool_use("t1", "A"), tool_use("t2", "A"), tool_use("t3", "B")], cost=1.5, ts="2025-06-01T08:00:01Z"),
            record("user", 3, parent=2, ts="2025-06-01T08:00:02Z"),
            record("assistant", 4, parent=3, content=[text("x"), tool_use("t4", "C")], cost=0.5, sidechain=True, ts="2025-06-01T08:00:02.900Z"),
            record("user", 5, parent=4, sidechain=True, ts="2025-06-01T08:00:01.500Z"),
        ]
    )


class TestProperties:
    def test_counts_agree(self, load_lines) -> None:
        session = mixed(load_lines)
        assert (len(session), len(session.messages), len(session.cost_by_turn)) == (5, 5, 5)
        assert bool(session) is True

    def test_cost_and_tools(self, load_lines) -> None:
        session = mixed(load_lines)
        assert (session.total_cost, session.cost_by_turn) == (2.0, [0.0, 1.5, 0.0, 0.5, 0.0])
        assert sorted(session.tools_used) == ["A", "B", "C"]
        assert session.tool_costs == {"A": 1.0, "B": 0.5, "C": 0.5}

    def test_without_costs_or_tools(self, load_lines) -> None:
        session = load_lines(chain(3))
        assert (session.total_cost, session.cost_by_turn, session.tools_used, session.tool_costs) == (0.0, [0.0, 0.0, 0.0], [], {})

    @pytest.mark.parametrize(
        "timestamps,duration",
        [
            (["2025-06-01T08:00:00Z"], 0),
            (["2025-06-01T08:00:00Z", "2025-06-01T08:00:02.900Z"], 2),
            (["2025-06-01T09:00:00Z", "2025-06-01T08:00:00Z", "2025-06-01T08:30:00Z"], 3600),
        ],
        ids=["single_record", "truncated_toward_zero", "out_of_order"],
    )
    def test_duration(self, load_lines, timestamps: list[str], duration: int) -> None:
        session = load_lines([record("user", i + 1, ts=ts) for i, ts in enumerate(timestamps)])
        assert (session.duration, session.metadata.session_duration) == (duration, duration)

    @pytest.mark.parametrize(
        "cwd,name",
        [
            ("/home/u/proj/", "proj"),
            ("/home/u/proj", "proj"),
            ("/home/u/proj/.", "proj"),
            ("relative/dir", "dir"),
            ("/", "unknown"),
            ("", "unknown"),
            ("/home/u/..", "unknown"),
        ],
        ids=["trailing_slash", "plain", "trailing_dot", "relative", "root", "empty", "parent_step"],
    )
    def test_project_path_and_name_from_the_first_record(self, load_lines, cwd: str, name: str) -> None:
        session = load_lines([record("user", 1, cwd=cwd), record("assistant", 2, parent=1, cwd="/other/place")])
        assert (session.project_path, session.project_name) == (cwd, name)

    def test_messages_are_new_objects_each_read(self, load_lines) -> None:
        session = load_lines(chain(2))
        first = session.messages
        assert first is not session.messages and first[0] is not session.messages[0]
        first.clear()
        assert len(session.messages) == 2

    def test_is_not_indexable(self, load_lines) -> None:
        with pytest.raises(TypeError):
            load_lines(chain(1))[0]

    def test_repr_and_str(self, load_lines) -> None:
        lines = [record("user", i + 1, session_id="abc", cost=0.123456 if i == 0 else None) for i in range(12)]
        session = load_lines(lines)
        assert repr(session) == str(session) == "<Session id='abc' messages=12 cost=$0.1235>"


class TestQueries:
    def test_main_chain_excludes_sidechains(self, load_lines) -> None:
        assert uuids(mixed(load_lines).get_main_chain()) == [uid(1), uid(2), uid(3)]

    @pytest.mark.parametrize(
        "role,expected",
        [("user", [1, 3, 5]), ("assistant", [2, 4]), ("Assistant", []), ("", [])],
        ids=["user", "assistant", "case_sensitive", "empty"],
    )
    def test_messages_by_role(self, load_lines, role: str, expected: list[int]) -> None:
        assert uuids(mixed(load_lines).get_messages_by_role(role)) == [uid(n) for n in expected]

    @pytest.mark.parametrize(
        "tool,expected",
        [("A", [2]), ("C", [4]), ("a", []), ("missing", [])],
        ids=["used_twice_listed_once", "sidechain", "case_sensitive", "unknown"],
    )
    def test_messages_by_tool(self, load_lines, tool: str, expected: list[int]) -> None:
        assert uuids(mixed(load_lines).get_messages_by_tool(tool)) == [uid(n) for n in expected]

    def test_message_by_uuid_returns_the_first_duplicate(self, load_lines) -> None:
        session = load_lines([record("user", 0xABC, content="first"), record("assistant", 0xABC, content="second")])
        found = session.get_message_by_uuid(uid(0xABC))
        assert found is not None and found.text == "first"
        assert session.get_message_by_uuid(uid(0xABC).upper()) is None
        assert session.get_message_by_uuid(uid(9)) is None


class TestFilterMessages:
    @pytest.mark.parametrize(
        "result,kept",
        [(1, 5), ("yes", 5), ([0], 5), (None, 0), (0, 0), ("", 0), ([], 0)],
        ids=["one", "non_empty_text", "non_empty_list", "none", "zero", "empty_text", "empty_list"],
    )
    def test_truth_value_of_any_result(self, load_lines, result: object, kept: int) -> None:
        assert len(mixed(load_lines).filter_messages(lambda m: result)) == kept

    def test_keeps_matches_as_new_objects(self, load_lines) -> None:
        seen: list[Message] = []

        def predicate(m: Message) -> bool:
            seen.append(m)
            return m.role == "assistant"

        kept = mixed(load_lines).filter_messages(predicate)
        assert uuids(seen) == [uid(n) for n in range(1, 6)]
        assert uuids(kept) == [uid(2), uid(4)]
        assert all(k is not s for k in kept for s in seen)

    def test_exception_stops_after_the_failing_call(self, load_lines) -> None:
        calls = []

        def predicate(m: Message) -> bool:
            calls.append(m.uuid)
            if len(calls) == 3:
                raise KeyError("third")
            return True

        with pytest.raises(KeyError, match="third"):
            mixed(load_lines).filter_messages(predicate)
        assert calls == [uid(1), uid(2), uid(3)]

    def test_failing_truth_test_propagates(self, load_lines) -> None:
        class NoBool:
            def __bool__(self) -> bool:
                raise ValueError("no truth")

        with pytest.raises(ValueError, match="no truth"):
            mixed(load_lines).filter_messages(lambda m: NoBool())

    def test_predicate_may_read_the_session(self, load_lines) -> None:
        session = mixed(load_lines)
        assert len(session.filter_messages(lambda m: len(session.messages) == 5 and session.get_thread(m.uuid))) == 5

    def test_non_callable_fails_on_the_first_call(self, load_lines) -> None:
        with pytest.raises(TypeError, match="'int' object is not callable"):
            mixed(load_lines).filter_messages(3)  # type: ignore[arg-type]


class TestGetThread:
    @pytest.mark.parametrize(
        "target,expected",
        [(1, [1]), (4, [1, 2, 3, 4]), (5, [1, 2, 3, 4, 5]), (99, [])],
        ids=["root", "three_levels_deep", "through_sidechain", "unknown"],
    )
    def test_on_a_chain(self, load_lines, target: int, expected: list[int]) -> None:
        assert uuids(mixed(load_lines).get_thread(uid(target))) == [uid(n) for n in expected]

    @pytest.mark.parametrize(
        "lines,target,expected",
        [
            ([record("user", 1, parent=2), record("assistant", 2, parent=1)], 1, [2, 1]),
            ([record("user", 1, parent=2), record("assistant", 2, parent=1)], 2, [1, 2]),
            ([record("user", 1, parent=1)], 1, [1]),
            ([record("user", 1, parent=2), record("assistant", 2, parent=3), record("user", 3, parent=1), record("assistant", 4, parent=3)], 4, [2, 1, 3, 4]),
            ([record("user", 2, parent=40), record("assistant", 3, parent=2)], 3, [2, 3]),
        ],
        ids=["pair_from_a", "pair_from_b", "self_parent", "into_a_loop", "missing_parent"],
    )
    def test_ends_on_cycles_and_gaps(self, load_lines, lines: list[dict], target: int, expected: list[int]) -> None:
        assert uuids(load_lines(lines).get_thread(uid(target))) == [uid(n) for n in expected]

    def test_starts_from_the_last_duplicate(self, load_lines) -> None:
        session = load_lines([record("user", 1), record("user", 2), record("assistant", 3, parent=1), record("assistant", 3, parent=2, content="last")])
        thread = session.get_thread(uid(3))
        assert (uuids(thread), thread[-1].text) == ([uid(2), uid(3)], "last")

    def test_long_chain_is_walked_without_limit(self, load_lines) -> None:
        assert len(load_lines(chain(3000)).get_thread(uid(3000))) == 3000
