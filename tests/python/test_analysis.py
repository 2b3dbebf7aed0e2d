"""Tool executions, the conversation tree and JSON tool inputs as Python objects.

The figures themselves are checked against the records on random sessions by the property tests.
"""

from __future__ import annotations

import pytest

from conftest import at, chain, dumps, record, tool_result, tool_use, uid
from kestro_sdk import load


def test_tool_execution_fields(load_lines) -> None:
    (ex,) = load_lines([
        record("assistant", 1, ts="2025-06-01T08:00:00Z", content=[tool_use("t1", "Bash", {"command": "ls"})]),
        record("user", 2, parent=1, ts="2025-06-01T08:00:03.250Z", content=[tool_result("t1", "files", True)]),
    ]).tool_executions  # fmt: skip
    assert (ex.tool_name, ex.duration_ms, ex.timestamp, ex.input, ex.is_success()) == (
        "Bash", 3250, "2025-06-01T08:00:03.250+00:00", {"command": "ls"}, False)  # fmt: skip
    out = ex.output
    assert (out.tool_use_id, out.content, out.stdout, out.stderr, out.interrupted, out.is_error, out.is_success(),
            out.effective_content()) == ("t1", "files", None, None, False, True, False, "files")  # fmt: skip
    assert repr(ex) == str(ex) == "<ToolExecution tool='Bash' duration_ms=3250 success=false>"
    assert repr(out) == str(out) == "<ToolResult id='t1' success=false>"


JSON_INPUTS = {
    "keys_in_byte_order": ('{"b": 1, "é": 2, "Z": 3, "a": {"z": {}}}', {"Z": 3, "a": {"z": {}}, "b": 1, "é": 2}, ["Z", "a", "b", "é"]),
    "float_one": ("1.0", 1.0, None),
    "int_one": ("1", 1, None),
    "i64_min": ("-9223372036854775808", -9223372036854775808, None),
    "u64_max": ("18446744073709551615", 18446744073709551615, None),
    "beyond_u64_is_a_double": ("18446744073709551616", 1.8446744073709552e19, None),
    "null": ("null", None, None),
    "nested_array": ('[1, "x", [true, false], {}]', [1, "x", [True, False], {}], None),
}  # fmt: skip


@pytest.mark.parametrize("raw,value,keys", JSON_INPUTS.values(), ids=JSON_INPUTS.keys())
def test_json_input_conversion(tmp_path, raw: str, value: object, keys: list[str] | None) -> None:
    # Spliced in as written, so that number forms reach the reader unchanged.
    use = dumps(record("assistant", 1, ts=at(0), content=[tool_use("t", "N", "RAW")])).replace('"RAW"', raw)
    result = dumps(record("user", 2, ts=at(1), content=[tool_result("t")]))
    (tmp_path / "s.jsonl").write_text(f"{use}\n{result}\n")
    session = load(tmp_path / "s.jsonl")
    (block,) = session.messages[0].get_tool_blocks()
    for got in (block.input, session.tool_executions[0].input):
        assert (got, type(got)) == (value, type(value))
        assert keys is None or list(got) == keys
    if isinstance(block.input, (dict, list)):
        block.input.clear()
        assert block.input == value


def test_tree_objects(load_lines) -> None:
    tree = load_lines([
        record("user", 1), record("assistant", 2, parent=1), record("assistant", 3, parent=1), record("user", 4),
    ]).conversation_tree  # fmt: skip
    assert (tree.max_depth(), tree.count_branches()) == (2, 1)
    assert repr(tree) == str(tree) == "<ConversationTree roots=2 messages=4 depth=2>"
    assert repr(tree.stats) == str(tree.stats) == "<ConversationStats messages=4 depth=2 branches=1>"
    root = tree.root_messages[0]
    assert (root.is_leaf(), root.child_count(), repr(root)) == (False, 2, f"<ConversationNode uuid='{uid(1)}' children=2>")  # fmt: skip
    # Nodes are new objects at each read.
    first, again = root.children, root.children
    assert first is not again and first[0] is not again[0]
    assert [c.message.uuid for c in first] == [c.message.uuid for c in again] == [uid(2), uid(3)]


def test_long_chain_without_recursion_limits(load_lines) -> None:
    session = load_lines(chain(5000))
    stats = session.conversation_tree.stats
    assert (stats.total_messages, stats.max_depth, stats.num_branches, stats.leaf_count) == (5000, 5000, 0, 1)
    assert len(session.get_thread(uid(5000))) == 5000
