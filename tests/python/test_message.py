"""Message values, their block methods and representations, and MessageIterator."""

from __future__ import annotations

import pytest

from conftest import chain, image, record, text, thinking, tool_result, tool_use, uid, usage
from kestro_sdk import ImageBlock, Message, TextBlock, ThinkingBlock, ToolResultBlock, ToolUseBlock


def attrs(obj, names: str) -> tuple:
    return tuple(getattr(obj, n) for n in names.split())


def only_message(load_lines, **kw) -> Message:
    (message,) = load_lines([record(**kw)]).messages
    return message


def test_assistant_message_fields(load_lines) -> None:
    m = only_message(
        load_lines, role="assistant", n=7, parent=uid(6).upper(), content="a", ts="2024-05-01T12:20:30.5+02:00",
        cost=0.0123, usage=usage(4294967295, 20, cache_creation_input_tokens=5, service_tier="priority"),
        sidechain=True, model="kestro-large-1", stop_reason="max_tokens",
    )  # fmt: skip
    assert attrs(m, "role text model cost tools stop_reason timestamp uuid parent_uuid is_sidechain cwd") == (
        "assistant", "a", "kestro-large-1", 0.0123, [], "max_tokens",
        "2024-05-01T10:20:30.500+00:00", uid(7), uid(6), True, "/home/u/proj")  # fmt: skip
    # The sum of two 32-bit counts is exact, not wrapped.
    assert attrs(m, "input_tokens output_tokens total_tokens") == (4294967295, 20, 4294967315)
    u = m.usage
    assert attrs(u, "input_tokens cache_creation_input_tokens cache_read_input_tokens output_tokens service_tier") == (
        4294967295, 5, None, 20, "priority")  # fmt: skip
    assert repr(u) == "<TokenUsage in=4294967295 out=20>"


def test_user_message_without_optional_fields(load_lines) -> None:
    m = only_message(load_lines, content=[])
    assert (m.role, m.text, str(m), m.model, m.cost, type(m.cost), m.tools, m.stop_reason, m.usage, m.parent_uuid, m.is_sidechain) == (
        "user", "", "user: ", None, 0.0, float, [], None, None, None, False)  # fmt: skip
    assert (m.input_tokens, m.output_tokens, m.total_tokens, m.get_text_blocks(), m.has_tool_use()) == (
        None, None, None, [], False)  # fmt: skip


def test_each_read_builds_new_objects(load_lines) -> None:
    session = load_lines([record("assistant", content=[tool_use("t", "Read")], usage=usage(1, 2))])
    first, second = session.messages[0], session.messages[0]
    assert first is not second and first != second
    assert first.tools is not first.tools and first.usage is not first.usage
    first.tools.append("x")
    session.messages.clear()
    assert (first.tools, len(session.messages)) == (["Read"], 1)


def test_content_blocks_in_order_with_their_classes(load_lines) -> None:
    m = only_message(load_lines, content=[
        text("a"), thinking("hmm", "s1"), tool_use("t1", "Grep", {"q": 1}), tool_result("t0", [text("x"), image(), text("y")], True),
        image("image/jpeg", "AAAA"), text("b" * 60), tool_use("t2", "Read"), tool_result("t3", None),
    ])  # fmt: skip
    b = m.get_content_blocks()
    assert [type(x) for x in b] == [TextBlock, ThinkingBlock, ToolUseBlock, ToolResultBlock,
                                    ImageBlock, TextBlock, ToolUseBlock, ToolResultBlock]  # fmt: skip
    assert (b[0].text, b[1].thinking, b[1].signature, b[2].id, b[2].name, b[2].input) == (
        "a", "hmm", "s1", "t1", "Grep", {"q": 1})  # fmt: skip
    assert (b[3].tool_use_id, b[3].content, b[3].is_error, b[7].content, b[7].is_error) == ("t0", "x\ny", True, None, None)  # fmt: skip
    assert (b[4].source_type, b[4].media_type, b[4].data) == ("base64", "image/jpeg", "AAAA")
    # str() shows the whole text; only TextBlock's repr shortens.
    assert (m.text, str(m), [t.text for t in m.get_text_blocks()]) == (
        "a\n" + "b" * 60, "user: a\n" + "b" * 60, ["a", "b" * 60])  # fmt: skip
    assert ([t.id for t in m.get_tool_blocks()], m.tools, m.has_tool_use()) == (["t1", "t2"], ["Grep", "Read"], True)


@pytest.mark.parametrize(
    "cost,shown",
    [(None, "Some(0.0)"), (0.0123, "Some(0.0123)"), (1, "Some(1.0)"), (1234.5, "Some(1234.5)"), (1e-4, "Some(0.0001)"),
     (5e-5, "Some(5e-5)"), (1.5e-5, "Some(1.5e-5)"), (9999999999999998.0, "Some(9999999999999998.0)"), (1e16, "Some(1e16)")],
    ids=["absent", "small", "integer", "plain", "at_small_threshold", "exp_small", "exp_fraction", "below_1e16", "exp_large"],
)  # fmt: skip
def test_message_repr_cost_forms(load_lines, cost, shown: str) -> None:
    m = only_message(load_lines, role="assistant", n=3, cost=cost)
    assert repr(m) == f"<Message role='assistant' uuid='{uid(3)}' cost={shown}>"
    assert (m.cost, type(m.cost)) == (float(cost or 0), float)


@pytest.mark.parametrize(
    "text_,shown",
    [("a" * 50, "a" * 50), ("a" * 51, "a" * 50 + "..."), ("a" * 48 + "é", "a" * 48 + "é"),
     ("a" * 49 + "é", "a" * 49 + "..."), ("€" * 17, "€" * 16 + "..."), ("", "")],
    ids=["50_bytes", "51_bytes", "two_byte_char_ends_at_50", "two_byte_char_straddles_50", "three_byte_chars", "empty"],
)  # fmt: skip
def test_text_block_shortening(load_lines, text_: str, shown: str) -> None:
    (block,) = only_message(load_lines, content=[text(text_)]).get_text_blocks()
    assert (repr(block), str(block), block.text) == (f"<TextBlock text='{shown}'>", f"<TextBlock text='{shown}'>", text_)  # fmt: skip


@pytest.mark.parametrize(
    "block,shown",
    [
        (tool_result("t1", "x"), "<ToolResultBlock id='t1' error=None>"),
        (tool_result("t1", "x", True), "<ToolResultBlock id='t1' error=Some(true)>"),
        (tool_result("t1", "x", False), "<ToolResultBlock id='t1' error=Some(false)>"),
        (tool_use("toolu_9", "Bash"), "<ToolUseBlock id='toolu_9' name='Bash'>"),
        (thinking("t" * 80), "<ThinkingBlock thinking='" + "t" * 80 + "'>"),
        (image("image/webp"), "<ImageBlock media_type='image/webp'>"),
    ],
    ids=["result_no_flag", "result_error", "result_not_error", "tool_use", "thinking_not_shortened", "image"],
)
def test_block_repr(load_lines, block: dict, shown: str) -> None:
    (obj,) = only_message(load_lines, content=[block]).get_content_blocks()
    assert repr(obj) == str(obj) == shown


def test_iterator_walks_a_copy_then_stays_exhausted(load_lines) -> None:
    session = load_lines(chain(3))
    it = iter(session)
    assert iter(it) is it
    del session
    assert [next(it).uuid for _ in range(3)] == [uid(1), uid(2), uid(3)]
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)
