"""Session metadata, tool executions, the conversation tree and JSON tool inputs."""

from __future__ import annotations

import pytest

from conftest import at, chain, dumps, record, thinking, tool_result, tool_use, uid, usage
from kestro_sdk import ConversationNode, load


def test_metadata_figures(tmp_path, load_lines) -> None:
    session = load_lines([
        {"type": "summary", "summary": "s", "leafUuid": uid(1)},
        record("user", 1, ts="2025-06-01T08:00:10Z", duration_ms=40),
        record("assistant", 2, parent=1, ts="2025-06-01T08:00:05.250Z", cost=0.25, duration_ms=100,
               content=[tool_use("a", "Read"), tool_use("b", "Read"), tool_use("c", "Edit")],
               usage=usage(10, 1, cache_creation_input_tokens=7, cache_read_input_tokens=3)),
        record("assistant", 3, parent=2, ts="2025-06-01T08:01:00Z", cost=0.5, duration_ms=201,
               content=[tool_use("d", "Read"), thinking("t"), tool_result("a")], usage=usage(20, 2)),
        record("assistant", 4, parent=3, ts="2025-06-01T08:00:30Z"),
    ])  # fmt: skip
    meta = session.metadata
    assert (meta.total_messages, meta.user_messages, meta.assistant_messages, meta.total_cost_usd) == (4, 1, 3, 0.75)
    assert (meta.total_input_tokens, meta.total_output_tokens, meta.cache_creation_tokens, meta.cache_read_tokens) == (30, 3, 7, 3)
    # Tools in the order of their first use.
    assert (meta.unique_tools_used, meta.total_tool_calls, meta.tool_usage_count) == (["Read", "Edit"], 4, {"Read": 3, "Edit": 1})
    assert (meta.first_message_timestamp, meta.last_message_timestamp, meta.session_duration) == ("2025-06-01T08:00:05.250+00:00", "2025-06-01T08:01:00+00:00", 54)
    assert (meta.total_duration_ms, meta.average_response_time_ms, meta.session_file_path) == (341, 150.5, str(tmp_path / "s.jsonl"))
    assert repr(meta) == str(meta) == "<SessionMetadata messages=4 cost=$0.7500 tools=2>"


def test_tool_execution_fields(load_lines) -> None:
    (ex,) = load_lines([
        record("assistant", 1, ts="2025-06-01T08:00:00Z", content=[tool_use("t1", "Bash", {"command": "ls", "b": [1, None]})]),
        record("user", 2, parent=1, ts="2025-06-01T08:00:03.250Z", content=[tool_result("t1", "files", True)]),
    ]).tool_executions  # fmt: skip
    assert (ex.tool_name, ex.duration_ms, ex.timestamp, ex.input, ex.is_success()) == ("Bash", 3250, "2025-06-01T08:00:03.250+00:00", {"b": [1, None], "command": "ls"}, False)
    out = ex.output
    assert (out.tool_use_id, out.content, out.stdout, out.stderr, out.interrupted, out.is_error) == ("t1", "files", None, None, False, True)
    assert (out.is_success(), out.effective_content()) == (False, "files")
    assert repr(ex) == str(ex) == "<ToolExecution tool='Bash' duration_ms=3250 success=false>"
    assert repr(out) == str(out) == "<ToolResult id='t1' success=false>"


JSON_INPUTS = {
    "keys_in_byte_order": ('{"b": 1, "é": 2, "Z": 3, "a": {"z": {}}}', {"Z": 3, "a": {"z": {}}, "b": 1, "é": 2}, ["Z", "a", "b", "é"]),
    "float_one": ("1.0", 1.0, None),
    "int_one": ("1", 1, None),
    "i64_min": ("-9223372036854775808", -9223372036854775808, None),
    "u64_max": ("18446744073709551615", 18446744073709551615, None),
    "beyond_u64_is_a_double": ("18446744073709551616", 1.8446744073709552e19, None),
    "zero_with_huge_exponent": ("0e400", 0.0, None),
    "null": ("null", None, None),
    "nested_array": ('[1, "x", [true, false], {}]', [1, "x", [True, False], {}], None),
    "escapes": ('"\\u00e9\\ud83d\\ude80"', "é🚀", None),
}


@pytest.mark.parametrize("raw,value,keys", JSON_INPUTS.values(), ids=JSON_INPUTS.keys())
def test_json_input_conversion(tmp_path, raw: str, value: object, keys: list[str] | None) -> None:
    # Spliced in as written, so that number forms like 0e400 reach the reader.
    use = dumps(record("assistant", 1, ts=at(0), content=[tool_use("t", "N", "RAW")])).replace('"RAW"', raw)
    (tmp_path / "s.jsonl").write_text(use + "\n" + dumps(record("user", 2, ts=at(1), content=[tool_result("t")])) + "\n")
    session = load(tmp_path / "s.jsonl")
    (block,) = session.messages[0].get_tool_blocks()
    for got in (block.input, session.tool_executions[0].input):
        assert (got, type(got)) == (value, type(value))
        assert keys is None or list(got) == keys
    got = block.input
    if isinstance(got, (dict, list)):
        got.clear()
        assert block.input == value


def shape(node: ConversationNode) -> tuple:
    """(number of the uuid, [shapes of the children]) for comparing small trees with literals."""
    return (int(node.message.uuid[-12:], 16), [shape(c) for c in node.children])


def test_tree_shape_and_stats(load_lines) -> None:
    tree = load_lines([
        record("assistant", 2, parent=1), record("user", 1), record("assistant", 3, parent=1), record("user", 4),
        record("user", 5, parent=50), record("assistant", 6, parent=5), record("user", 7, parent=8), record("user", 8, parent=7),
    ]).conversation_tree  # fmt: skip
    assert [shape(r) for r in tree.root_messages] == [(1, [(2, []), (3, [])]), (4, [])]
    # 6 answers the orphan 5, so it is in none of the three.
    assert (tree.orphaned_messages, tree.circular_references) == ([uid(5)], [(uid(7), uid(7)), (uid(8), uid(8))])
    s = tree.stats
    assert (s.total_messages, s.max_depth, s.num_branches, s.leaf_count, tree.max_depth(), tree.count_branches()) == (4, 2, 1, 3, 2, 1)
    assert repr(tree) == str(tree) == "<ConversationTree roots=2 messages=4 depth=2>"
    assert repr(s) == str(s) == "<ConversationStats messages=4 depth=2 branches=1>"


def test_tree_nodes_are_new_objects_each_read(load_lines) -> None:
    (root,) = load_lines([record("user", 1), record("assistant", 2, parent=1), record("assistant", 3, parent=1)]).conversation_tree.root_messages
    assert (root.is_leaf(), root.child_count(), repr(root)) == (False, 2, f"<ConversationNode uuid='{uid(1)}' children=2>")
    first, again = root.children, root.children
    assert first is not again and first[0] is not again[0]
    assert [c.message.uuid for c in first] == [c.message.uuid for c in again] == [uid(2), uid(3)]
    assert (first[0].is_leaf(), first[0].child_count()) == (True, 0)


def test_long_chain_without_recursion_limits(load_lines) -> None:
    session = load_lines(chain(5000))
    stats = session.conversation_tree.stats
    assert (stats.total_messages, stats.max_depth, stats.num_branches, stats.leaf_count) == (5000, 5000, 0, 1)
    assert len(session.get_thread(uid(5000))) == 5000
