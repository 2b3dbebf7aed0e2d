"""Helpers that write small session logs for the Python tests."""

from __future__ import annotations

import json
import os
from pathlib import Path
from typing import Any, Callable, Iterable

import pytest

import kestro_sdk

Line = dict[str, Any] | str


def uid(n: int) -> str:
    """A readable, valid UUID whose last group is n in hex: uid(1) ends in ...000000000001."""
    return f"00000000-0000-4000-8000-{n:012x}"


def _as_uuid(value: int | str | None) -> str | None:
    if value is None or isinstance(value, str):
        return value
    return uid(value)


def text(t: str) -> dict[str, Any]:
    return {"type": "text", "text": t}


def thinking(t: str, signature: str = "sig") -> dict[str, Any]:
    return {"type": "thinking", "thinking": t, "signature": signature}


def tool_use(tool_id: str, name: str, input: Any = None) -> dict[str, Any]:
    return {"type": "tool_use", "id": tool_id, "name": name, "input": {} if input is None else input}


def tool_result(tool_id: str, content: Any = "ok", is_error: bool | None = None) -> dict[str, Any]:
    block: dict[str, Any] = {"type": "tool_result", "tool_use_id": tool_id}
    if content is not None:
        block["content"] = content
    if is_error is not None:
        block["is_error"] = is_error
    return block


def image(media_type: str = "image/png", data: str = "aGVsbG8=") -> dict[str, Any]:
    return {"type": "image", "source": {"type": "base64", "media_type": media_type, "data": data}}


def usage(inp: int, out: int, **extra: Any) -> dict[str, Any]:
    return {"input_tokens": inp, "output_tokens": out, **extra}


def record(
    role: str = "user",
    n: int | str = 1,
    *,
    parent: int | str | None = None,
    content: Any = "hello",
    ts: str = "2025-06-01T08:00:00Z",
    cost: float | None = None,
    usage: dict[str, Any] | None = None,
    cwd: str = "/home/u/proj",
    session_id: str = "sess-1",
    sidechain: bool = False,
    model: str | None = None,
    stop_reason: str | None = None,
    duration_ms: int | None = None,
    **extra: Any,
) -> dict[str, Any]:
    """One user or assistant line; n and parent are UUID texts or numbers for uid()."""
    message: dict[str, Any] = {"role": role}
    if content is not None:
        message["content"] = content
    if model is not None:
        message["model"] = model
    if stop_reason is not None:
        message["stop_reason"] = stop_reason
    if usage is not None:
        message["usage"] = usage
    line: dict[str, Any] = {
        "parentUuid": _as_uuid(parent),
        "isSidechain": sidechain,
        "userType": "external",
        "cwd": cwd,
        "sessionId": session_id,
        "version": "1.0.0",
        "type": role,
        "message": message,
        "uuid": _as_uuid(n),
        "timestamp": ts,
    }
    if cost is not None:
        line["costUSD"] = cost
    if duration_ms is not None:
        line["durationMs"] = duration_ms
    line.update(extra)
    return line


def summary(leaf: int = 1, text_: str = "A summary") -> dict[str, Any]:
    return {"type": "summary", "summary": text_, "leafUuid": uid(leaf)}


def at(seconds: float) -> str:
    """RFC 3339 text of 2025-06-01T00:00:00Z plus seconds (millisecond precision)."""
    ms = round(seconds * 1000)
    s, ms = divmod(ms, 1000)
    return f"2025-06-01T{s // 3600:02d}:{s // 60 % 60:02d}:{s % 60:02d}.{ms:03d}Z"


def chain(count: int, **kw: Any) -> list[dict[str, Any]]:
    """count records alternating user/assistant, one second apart, each answering the previous one."""
    roles = ("user", "assistant")
    return [record(roles[i % 2], i + 1, parent=i if i else None, ts=at(i), **kw) for i in range(count)]


def dumps(line: Line) -> str:
    return line if isinstance(line, str) else json.dumps(line, ensure_ascii=False)


def write_log(path: Path, lines: Iterable[Line]) -> Path:
    """Writes one JSON line per dict (a str is written as it stands) and returns path."""
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("".join(dumps(line) + "\n" for line in lines), encoding="utf-8")
    return path


def set_mtime(path: Path, seconds: int) -> None:
    os.utime(path, (seconds, seconds))


@pytest.fixture
def write(tmp_path: Path) -> Callable[..., str]:
    """write(lines, name="s.jsonl") -> path text of the new log under tmp_path."""

    def _write(lines: Iterable[Line], name: str = "s.jsonl") -> str:
        return str(write_log(tmp_path / name, lines))

    return _write


@pytest.fixture
def load_lines(write: Callable[..., str]) -> Callable[[Iterable[Line]], kestro_sdk.Session]:
    """load_lines(lines) -> Session loaded from a fresh log holding those lines."""

    def _load(lines: Iterable[Line]) -> kestro_sdk.Session:
        return kestro_sdk.load(write(lines))

    return _load


@pytest.fixture
def home(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """Points HOME at an empty temporary home and returns its default base directory."""
    home_dir = tmp_path / "home"
    base = home_dir / ".kestro" / "projects"
    base.mkdir(parents=True)
    monkeypatch.setenv("HOME", str(home_dir))
    return base


def big_session_lines(target_bytes: int) -> list[dict[str, Any]]:
    """A generated session of about target_bytes: turns with text, thinking, tool use and results."""
    lines: list[dict[str, Any]] = [summary(1)]
    size = 0
    n = 0
    filler = "lorem ipsum dolor sit amet, é ü 漢字 🚀 " * 20
    while size < target_bytes:
        base = n * 3
        ts = at(base + 0.25)
        tool_id = f"toolu_{n}"
        turn = [
            record("user", base + 1, parent=base if n else None, content=f"prompt {n} {filler}", ts=ts),
            record(
                "assistant",
                base + 2,
                parent=base + 1,
                content=[thinking(filler), text(f"answer {n}"), tool_use(tool_id, f"Tool{n % 5}", {"k": n, "v": [1, 2.5, None]})],
                ts=ts,
                cost=0.0013,
                usage=usage(1000 + n, 200, cache_read_input_tokens=50),
                model="kestro-large-1",
                stop_reason="tool_use",
                duration_ms=900,
                sidechain=n % 7 == 0,
            ),
            record("user", base + 3, parent=base + 2, content=[tool_result(tool_id, [text(filler), image()], n % 4 == 0)], ts=ts),
        ]
        lines.extend(turn)
        size += sum(len(dumps(line)) + 1 for line in turn)
        n += 1
    return lines
