"""Helpers that write small session logs for the Python tests."""

from __future__ import annotations

import http.server
import json
import os
import subprocess
import sys
import textwrap
import threading
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path
from typing import Any

import pytest

import kestro_sdk


def run_isolated(code: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    """Runs code in a fresh interpreter, so a crash (negative return code) or a hang
    (TimeoutExpired) fails one test, not the run."""
    env = dict(os.environ if env is None else env)
    # The child must import the same kestro_sdk as this process.
    env["PYTHONPATH"] = os.path.dirname(os.path.dirname(kestro_sdk.__file__))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          errors="replace", timeout=60, env=env)  # fmt: skip


def uid(n: int) -> str:
    """A readable, valid UUID whose last group is n in hex: uid(1) ends in ...000000000001."""
    return f"00000000-0000-4000-8000-{n:012x}"


def text(t: str) -> dict[str, Any]:
    return {"type": "text", "text": t}


def thinking(t: str, signature: str = "sig") -> dict[str, Any]:
    return {"type": "thinking", "thinking": t, "signature": signature}


def tool_use(tool_id: str, name: str, input: Any = None) -> dict[str, Any]:
    return {"type": "tool_use", "id": tool_id, "name": name, "input": {} if input is None else input}


def tool_result(tool_id: str, content: Any = "ok", is_error: bool | None = None) -> dict[str, Any]:
    block = {"type": "tool_result", "tool_use_id": tool_id, "content": content, "is_error": is_error}
    return {k: v for k, v in block.items() if v is not None}


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
    """One user or assistant line; n and parent are UUID texts or numbers for uid(); None leaves a key out."""
    message = {"role": role, "content": content, "model": model, "stop_reason": stop_reason, "usage": usage}
    line = {
        "parentUuid": uid(parent) if isinstance(parent, int) else parent, "isSidechain": sidechain,
        "userType": "external", "cwd": cwd, "sessionId": session_id, "version": "1.0.0", "type": role,
        "message": {k: v for k, v in message.items() if v is not None},
        "uuid": uid(n) if isinstance(n, int) else n, "timestamp": ts,
    }  # fmt: skip
    line |= {k: v for k, v in (("costUSD", cost), ("durationMs", duration_ms)) if v is not None}
    return line | extra


def at(seconds: float) -> str:
    """RFC 3339 text of 2025-06-01T00:00:00Z plus seconds (millisecond precision)."""
    s, ms = divmod(round(seconds * 1000), 1000)
    return f"2025-06-01T{s // 3600:02d}:{s // 60 % 60:02d}:{s % 60:02d}.{ms:03d}Z"


def chain(count: int, **kw: Any) -> list[dict[str, Any]]:
    """count records alternating user/assistant, one second apart, each answering the previous one."""
    return [record(("user", "assistant")[i % 2], i + 1, parent=i or None, ts=at(i), **kw) for i in range(count)]


def rich_lines(turns: int) -> list[dict[str, Any]]:
    """Turns with every block kind, usage, costs, side chains and a branch, so every converter runs."""
    lines: list[dict[str, Any]] = [{"type": "summary", "summary": "s", "leafUuid": uid(1)}]
    for n in range(turns):
        b = n * 3
        lines += [
            record("user", b + 1, parent=b or None, content=f"prompt {n} é 漢字 🚀", ts=at(b)),
            record("assistant", b + 2, parent=b + 1, ts=at(b + 1), cost=0.0013, model="kestro-large-1",
                   content=[thinking("hm"), text(f"answer {n}"), tool_use(f"t{n}", f"Tool{n % 3}", {"k": [n, 2.5, None]})],
                   usage=usage(1000, 200, cache_read_input_tokens=50, service_tier="standard"),
                   stop_reason="tool_use", duration_ms=900, sidechain=n % 7 == 0),
            record("user", b + 3, parent=b + 2 if n % 5 else b + 1, ts=at(b + 2),
                   content=[tool_result(f"t{n}", [text("out"), image()], n % 4 == 0)]),
        ]  # fmt: skip
    return lines


def dumps(line: dict[str, Any] | str) -> str:
    return line if isinstance(line, str) else json.dumps(line, ensure_ascii=False)


def write_log(path: Path, lines: Iterable[dict[str, Any] | str]) -> Path:
    """Writes one JSON line per dict (a str is written as it stands) and returns path."""
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("".join(dumps(line) + "\n" for line in lines), encoding="utf-8")
    return path


@pytest.fixture
def load_lines(tmp_path: Path) -> Callable[[Iterable[Any]], kestro_sdk.Session]:
    """load_lines(lines) -> Session loaded from a fresh log holding those lines."""
    return lambda lines: kestro_sdk.load(write_log(tmp_path / "s.jsonl", lines))


@pytest.fixture
def home(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """Points HOME at an empty temporary home and returns its default base directory."""
    base = tmp_path / "home" / ".kestro" / "projects"
    base.mkdir(parents=True)
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    return base


class Server:
    """Serves body with status at http://127.0.0.1:<port>/prices; counts the requests."""

    def __init__(self) -> None:
        self.status, self.body, self.requests = 200, b"", 0
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self) -> None:
                outer.requests += 1
                self.send_response(outer.status)
                self.send_header("Content-Length", str(len(outer.body)))
                self.end_headers()
                self.wfile.write(outer.body)

            def log_message(self, *args: object) -> None:
                pass

        self.httpd = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}/prices"
        self.thread = threading.Thread(target=self.httpd.serve_forever, args=(0.05,), daemon=True)
        self.thread.start()

    def close(self) -> None:
        self.httpd.shutdown()
        self.httpd.server_close()


@pytest.fixture
def server(monkeypatch: pytest.MonkeyPatch) -> Iterator[Server]:
    # A proxy that does not exist: fetching from loopback must go around it.
    for var in ("http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
        monkeypatch.setenv(var, "http://127.0.0.1:9")
    monkeypatch.delenv("no_proxy", raising=False)
    monkeypatch.delenv("NO_PROXY", raising=False)
    s = Server()
    yield s
    s.close()


ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "tests" / "data"
EXAMPLES = ROOT / "examples" / "projects"
SCHEMAS = Path(kestro_sdk.__file__).parent / "schemas"
# The token counts a usage row carries.
COUNTS = ("input_tokens", "output_tokens", "cache_creation_tokens", "cache_creation_5m_tokens",
          "cache_creation_1h_tokens", "cache_read_tokens")  # fmt: skip


def schema_check(doc: Any, name: str) -> None:
    """Validates doc against the package's JSON Schema of that name."""
    import jsonschema

    jsonschema.validate(doc, json.loads((SCHEMAS / f"{name}.schema.json").read_text()))


def one_line_error(result: Any, code: int, message: str) -> None:
    """The command failed with code, printed nothing, and said why on one line of standard error."""
    assert (result.exit_code, result.stdout) == (code, ""), result.output
    line = result.stderr.removesuffix("\n")
    assert line.startswith("kestro-sdk: error: ") and "\n" not in line and message in line, line


@pytest.fixture
def cli_env(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """A fresh config and cache, UTC and no colour or price settings from the caller; returns tmp_path."""
    for var in ("KESTRO_PRICES", "KESTRO_PRICES_URL", "KESTRO_PROJECTS", "NO_COLOR", "FORCE_COLOR", "KESTRO_PAGER",
                "PAGER"):  # fmt: skip
        monkeypatch.delenv(var, raising=False)
    monkeypatch.setenv("KESTRO_CONFIG", str(tmp_path / "config.toml"))
    monkeypatch.setenv("KESTRO_CACHE_DIR", str(tmp_path / "cache"))
    monkeypatch.setenv("TZ", "UTC")
    return tmp_path
