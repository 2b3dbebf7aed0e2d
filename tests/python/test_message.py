"""Message values, their block methods and representations, and MessageIterator."""

from __future__ import annotations

import pytest

from conftest import chain, image, record, text, thinking, tool_result, tool_use, uid, usage
from kestro_sdk import Message, TextBlock, ThinkingBlock, ToolResultBlock, ToolUseBlock


def only_message(load_lines, **kw) -> Message:
    (message,) = load_lines([record(**kw)]).messages
    return message


class TestProperties:
    def test_assistant_message_fields(self, load_lines) -> None:
        m = only_message(
            load_lines,
            role="assistant",
            n=7,
            parent=uid(6).upper(),
            content=[text("a"), tool_use("t1", "Bash"), text("b"), tool_use("t2", "Bash")],
            ts="2024-05-01T12:20:30.5+02:00",
            cost=0.0123,
            usage=usage(100, 20, cache_read_input_tokens=5000, service_tier="standard"),
            cwd="/home/u/proj",
            sidechain=True,
            model="kestro-large-1",
            stop_reason="error",
        )
        assert (m.role, m.text, m.model, m.cost, m.tools, m.stop_reason) == ("assistant", "a\nb", "kestro-large-1", 0.0123, ["Bash", "Bash"], "error")
        assert (m.timestamp, m.uuid, m.parent_uuid, m.is_sidechain, m.cwd) == ("2024-05-01T10:20:30.500+00:00", uid(7), uid(6), True, "/home/u/proj")
        assert (m.input_tokens, m.output_tokens, m.total_tokens) == (100, 20, 120)
        assert m.has_tool_use() is True

    def test_user_message_without_optional_fields(self, load_lines) -> None:
        m = only_message(load_lines, content="just text")
        assert (m.role, m.text, m.model, m.cost, m.tools, m.stop_reason, m.usage, m.parent_uuid, m.is_sidechain) == (
            "user", "just text", None, 0.0, [], None, None, None, False,
        )  # fmt: skip
        assert (m.input_tokens, m.output_tokens, m.total_tokens) == (None, None, None)
        assert type(m.cost) is float

    def test_total_tokens_is_exact_beyond_32_bits(self, load_lines) -> None:
        m = only_message(load_lines, role="assistant", usage=usage(4294967295, 10))
        assert (m.input_tokens, m.output_tokens, m.total_tokens) == (4294967295, 10, 4294967305)

    def test_integer_cost_reads_as_float(self, load_lines) -> None:
        cost = only_message(load_lines, cost=1).cost
        assert (cost, type(cost)) == (1.0, float)

    @pytest.mark.parametrize(
        "written,shown",
        [
            ("2024-05-01T10:20:30Z", "2024-05-01T10:20:30+00:00"),
            ("2024-05-01T10:20:30.500Z", "2024-05-01T10:20:30.500+00:00"),
            ("2024-05-01T10:20:30.123456Z", "2024-05-01T10:20:30.123456+00:00"),
            ("2024-05-01T10:20:30.123456789Z", "2024-05-01T10:20:30.123456789+00:00"),
            ("2024-05-01T10:20:30.120000Z", "2024-05-01T10:20:30.120+00:00"),
            ("2024-05-01T00:30:00-01:00", "2024-05-01T01:30:00+00:00"),
            ("2024-01-01T01:00:00+02:00", "2023-12-31T23:00:00+00:00"),
        ],
        ids=["whole_seconds", "millis", "micros", "nanos", "trailing_zeros", "negative_offset", "previous_year"],
    )
    def test_timestamp_text(self, load_lines, written: str, shown: str) -> None:
        assert only_message(load_lines, ts=written).timestamp == shown

    @pytest.mark.parametrize("reason", ["end_turn", "max_tokens", "stop_sequence", "tool_use", "error"])
    def test_stop_reason(self, load_lines, reason: str) -> None:
        assert only_message(load_lines, role="assistant", stop_reason=reason).stop_reason == reason

    def test_usage_object(self, load_lines) -> None:
        u = only_message(load_lines, role="assistant", usage=usage(3, 4, cache_creation_input_tokens=5, service_tier="priority")).usage
        assert u is not None
        assert (u.input_tokens, u.cache_creation_input_tokens, u.cache_read_input_tokens, u.output_tokens, u.service_tier) == (3, 5, None, 4, "priority")
        assert repr(u) == "<TokenUsage in=3 out=4>"

    def test_each_read_builds_new_objects(self, load_lines) -> None:
        session = load_lines([record("assistant", content=[tool_use("t", "Read")], usage=usage(1, 2))])
        first, second = session.messages[0], session.messages[0]
        assert first is not second and first != second
        assert first.tools is not first.tools and first.usage is not first.usage
        first.tools.append("x")
        assert first.tools == ["Read"]

    def test_properties_are_read_only(self, load_lines) -> None:
        m = only_message(load_lines)
        with pytest.raises(AttributeError):
            m.text = "changed"  # type: ignore[misc]
        assert m.text == "hello"


class TestBlocks:
    def test_content_blocks_in_order_with_their_classes(self, load_lines) -> None:
        m = only_message(
            load_lines,
            content=[text("a"), thinking("hmm", "s1"), tool_use("t1", "Grep", {"q": 1}), tool_result("t0", [text("x"), image(), text("y")], True), image("image/jpeg", "AAAA")],
        )
        blocks = m.get_content_blocks()
        assert [type(b) for b in blocks] == [TextBlock, ThinkingBlock, ToolUseBlock, ToolResultBlock, type(blocks[4])]
        assert type(blocks[4]).__name__ == "ImageBlock"
        assert blocks[0].text == "a"
        assert (blocks[1].thinking, blocks[1].signature) == ("hmm", "s1")
        assert (blocks[2].id, blocks[2].name, blocks[2].input) == ("t1", "Grep", {"q": 1})
        assert (blocks[3].tool_use_id, blocks[3].content, blocks[3].is_error) == ("t0", "x\ny", True)
        assert (blocks[4].source_type, blocks[4].media_type, blocks[4].data) == ("base64", "image/jpeg", "AAAA")

    def test_text_blocks_skip_thinking(self, load_lines) -> None:
        m = only_message(load_lines, content=[text("a"), text("b"), thinking("c")])
        assert (m.text, [b.text for b in m.get_text_blocks()], len(m.get_content_blocks())) == ("a\nb", ["a", "b"], 3)
        assert type(m.get_content_blocks()[2]) is ThinkingBlock

    def test_tool_blocks(self, load_lines) -> None:
        m = only_message(load_lines, role="assistant", content=[tool_use("t1", "Read"), text("x"), tool_use("t2", "Edit")])
        assert [(b.id, b.name) for b in m.get_tool_blocks()] == [("t1", "Read"), ("t2", "Edit")]

    @pytest.mark.parametrize(
        "content,text_,tools,has_tool",
        [
            ("plain", "plain", [], False),
            ([], "", [], False),
            (None, "", [], False),
            ("", "", [], False),
            ([tool_result("t1", "out")], "", [], False),
            ([tool_use("a", "Bash"), tool_use("b", "Bash")], "", ["Bash", "Bash"], True),
        ],
        ids=["string_content", "empty_array", "no_content", "empty_string", "only_tool_result", "same_tool_twice"],
    )
    def test_text_and_tools(self, load_lines, content, text_: str, tools: list[str], has_tool: bool) -> None:
        m = only_message(load_lines, content=content)
        assert (m.text, m.tools, m.has_tool_use()) == (text_, tools, has_tool)

    def test_string_content_is_one_text_block(self, load_lines) -> None:
        assert [b.text for b in only_message(load_lines, content="hi").get_text_blocks()] == ["hi"]


class TestRepr:
    @pytest.mark.parametrize(
        "cost,shown",
        [
            (None, "Some(0.0)"),
            (0.0123, "Some(0.0123)"),
            (5e-5, "Some(5e-5)"),
            (1.5e-5, "Some(1.5e-5)"),
            (1e-4, "Some(0.0001)"),
            (1e16, "Some(1e16)"),
            (1.0, "Some(1.0)"),
            (1234.5, "Some(1234.5)"),
            (0.1, "Some(0.1)"),
            (9999999999999998.0, "Some(9999999999999998.0)"),
        ],
        ids=["absent", "small", "exp_small", "exp_fraction", "at_threshold", "exp_large", "one", "plain", "tenth", "below_1e16"],
    )
    def test_message_cost_forms(self, load_lines, cost, shown: str) -> None:
        m = only_message(load_lines, role="assistant", n=3, cost=cost)
        assert repr(m) == f"<Message role='assistant' uuid='{uid(3)}' cost={shown}>"

    def test_message_str(self, load_lines) -> None:
        assert str(only_message(load_lines, content=[text("line one"), text("x" * 300)])) == "user: line one\n" + "x" * 300
        assert str(only_message(load_lines, content=[])) == "user: "

    @pytest.mark.parametrize(
        "text_,shown",
        [
            ("a" * 50, "a" * 50),
            ("a" * 51, "a" * 50 + "..."),
            ("a" * 48 + "é", "a" * 48 + "é"),
            ("a" * 49 + "é", "a" * 49 + "..."),
            ("€" * 17, "€" * 16 + "..."),
            ("", ""),
        ],
        ids=["50_bytes", "51_bytes", "two_byte_char_ends_at_50", "two_byte_char_straddles_50", "three_byte_chars", "empty"],
    )
    def test_text_block_shortening(self, load_lines, text_: str, shown: str) -> None:
        (block,) = only_message(load_lines, content=[text(text_)]).get_text_blocks()
        assert (repr(block), str(block), block.text) == (f"<TextBlock text='{shown}'>", f"<TextBlock text='{shown}'>", text_)

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
    def test_block_repr(self, load_lines, block: dict, shown: str) -> None:
        (obj,) = only_message(load_lines, content=[block]).get_content_blocks()
        assert repr(obj) == shown

    def test_tool_result_without_content(self, load_lines) -> None:
        (obj,) = only_message(load_lines, content=[tool_result("t1", None)]).get_content_blocks()
        assert (obj.content, obj.is_error) == (None, None)


class TestIterator:
    def test_iterates_copies_then_stays_exhausted(self, load_lines) -> None:
        session = load_lines(chain(3))
        it = iter(session)
        assert iter(it) is it
        assert [next(it).uuid for _ in range(3)] == [uid(1), uid(2), uid(3)]
        for _ in range(3):
            with pytest.raises(StopIteration):
                next(it)

    def test_each_iterator_starts_over(self, load_lines) -> None:
        session = load_lines(chain(2))
        assert [m.uuid for m in session] == [m.uuid for m in session] == [uid(1), uid(2)]

    def test_iterator_outlives_its_session(self, load_lines) -> None:
        session = load_lines(chain(2))
        it = iter(session)
        del session
        assert [m.role for m in it] == ["user", "assistant"]
