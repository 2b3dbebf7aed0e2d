"""A small deterministic writer of session logs in the newer shape, for the reader's tests.

Streamed replies (one record per block sharing message.id and requestId, output_tokens growing
to the last record), the 5-minute / 1-hour cache split, progress, system, attachment and
file-history-snapshot records (prompts sometimes name a system or attachment record as their
parent), Task calls whose sub-agent is written to <stem>/subagents/agent-<id>.jsonl with
agent_progress copies in the parent, and tool_result content holding tool_reference blocks.
"""

from __future__ import annotations

import json
import random
import time
from pathlib import Path
from typing import Any


class _Writer:
    def __init__(self, rng: random.Random, session_id: str, agent: str | None = None) -> None:
        self.rng = rng
        self.sid = session_id
        self.agent = agent
        self.lines: list[dict[str, Any]] = []
        self.last: str | None = None
        self.clock = 1_750_000_000_000
        self.counter = 0

    def uuid(self) -> str:
        return f"{self.rng.getrandbits(128):032x}"[:8] + "-0000-4000-8000-" + f"{self.rng.getrandbits(48):012x}"

    def stamp(self) -> str:
        self.clock += self.rng.randint(5, 4000)
        s, ms = divmod(self.clock, 1000)
        return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(s)) + f".{ms:03d}Z"

    def head(self, kind: str, parent: str | None) -> dict[str, Any]:
        rec: dict[str, Any] = {"parentUuid": parent, "isSidechain": self.agent is not None, "userType": "external",
                               "cwd": "/home/dev/app", "sessionId": self.sid, "version": "2.1.41", "gitBranch": "main",
                               "type": kind} | ({"agentId": self.agent} if self.agent else {})  # fmt: skip
        rec["uuid"] = self.uuid()
        rec["timestamp"] = self.stamp()
        return rec

    def emit(self, rec: dict[str, Any], link: bool = True) -> str:
        self.lines.append(rec)
        if link:
            self.last = rec["uuid"]
        return str(rec["uuid"])

    def user(self, content: Any, **extra: Any) -> str:
        rec = self.head("user", self.last) | {"message": {"role": "user", "content": content}} | extra
        return self.emit(rec)

    def reply(self, blocks: list[dict[str, Any]]) -> None:
        rng = self.rng
        self.counter += 1
        # A sub-agent's replies are other API calls than its parent's: their ids must differ.
        tag = f"{self.sid[:4]}{'_' + self.agent if self.agent else ''}{self.counter}"
        mid, req = f"msg_{tag}", f"req_{tag}"
        cw = rng.randint(0, 5000)
        h1 = rng.choice([0, cw // 3, cw])
        final = {"input_tokens": rng.randint(1, 9000), "output_tokens": rng.randint(10, 900),
                 "cache_creation_input_tokens": cw, "cache_read_input_tokens": rng.randint(0, 90000),
                 "cache_creation": {"ephemeral_5m_input_tokens": cw - h1, "ephemeral_1h_input_tokens": h1}}  # fmt: skip
        streamed = len(blocks) > 1 and rng.random() < 0.7
        parts = [[b] for b in blocks] if streamed else [blocks]
        no_request = rng.random() < 0.05
        for j, part in enumerate(parts):
            usage = json.loads(json.dumps(final))
            if j < len(parts) - 1:
                usage["output_tokens"] = max(1, final["output_tokens"] * (j + 1) // (len(parts) + 1))
            message = {"id": mid, "type": "message", "role": "assistant", "model": "kestro-large-2", "content": part,
                       "stop_reason": "tool_use" if j == len(parts) - 1 else None, "usage": usage}  # fmt: skip
            rec = self.head("assistant", self.last) | {"message": message}
            if not no_request:
                rec["requestId"] = req
            self.emit(rec)

    def other(self, kind: str, **body: Any) -> str:
        return self.emit(self.head(kind, self.last) | body)


def write_modern_session(folder: Path, seed: int, turns: int = 12) -> Path:
    """Writes <folder>/<session>.jsonl (and its sub-agents) and returns the session file."""
    rng = random.Random(seed)
    sid = f"{rng.getrandbits(32):08x}-0000-4000-8000-{rng.getrandbits(48):012x}"
    path = folder / f"{sid}.jsonl"
    main = _Writer(rng, sid)
    main.lines.append({"type": "permission-mode", "permissionMode": "default", "sessionId": sid})
    for turn in range(turns):
        if rng.random() < 0.2:
            main.other(rng.choice(["system", "attachment"]), content="hook", subtype="stop_hook_summary")
        main.user(f"prompt {turn}")
        main.lines.append({"type": "file-history-snapshot", "messageId": main.last, "snapshot": {}})
        for _ in range(rng.randint(1, 3)):
            tool = rng.choice(["Read", "Task", "ToolSearch", "Bash"])
            tid = f"tu_{sid[:4]}_{len(main.lines)}"
            main.reply([{"type": "thinking", "thinking": "t", "signature": "s"}, {"type": "text", "text": "ok"},
                        {"type": "tool_use", "id": tid, "name": tool, "input": {"n": turn}}])  # fmt: skip
            result: dict[str, Any] = {"type": "tool_result", "tool_use_id": tid, "content": "done"}
            extra: dict[str, Any] = {}
            if tool == "ToolSearch":
                result["content"] = [{"type": "tool_reference", "tool_name": "Read"}]
            if tool == "Task":
                agent = f"a{rng.getrandbits(32):08x}"
                sub = _Writer(rng, sid, agent)
                sub.user("explore")
                sub.reply([{"type": "text", "text": "looking"},
                           {"type": "tool_use", "id": "st", "name": "Grep", "input": {}}])  # fmt: skip
                sub.user([{"type": "tool_result", "tool_use_id": "st", "content": "x"}])
                sub.reply([{"type": "text", "text": "report"}])
                for copy in sub.lines:
                    main.other("progress", parentToolUseID=tid, toolUseID=f"agent_{copy['uuid']}",
                               data={"type": "agent_progress", "agentId": agent, "message": copy})  # fmt: skip
                folder.joinpath(sid, "subagents").mkdir(parents=True, exist_ok=True)
                _write(folder / sid / "subagents" / f"agent-{agent}.jsonl", sub.lines)
                extra["toolUseResult"] = {"agentId": agent, "totalTokens": 10, "totalDurationMs": 5,
                                          "totalToolUseCount": 1}  # fmt: skip
            main.user([result], **extra)
    main.lines.append({"type": "custom-title", "customTitle": f"session {seed}", "sessionId": sid})
    _write(path, main.lines)
    return path


def _write(path: Path, lines: list[dict[str, Any]]) -> None:
    path.write_text("".join(json.dumps(line, ensure_ascii=False) + "\n" for line in lines), encoding="utf-8")
