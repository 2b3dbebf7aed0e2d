"""A conversation as Markdown that reads well on a code-hosting site.

A heading per turn; replies as the Markdown they already are; tool calls and their
results in fenced blocks, long results folded in ``<details>``; sub-agents quoted under
the call that started them.
"""

from __future__ import annotations

import json
import re
from collections.abc import Callable, Iterator
from typing import Any, Final

from . import view
from .view import Broken, Conversation, Meta, Prompt, ReplyEnd, Results, Said

FOLD_LINES: Final = 12  # results longer than this are folded
FOLD_CHARS: Final = 1500

_BACKTICKS = re.compile(r"`{3,}")


def fence(text: str, lang: str = "") -> str:
    """A fenced block that no backticks inside the text can close early."""
    longest = max((len(m.group(0)) for m in _BACKTICKS.finditer(text)), default=2)
    ticks = "`" * max(3, longest + 1)
    return f"{ticks}{lang}\n{text.rstrip(chr(10))}\n{ticks}"


def _html_text(text: str) -> str:
    """Text for inside a raw HTML element such as <summary>."""
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def _quote(text: str) -> str:
    return "\n".join("> " + line if line else ">" for line in text.split("\n"))


def render(conv: Conversation, clean: Callable[[str], str] | None = None, tz: Any = None) -> str:
    """The whole conversation as one Markdown document."""
    return "".join(chunks(conv, clean, tz))


def chunks(conv: Conversation, clean: Callable[[str], str] | None = None, tz: Any = None) -> Iterator[str]:
    """The Markdown document in pieces, in order, for writing as it is made."""
    c = clean or (lambda s: s)
    title = conv.title or conv.session_id or "Session"
    yield f"# {_html_text(c(title))}\n\n"
    facts = []
    if conv.session_id:
        facts.append(f"Session `{conv.session_id}`")
    if conv.started:
        facts.append(f"started {view.when(conv.started, tz)}")
    if conv.ended:
        facts.append(f"ended {view.when(conv.ended, tz)}")
    usage = conv.all_usage()
    if usage:
        tokens = sum(u.total_tokens for u in usage)
        cost = conv.total_cost()
        facts.append(
            f"{len(usage)} replies, {tokens:,} tokens, " + ("cost unknown" if cost is None else f"${cost:.2f}")
        )
    if facts:
        yield ", ".join(facts) + "\n\n"
    # Nested conversations are written by an explicit stack of generators, so nesting costs
    # no recursion; each frame prefixes its lines with the quote marks of its depth.
    stack: list[tuple[Iterator[str], int]] = [(_body(conv, c, tz), 0)]
    while stack:
        gen, level = stack[-1]
        piece = next(gen, None)
        if piece is None:
            stack.pop()
            continue
        if isinstance(piece, _Nest):
            stack.append((_nested(piece.conv, c, tz), level + 1))
            continue
        yield _indent(piece, level)


class _Nest:
    __slots__ = ("conv",)

    def __init__(self, conv: Conversation) -> None:
        self.conv = conv


def _indent(text: str, level: int) -> str:
    if level == 0:
        return text
    prefix = "> " * level
    return "".join(prefix + line if line.strip() else prefix.rstrip() + line for line in text.splitlines(True))


def _nested(conv: Conversation, c: Callable[[str], str], tz: Any) -> Iterator[Any]:
    usage = conv.all_usage()
    head = f"**{conv.label or 'sub-agent'}**"
    if conv.title:
        head += f" · {c(conv.title)}"
    if usage:
        cost = conv.total_cost()
        head += f" · {len(usage)} replies · {sum(u.total_tokens for u in usage):,} tokens"
        head += " · cost unknown" if cost is None else f" · ${cost:.4f}"
    yield head + "\n\n"
    yield from _body(conv, c, tz)


def _body(conv: Conversation, c: Callable[[str], str], tz: Any) -> Iterator[Any]:
    heading = "##" if conv.depth == 0 else "####"
    for item in conv.items:
        if isinstance(item, Prompt):
            m = item.message
            yield f"{heading} Turn {item.turn} · {view.when(m.timestamp, tz)}\n\n"
            yield "**Prompt**\n\n"
            yield from _blocks(conv, item.blocks, c, prompt=True)
        elif isinstance(item, Said):
            yield from _blocks(conv, item.blocks, c, prompt=False)
        elif isinstance(item, Results):
            for block in item.blocks:
                yield from _result(block, c, "Result of a call not in this log")
        elif isinstance(item, ReplyEnd):
            yield f"<sub>{_html_text(view.usage_line(item.usage))}</sub>\n\n"
        elif isinstance(item, Meta):
            yield f"<sub>{_html_text(c(_one_line(item.summary, 200)))}</sub>\n\n"
        elif isinstance(item, Broken):
            p = item.problem
            yield f"> **Unreadable line {p.line}:** {_html_text(c(p.reason))}\n\n"
    if conv.unplaced:
        yield "**Sub-agents not linked to a call**\n\n"
        for kid in conv.unplaced:
            yield _Nest(kid)
            yield "\n"


def _one_line(text: str, limit: int) -> str:
    text = " ".join(text.split())
    return text if len(text) <= limit else text[: limit - 1] + "…"


def _blocks(conv: Conversation, blocks: list[Any], c: Callable[[str], str], *, prompt: bool) -> Iterator[Any]:
    for block in blocks:
        kind = block.type
        if kind == "text":
            text = c(block.text).strip()
            if text:
                yield (_quote(text) if prompt else text) + "\n\n"
        elif kind == "thinking":
            text = c(block.thinking).strip()
            if text:
                yield f"<details><summary>Thinking</summary>\n\n{_quote(text)}\n\n</details>\n\n"
        elif kind == "tool_use":
            yield from _call(conv, block, c)
        elif kind == "tool_result":
            yield from _result(block, c, "Result")
        elif kind == "image":
            yield f"*Image {_html_text(view.image_label(block))}*\n\n"
        else:
            yield from _unknown(block, c)


def _call(conv: Conversation, block: Any, c: Callable[[str], str]) -> Iterator[Any]:
    name = block.name
    data = block.input
    summary = c(view.tool_summary(name, data))
    yield f"**{_html_text(name)}** · {_inline_code(summary)}\n\n" if summary else f"**{_html_text(name)}**\n\n"
    if isinstance(data, dict) and set(data) <= {"command", "description", "timeout"} and "command" in data:
        yield fence(c(str(data["command"])), "sh") + "\n\n"
    elif data not in (None, {}, []):
        yield fence(c(view.input_text(data))) + "\n\n"
    found = conv.results.get(block.id)
    if found is not None:
        yield from _result(found[0], c, "Result")
    for kid in conv.children.get(block.id, ()):
        yield _Nest(kid)
        yield "\n"


def _inline_code(text: str) -> str:
    longest = max((len(m) for m in re.findall(r"`+", text)), default=0)
    ticks = "`" * (longest + 1)
    pad = " " if text.startswith("`") or text.endswith("`") else ""
    return f"{ticks}{pad}{text}{pad}{ticks}"


def result_text(block: Any) -> tuple[str, list[Any]]:
    """A tool result's text, and the blocks inside it that are not text (images, unknown kinds)."""
    content = block.content
    if isinstance(content, list):
        return block.text, [b for b in content if b.type != "text"]
    return block.text, []


def _result(block: Any, c: Callable[[str], str], label: str) -> Iterator[Any]:
    text, others = result_text(block)
    text = c(text)
    lines = text.count("\n") + 1 if text else 0
    error = block.is_error is True
    title = f"{'Error' if error else label} ({lines} line{'s' if lines != 1 else ''}, {view.format_size(len(text))})"
    if not text:
        yield f"*{title}: empty*\n\n" if not others else ""
    elif lines > FOLD_LINES or len(text) > FOLD_CHARS:
        yield f"<details><summary>{title}</summary>\n\n{fence(text)}\n\n</details>\n\n"
    else:
        yield f"*{title}*\n\n{fence(text)}\n\n"
    for other in others:
        if other.type == "image":
            yield f"*Image {_html_text(view.image_label(other))}*\n\n"
        else:
            yield from _unknown(other, c)


def _unknown(block: Any, c: Callable[[str], str]) -> Iterator[str]:
    raw = json.dumps(block.raw, ensure_ascii=False, indent=2)
    yield f"*Block of type {_inline_code(block.type)}*\n\n{fence(c(raw), 'json')}\n\n"
