"""A conversation as one self-contained HTML page, and a project's index page with its chart.

Logs are untrusted input, so every piece of log text reaches the page escaped: plain text
through :func:`html.escape`, replies through a Markdown renderer with raw HTML turned off
(its link check refuses ``javascript:`` and the like). On top of that the page's content
security policy allows only its own style and script, by hash, and nothing from the
network: a string that slipped past the escaping still could not run or fetch anything.
"""

from __future__ import annotations

import base64
import datetime as dt
import hashlib
import json
import re
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from functools import cache
from html import escape
from importlib import resources
from typing import TYPE_CHECKING, Any, Final

from . import view
from .markdown import result_text
from .view import Broken, Conversation, Meta, Prompt, ReplyEnd, Results, Said

if TYPE_CHECKING:
    from markdown_it import MarkdownIt

FOLD_LINES: Final = 12  # results longer than this start folded
FOLD_CHARS: Final = 1500


@cache
def _asset(name: str) -> str:
    return (resources.files(__package__) / "assets" / name).read_text(encoding="utf-8")


def _digest(text: str) -> str:
    return "sha256-" + base64.b64encode(hashlib.sha256(text.encode()).digest()).decode()


@cache
def _markdown() -> MarkdownIt:
    from markdown_it import MarkdownIt

    return MarkdownIt("commonmark", {"html": False, "linkify": False, "typographer": False}).enable(
        ["table", "strikethrough"]
    )


# Most replies are plain paragraphs with a few code spans. Text whose only syntax is
# single-backtick spans on one line, once those are taken out, needs no Markdown parser; a
# test holds this shortcut to the parser's output.
_CODE_SPAN = re.compile(r"`([^`\n]+)`")
_MARKUP = re.compile(r"[`*_#\[\]<>&!|~\\]|^\s*(?:\d+[.)]|[-+>=])|^ {4}|\t|\S {2,}\n", re.M)
_BLANK = re.compile(r"\n[ \t]*\n")


def _code_span(m: re.Match[str]) -> str:
    code = m.group(1)
    if len(code) > 1 and code[0] == " " and code[-1] == " " and code.strip():
        code = code[1:-1]
    return f"<code>{_md_escape(code)}</code>"


def _md_escape(text: str) -> str:
    # As the Markdown renderer escapes: &, <, > and the double quote.
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&quot;")


def _plain_html(text: str) -> str | None:
    """The HTML of text that is only paragraphs and code spans; None when it is more than that."""
    if _MARKUP.search(_CODE_SPAN.sub("x", text)) is not None:
        return None
    out = []
    for para in _BLANK.split(text.strip("\n")):
        lines = [line.strip() for line in para.split("\n")]
        if any(lines):
            joined = "\n".join(lines).strip("\n")
            body, at = [], 0
            for m in _CODE_SPAN.finditer(joined):
                body += [_md_escape(joined[at : m.start()]), _code_span(m)]
                at = m.end()
            body.append(_md_escape(joined[at:]))
            out.append(f"<p>{''.join(body)}</p>\n")
    return "".join(out)


def markdown_html(text: str) -> str:
    """Markdown as HTML with raw HTML escaped, never passed through."""
    plain = _plain_html(text)
    if plain is not None:
        return plain
    return str(_markdown().render(text))


def text_html(text: str) -> str:
    """Log text for inside an element: only &, < and > need escaping there."""
    return escape(text, quote=False)


def page(title: str, header: str, body: Iterator[str] | Sequence[str], *, script: bool = True) -> Iterator[str]:
    """A whole page around a body; the policy admits the page's own style and script only."""
    css = _asset("page.css")
    js = _asset("page.js") if script else ""
    policy = f"default-src 'none'; style-src '{_digest(css)}'; base-uri 'none'; form-action 'none'"
    if script:
        policy += f"; script-src '{_digest(js)}'"
    yield (
        '<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n'
        f'<meta http-equiv="Content-Security-Policy" content="{policy}">\n'
        '<meta name="viewport" content="width=device-width, initial-scale=1">\n'
        '<meta name="referrer" content="no-referrer">\n'
        f"<title>{escape(title)}</title>\n<style>{css}</style>\n</head>\n<body>\n{header}<main>\n"
    )
    yield from body
    yield "</main>\n"
    if script:
        yield f"<script>{js}</script>\n"
    yield "</body>\n</html>\n"


# ---------------------------------------------------------------------------------------------
# A session


def render(conv: Conversation, clean: Callable[[str], str] | None = None, tz: Any = None) -> str:
    """The session page as one string."""
    return "".join(chunks(conv, clean, tz))


def chunks(conv: Conversation, clean: Callable[[str], str] | None = None, tz: Any = None) -> Iterator[str]:
    c = clean or (lambda s: s)
    title = c(conv.title or conv.session_id or "Session")
    facts = []
    if conv.session_id:
        facts.append(f"session <code>{escape(conv.session_id)}</code>")
    if conv.started:
        facts.append(escape(view.when(conv.started, tz)))
        if conv.ended:
            facts.append(escape(_duration(conv.started, conv.ended)))
    usage = conv.all_usage()
    if usage:
        cost = conv.total_cost()
        facts.append(f"{len(usage):,} replies · {sum(u.total_tokens for u in usage):,} tokens · {_cost(cost)}")
    header = (
        f'<header><h1>{escape(title)}</h1><span class="facts">{" · ".join(facts)}</span>'
        '<input id="q" type="search" placeholder="Filter messages" aria-label="Filter messages" autocomplete="off">'
        '<span id="count" aria-live="polite"></span></header>\n'
    )
    return page(title, header, _conversation(conv, c, tz))


def _duration(start: str | None, end: str | None) -> str:
    a, b = view.parse_time(start), view.parse_time(end)
    if a is None or b is None:
        return ""
    seconds = max(0, int((b - a).total_seconds()))
    h, rest = divmod(seconds, 3600)
    m, s = divmod(rest, 60)
    return f"{h}h {m:02d}m" if h else f"{m}m {s:02d}s"


def _cost(cost: float | None) -> str:
    return "cost unknown" if cost is None else f"${cost:.2f}" if cost >= 1 else f"${cost:.4f}"


class _Nest:
    __slots__ = ("conv",)

    def __init__(self, conv: Conversation) -> None:
        self.conv = conv


def _conversation(conv: Conversation, c: Callable[[str], str], tz: Any) -> Iterator[str]:
    # Sub-agents are written from an explicit stack of generators: nesting costs no recursion.
    stack: list[Iterator[Any]] = [_body(conv, c, tz)]
    while stack:
        piece = next(stack[-1], None)
        if piece is None:
            stack.pop()
        elif isinstance(piece, _Nest):
            stack.append(_agent(piece.conv, c, tz))
        else:
            yield piece


def _agent(conv: Conversation, c: Callable[[str], str], tz: Any) -> Iterator[Any]:
    usage = conv.all_usage()
    label = escape(conv.label or "sub-agent")
    if conv.title:
        label += " · " + escape(c(conv.title))
    if usage:
        label += f" · {len(usage)} replies · {sum(u.total_tokens for u in usage):,} tokens · {_cost(conv.total_cost())}"
    yield f'<details class="agent" open><summary>{label}</summary>\n'
    yield from _body(conv, c, tz)
    yield "</details>\n"


def _body(conv: Conversation, c: Callable[[str], str], tz: Any) -> Iterator[Any]:
    in_turn = False
    for item in conv.items:
        if isinstance(item, Prompt):
            if in_turn:
                yield "</section>\n"
            in_turn = True
            m = item.message
            yield (
                f'<section class="turn"><h2 class="turn">Turn {item.turn} · {escape(view.when(m.timestamp, tz))}</h2>\n'
                '<div class="msg prompt"><div class="who">Prompt</div>'
            )
            yield from _blocks(conv, item.blocks, c)
            yield "</div>\n"
        elif isinstance(item, Said):
            yield '<div class="msg said">'
            yield from _blocks(conv, item.blocks, c)
            yield "</div>\n"
        elif isinstance(item, Results):
            yield '<div class="msg orphan">'
            for block in item.blocks:
                yield from _result(block, c, "Result of a call not in this log")
            yield "</div>\n"
        elif isinstance(item, ReplyEnd):
            yield f'<div class="usage">{escape(view.usage_line(item.usage))}</div>\n'
        elif isinstance(item, Meta):
            yield f'<div class="msg meta">{escape(c(item.summary[:300]))}</div>\n'
        elif isinstance(item, Broken):
            p = item.problem
            yield f'<div class="msg problem">Unreadable line {p.line}: {escape(c(p.reason))}</div>\n'
    if in_turn:
        yield "</section>\n"
    if conv.unplaced:
        yield '<h2 class="turn">Sub-agents not linked to a call</h2>\n'
        for kid in conv.unplaced:
            yield '<div class="msg">'
            yield _Nest(kid)
            yield "</div>\n"


def _blocks(conv: Conversation, blocks: list[Any], c: Callable[[str], str]) -> Iterator[Any]:
    for block in blocks:
        kind = block.type
        if kind == "text":
            yield f'<div class="text">{markdown_html(c(block.text))}</div>'
        elif kind == "thinking":
            text = block.thinking
            if text.strip():
                yield f'<details class="thinking"><summary>Thinking</summary><pre>{text_html(c(text))}</pre></details>'
        elif kind == "tool_use":
            yield from _call(conv, block, c)
        elif kind == "tool_result":
            yield from _result(block, c, "Result")
        elif kind == "image":
            yield f'<span class="image">Image {escape(view.image_label(block))}</span>'
        else:
            yield _unknown(block, c)


def _call(conv: Conversation, block: Any, c: Callable[[str], str]) -> Iterator[Any]:
    name, data = block.name, block.input
    summary = c(view.tool_summary(name, data))
    yield (
        f'<div class="msg call"><span class="name">{escape(name)}</span> <span class="summary">{escape(summary)}</span>'
    )
    if data not in (None, {}, []):
        text = c(view.input_text(data))
        yield f'<details class="input"><summary>Input</summary><pre>{text_html(text)}</pre></details>'
    found = conv.results.get(block.id)
    if found is not None:
        yield from _result(found[0], c, "Result")
    for kid in conv.children.get(block.id, ()):
        yield _Nest(kid)
    yield "</div>\n"


def _result(block: Any, c: Callable[[str], str], label: str) -> Iterator[Any]:
    text, others = result_text(block)
    text = c(text)
    lines = text.count("\n") + 1 if text else 0
    error = block.is_error is True
    title = f"{'Error' if error else label} · {lines} line{'s' if lines != 1 else ''} · {view.format_size(len(text))}"
    folded = lines > FOLD_LINES or len(text) > FOLD_CHARS
    cls = "result error" if error else "result"
    if text or not others:
        yield (
            f'<details class="{cls}"{"" if folded else " open"}><summary>{escape(title)}</summary>'
            f"<pre>{text_html(text)}</pre></details>"
        )
    for other in others:
        if other.type == "image":
            yield f'<span class="image">Image {escape(view.image_label(other))}</span>'
        elif other.type != "text":
            yield _unknown(other, c)


def _unknown(block: Any, c: Callable[[str], str]) -> str:
    raw = c(json.dumps(block.raw, ensure_ascii=False, indent=2))
    return (
        f'<details class="block"><summary>Block of type <code>{escape(block.type)}</code></summary>'
        f"<pre>{escape(raw)}</pre></details>"
    )


# ---------------------------------------------------------------------------------------------
# A project's index


@dataclass(frozen=True, slots=True)
class SessionEntry:
    """One row of a project's index."""

    session_id: str
    file: str  # the page's file name, beside the index
    title: str | None
    started: str | None
    ended: str | None
    replies: int
    tokens: int
    cost_usd: float | None


@dataclass(frozen=True, slots=True)
class Day:
    day: dt.date
    cost_usd: float
    tokens: int


def daily(usages: Sequence[tuple[str | None, int, float | None]], tz: dt.tzinfo | None = None) -> list[Day]:
    """(timestamp, tokens, cost) per reply summed per calendar day in ``tz``, days in order."""
    days: dict[dt.date, list[float]] = {}
    for ts, tokens, cost in usages:
        when = view.parse_time(ts)
        if when is None:
            continue
        d = when.astimezone(tz or dt.UTC).date()
        acc = days.setdefault(d, [0.0, 0.0])
        acc[0] += cost or 0.0
        acc[1] += tokens
    return [Day(d, v[0], int(v[1])) for d, v in sorted(days.items())]


def chart(days: Sequence[Day]) -> str:
    """A bar per day for the cost, with the tokens as a line over them, as inline SVG."""
    if not days:
        return '<p class="legend">No replies to chart.</p>'
    width, height, left, bottom, top = 900, 220, 56, 28, 12
    plot_w, plot_h = width - left - 56, height - bottom - top
    step = plot_w / len(days)
    bar_w = min(48.0, max(1.0, step * 0.7))
    max_cost = max(d.cost_usd for d in days) or 1.0
    max_tokens = max(d.tokens for d in days) or 1
    parts = [
        f'<svg class="chart" viewBox="0 0 {width} {height}" role="img" aria-label="Daily cost and tokens">',
        f'<line class="axis" x1="{left}" y1="{top + plot_h}" x2="{left + plot_w}" y2="{top + plot_h}"/>',
        f'<text x="{left - 6}" y="{top + 10}" text-anchor="end">${max_cost:,.2f}</text>',
        f'<text x="{left - 6}" y="{top + plot_h}" text-anchor="end">$0</text>',
        f'<text x="{left + plot_w + 6}" y="{top + 10}">{_short(max_tokens)}</text>',
    ]
    points = []
    label_every = max(1, len(days) // 10)
    for i, d in enumerate(days):
        x = left + i * step + (step - bar_w) / 2
        h = plot_h * d.cost_usd / max_cost
        tip = f"{d.day.isoformat()}: ${d.cost_usd:,.4f}, {d.tokens:,} tokens"
        parts.append(
            f'<rect class="bar" x="{x:.1f}" y="{top + plot_h - h:.1f}" width="{bar_w:.1f}" height="{h:.1f}"'
            f' data-day="{d.day.isoformat()}"><title>{escape(tip)}</title></rect>'
        )
        cx = left + i * step + step / 2
        cy = top + plot_h - plot_h * d.tokens / max_tokens
        points.append(f"{cx:.1f},{cy:.1f}")
        parts.append(f'<circle class="dot" cx="{cx:.1f}" cy="{cy:.1f}" r="3"><title>{escape(tip)}</title></circle>')
        if i % label_every == 0:
            parts.append(f'<text x="{cx:.1f}" y="{height - 8}" text-anchor="middle">{d.day.strftime("%b %d")}</text>')
    if len(points) > 1:
        parts.insert(1, f'<polyline class="tokens" points="{" ".join(points)}"/>')
    parts.append("</svg>")
    return "".join(parts)


def _short(n: int) -> str:
    for size, unit in ((1_000_000_000, "G"), (1_000_000, "M"), (1_000, "k")):
        if n >= size:
            return f"{n / size:.1f}{unit}"
    return str(n)


def index(
    project: str,
    sessions: Sequence[SessionEntry],
    days: Sequence[Day],
    tz: dt.tzinfo | None = None,
    clean: Callable[[str], str] | None = None,
) -> str:
    """A project's index page: the daily chart, then the sessions, newest first."""
    c = clean or (lambda s: s)
    name = c(project)
    total = [s.cost_usd for s in sessions if s.cost_usd is not None]
    facts = f"{len(sessions)} sessions · {_cost(sum(total) if total else None)}"
    header = f'<header><h1>{escape(name)}</h1><span class="facts">{facts}</span></header>\n'
    rows = []
    for s in sorted(sessions, key=lambda s: s.started or "", reverse=True):
        title = c(s.title or s.session_id)
        rows.append(
            f'<tr><td><a href="{escape(s.file)}">{escape(title)}</a></td>'
            f"<td>{escape(view.when(s.started, tz))}</td><td>{escape(_duration(s.started, s.ended))}</td>"
            f'<td class="num">{s.replies:,}</td><td class="num">{s.tokens:,}</td>'
            f'<td class="num">{escape(_cost(s.cost_usd) if s.cost_usd is not None else "-")}</td></tr>'
        )
    body = [
        '<p class="legend"><span class="c">■</span> cost per day · <span class="t">●</span> tokens per day</p>\n',
        chart(days),
        '\n<table class="sessions"><thead><tr><th>Session</th><th>Started</th><th>Duration</th>'
        '<th class="num">Replies</th><th class="num">Tokens</th><th class="num">Cost</th></tr></thead><tbody>\n',
        "\n".join(rows),
        "\n</tbody></table>\n",
    ]
    return "".join(page(name, header, body, script=False))
