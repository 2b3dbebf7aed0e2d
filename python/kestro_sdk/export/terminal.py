"""A conversation as rich renderables, one item at a time, for the terminal.

The renderables come out in reading order as the conversation is walked, so that a caller
can hand the first screenful to a pager before the rest is made.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any, Final

from . import view
from .markdown import result_text
from .view import Broken, Conversation, Meta, Prompt, ReplyEnd, Results, Said

if TYPE_CHECKING:
    from rich.console import RenderableType

    from .._reader import Transcript

RESULT_LINES: Final = 6  # a result shows this many lines, then says how many more there are
THINKING_LINES: Final = 3
THINKING_CHARS: Final = 300
INDENT: Final = 4


class _Nest:
    __slots__ = ("conv",)

    def __init__(self, conv: Conversation) -> None:
        self.conv = conv


def header(transcript: Transcript, clean: Callable[[str], str] | None = None, tz: Any = None) -> RenderableType:
    """The session's title, id and start: all of it known once the log is read, before any layout."""
    from rich.text import Text

    c = clean or (lambda s: s)
    head = Text(c(transcript.title or transcript.session_id or "session"), style="bold")
    facts = [f for f in (transcript.session_id, view.when(transcript.started, tz)) if f]
    if facts:
        head.append("\n" + " · ".join(facts), style="dim")
    return head


def renderables(
    conv: Conversation, clean: Callable[[str], str] | None = None, tz: Any = None, *, with_header: bool = True
) -> Iterator[RenderableType]:
    """The conversation as renderables, sub-agents indented under the call that started them, then its totals.

    ``with_header=False`` leaves out the title lines, for a caller that showed :func:`header` already.
    """
    from rich.padding import Padding
    from rich.text import Text

    c = clean or (lambda s: s)
    if with_header:
        head = Text(c(conv.title or conv.session_id or "session"), style="bold")
        facts = [f for f in (conv.session_id, view.when(conv.started, tz)) if f]
        if facts:
            head.append("\n" + " · ".join(facts), style="dim")
        yield head
    # Sub-agents are walked from an explicit stack of generators, so nesting costs no recursion.
    stack: list[tuple[Iterator[Any], int]] = [(_body(conv, c, tz), 0)]
    while stack:
        gen, level = stack[-1]
        piece = next(gen, None)
        if piece is None:
            stack.pop()
        elif isinstance(piece, _Nest):
            stack.append((_agent(piece.conv, c, tz), level + 1))
        else:
            yield Padding(piece, (0, 0, 0, INDENT * level)) if level else piece
    usage = conv.all_usage()
    if usage:
        cost = conv.total_cost()
        tokens = sum(u.total_tokens for u in usage)
        total = f"{len(usage):,} replies · {tokens:,} tokens · " + ("cost unknown" if cost is None else f"${cost:.4f}")
        yield Text("total: " + total, style="bold dim", justify="right")


def _agent(conv: Conversation, c: Callable[[str], str], tz: Any) -> Iterator[Any]:
    from rich.text import Text

    usage = conv.all_usage()
    label = f"┌ {conv.label or 'sub-agent'}"
    if conv.title:
        label += f" · {c(conv.title)}"
    if usage:
        cost = conv.total_cost()
        label += f" · {len(usage)} replies · " + ("cost unknown" if cost is None else f"${cost:.4f}")
    yield Text(label, style="magenta")
    yield from _body(conv, c, tz)
    yield Text("└ end of " + (conv.label or "sub-agent"), style="magenta dim")


def _body(conv: Conversation, c: Callable[[str], str], tz: Any) -> Iterator[Any]:
    from rich.rule import Rule
    from rich.text import Text

    for item in conv.items:
        if isinstance(item, Prompt):
            m = item.message
            yield Rule(f"Turn {item.turn} · {view.when(m.timestamp, tz)}", style="blue", align="left")
            text = Text()
            text.append("prompt ", style="bold cyan")
            text.append(c(m.text.strip()), style="cyan")
            yield text
            for block in item.blocks:
                if block.type not in ("text", "tool_result"):
                    yield from _block(conv, block, c)
        elif isinstance(item, Said):
            for block in item.blocks:
                yield from _block(conv, block, c)
        elif isinstance(item, Results):
            for block in item.blocks:
                yield from _result(block, c)
        elif isinstance(item, ReplyEnd):
            yield Text(view.usage_line(item.usage), style="dim", justify="right")
        elif isinstance(item, Meta):
            yield Text("· " + c(" ".join(item.summary.split())[:200]), style="dim")
        elif isinstance(item, Broken):
            yield Text(f"unreadable line {item.problem.line}: {c(item.problem.reason)}", style="bold red")
    if conv.unplaced:
        yield Rule("sub-agents not linked to a call", style="magenta", align="left")
        for kid in conv.unplaced:
            yield _Nest(kid)


def _block(conv: Conversation, block: Any, c: Callable[[str], str]) -> Iterator[Any]:
    from rich.markdown import Markdown
    from rich.text import Text

    kind = block.type
    if kind == "text":
        text = c(block.text).strip()
        if text:
            yield Markdown(text)
    elif kind == "thinking":
        lines = c(block.thinking).strip().splitlines()
        if lines:
            shown = "\n".join(lines[:THINKING_LINES])
            more = f"\n… {len(lines) - THINKING_LINES} more lines" if len(lines) > THINKING_LINES else ""
            if len(shown) > THINKING_CHARS:
                shown, more = shown[:THINKING_CHARS], "…" + more
            yield Text("thinking: " + shown + more, style="dim italic")
    elif kind == "tool_use":
        call = Text("▸ ", style="yellow")
        call.append(block.name, style="bold yellow")
        summary = c(view.tool_summary(block.name, block.input))
        if summary:
            call.append("  " + summary, style="yellow")
        yield call
        found = conv.results.get(block.id)
        if found is not None:
            yield from _result(found[0], c)
        for kid in conv.children.get(block.id, ()):
            yield _Nest(kid)
    elif kind == "tool_result":
        yield from _result(block, c)
    elif kind == "image":
        yield Text(f"  image {view.image_label(block)}", style="dim")
    else:
        yield Text(f"  block of type {kind}: " + c(_raw(block))[:300], style="dim")


def _raw(block: Any) -> str:
    import json

    return json.dumps(block.raw, ensure_ascii=False)


def _result(block: Any, c: Callable[[str], str]) -> Iterator[Any]:
    from rich.padding import Padding
    from rich.text import Text

    text, others = result_text(block)
    lines = c(text).rstrip("\n").splitlines()
    error = block.is_error is True
    style = "red" if error else "dim"
    shown = Text("error: " if error else "", style="bold red")
    shown.append("\n".join(line[:400] for line in lines[:RESULT_LINES]) or "(empty result)", style=style)
    if len(lines) > RESULT_LINES:
        shown.append(f"\n… {len(lines) - RESULT_LINES} more lines", style="dim italic")
    yield Padding(shown, (0, 0, 0, 2))
    for other in others:
        if other.type == "image":
            yield Text(f"  image {view.image_label(other)}", style="dim")
        elif other.type != "text":
            yield Text(f"  block of type {other.type}: " + c(_raw(other))[:300], style="dim")
