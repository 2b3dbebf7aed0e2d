"""A plain Python per-file usage scan for the tests: slow and simple, so the cache can be tested on its own.

It reads what the package's scan reads: from a start offset to the end of the last
complete line, one row per reply (records sharing message id and request id
merged: each count the largest, the earliest time, the largest logged cost; each
tool call once, and those whose result came back as an error), and the file's
session facts with the calls left without a result and the results without their
call. Each call is recorded in ``calls``.
"""

from __future__ import annotations

import datetime as dt
import json
import os
from dataclasses import dataclass, field
from typing import Any


@dataclass
class Row:
    timestamp: dt.datetime
    message_id: str | None
    request_id: str | None
    session_id: str | None
    agent_id: str | None
    is_sidechain: bool
    model: str | None
    input_tokens: int = 0
    output_tokens: int = 0
    cache_creation_tokens: int = 0
    cache_creation_5m_tokens: int = 0
    cache_creation_1h_tokens: int = 0
    cache_read_tokens: int = 0
    logged_cost_usd: float | None = None
    tools: list[str] = field(default_factory=list)
    tool_errors: list[str] = field(default_factory=list)


@dataclass
class Scan:
    path: str
    start: int
    end: int
    lines: int
    dev: int
    ino: int
    size: int
    mtime_ns: int
    rows: list[Row] = field(default_factory=list)
    problems: list[tuple[int, str]] = field(default_factory=list)
    session_id: str | None = None
    agent_id: str | None = None
    title: str | None = None
    first_timestamp: dt.datetime | None = None
    last_timestamp: dt.datetime | None = None
    turn_duration_ms: int | None = None
    prompt_active_ms: int | None = None
    open_calls: list[tuple[str, int, str]] = field(default_factory=list)
    stray_results: list[tuple[str, bool]] = field(default_factory=list)


COUNTS = ("input_tokens", "output_tokens", "cache_creation_tokens", "cache_creation_5m_tokens",
          "cache_creation_1h_tokens", "cache_read_tokens")  # fmt: skip


def _time(text: str) -> dt.datetime:
    return dt.datetime.fromisoformat(text.replace("Z", "+00:00")).astimezone(dt.UTC)


def scan_file(path: str, start: int) -> Scan:
    with open(path, "rb") as f:
        st = os.fstat(f.fileno())
        f.seek(start)
        data = f.read()
    end = start + data.rfind(b"\n") + 1
    scan = Scan(path, start, end, data[: end - start].count(b"\n"), st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
    replies: dict[tuple[str, str | None], Row] = {}
    where: dict[int, int] = {}  # id(row) -> its index in scan.rows
    calls: dict[str, list[Any]] = {}  # call id -> [row index, name, answered, erred]

    def call(at: int, block: dict[str, Any]) -> None:
        cid, name = block.get("id"), block["name"]
        if isinstance(cid, str):
            known = calls.get(cid)
            if known is not None and known[0] == at:
                return  # a record repeated within its reply repeats its calls
            calls[cid] = [at, name, False, False]
        scan.rows[at].tools.append(name)

    def answer(cid: str, error: bool) -> None:
        known = calls.get(cid)
        if known is None:
            scan.stray_results.append((cid, error))
            return
        if error and not known[3]:
            known[3] = True
            scan.rows[known[0]].tool_errors.append(known[1])
        known[2] = True

    titles: dict[str, str] = {}
    prompt: dt.datetime | None = None
    last_reply: dt.datetime | None = None
    prompt_ms = 0
    for number, line in enumerate(data[: end - start].split(b"\n")[:-1], 1):
        if not line.strip():
            continue
        try:
            rec: dict[str, Any] = json.loads(line)
        except ValueError:
            scan.problems.append((number, "not JSON"))
            continue
        kind = rec.get("type")
        for key in ("summary", "customTitle", "aiTitle"):
            if isinstance(rec.get(key), str) and kind in ("summary", "custom-title", "ai-title"):
                titles[kind] = rec[key]
        ts = _time(rec["timestamp"]) if isinstance(rec.get("timestamp"), str) else None
        if ts is not None:
            scan.first_timestamp = min(scan.first_timestamp or ts, ts)
            scan.last_timestamp = max(scan.last_timestamp or ts, ts)
        scan.session_id = scan.session_id or rec.get("sessionId")
        scan.agent_id = scan.agent_id or rec.get("agentId")
        if kind == "system" and rec.get("subtype") == "turn_duration":
            scan.turn_duration_ms = (scan.turn_duration_ms or 0) + int(rec.get("durationMs", 0))
        message = rec.get("message") if isinstance(rec.get("message"), dict) else {}
        content = message.get("content")
        blocks = [b for b in content if isinstance(b, dict)] if isinstance(content, list) else []
        # A prompt is what a person wrote: not meta, and not the results of tool calls.
        results = any(b.get("type") == "tool_result" for b in blocks)
        if kind == "user" and not rec.get("isMeta") and not results and ts is not None:
            if prompt is not None and last_reply is not None:
                prompt_ms += int((last_reply - prompt).total_seconds() * 1000)
            prompt, last_reply = ts, None
        if kind == "user":
            for b in blocks:
                if b.get("type") == "tool_result" and isinstance(b.get("tool_use_id"), str):
                    answer(b["tool_use_id"], b.get("is_error") is True)
        if kind != "assistant" or not isinstance(message.get("usage"), dict) or ts is None:
            continue
        last_reply = ts
        u = message["usage"]
        split = u.get("cache_creation") or {}
        counts = (u.get("input_tokens", 0), u.get("output_tokens", 0), u.get("cache_creation_input_tokens", 0),
                  split.get("ephemeral_5m_input_tokens", 0), split.get("ephemeral_1h_input_tokens", 0),
                  u.get("cache_read_input_tokens", 0))  # fmt: skip
        uses = [b for b in blocks if b.get("type") == "tool_use" and isinstance(b.get("name"), str)]
        mid = message.get("id")
        key = (mid, rec.get("requestId"))
        row = replies.get(key) if mid is not None else None
        if row is None:
            row = Row(ts, mid, rec.get("requestId"), rec.get("sessionId"), rec.get("agentId"),
                      bool(rec.get("isSidechain")), message.get("model"), *counts,
                      logged_cost_usd=rec.get("costUSD"))  # fmt: skip
            if mid is not None:
                replies[key] = row
            where[id(row)] = len(scan.rows)
            scan.rows.append(row)
            for b in uses:
                call(len(scan.rows) - 1, b)
            continue
        row.timestamp = min(row.timestamp, ts)
        for name, count in zip(COUNTS, counts, strict=True):
            setattr(row, name, max(getattr(row, name), count))
        cost = rec.get("costUSD")
        if cost is not None:
            row.logged_cost_usd = max(row.logged_cost_usd or cost, cost)
        # A streamed reply spreads its blocks over its records: each call counts once.
        at = where[id(row)]
        for b in uses:
            call(at, b)
    if prompt is not None and last_reply is not None:
        prompt_ms += int((last_reply - prompt).total_seconds() * 1000)
    scan.prompt_active_ms = prompt_ms
    scan.open_calls = sorted(((cid, c[0], c[1]) for cid, c in calls.items() if not c[2]), key=lambda c: (c[1], c[0]))
    scan.title = titles.get("custom-title") or titles.get("ai-title") or titles.get("summary")
    return scan


@dataclass
class Scanner:
    """Callable as the cache calls a scan; remembers every (path, start) it was asked for."""

    calls: list[tuple[str, int]] = field(default_factory=list)

    def __call__(self, files: Any) -> list[Scan]:
        files = list(files)
        self.calls += files
        return [scan_file(str(p), s) for p, s in files]
