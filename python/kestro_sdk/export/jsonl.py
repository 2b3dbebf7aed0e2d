"""The complete reader's view of a session as JSON Lines: one object per line, each with a ``kind``.

Kinds, in this order for the session and then for each sub-agent:

- ``session``: the transcript's own fields (``agent_id`` None for the main conversation);
- ``message``, ``record`` and ``problem``: every line of the log in file order;
- ``reply``: one per API reply, with its tokens, its logged cost and its cost from prices.

Every object carries ``agent_id`` so that lines can be told apart after filtering. The
schema is ``schemas/export-jsonl.schema.json`` in the package.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any

from .view import reply_usage

if TYPE_CHECKING:
    from .. import pricing
    from .._reader import Message, Transcript

SCHEMA_VERSION = 1


def _usage(m: Message) -> dict[str, Any] | None:
    u = m.usage
    if u is None:
        return None
    return {
        "input_tokens": u.input_tokens,
        "output_tokens": u.output_tokens,
        "cache_creation_input_tokens": u.cache_creation_input_tokens,
        "cache_read_input_tokens": u.cache_read_input_tokens,
        "ephemeral_5m_input_tokens": u.ephemeral_5m_input_tokens,
        "ephemeral_1h_input_tokens": u.ephemeral_1h_input_tokens,
        "service_tier": u.service_tier,
    }


def message_object(m: Message) -> dict[str, Any]:
    return {
        "line": m.line,
        "type": m.type,
        "uuid": m.uuid,
        "parent_uuid": m.parent_uuid,
        "timestamp": m.timestamp,
        "role": m.role,
        "is_sidechain": m.is_sidechain,
        "is_meta": m.is_meta,
        "cwd": m.cwd,
        "version": m.version,
        "git_branch": m.git_branch,
        "message_id": m.message_id,
        "request_id": m.request_id,
        "model": m.model,
        "stop_reason": m.stop_reason,
        "usage": _usage(m),
        "cost_usd": m.cost_usd,
        "duration_ms": m.duration_ms,
        "content": [b.raw for b in m.content],
        "tool_use_result": m.tool_use_result,
    }


def objects(
    transcript: Transcript,
    prices: pricing.PriceTable | None = None,
    mode: pricing.Mode = "auto",
    project: str | None = None,
) -> Iterator[dict[str, Any]]:
    """The objects of the session, then of each sub-agent, in the documented order."""
    pending: list[Transcript] = [transcript]
    while pending:
        t = pending.pop(0)
        agent = t.agent_id if t is not transcript else None
        yield {
            "kind": "session",
            "agent_id": agent,
            "schema_version": SCHEMA_VERSION,
            "session_id": t.session_id,
            "project": project,
            "path": t.path,
            "title": t.title,
            "version": t.version,
            "git_branch": t.git_branch,
            "started": t.started,
            "ended": t.ended,
            "parent_tool_use_id": t.parent_tool_use_id,
        }
        for r in t.records:
            if hasattr(r, "reason"):
                yield {"kind": "problem", "agent_id": agent, "line": r.line, "type": r.type, "reason": r.reason}
            elif hasattr(r, "role"):
                yield {"kind": "message", "agent_id": agent} | message_object(r)  # type: ignore[arg-type]
            else:
                yield {
                    "kind": "record",
                    "agent_id": agent,
                    "line": r.line,
                    "type": r.type,
                    "is_known": r.is_known,
                    "uuid": r.uuid,
                    "parent_uuid": r.parent_uuid,
                    "timestamp": r.timestamp,
                    "subtype": r.subtype,
                    "raw": r.raw,
                }
        for reply in t.replies:
            yield {
                "kind": "reply",
                "agent_id": agent,
                "message_id": reply.message_id,
                "request_id": reply.request_id,
                "timestamp": reply.timestamp,
                "model": reply.model,
                "stop_reason": reply.stop_reason,
                "uuids": reply.uuids,
                "tools": reply.tools,
                "input_tokens": reply.input_tokens,
                "output_tokens": reply.output_tokens,
                "cache_creation_input_tokens": reply.cache_creation_input_tokens,
                "ephemeral_5m_input_tokens": reply.ephemeral_5m_input_tokens,
                "ephemeral_1h_input_tokens": reply.ephemeral_1h_input_tokens,
                "cache_read_input_tokens": reply.cache_read_input_tokens,
                "logged_cost_usd": reply.cost_usd,
                "cost_usd": reply_usage(reply, prices, mode).cost_usd,
            }
        pending += t.subagents


def lines(
    transcript: Transcript,
    prices: pricing.PriceTable | None = None,
    mode: pricing.Mode = "auto",
    clean: Callable[[Any], Any] | None = None,
    project: str | None = None,
) -> Iterator[str]:
    """The JSON Lines text, one line per object, each ending in a newline."""
    for obj in objects(transcript, prices, mode, project):
        if clean is not None:
            obj = clean(obj)
        yield json.dumps(obj, ensure_ascii=False, separators=(",", ":")) + "\n"
