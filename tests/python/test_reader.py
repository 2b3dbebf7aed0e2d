"""The complete reader: records of every type, problems, replies, threads and sub-agents."""

from __future__ import annotations

import json
import os
import shutil
from pathlib import Path
from typing import Any

import pytest
from modern_logs import write_modern_session

import kestro_sdk
from conftest import rich_lines, run_isolated, uid, write_log
from kestro_sdk import _core, _reader

DATA = Path(__file__).resolve().parents[1] / "data" / "reader"


def read(name: str, **kw: Any) -> _reader.Transcript:
    return kestro_sdk.read(DATA / name, **kw)


def short(u: str | None) -> int | None:
    """The number a fixture uuid was made from (uid(n) -> n)."""
    return None if u is None else int(u.rsplit("-", 1)[1], 16)


def attrs(obj: Any, names: str | tuple[str, ...]) -> tuple[Any, ...]:
    return tuple(getattr(obj, n) for n in (names.split() if isinstance(names, str) else names))


USAGE = ("input_tokens", "output_tokens", "cache_creation_input_tokens", "cache_read_input_tokens")
SPLIT = ("ephemeral_5m_input_tokens", "ephemeral_1h_input_tokens")


# ---- records ---------------------------------------------------------------------------------

EVERY_TYPE = [
    # line, class, type, is_known (None for messages)
    (1, "Record", "permission-mode", True),
    (2, "Record", "queue-operation", True),
    (3, "Message", "user", None),
    (4, "Record", "attachment", True),
    (5, "Message", "assistant", None),
    (6, "Record", "progress", True),
    (7, "Message", "user", None),
    (8, "Record", "system", True),
    (9, "Message", "assistant", None),
    (10, "Record", "file-history-snapshot", True),
    (11, "Record", "last-prompt", True),
    (12, "Record", "summary", True),
    (13, "Record", "ai-title", False),
    (14, "Record", "custom-title", True),
    (15, "Record", "agent-name", False),
    (16, "Record", "pr-link", False),
]


def test_every_line_is_a_record_in_file_order() -> None:
    records = read("every_type.jsonl").records
    got = [(r.line, type(r).__name__, r.type, getattr(r, "is_known", None)) for r in records]
    assert got == EVERY_TYPE


@pytest.mark.parametrize(
    ("line", "field", "value"),
    [
        (1, "raw", {"type": "permission-mode", "permissionMode": "default", "sessionId": "sess-types"}),
        (6, "raw.data", {"type": "hook_progress", "hookEvent": "PostToolUse"}),
        (8, "subtype", "stop_hook_summary"),
        (8, "parent_uuid", uid(5)),
        (8, "timestamp", "2025-06-01T08:00:04.500+00:00"),
        (10, "uuid", None),
        (13, "raw.aiTitle", "Test fixes"),
        (16, "raw.prUrl", "https://example.invalid/pr/1"),
    ],
    ids=["raw", "raw-nested", "subtype", "parent", "time", "no-uuid", "unknown-type-raw", "unknown-type-field"],
)
def test_record_fields(line: int, field: str, value: Any) -> None:
    record = read("every_type.jsonl").records[line - 1]
    name, _, key = field.partition(".")
    got = getattr(record, name)
    assert (got[key] if key else got) == value


def test_message_fields() -> None:
    m = read("every_type.jsonl").messages[1]
    assert attrs(m, "line type role uuid parent_uuid timestamp") == (
        5, "assistant", "assistant", uid(3), uid(2), "2025-06-01T08:00:03+00:00")  # fmt: skip
    assert attrs(m, "message_id request_id model stop_reason is_sidechain is_meta agent_id") == (
        "msg_1", "req_1", "kestro-large-2", "tool_use", False, False, None)  # fmt: skip
    assert attrs(m, "cwd version git_branch tools") == ("/home/dev/app", "2.1.40", "main", ["ToolSearch"])
    assert attrs(m.usage, USAGE + SPLIT) == (10, 30, 100, 5, 60, 40)


def test_session_fields() -> None:
    assert attrs(read("every_type.jsonl"), "session_id title version git_branch started ended") == (
        "sess-types", "My test session", "2.1.40", "main",
        "2025-06-01T08:00:00+00:00", "2025-06-01T08:00:07+00:00")  # fmt: skip


@pytest.mark.parametrize(
    ("kinds", "title"),
    [
        (["summary", "ai-title", "custom-title"], "custom"),
        (["custom-title", "ai-title", "summary"], "custom"),
        (["summary", "ai-title"], "ai"),
        (["ai-title", "summary", "summary"], "ai"),
        (["summary", "summary"], "summary 1"),
        ([], None),
    ],
    ids=["custom-last", "custom-first", "ai-over-summary", "ai-first", "last-summary", "none"],
)
def test_title_prefers_custom_then_ai_then_summary(tmp_path: Path, kinds: list[str], title: str | None) -> None:
    fields = {"summary": ("summary", "summary"), "ai-title": ("aiTitle", "ai"),
              "custom-title": ("customTitle", "custom")}  # fmt: skip
    lines: list[dict[str, Any]] = []
    for i, kind in enumerate(kinds):
        key, text = fields[kind]
        lines.append({"type": kind, key: f"{text} {i}" if kind == "summary" else text})
    assert kestro_sdk.read(write_log(tmp_path / "t.jsonl", lines)).title == title


# ---- content blocks --------------------------------------------------------------------------


def test_blocks_of_known_types_are_typed_and_others_kept_raw() -> None:
    messages = read("every_type.jsonl").messages
    thinking, server, use = messages[1].content
    (result,) = messages[2].content
    (block,) = messages[0].content  # string content is one text block
    assert isinstance(thinking, _reader.ThinkingBlock) and isinstance(use, _reader.ToolUseBlock)
    assert isinstance(result, _reader.ToolResultBlock) and isinstance(block, _reader.TextBlock)
    assert (type(server).__name__, thinking.thinking, thinking.signature) == ("Block", "look first", "c2ln")
    assert (server.type, server.raw) == (
        "server_tool_use",
        {"type": "server_tool_use", "id": "srv_1", "name": "web_search", "input": {"query": "pytest"}},
    )
    assert (use.id, use.name, use.input) == ("tu_1", "ToolSearch", {"query": "select:Read"})
    # A tool result's content keeps blocks of unknown types too.
    content = result.content
    assert isinstance(content, list)
    assert [(type(b).__name__, b.type) for b in content] == [("Block", "tool_reference"), ("TextBlock", "text")]
    assert (content[0].raw, *attrs(result, "text tool_use_id is_error")) == (
        {"type": "tool_reference", "tool_name": "Read"}, "found", "tu_1", None)  # fmt: skip
    assert (block.type, block.text, block.raw) == ("text", "fix the tests", {"type": "text", "text": "fix the tests"})


# ---- problems --------------------------------------------------------------------------------

PROBLEMS = [
    (2, "not JSON: EOF while parsing a string at line 1 column 92"),
    (3, "not valid UTF-8"),
    (4, "not a JSON object"),
    (5, "missing field 'type'"),
    (6, "field 'type' is not a string"),
    (7, "missing field 'uuid'"),
    (8, "field 'message.usage.output_tokens' is not a non-negative integer"),
    (9, "missing field 'message.content[0].text'"),
    (10, "field 'timestamp' is not an RFC 3339 time"),
]


def test_problems_are_kept_in_place_and_strict_stops_at_the_first() -> None:
    t = read("problems.jsonl")
    assert t.problems == PROBLEMS
    assert [(r.line, type(r).__name__) for r in t.records] == [
        (1, "Message"),
        *((line, "Problem") for line, _ in PROBLEMS),
        (12, "Message"),
    ]
    assert [(p.line, p.type, p.reason) for p in t.records[1:-1] if isinstance(p, _reader.Problem)][4:7] == [
        (6, None, PROBLEMS[4][1]),
        (7, "user", PROBLEMS[5][1]),
        (8, "assistant", PROBLEMS[6][1]),
    ]
    with pytest.raises(_reader.ReadError, match=r"problems\.jsonl, line 2: not JSON"):
        read("problems.jsonl", errors="strict")


@pytest.mark.parametrize(
    ("line", "reason"), PROBLEMS, ids=[r.split(":")[0].split("'")[-2] if "'" in r else r[:12] for _, r in PROBLEMS]
)
def test_strict_raises_at_each_kind_of_problem(tmp_path: Path, line: int, reason: str) -> None:
    raw = (DATA / "problems.jsonl").read_bytes().split(b"\n")
    path = tmp_path / "one.jsonl"
    path.write_bytes(raw[0] + b"\n" + raw[line - 1] + b"\n")
    assert kestro_sdk.read(path).problems == [(2, reason)]
    with pytest.raises(_reader.ReadError) as caught:
        kestro_sdk.read(path, errors="strict")
    error = caught.value
    assert (error.path, error.line, error.reason, str(error)) == (str(path), 2, reason, f"{path}, line 2: {reason}")
    assert isinstance(error, _core.ParseError)


@pytest.mark.parametrize(
    "lines",
    [
        [],
        [{"type": "summary", "summary": "only"}],
        [{"type": "file-history-snapshot", "messageId": "m", "snapshot": {}}],
    ],
    ids=["empty", "only-summary", "only-snapshot"],
)
def test_files_without_messages_are_read(tmp_path: Path, lines: list[dict[str, Any]]) -> None:
    t = kestro_sdk.read(write_log(tmp_path / "s.jsonl", lines), errors="strict")
    assert (len(t.records), t.messages, t.replies, t.problems) == (len(lines), [], [], [])


def test_nothing_is_printed(capfd: pytest.CaptureFixture[str]) -> None:
    read("every_type.jsonl")
    read("problems.jsonl")
    assert capfd.readouterr() == ("", "")


# ---- replies ---------------------------------------------------------------------------------


@pytest.mark.parametrize("name", ["streamed.jsonl", "streamed_reversed.jsonl"])
def test_a_streamed_reply_counts_once_whatever_the_order(name: str) -> None:
    (reply,) = read(name).replies
    assert attrs(reply, "message_id request_id model stop_reason cost_usd timestamp tools") == (
        "msg_s", "req_s", "kestro-large-2", "tool_use", 0.03, "2025-06-01T09:00:02+00:00", ["Read"])  # fmt: skip
    assert (attrs(reply, USAGE + SPLIT), sorted(map(short, reply.uuids))) == ((9, 172, 120, 2000, 20, 100), [2, 3, 4])
    assert [type(b).__name__ for b in reply.content] == [type(b).__name__ for m in reply.messages for b in m.content]


def test_reply_keys() -> None:
    replies = read("reply_keys.jsonl").replies
    got = [(r.message_id, r.request_id, [short(u) for u in r.uuids], r.output_tokens) for r in replies]
    assert got == [
        ("msg_k", None, [2, 3], 7),  # the message id alone when there is no request id
        ("msg_k", "req_other", [4], 11),  # a request id makes another key
        (None, None, [5], 13),  # no message id: a reply of its own
        (None, None, [6], 17),
    ]  # the record without usage (uuid 7) is a message but no reply


# ---- threads ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("name", "leaf", "thread"),
    [
        ("links", 3, [1, 3]),  # through a system record
        ("links", 5, [1, 3, 5]),  # and a progress record
        ("links", 7, [1, 3, 5, 7]),  # and an attachment
        ("links", 9, [1, 3, 5, 7, 9]),  # and a record of an unknown type
        ("links", 21, [1, 3, 5, 20, 21]),  # the last of two records sharing a uuid is the one linked
        ("links", 20, [1, 3, 5, 20]),
        ("links", 31, [30, 31]),  # an orphan starts its own thread
        ("links", 99, []),
        # A loop ends the walk; record 3 of the loop is no message, so it links but is not shown.
        ("cycles", 1, [2, 1]),
        ("cycles", 2, [1, 2]),
        ("cycles", 4, [4]),
    ],
    ids=["system", "progress", "attachment", "unknown-type", "duplicate", "duplicate-itself", "orphan", "absent",
         "loop-a", "loop-b", "self"],
)  # fmt: skip
def test_thread_follows_links_through_every_record(name: str, leaf: int, thread: list[int]) -> None:
    t = read(f"{name}.jsonl")
    assert [short(m.uuid) for m in t.thread(uid(leaf))] == thread
    assert [short(m.uuid) for m in t.thread(uid(leaf).upper())] == thread


def test_main_thread_ends_at_the_last_message_off_the_side_chain() -> None:
    assert [short(m.uuid) for m in read("links.jsonl").main_thread()] == [30]


# ---- sub-agents ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("name", "replies", "agents"),
    [
        # The progress copy of agent bbb's reply in the session makes no reply of the session's.
        ("layout_new/session.jsonl", ["msg_p"], [("aaa", "tu_a", [100, 101], ["msg_aaa"]),
                                                 ("bbb", "tu_b", [200, 201], ["msg_bbb"]),
                                                 ("ccc", None, [300, 301], ["msg_ccc"])]),
        ("layout_old/session.jsonl", [], [("1234abcd", None, [10], [])]),
        ("layout_inline.jsonl", [], []),
    ],
    ids=["subagents-folder", "beside-the-session", "inside-the-file"],
)  # fmt: skip
def test_subagents_in_each_layout(name: str, replies: list[str], agents: list[tuple[Any, ...]]) -> None:
    t = read(name)
    got = [(s.agent_id, s.parent_tool_use_id, [short(m.uuid) for m in s.messages], [r.message_id for r in s.replies])
           for s in t.subagents]  # fmt: skip
    assert ([r.message_id for r in t.replies], got) == (replies, agents)
    assert all(s.session_id == t.session_id and s.subagents == [] for s in t.subagents)


def test_side_chains_inside_the_file_stay_messages() -> None:
    t = read("layout_inline.jsonl")
    side_chain = [short(m.uuid) for m in t.messages if m.is_sidechain]
    assert ([short(m.uuid) for m in t.messages], side_chain) == ([1, 2, 3, 4, 5], [3, 4])
    assert [short(m.uuid) for m in t.main_thread()] == [1, 2, 5]


def test_a_strict_read_stops_at_a_problem_in_a_subagent(tmp_path: Path) -> None:
    shutil.copytree(DATA / "layout_new", tmp_path / "p")
    (tmp_path / "p" / "session" / "subagents" / "agent-ccc.jsonl").write_text('{"type":"user"\n')
    assert kestro_sdk.read(tmp_path / "p" / "session.jsonl").subagents[2].problems == [
        (1, "not JSON: EOF while parsing an object at line 1 column 14")
    ]
    with pytest.raises(_reader.ReadError, match="agent-ccc.jsonl, line 1"):
        kestro_sdk.read(tmp_path / "p" / "session.jsonl", errors="strict")


# ---- arguments and lifetime ------------------------------------------------------------------


def test_path_forms(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    shutil.copy(DATA / "streamed.jsonl", tmp_path / "s.jsonl")
    monkeypatch.setenv("HOME", str(tmp_path))
    forms: list[Any] = [tmp_path / "s.jsonl", str(tmp_path / "s.jsonl"), "~/s.jsonl", os.fsencode(tmp_path / "s.jsonl")]
    assert {len(kestro_sdk.read(p).messages) for p in forms} == {4}


@pytest.mark.parametrize(
    ("call", "error", "text"),
    [
        (lambda: kestro_sdk.read("/nonexistent/s.jsonl"), FileNotFoundError, "No such file"),
        (lambda: _reader.read(DATA / "streamed.jsonl", errors="ignore"), ValueError, "errors must be"),
        (lambda: _reader.read(DATA / "streamed.jsonl", "strict"), TypeError, "1 positional argument"),
        (lambda: _reader.read(42), TypeError, "int"),
        (lambda: _reader.Transcript(), TypeError, "No constructor"),
    ],
    ids=["missing-file", "bad-errors", "errors-positional", "bad-path", "no-constructor"],
)
def test_argument_errors(call: Any, error: type[BaseException], text: str) -> None:
    with pytest.raises(error, match=text):
        call()


# ---- the two readers agree -------------------------------------------------------------------


BLOCK_FIELDS = {
    "TextBlock": ("text",),
    "ThinkingBlock": ("thinking", "signature"),
    "ToolUseBlock": ("id", "name", "input"),
    "ToolResultBlock": ("tool_use_id", "is_error"),
    "ImageBlock": ("source_type", "media_type", "data"),
}


def _view(m: Any, blocks: list[Any]) -> tuple[Any, ...]:
    """What both readers show of a message; the complete reader leaves absent counts and cwd as None."""
    u = m.usage
    usage = None if u is None else (u.input_tokens or 0, u.output_tokens or 0, *attrs(u, USAGE[2:]))
    shown = [(type(b).__name__, *attrs(b, BLOCK_FIELDS[type(b).__name__])) for b in blocks]
    fields = attrs(m, "uuid parent_uuid timestamp role text model stop_reason is_sidechain tools")
    return (*fields, m.cwd or "", usage, shown)


AGREEMENT_INPUTS = {
    "rich": lambda: rich_lines(12),
    "streamed": lambda: [json.loads(line) for line in (DATA / "streamed.jsonl").read_text().splitlines()],
    "inline-side-chain": lambda: [json.loads(line) for line in (DATA / "layout_inline.jsonl").read_text().splitlines()],
    "links-without-others": lambda: [
        json.loads(line)
        for line in (DATA / "links.jsonl").read_text().splitlines()
        if '"type":"user"' in line or '"type":"assistant"' in line
    ],
}


@pytest.mark.parametrize("name", AGREEMENT_INPUTS)
def test_the_two_readers_agree_on_files_the_exact_reader_accepts(tmp_path: Path, name: str) -> None:
    path = write_log(tmp_path / "s.jsonl", AGREEMENT_INPUTS[name]())
    exact, complete = _core.load(path), kestro_sdk.read(path)
    assert [_view(m, m.content) for m in complete.messages] == [_view(m, m.get_content_blocks()) for m in exact]
    usages = [m.usage for m in complete.messages if m.usage]
    sums = tuple(sum(getattr(u, k) or 0 for u in usages) for k in USAGE)
    totals = "total_input_tokens total_output_tokens cache_creation_tokens cache_read_tokens"
    assert sums == attrs(exact.metadata, totals)
    for m in exact.messages[:: max(1, len(exact.messages) // 5)]:
        assert [x.uuid for x in complete.thread(m.uuid)] == [x.uuid for x in exact.get_thread(m.uuid)]


# ---- replies match a plain count -------------------------------------------------------------


def _plain_replies(path: Path) -> list[tuple[Any, ...]]:
    """Replies counted the plain way: group the raw assistant lines by key, take each count's maximum."""
    groups: dict[Any, dict[str, Any]] = {}
    for n, line in enumerate(path.read_text(encoding="utf-8").splitlines()):
        rec = json.loads(line)
        message = rec.get("message") or {}
        if rec.get("type") != "assistant" or "usage" not in message:
            continue
        key = (message["id"], rec.get("requestId")) if "id" in message else n
        usage = message["usage"]
        split = usage.get("cache_creation", {})
        counts = [usage.get(k, 0) for k in USAGE] + [split.get(k, 0) for k in SPLIT]
        g = groups.setdefault(key, {"counts": [0] * 6, "uuids": []})
        g["counts"] = [max(a, b) for a, b in zip(g["counts"], counts, strict=True)]
        g["uuids"].append(rec["uuid"])
    return [(*key, *g["counts"], g["uuids"]) for key, g in groups.items() if isinstance(key, tuple)]


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_replies_equal_a_plain_count_over_the_raw_lines(tmp_path: Path, seed: int) -> None:
    path = write_modern_session(tmp_path, seed)
    t = kestro_sdk.read(path)
    got = [attrs(r, ("message_id", "request_id", *USAGE, *SPLIT, "uuids")) for r in t.replies]
    assert got == _plain_replies(path) and got
    assert t.problems == [] and t.title == f"session {seed}"
    tasks = {json.loads(line).get("toolUseResult", {}).get("agentId") for line in path.read_text().splitlines()}
    tasks.discard(None)
    assert {s.agent_id for s in t.subagents} == tasks and all(s.parent_tool_use_id for s in t.subagents)
    for sub in t.subagents:
        plain = _plain_replies(Path(sub.path))
        assert [(r.message_id, r.output_tokens) for r in sub.replies] == [(k[0], k[3]) for k in plain]


@pytest.mark.parametrize(
    ("pick", "text"),
    [
        (lambda t: t, "<Transcript session_id='sess-types' records=16 messages=4 subagents=0>"),
        (lambda t: t.records[0], "<Record line=1 type='permission-mode'>"),
        (lambda t: t.messages[0], f"<Message line=3 role='user' uuid='{uid(1)}'>"),
        (lambda t: t.replies[0], "<Reply message_id='msg_1' records=1 output_tokens=30>"),
        (lambda t: t.messages[1].usage, "<Usage input_tokens=10 output_tokens=30>"),
        (lambda t: t.messages[1].content[1], "<Block type='server_tool_use'>"),
        (lambda t: t.messages[1].content[2], "<ToolUseBlock type='tool_use'>"),
        (lambda t: t.messages[0].content[0], "<TextBlock type='text'>"),
        (lambda t: read("problems.jsonl").records[3], "<Problem line=4 reason='not a JSON object'>"),
    ],
    ids=["transcript", "record", "message", "reply", "usage", "block", "tool-use", "string-content", "problem"],
)
def test_reprs(pick: Any, text: str) -> None:
    assert repr(pick(read("every_type.jsonl"))) == text


def test_the_package_loads_the_complete_reader_only_when_asked() -> None:
    out = run_isolated("""
        import sys, kestro_sdk
        before = "kestro_sdk._reader" in sys.modules
        error = kestro_sdk.ReadError
        print(before, "kestro_sdk._reader" in sys.modules, error is sys.modules["kestro_sdk._reader"].ReadError,
              kestro_sdk.Transcript.__name__)
        """)  # fmt: skip
    assert (out.returncode, out.stdout.split()) == (0, ["False", "True", "True", "Transcript"]), out.stderr
