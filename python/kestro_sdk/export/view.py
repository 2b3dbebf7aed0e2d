"""A transcript laid out for reading: turns, tool calls with their results, sub-agents under their call.

Markdown, HTML and the terminal view all walk the same :class:`Conversation`, so that what
one of them shows the others show too. Building one is linear in the transcript; nothing is
rendered here.

Where a sub-agent goes, first rule that applies:

1. a sub-agent transcript that names the tool use that started it goes under that call;
2. one that does not (the oldest file layout) goes under the Task call whose ``prompt`` is
   the sub-agent's first prompt, if one is still free;
3. a side chain written inside the session file goes under the Task call whose ``prompt``
   is its first prompt, else under the latest Task call before it that has no result yet;
4. anything still unplaced is listed after the conversation, never dropped.
"""

from __future__ import annotations

import datetime as dt
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Final

if TYPE_CHECKING:
    from .. import pricing
    from .._reader import Message, Problem, Record, Reply, ToolResultBlock, Transcript

# Sub-agents of sub-agents are laid out flat below this depth, so that no input decides how
# deep the renderers nest.
MAX_DEPTH: Final = 3

TASK_TOOLS: Final = frozenset({"Task", "Agent"})


@dataclass(frozen=True, slots=True)
class ReplyUsage:
    """The tokens and cost of one API reply, shown after its last record."""

    model: str | None
    input_tokens: int
    output_tokens: int
    cache_creation_tokens: int
    cache_read_tokens: int
    cost_usd: float | None  # None: no price known and nothing logged
    timestamp: str | None = None

    @property
    def total_tokens(self) -> int:
        return self.input_tokens + self.output_tokens + self.cache_creation_tokens + self.cache_read_tokens


@dataclass(slots=True)
class _CostRow:
    """A reply as the price functions see one."""

    model: str | None
    input_tokens: int
    output_tokens: int
    cache_creation_tokens: int
    cache_creation_5m_tokens: int
    cache_creation_1h_tokens: int
    cache_read_tokens: int
    logged_cost_usd: float | None


def reply_usage(reply: Reply, prices: pricing.PriceTable | None, mode: pricing.Mode = "auto") -> ReplyUsage:
    """The usage of a reply, priced by ``mode`` when a table is given (else its logged cost)."""
    from .. import pricing as pricing_module

    row = _CostRow(
        reply.model,
        reply.input_tokens,
        reply.output_tokens,
        reply.cache_creation_input_tokens,
        reply.ephemeral_5m_input_tokens,
        reply.ephemeral_1h_input_tokens,
        reply.cache_read_input_tokens,
        reply.cost_usd,
    )
    cost = reply.cost_usd if prices is None else pricing_module.reply_cost(row, prices, mode)
    return ReplyUsage(
        reply.model,
        row.input_tokens,
        row.output_tokens,
        row.cache_creation_tokens,
        row.cache_read_tokens,
        cost,
        reply.timestamp,
    )


# ---------------------------------------------------------------------------------------------
# What a conversation is made of


@dataclass(slots=True)
class Prompt:
    """A person's prompt: it opens a turn."""

    turn: int
    message: Message
    blocks: list[Any]


@dataclass(slots=True)
class Said:
    """An assistant record."""

    message: Message
    blocks: list[Any]


@dataclass(slots=True)
class Results:
    """Tool results whose call is not in this conversation (the others are shown with their call)."""

    message: Message
    blocks: list[Any]


@dataclass(slots=True)
class ReplyEnd:
    usage: ReplyUsage


@dataclass(slots=True)
class Meta:
    """A record people rarely need: meta messages, system notes, progress, snapshots, unknown types."""

    record: Message | Record
    summary: str


@dataclass(slots=True)
class Broken:
    """A line the reader could not take."""

    problem: Problem


Item = Prompt | Said | Results | ReplyEnd | Meta | Broken


@dataclass(slots=True)
class Conversation:
    """One conversation in file order, with the lookups its renderers need."""

    session_id: str | None
    agent_id: str | None
    items: list[Item]
    results: dict[str, tuple[ToolResultBlock, Message]]  # tool use id -> its result
    children: dict[str, list[Conversation]]  # tool use id -> the sub-agents it started
    unplaced: list[Conversation]  # sub-agents no call could be found for
    usage: list[ReplyUsage]
    started: str | None = None
    ended: str | None = None
    title: str | None = None
    depth: int = 0
    label: str = ""  # how a nested conversation is named in its heading

    @property
    def turns(self) -> int:
        return sum(1 for item in self.items if isinstance(item, Prompt))

    def total_cost(self) -> float | None:
        """The sum over priced replies, sub-agents included; None when no reply is priced."""
        costs = [u.cost_usd for u in self.all_usage() if u.cost_usd is not None]
        return sum(costs) if costs else None

    def all_usage(self) -> list[ReplyUsage]:
        out: list[ReplyUsage] = []
        stack = [self]
        while stack:
            conv = stack.pop()
            out += conv.usage
            for kids in conv.children.values():
                stack += kids
            stack += conv.unplaced
        return out


@dataclass(slots=True)
class Options:
    """What a reader asked to see."""

    meta: bool = True  # False leaves meta and system records out
    prices: pricing.PriceTable | None = None
    mode: pricing.Mode = "auto"


# ---------------------------------------------------------------------------------------------
# Classifying records


def is_prompt(message: Message, content: Sequence[Any] | None = None) -> bool:
    """A user message a person typed: not meta, not made only of tool results.

    ``content`` is the message's blocks when the caller has them already.
    """
    if message.role != "user" or message.is_meta:
        return False
    if content is None:
        content = message.content
    if not content:
        return True
    return any(block.type != "tool_result" for block in content)


def _meta_summary(record: Message | Record) -> str:
    raw: Any = getattr(record, "raw", None)
    kind = record.type
    subtype = getattr(record, "subtype", None)
    if subtype:
        kind += f" {subtype}"
    if isinstance(raw, dict):
        for key in ("content", "summary", "customTitle", "aiTitle", "lastPrompt", "prUrl", "agentName"):
            value = raw.get(key)
            if isinstance(value, str) and value:
                return f"{kind}: {value}"
        data = raw.get("data")
        if isinstance(data, dict) and isinstance(data.get("type"), str):
            return f"{kind}: {data['type']}"
    if getattr(record, "is_known", True) is False:
        import json

        return f"{kind}: {json.dumps(raw, ensure_ascii=False, separators=(',', ':'))}"
    if record.type in ("user", "assistant"):
        text = getattr(record, "text", "")
        return f"{kind} (meta): {text}" if text else f"{kind} (meta)"
    return kind


def _first_prompt_text(messages: Sequence[Message]) -> str | None:
    for m in messages:
        if m.role == "user":
            return m.text.strip()
    return None


def _task_prompt(block: Any) -> str | None:
    data = block.input
    if isinstance(data, dict) and isinstance(data.get("prompt"), str):
        return str(data["prompt"]).strip()
    return None


def _timestamp_key(text: str | None) -> str:
    return text or ""


# ---------------------------------------------------------------------------------------------
# Building


def build(transcript: Transcript, options: Options | None = None) -> Conversation:
    """The conversation of a transcript and its sub-agents, laid out for reading."""
    options = options or Options()
    records = transcript.records
    replies = _Replies(transcript)
    root = _build_one(transcript, replies, records, options, depth=0, label="")
    root.title = transcript.title
    root.started, root.ended = transcript.started, transcript.ended

    tasks = _task_calls(records)
    free = dict(tasks)  # tool use id -> prompt, for the calls nothing is placed under yet
    subagents = transcript.subagents
    linked = [s for s in subagents if s.parent_tool_use_id is not None]
    loose = [s for s in subagents if s.parent_tool_use_id is None]
    for sub in sorted(linked, key=lambda s: _timestamp_key(s.started)):
        _place(root, _nested(sub, options, 1), sub.parent_tool_use_id, free)
    for sub in sorted(loose, key=lambda s: _timestamp_key(s.started)):
        prompt = _first_prompt_text(sub.messages)
        target = next((tid for tid, p in free.items() if p is not None and p == prompt), None)
        _place(root, _nested(sub, options, 1), target, free)
    for chain, target in _inline_chains(records, root.results, free):
        conv = _build_one(transcript, replies, chain, options, depth=1, label="side chain")
        _place(root, conv, target, free)
    return root


def _place(root: Conversation, conv: Conversation, target: str | None, free: dict[str, str | None]) -> None:
    if target is None:
        root.unplaced.append(conv)
    else:
        root.children.setdefault(target, []).append(conv)
        free.pop(target, None)


def _nested(sub: Transcript, options: Options, depth: int) -> Conversation:
    conv = _build_one(
        sub, _Replies(sub), sub.records, options, depth=depth, label=f"sub-agent {sub.agent_id or ''}".strip()
    )
    conv.title, conv.started, conv.ended = sub.title, sub.started, sub.ended
    if depth < MAX_DEPTH:
        for inner in sub.subagents:
            kid = _nested(inner, options, depth + 1)
            target = inner.parent_tool_use_id
            if target is None:
                conv.unplaced.append(kid)
            else:
                conv.children.setdefault(target, []).append(kid)
    else:
        # Deeper sub-agents still appear, one level down, instead of nesting without bound.
        pending = list(sub.subagents)
        while pending:
            inner = pending.pop(0)
            label = f"sub-agent {inner.agent_id or ''}"
            kid = _build_one(inner, _Replies(inner), inner.records, options, depth=depth, label=label)
            conv.unplaced.append(kid)
            pending += inner.subagents
    return conv


def _task_calls(records: Sequence[Any]) -> dict[str, str | None]:
    """Tool use id -> prompt, for every Task call in the main conversation, in file order."""
    out: dict[str, str | None] = {}
    for r in records:
        if getattr(r, "role", None) == "assistant" and not r.is_sidechain:
            for block in r.content:
                if block.type == "tool_use" and block.name in TASK_TOOLS:
                    out[block.id] = _task_prompt(block)
    return out


def _inline_chains(
    records: Sequence[Any], results: dict[str, tuple[Any, Message]], free: dict[str, str | None]
) -> Iterator[tuple[list[Message], str | None]]:
    """Side chains written inside the session file, each with the Task call it belongs under."""
    chains: dict[str, list[Message]] = {}  # root uuid -> messages
    root_of: dict[str, str] = {}
    calls_before: list[tuple[int, str]] = []  # (line, tool use id) of Task calls
    result_line = {tid: msg.line for tid, (_, msg) in results.items()}
    order: list[str] = []
    for r in records:
        role = getattr(r, "role", None)
        if role is None:
            continue
        if not r.is_sidechain:
            if role == "assistant":
                calls_before += [(r.line, b.id) for b in r.content if b.type == "tool_use" and b.name in TASK_TOOLS]
            continue
        if r.agent_id is not None:
            continue
        parent = r.parent_uuid
        root = root_of.get(parent) if parent is not None else None
        if root is None:
            root = r.uuid
            chains[root] = []
            order.append(root)
        root_of[r.uuid] = root
        chains[root].append(r)
    for root in order:
        chain = chains[root]
        first = chain[0]
        prompt = _first_prompt_text(chain)
        target = next((tid for tid, p in free.items() if p is not None and p == prompt), None)
        if target is None:
            for line, tid in reversed(calls_before):
                if line < first.line and tid in free and result_line.get(tid, 1 << 62) > first.line:
                    target = tid
                    break
        if target is not None:
            free.pop(target, None)
        yield chain, target


class _Replies:
    """A transcript's replies, read once, and which reply each record uuid belongs to."""

    __slots__ = ("replies", "index")

    def __init__(self, transcript: Transcript) -> None:
        self.replies = transcript.replies
        self.index: dict[str, int] = {}
        for i, reply in enumerate(self.replies):
            for u in reply.uuids:
                self.index[u] = i


def _build_one(
    transcript: Transcript, known: _Replies, records: Sequence[Any], options: Options, *, depth: int, label: str
) -> Conversation:
    """The items of one conversation; side chains without an agent id are left to the caller."""
    is_main = depth == 0
    replies, reply_of = known.replies, known.index

    # Results first, so that each call can be shown with its result. Each message's blocks are
    # made once here (every read of .content makes new objects) and kept for the renderers.
    results: dict[str, tuple[ToolResultBlock, Message]] = {}
    shown: list[Any] = []
    blocks_at: dict[int, list[Any]] = {}
    calls: set[str] = set()
    for r in records:
        if getattr(r, "role", None) is None or (is_main and r.is_sidechain and r.agent_id is None):
            continue
        shown.append(r)
        blocks = blocks_at[r.line] = r.content
        if r.role == "user":
            for block in blocks:
                if block.type == "tool_result":
                    results.setdefault(block.tool_use_id, (block, r))
        else:
            calls.update(b.id for b in blocks if b.type == "tool_use")
    last_line: dict[int, int] = {}
    for m in shown:
        i = reply_of.get(m.uuid, -1)
        if i >= 0:
            last_line[i] = m.line
    end_at = {line: i for i, line in last_line.items()}

    items: list[Item] = []
    usage: list[ReplyUsage] = []
    turn = 0
    for r in records:
        role = getattr(r, "role", None)
        if role is None:
            if hasattr(r, "reason"):
                items.append(Broken(r))
            elif options.meta:
                items.append(Meta(r, _meta_summary(r)))
            continue
        if is_main and r.is_sidechain and r.agent_id is None:
            continue
        blocks = blocks_at[r.line]
        if r.is_meta:
            if options.meta:
                items.append(Meta(r, _meta_summary(r)))
        elif is_prompt(r, blocks):
            turn += 1
            items.append(Prompt(turn, r, blocks))
        elif role == "user":
            orphans = [b for b in blocks if b.type == "tool_result" and b.tool_use_id not in calls]
            if orphans:
                items.append(Results(r, orphans))
        else:
            items.append(Said(r, blocks))
        i = end_at.get(r.line, -1)
        if i >= 0:
            u = reply_usage(replies[i], options.prices, options.mode)
            usage.append(u)
            items.append(ReplyEnd(u))
    conv = Conversation(
        session_id=transcript.session_id,
        agent_id=transcript.agent_id if depth else None,
        items=items,
        results=results,
        children={},
        unplaced=[],
        usage=usage,
        depth=depth,
        label=label,
    )
    if not is_main and not label.startswith("sub-agent"):
        conv.started = records[0].timestamp if records else None
        conv.ended = records[-1].timestamp if records else None
    return conv


# ---------------------------------------------------------------------------------------------
# Small helpers the renderers share


def parse_time(text: str | None) -> dt.datetime | None:
    if not text:
        return None
    try:
        value = dt.datetime.fromisoformat(text.replace("Z", "+00:00"))
    except ValueError:
        return None
    return value if value.tzinfo else value.replace(tzinfo=dt.UTC)


def when(text: str | None, tz: dt.tzinfo | None = None) -> str:
    """A timestamp as people read it: 2025-06-22 23:06:23 UTC (or in ``tz``)."""
    value = parse_time(text)
    if value is None:
        return text or ""
    value = value.astimezone(tz or dt.UTC)
    return value.strftime("%Y-%m-%d %H:%M:%S ") + (value.tzname() or "")


def tool_summary(name: str, data: Any, limit: int = 160) -> str:
    """The one line that says what a tool call did."""
    if isinstance(data, dict):
        for key in ("command", "file_path", "path", "url", "pattern", "query", "description", "prompt"):
            value = data.get(key)
            if isinstance(value, str) and value:
                text = value
                if key == "pattern" and isinstance(data.get("path"), str):
                    text += f"  in {data['path']}"
                break
        else:
            if name == "TodoWrite" and isinstance(data.get("todos"), list):
                text = f"{len(data['todos'])} items"
            else:
                import json

                text = json.dumps(data, ensure_ascii=False, separators=(",", ":"))
    elif data is None:
        text = ""
    else:
        import json

        text = json.dumps(data, ensure_ascii=False)
    text = " ".join(text.split())
    return text if len(text) <= limit else text[: limit - 1] + "…"


def input_text(data: Any) -> str:
    """A tool call's input for reading: one ``key: value`` per line, long strings kept as written."""
    import json

    if not isinstance(data, dict):
        return json.dumps(data, ensure_ascii=False)
    lines = []
    for key, value in data.items():
        if isinstance(value, str):
            if "\n" in value:
                lines.append(f"{key}:\n  " + value.replace("\n", "\n  "))
            else:
                lines.append(f"{key}: {value}")
        else:
            lines.append(f"{key}: {json.dumps(value, ensure_ascii=False)}")
    return "\n".join(lines)


def image_label(block: Any) -> str:
    """A placeholder for an image: its type and size, never its bytes."""
    media = getattr(block, "media_type", None) or "image"
    data = getattr(block, "data", None)
    if isinstance(data, str):
        size = len(data) * 3 // 4 - data[-2:].count("=")
        return f"[{media}, {format_size(size)}]"
    return f"[{media}]"


def format_size(n: int) -> str:
    if n < 1024:
        return f"{n} B"
    if n < 1024 * 1024:
        return f"{n / 1024:.1f} KB"
    return f"{n / (1024 * 1024):.1f} MB"


def usage_line(u: ReplyUsage) -> str:
    parts = [u.model or "unknown model", f"in {u.input_tokens:,}", f"out {u.output_tokens:,}"]
    if u.cache_creation_tokens:
        parts.append(f"cache write {u.cache_creation_tokens:,}")
    if u.cache_read_tokens:
        parts.append(f"cache read {u.cache_read_tokens:,}")
    parts.append("cost unknown" if u.cost_usd is None else f"${u.cost_usd:.4f}")
    return " · ".join(parts)
