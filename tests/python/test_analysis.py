"""Session metadata, tool executions, the conversation tree and JSON tool inputs."""

from __future__ import annotations

import pytest

from conftest import at, chain, dumps, image, record, summary, text, tool_result, tool_use, uid, usage
from kestro_sdk import ConversationNode, ToolExecution, load


class TestSessionMetadata:
    def test_figures(self, write) -> None:
        lines = [
            summary(),
            record("user", 1, ts="2025-06-01T08:00:10Z", duration_ms=40),
            record("assistant", 2, parent=1, ts="2025-06-01T08:00:05.250Z", cost=0.25, duration_ms=100, content=[tool_use("a", "Read"), tool_use("b", "Read"), tool_use("c", "Edit")], usage=usage(10, 1, cache_creation_input_tokens=7, cache_read_input_tokens=3)),
            record("assistant", 3, parent=2, ts="2025-06-01T08:01:00Z", cost=0.5, duration_ms=201, content=[tool_use("d", "Read"), thinking_block(), tool_result("a")], usage=usage(20, 2)),
            record("assistant", 4, parent=3, ts="2025-06-01T08:00:30Z"),
        ]
        path = write(lines)
        meta = load(path).metadata
        assert (meta.total_messages, meta.user_messages, meta.assistant_messages, meta.total_cost_usd) == (4, 1, 3, 0.75)
        assert (meta.total_input_tokens, meta.total_output_tokens, meta.cache_creation_tokens, meta.cache_read_tokens) == (30, 3, 7, 3)
        assert (sorted(meta.unique_tools_used), meta.total_tool_calls, meta.tool_usage_count) == (["Edit", "Read"], 4, {"Read": 3, "Edit": 1})
        assert (meta.first_message_timestamp, meta.last_message_timestamp, meta.session_duration) == ("2025-06-01T08:00:05.250+00:00", "2025-06-01T08:01:00+00:00", 54)
        assert (meta.total_duration_ms, meta.average_response_time_ms, meta.session_file_path) == (341, 150.5, path)
        assert repr(meta) == "<SessionMetadata messages=4 cost=$0.7500 tools=2>"

    def test_token_sums_saturate_at_32_bits(self, load_lines) -> None:
        big = usage(4000000000, 4294967295, cache_read_input_tokens=4294967295)
        meta = load_lines([record("assistant", 1, usage=big), record("assistant", 2, usage=big)]).metadata
        assert (meta.total_input_tokens, meta.total_output_tokens, meta.cache_read_tokens, meta.cache_creation_tokens) == (4294967295,) * 3 + (0,)

    def test_user_only_session_has_no_average_response_time(self, load_lines) -> None:
        meta = load_lines([record("user", 1, duration_ms=5), record("user", 2, duration_ms=7)]).metadata
        assert (meta.average_response_time_ms, meta.total_duration_ms) == (None, 12)

    @pytest.mark.parametrize(
        "cost,messages,tools,shown",
        [
            (0.123456, 12, 3, "<SessionMetadata messages=12 cost=$0.1235 tools=3>"),
            (1.5, 1, 0, "<SessionMetadata messages=1 cost=$1.5000 tools=0>"),
            (0.00004, 1, 0, "<SessionMetadata messages=1 cost=$0.0000 tools=0>"),
            (1234.56789, 1, 1, "<SessionMetadata messages=1 cost=$1234.5679 tools=1>"),
        ],
        ids=["rounded", "padded", "below_precision", "large"],
    )
    def test_repr(self, load_lines, cost: float, messages: int, tools: int, shown: str) -> None:
        lines = [record("assistant", i + 1, cost=cost if i == 0 else None, content=[tool_use(f"t{t}", f"T{t}") for t in range(tools)] if i == 0 else "x") for i in range(messages)]
        assert repr(load_lines(lines).metadata) == shown


def thinking_block() -> dict:
    return {"type": "thinking", "thinking": "t", "signature": "s"}


def executions(load_lines, lines: list[dict]) -> list[ToolExecution]:
    return load_lines(lines).tool_executions


class TestToolExecutions:
    def test_pairs_use_and_result(self, load_lines) -> None:
        (ex,) = executions(
            load_lines,
            [
                record("assistant", 1, ts="2025-06-01T08:00:00Z", content=[tool_use("t1", "Bash", {"command": "ls", "b": [1, None]})]),
                record("user", 2, parent=1, ts="2025-06-01T08:00:03.250Z", content=[tool_result("t1", "files", True)]),
            ],
        )
        assert (ex.tool_name, ex.duration_ms, ex.timestamp, ex.input, ex.is_success()) == ("Bash", 3250, "2025-06-01T08:00:03.250+00:00", {"b": [1, None], "command": "ls"}, False)
        out = ex.output
        assert (out.tool_use_id, out.content, out.stdout, out.stderr, out.interrupted, out.is_error) == ("t1", "files", None, None, False, True)
        assert (out.is_success(), out.effective_content()) == (False, "files")
        assert repr(ex) == "<ToolExecution tool='Bash' duration_ms=3250 success=false>"
        assert repr(out) == str(out) == "<ToolResult id='t1' success=false>"

    @pytest.mark.parametrize(
        "blocks,expected",
        [
            ([[tool_use("t", "A")], [tool_result("t")]], [("A", 1000, "ok", False)]),
            ([[tool_use("t", "A")], []], []),
            ([[tool_result("t")], [tool_use("t", "A")]], []),
            ([[tool_result("t"), tool_use("t", "A")], []], []),
            ([[tool_use("t", "A"), tool_use("t", "B")], [tool_result("t")]], [("B", 1000, "ok", False)]),
            ([[tool_use("t", "A")], [tool_result("t", "one"), tool_result("t", "two")]], [("A", 1000, "one", False)]),
            ([[tool_use("t", "A")], [tool_result("t", [text("one"), image(), text("two")], False)]], [("A", 1000, "one\ntwo", False)]),
            ([[tool_use("t", "A")], [tool_result("t", None)]], [("A", 1000, "", False)]),
            ([[tool_use("t", "A")], [tool_result("t", "x", True)]], [("A", 1000, "x", True)]),
            ([[tool_use("x", "A"), tool_use("y", "B")], [tool_result("y", "1"), tool_result("x", "2")]], [("B", 1000, "1", False), ("A", 1000, "2", False)]),
        ],
        ids=["paired", "never_answered", "result_first", "result_first_same_record", "second_use_wins", "first_result_wins", "block_list_content", "no_content", "error_flag", "result_order"],
    )
    def test_pairing(self, load_lines, blocks: list[list[dict]], expected: list[tuple]) -> None:
        lines = [record("assistant", 1, ts=at(0), content=blocks[0]), record("user", 2, parent=1, ts=at(1), content=blocks[1])]
        got = [(e.tool_name, e.duration_ms, e.output.content, e.output.is_error) for e in executions(load_lines, lines)]
        assert got == expected

    @pytest.mark.parametrize(
        "use_ts,result_ts,duration",
        [
            ("2025-06-01T08:00:00Z", "2025-06-01T08:00:00.0009Z", 0),
            ("2025-06-01T08:00:00Z", "2025-06-01T08:02:00.999999Z", 120999),
            ("2025-06-01T08:00:05Z", "2025-06-01T08:00:00Z", 0),
        ],
        ids=["below_one_ms", "truncated", "result_before_use"],
    )
    def test_duration(self, load_lines, use_ts: str, result_ts: str, duration: int) -> None:
        lines = [record("assistant", 1, ts=use_ts, content=[tool_use("t", "A")]), record("user", 2, ts=result_ts, content=[tool_result("t")])]
        assert [e.duration_ms for e in executions(load_lines, lines)] == [duration]


JSON_INPUTS = [
    ('{"b": 1, "a": 2, "c": 3}', {"a": 2, "b": 1, "c": 3}, ["a", "b", "c"]),
    ("1.0", 1.0, None),
    ("1", 1, None),
    ("-5", -5, None),
    ("1e3", 1000.0, None),
    ("18446744073709551615", 18446744073709551615, None),
    ("9223372036854775808", 9223372036854775808, None),
    ("-9223372036854775808", -9223372036854775808, None),
    ("18446744073709551616", 1.8446744073709552e19, None),
    ("null", None, None),
    ('[1, "x", [true, false], {"z": {}}]', [1, "x", [True, False], {"z": {}}], None),
    ('{"é": 1, "z": 2, "Z": 3}', {"Z": 3, "z": 2, "é": 1}, ["Z", "z", "é"]),
    ('"\\u00e9\\ud83d\\ude80"', "é🚀", None),
    ('{"a": 1, "a": 2}', {"a": 2}, None),
]


class TestJsonInput:
    @pytest.mark.parametrize(
        "raw,value,keys",
        JSON_INPUTS,
        ids=["sorted_keys", "float_one", "int_one", "negative", "exponent", "u64_max", "above_i64", "i64_min", "beyond_u64", "null", "array", "byte_order_keys", "escapes", "repeated_key"],
    )
    def test_conversion(self, write, raw: str, value: object, keys: list[str] | None) -> None:
        # The input is spliced in as written so that number forms like 1e3 reach the reader.
        use = dumps(record("assistant", 1, ts=at(0), content=[tool_use("t", "N", "RAW")])).replace('"RAW"', raw)
        session = load(write([use, record("user", 2, ts=at(1), content=[tool_result("t")])]))
        (block,) = session.messages[0].get_tool_blocks()
        for got in (block.input, session.tool_executions[0].input):
            assert (got, type(got)) == (value, type(value))
            if keys is not None:
                assert list(got) == keys

    def test_mutating_the_result_leaves_the_stored_value(self, load_lines) -> None:
        m = load_lines([record("assistant", content=[tool_use("t", "A", {"k": [1]})])]).messages[0]
        (block,) = m.get_tool_blocks()
        block.input["k"].append(2)
        assert block.input == {"k": [1]}


def shape(node: ConversationNode) -> tuple:
    """(number of the uuid, [shapes of the children]) for comparing small trees with literals."""
    return (int(node.message.uuid[-12:], 16), [shape(c) for c in node.children])


TREES = [
    ([record("user", 1)], [(1, [])], [], [], (1, 1, 0, 1)),
    (chain(3), [(1, [(2, [(3, [])])])], [], [], (3, 3, 0, 1)),
    ([record("user", 1), record("assistant", 2, parent=1), record("assistant", 3, parent=1)], [(1, [(2, []), (3, [])])], [], [], (3, 2, 1, 2)),
    ([record("user", 1), record("user", 2)], [(1, []), (2, [])], [], [], (2, 1, 0, 2)),
    ([record("user", 1, parent=50), record("assistant", 2, parent=1)], [], [1], [], (0, 0, 0, 0)),
    ([record("user", 1, parent=1)], [], [], [(1, 1)], (0, 0, 0, 0)),
    ([record("user", 1, parent=2), record("user", 2, parent=1)], [], [], [(1, 1), (2, 2)], (0, 0, 0, 0)),
    ([record("user", 1, parent=2), record("user", 2, parent=1), record("user", 3, parent=1)], [], [], [(1, 1), (2, 2), (3, 1)], (0, 0, 0, 0)),
    ([record("assistant", 2, parent=1), record("user", 1)], [(1, [(2, [])])], [], [], (2, 2, 0, 1)),
]


class TestConversationTree:
    @pytest.mark.parametrize(
        "lines,roots,orphans,cycles,stats",
        TREES,
        ids=["single", "linear_chain", "one_branch", "two_roots", "orphan_and_its_reply", "self_parent", "mutual_parents", "reply_into_loop", "reply_before_parent"],
    )
    def test_shape_and_stats(self, load_lines, lines, roots, orphans, cycles, stats) -> None:
        tree = load_lines(lines).conversation_tree
        assert [shape(r) for r in tree.root_messages] == roots
        assert tree.orphaned_messages == [uid(n) for n in orphans]
        assert tree.circular_references == [(uid(a), uid(b)) for a, b in cycles]
        s = tree.stats
        assert (s.total_messages, s.max_depth, s.num_branches, s.leaf_count) == stats
        assert (tree.max_depth(), tree.count_branches()) == (stats[1], stats[2])
        assert repr(tree) == f"<ConversationTree roots={len(roots)} messages={stats[0]} depth={stats[1]}>"
        assert repr(s) == f"<ConversationStats messages={stats[0]} depth={stats[1]} branches={stats[2]}>"

    def test_nodes(self, load_lines) -> None:
        tree = load_lines([record("user", 1), record("assistant", 2, parent=1), record("assistant", 3, parent=1)]).conversation_tree
        (root,) = tree.root_messages
        assert (root.is_leaf(), root.child_count(), repr(root)) == (False, 2, f"<ConversationNode uuid='{uid(1)}' children=2>")
        first, again = root.children, root.children
        assert first is not again and first[0] is not again[0]
        assert [c.message.uuid for c in first] == [c.message.uuid for c in again] == [uid(2), uid(3)]
        assert (first[0].is_leaf(), first[0].child_count()) == (True, 0)

    def test_deep_chain_stats(self, load_lines) -> None:
        stats = load_lines(chain(5000)).conversation_tree.stats
        assert (stats.total_messages, stats.max_depth, stats.num_branches, stats.leaf_count) == (5000, 5000, 0, 1)
