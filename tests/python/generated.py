"""A realistic session log of any size, made from a seed: the fixed input of the instruction guard.

Same seed and size, same bytes, on any machine and Python 3.11 or later: only random.Random's
integer and choice methods and json.dumps are used, whose output does not change between versions.
"""

from __future__ import annotations

import json
import random
from pathlib import Path
from typing import Any

from conftest import image, record, text, thinking, tool_result, tool_use, uid, usage

# One text split at spaces: the tab and the quotes inside words are part of the mix.
WORDS = (  # noqa: SIM905
    "the a to of and in is it for that on with this file test function value error return "
    "change line config build module class import path request response data type string list "
    "should would could update check run result output input parser session record index "
    'é über naïve 東京 数据 ✓ → «quoted» "double" back\\slash tab\there'
).split(" ")
TOOLS = ("Read", "Edit", "Bash", "Grep", "Glob", "Write", "WebFetch", "TodoWrite")
MODELS = ("kestro-large-1", "kestro-small-1")


def prose(rng: random.Random, words: int) -> str:
    lines, line = [], []
    for _ in range(words):
        line.append(WORDS[rng.randrange(len(WORDS))])
        if rng.randrange(14) == 0:
            lines.append(" ".join(line))
            line = []
    lines.append(" ".join(line))
    return "\n".join(lines)


def code(rng: random.Random, lines: int) -> str:
    out = []
    for i in range(lines):
        indent = "    " * rng.randrange(4)
        name = f"{WORDS[rng.randrange(40)]}_{rng.randrange(1000)}"
        out.append(f'{indent}{name} = compute({i}, {rng.randrange(10**6)}, "{WORDS[rng.randrange(40)]}")')
    return "\n".join(out)


def tool_input(rng: random.Random, name: str) -> dict[str, Any]:
    path = f"/home/u/proj/src/{WORDS[rng.randrange(40)]}/{rng.randrange(100)}.py"
    if name == "Edit":
        return {
            "file_path": path,
            "old_string": code(rng, rng.randrange(1, 12)),
            "new_string": code(rng, rng.randrange(1, 12)),
        }
    if name == "Write":
        return {"file_path": path, "content": code(rng, rng.randrange(10, 80))}
    if name == "Bash":
        return {"command": f"pytest -q tests/{rng.randrange(50)} && echo done", "timeout": rng.randrange(1000, 120000)}
    if name == "TodoWrite":
        return {
            "todos": [
                {"content": prose(rng, 8), "status": "pending", "priority": "high", "id": str(k)}
                for k in range(rng.randrange(1, 6))
            ]
        }
    return {
        "file_path": path,
        "limit": rng.randrange(1, 2000),
        "offset": rng.randrange(0, 100),
        "pattern": WORDS[rng.randrange(40)],
    }


def session_lines(rng: random.Random, target: int) -> list[str]:
    lines: list[str] = [json.dumps({"type": "summary", "summary": prose(rng, 8), "leafUuid": uid(1)})]
    size, n, parent, t = len(lines[0]) + 1, 0, None, 0
    while size < target:
        n += 1
        t += rng.randrange(1, 60_000)
        ts = f"2025-06-{1 + t // 86_400_000:02d}T{t // 3_600_000 % 24:02d}:{t // 60_000 % 60:02d}:{t // 1000 % 60:02d}.{t % 1000:03d}Z"
        common = {"parent": parent, "ts": ts, "session_id": "guard-session", "sidechain": rng.randrange(20) == 0}
        if n % 2:
            if parent is not None and rng.randrange(3):
                content: Any = [
                    tool_result(
                        f"toolu_{n - 1:06d}_{k}", code(rng, rng.randrange(5, 120)), rng.randrange(10) == 0 or None
                    )
                    for k in range(rng.randrange(1, 3))
                ]
                if rng.randrange(15) == 0:
                    content.append(image(data="aGVsbG8gd29ybGQ=" * rng.randrange(1, 200)))
            else:
                content = prose(rng, rng.randrange(5, 120))
            line = record("user", n, content=content, **common)
        else:
            blocks: list[Any] = []
            if rng.randrange(3) == 0:
                blocks.append(thinking(prose(rng, rng.randrange(20, 300)), "c2ln" * rng.randrange(10, 100)))
            blocks.append(text(prose(rng, rng.randrange(3, 200))))
            for k in range(rng.randrange(0, 3)):
                name = TOOLS[rng.randrange(len(TOOLS))]
                blocks.append(tool_use(f"toolu_{n:06d}_{k}", name, tool_input(rng, name)))
            line = record("assistant", n, content=blocks, cost=rng.randrange(1, 50_000) / 1_000_000,
                          model=MODELS[rng.randrange(2)], stop_reason="tool_use" if len(blocks) > 1 else "end_turn",
                          duration_ms=rng.randrange(200, 60_000), requestId=f"req_{n:08d}",
                          usage=usage(rng.randrange(1, 5000), rng.randrange(1, 3000), cache_read_input_tokens=rng.randrange(0, 100_000),
                                      cache_creation_input_tokens=rng.randrange(0, 10_000), service_tier="standard"), **common)  # fmt: skip
        parent = n
        lines.append(json.dumps(line, ensure_ascii=rng.randrange(12) == 0))
        size += len(lines[-1].encode()) + 1
    return lines


def write_session(path: Path, size_bytes: int, seed: int) -> Path:
    """Writes a session of at least size_bytes (one line more than needed at most) unless it exists."""
    if not path.exists():
        tmp = path.with_name(path.name + ".part")
        tmp.write_text(
            "".join(line + "\n" for line in session_lines(random.Random(seed), size_bytes)), encoding="utf-8"
        )
        tmp.replace(path)
    return path
