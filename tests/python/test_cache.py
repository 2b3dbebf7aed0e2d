"""The usage cache: what a repeated report re-reads after each kind of change to the logs, a reply straddling
the old end of a grown file, a corrupt, foreign, outdated or locked cache, and two writers at once."""

from __future__ import annotations

import datetime as dt
import json
import marshal
import os
import sqlite3
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

from conftest import dumps, record, tool_result, tool_use, usage, write_log
from kestro_sdk import cache
from pyscan import Scanner

HERE = Path(__file__).parent


def reply(n: int, out: int, *, mid: str | None = None, ts: str = "2025-06-01T10:00:00Z", tools: tuple[str, ...] = (),
          **kw: Any) -> dict[str, Any]:  # fmt: skip
    content = [tool_use(f"t{n}-{i}", name) for i, name in enumerate(tools)] or "ok"
    line = record("assistant", n, ts=ts, model="kestro-large-2", usage=usage(100, out), content=content, **kw)
    line["message"]["id"] = mid = mid or f"msg_{n}"
    line["requestId"] = f"req_{mid}"
    return line


def append(path: Path, *lines: dict[str, Any] | str) -> None:
    with path.open("a", encoding="utf-8") as f:
        f.writelines(dumps(line) + "\n" for line in lines)


def summary(loaded: cache.Loaded) -> dict[str, Any]:
    """What a report would see: replies per project and session with their output tokens."""
    return {
        "rows": sorted((r.project, r.session_id, r.message_id, r.output_tokens, r.timestamp.isoformat(), r.tools,
                        sorted(r.tool_errors)) for r in loaded.rows),
        "sessions": sorted((s.project, s.session_id or "", s.agent_id or "", s.turn_duration_ms or 0)
                           for s in loaded.sessions),
        "problems": (loaded.problems.files, loaded.problems.lines),
    }  # fmt: skip


def replies(loaded: cache.Loaded) -> list[tuple[Any, ...]]:
    """Each reply's project, session, output and time, from the rows or from the groups' single replies."""
    if loaded.groups:
        return sorted((g.project, g.session_id, one.output_tokens, one.start) for g in loaded.groups
                      for one in g.singles())  # fmt: skip
    return sorted((r.project, r.session_id, r.output_tokens, cache._ts(r.timestamp)) for r in loaded.rows)


@pytest.fixture
def tree(tmp_path: Path) -> Path:
    base = tmp_path / "projects"
    write_log(base / "-home-u-app" / "a.jsonl", [reply(1, 10), reply(2, 20, tools=("Read",))])
    write_log(base / "-home-u-app" / "b.jsonl", [reply(3, 30)])
    write_log(base / "-home-u-api" / "c.jsonl", [reply(4, 40)])
    return base


@pytest.fixture
def load(tree: Path, tmp_path: Path) -> Callable[..., tuple[cache.Loaded, Scanner]]:
    db = tmp_path / "cache" / "usage.sqlite3"

    def run(use_cache: bool = True, **kw: Any) -> tuple[cache.Loaded, Scanner]:
        scanner = Scanner()
        return cache.load_usage([tree], use_cache=use_cache, path=db, scanner=scanner, **kw), scanner

    return run


APP = "-home-u-app"


def grow(base: Path) -> None:
    append(base / APP / "a.jsonl", reply(5, 50))


def straddle(base: Path) -> None:
    # The same reply again with more output: a streamed reply whose last record came after the last report.
    append(base / APP / "a.jsonl", reply(6, 25, mid="msg_2", ts="2025-06-01T10:00:05Z", tools=("Bash",)))


def answer_an_old_call(base: Path) -> None:
    # The result of a call read by the last report: the grown part names it among the errors.
    failed = record("user", 30, ts="2025-06-01T10:00:09Z", content=[tool_result("t2-0", "boom", is_error=True)])
    append(base / APP / "a.jsonl", failed, reply(31, 5, tools=("Grep",)))


def grow_partial_line(base: Path) -> None:
    with (base / APP / "a.jsonl").open("a") as f:
        f.write(dumps(reply(7, 70))[:40])  # a line still being written: not read yet


def replace(base: Path) -> None:
    # Same size, new file: the rename gives it another inode.
    path = base / APP / "a.jsonl"
    path.with_suffix(".tmp").write_text(path.read_text().replace('"output_tokens": 20', '"output_tokens": 29'))
    os.replace(path.with_suffix(".tmp"), path)


def rewrite_in_place(base: Path) -> None:
    path = base / APP / "a.jsonl"
    st = path.stat()
    path.write_text(path.read_text().replace('"output_tokens": 20', '"output_tokens": 21'))
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 1_000_000))


def touch(base: Path) -> None:
    st = (base / APP / "b.jsonl").stat()
    os.utime(base / APP / "b.jsonl", ns=(st.st_atime_ns, st.st_mtime_ns + 5_000_000_000))


def rewrite_old_tail(base: Path) -> None:
    # Grown, but the bytes before the old end changed too: the cached part cannot be trusted.
    path = base / APP / "a.jsonl"
    path.write_text(path.read_text().replace('"output_tokens": 10', '"output_tokens": 11') + dumps(reply(9, 90)) + "\n")


A, B = f"{APP}/a.jsonl", f"{APP}/b.jsonl"
# change -> the (file, from the old end?) pairs read again
CHANGES: dict[str, tuple[Callable[[Path], Any], list[tuple[str, bool]]]] = {
    "nothing": (lambda base: None, []),
    "grow": (grow, [(A, True)]),
    "straddle": (straddle, [(A, True)]),
    "answer_an_old_call": (answer_an_old_call, [(A, True)]),
    "grow_partial_line": (grow_partial_line, [(A, True)]),
    "truncate": (lambda base: write_log(base / A, [reply(1, 10)]), [(A, False)]),
    "replace": (replace, [(A, False)]),
    "rewrite_in_place": (rewrite_in_place, [(A, False)]),
    "rewrite_old_tail": (rewrite_old_tail, [(A, False)]),
    "delete": (lambda base: (base / B).unlink(), []),
    "touch": (touch, [(B, False)]),
    "add": (lambda base: write_log(base / "-home-u-api/d/subagents/agent-x.jsonl", [reply(8, 80, agentId="x")]),
            [("-home-u-api/d/subagents/agent-x.jsonl", False)]),
}  # fmt: skip


@pytest.mark.parametrize("detail", ["rows", "groups"])
@pytest.mark.parametrize("change, reread", CHANGES.values(), ids=CHANGES.keys())
def test_a_repeated_report_reads_only_what_changed_and_sees_what_a_fresh_read_sees(
    change: Callable[[Path], None], reread: list[tuple[str, bool]], tree: Path, load: Any, detail: str
) -> None:
    first, scanner = load(detail=detail)
    assert first.cache == "rebuilt" or first.cache == "used"
    assert len(scanner.calls) == 3
    old_sizes = {str(p): p.stat().st_size for p in tree.rglob("*.jsonl")}
    change(tree)
    warm, scanner = load(detail=detail)
    fresh, _ = load(use_cache=False)
    assert replies(warm) == replies(fresh)
    if detail == "rows":
        assert summary(warm) == summary(fresh)
    got = [(str(Path(p).relative_to(tree)), start > 0) for p, start in scanner.calls]
    assert got == reread
    for p, start in scanner.calls:
        if start:  # resumed exactly where the last complete line ended
            assert start == old_sizes[p]
    again, scanner = load(detail=detail)
    assert scanner.calls == [] and replies(again) == replies(fresh)


def test_a_reply_straddling_the_old_end_is_replaced_not_added(tree: Path, load: Any) -> None:
    load()
    straddle(tree)
    loaded, _ = load()
    outputs = {r.message_id: (r.output_tokens, r.tools) for r in loaded.rows}
    assert outputs == {"msg_1": (10, []), "msg_2": (25, ["Read", "Bash"]), "msg_3": (30, []), "msg_4": (40, [])}
    assert len(loaded.rows) == 4


def test_a_reply_in_several_files_counts_once_with_the_first_files_project(tree: Path, load: Any) -> None:
    # A resumed session copies earlier records: msg_4 now also sits in a file of another project.
    write_log(tree / "-home-u-aaa" / "z.jsonl", [reply(4, 45, session_id="copy")])
    loaded, _ = load()
    row = next(r for r in loaded.rows if r.message_id == "msg_4")
    assert (row.project, row.session_id, row.output_tokens) == ("-home-u-aaa", "copy", 45)
    assert len(loaded.rows) == 4


DAY = dt.datetime(2025, 6, 2, tzinfo=dt.UTC)
FILTERS = [
    ({"since": DAY}, {10, 11}),
    ({"since": dt.date(2025, 6, 2)}, {10, 11}),
    # until is inclusive, as --until and scan_usage's: a reply at that very instant is in.
    ({"until": DAY}, {1, 2, 3, 4, 10}),
    ({"until": DAY - dt.timedelta(microseconds=1)}, {1, 2, 3, 4}),
    ({"until": dt.date(2025, 6, 1)}, {1, 2, 3, 4}),  # a bare date: its whole UTC day
    ({"since": dt.datetime(2025, 6, 2, 0, 0, 1), "until": dt.date(2025, 6, 2)}, {11}),  # naive: UTC
    ({"subagents": False, "since": DAY}, set()),
    ({"projects": ["api"]}, {4}),
]


@pytest.mark.parametrize("detail", ["rows", "groups"])
@pytest.mark.parametrize("kw, replies", FILTERS, ids=[str(f[0]) for f in FILTERS])
def test_filters(tree: Path, load: Any, kw: dict[str, Any], replies: set[int], detail: str) -> None:
    late = [
        reply(10, 1, ts="2025-06-02T00:00:00Z", agentId="q"),
        reply(11, 2, ts="2025-06-02T00:00:01Z", isSidechain=True),
    ]
    write_log(tree / "-home-u-app" / "e.jsonl", late)
    outputs = {1: 10, 2: 20, 3: 30, 4: 40, 10: 1, 11: 2}
    load()  # the cache filled without filters, so that groups are cut by the bounds below
    loaded = load(detail=detail, **kw)[0]
    if detail == "rows":
        assert {r.message_id for r in loaded.rows} == {f"msg_{n}" for n in replies}
    else:
        got = sorted(one.output_tokens for g in loaded.groups for one in g.singles())
        assert got == sorted(outputs[n] for n in replies)
        assert sum(g.replies for g in loaded.groups) == len(replies)


def sql(statement: str, *args: Any) -> Callable[[Path], None]:
    def run(db: Path) -> None:
        with sqlite3.connect(db) as c:
            c.execute(statement, args)

    return run


def foreign(db: Path) -> None:
    db.unlink()
    with sqlite3.connect(db) as other:
        other.execute("CREATE TABLE notes (x)")
        other.execute("INSERT INTO notes VALUES (1)")


def truncated_file(db: Path) -> None:
    with db.open("r+b") as f:
        f.truncate(1000)


DAMAGE = {
    "corrupt": lambda db: db.write_bytes(b"SQLite format 3\x00" + b"\xff" * 4000),
    "garbage": lambda db: db.write_bytes(os.urandom(8192)),
    "foreign": foreign,
    "truncated_file": truncated_file,
    "mangled_rows": sql("UPDATE files SET rows = x'0102'"),
    "mangled_summary": sql("UPDATE files SET summary = x'0102'"),
    # Decodes, but not into what the cache writes.
    "reshaped_summary": sql("UPDATE files SET summary = ?", marshal.dumps((1, 2, [], [(1, 2)]))),
    "mangled_keys": sql("UPDATE files SET keys = x'010203'"),
    "other_version": lambda db: None,  # the test gives the package another version
    "other_schema": sql("PRAGMA user_version = 99"),
}


@pytest.mark.parametrize("detail", ["rows", "groups"])
@pytest.mark.parametrize("damage", DAMAGE)
def test_a_damaged_or_outdated_cache_never_changes_a_result_and_mends(
    damage: str, load: Any, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, detail: str
) -> None:
    expected = summary(load()[0])
    expected_replies = replies(load(use_cache=False)[0])
    db = tmp_path / "cache" / "usage.sqlite3"
    for suffix in ("-wal", "-shm"):
        Path(f"{db}{suffix}").unlink(missing_ok=True)
    if damage == "other_version":
        monkeypatch.setattr(cache, "__version__", "0.0.0-other")
    DAMAGE[damage](db)
    loaded, scanner = load(detail=detail)
    assert replies(loaded) == expected_replies
    if detail == "rows":
        assert summary(loaded) == expected
    # Nothing of the old cache was trusted, but for the replies that the groups do not need.
    assert len(scanner.calls) == (0 if (detail, damage) == ("groups", "mangled_rows") else 3)
    assert summary(load()[0]) == expected
    healed, scanner = load(detail=detail)
    assert scanner.calls == [] and replies(healed) == expected_replies and healed.cache == "used"


def test_replies_in_several_files_are_merged_even_when_their_cached_rows_do_not_decode(
    tree: Path, load: Any, tmp_path: Path
) -> None:
    write_log(tree / "-home-u-aaa" / "z.jsonl", [reply(4, 45, session_id="copy")])
    expected = replies(load(use_cache=False)[0])
    assert len(expected) == 4
    load()
    DAMAGE["mangled_rows"](tmp_path / "cache" / "usage.sqlite3")
    loaded, scanner = load(detail="groups")
    assert replies(loaded) == expected
    assert loaded.cache.startswith("bypassed") and len(scanner.calls) == 4  # read again, whole


def test_a_locked_cache_is_bypassed(load: Any, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, tree: Path) -> None:
    expected = summary(load()[0])
    grow(tree)
    expected_grown = summary(load(use_cache=False)[0])
    monkeypatch.setattr(cache, "BUSY_TIMEOUT_MS", 50)
    holder = sqlite3.connect(tmp_path / "cache" / "usage.sqlite3", isolation_level=None)
    holder.execute("BEGIN EXCLUSIVE")
    try:
        loaded, _ = load()
    finally:
        holder.execute("ROLLBACK")
        holder.close()
    assert loaded.cache.startswith("bypassed") and summary(loaded) == expected_grown != expected


def test_an_unwritable_cache_folder_is_bypassed(tree: Path, tmp_path: Path) -> None:
    (tmp_path / "file").write_text("")
    loaded = cache.load_usage([tree], path=tmp_path / "file" / "usage.sqlite3", scanner=Scanner())
    assert loaded.cache.startswith("bypassed") and len(loaded.rows) == 4


WRITER = """
import json, sys
from kestro_sdk import cache
from pyscan import Scanner
out = []
for _ in range(4):
    loaded = cache.load_usage([sys.argv[1]], path=sys.argv[2], scanner=Scanner())
    out.append([len(loaded.rows), sum(r.output_tokens for r in loaded.rows), loaded.cache])
print(json.dumps(out))
"""


def test_two_writers_at_once(tmp_path: Path) -> None:
    base = tmp_path / "many"
    for n in range(60):
        write_log(base / f"-p{n % 3}" / f"s{n:03d}.jsonl", [reply(n * 100 + i, i + 1) for i in range(20)])
    db = tmp_path / "c" / "usage.sqlite3"
    procs = [subprocess.Popen([sys.executable, "-c", WRITER, str(base), str(db)], cwd=HERE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True) for _ in range(2)]  # fmt: skip
    results = [p.communicate(timeout=120) for p in procs]
    for (out, err), p in zip(results, procs, strict=True):
        assert p.returncode == 0, err
        runs = json.loads(out)
        assert all(r[:2] == [60 * 20, 60 * 210] for r in runs), runs
    with sqlite3.connect(db) as c:
        assert c.execute("PRAGMA integrity_check").fetchone()[0] == "ok"
        assert c.execute("SELECT count(*) FROM files").fetchone()[0] == 60
    loaded = cache.load_usage([base], path=db, scanner=Scanner())
    assert len(loaded.rows) == 1200 and loaded.scanned == 0


def test_problems_in_a_grown_part_keep_their_line_numbers(tree: Path, load: Any) -> None:
    load()
    append(tree / "-home-u-app" / "a.jsonl", "{not json", reply(12, 1))
    warm, scanner = load()
    assert scanner.calls[0][1] > 0  # read from the old end only
    fresh, _ = load(use_cache=False)
    assert [(e.line, e.reason) for e in warm.problems.examples] == [(3, "not JSON")]
    assert warm.problems == fresh.problems


@pytest.mark.parametrize("batch", [1, 10**9], ids=["a file a batch", "one batch"])
def test_progress_is_reported_between_batches(
    tree: Path, load: Any, batch: int, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setattr(cache, "BATCH_BYTES", batch)
    seen: list[tuple[int, int]] = []
    scanner = Scanner()
    loaded = cache.load_usage([tree], use_cache=False, scanner=scanner, progress=lambda d, t: seen.append((d, t)))
    total = sum(p.stat().st_size for p in tree.rglob("*.jsonl"))
    assert seen[0] == (0, total) and seen[-1] == (total, total)
    assert len(seen) == (4 if batch == 1 else 2)
    assert summary(loaded) == summary(load(use_cache=False)[0])
    assert sorted(scanner.calls) == sorted((str(p), 0) for p in tree.rglob("*.jsonl"))


def _examples(_: Path) -> list[Path]:
    return sorted((HERE.parents[1] / "examples" / "projects").rglob("*.jsonl"))


def _legacy(folder: Path) -> list[Path]:
    from generated import write_session

    return [write_session(folder / f"legacy-{seed}.jsonl", 150_000, seed) for seed in (1, 2, 3)]


def _modern(folder: Path) -> list[Path]:
    from modern_logs import write_modern_session

    for seed in (1, 2, 3):
        write_modern_session(folder, seed, turns=10)
    return sorted(folder.rglob("*.jsonl"))


@pytest.mark.parametrize("logs", [_examples, _legacy, _modern], ids=["examples", "legacy", "modern"])
def test_the_test_scan_reads_logs_as_the_package_scan_does(tmp_path: Path, logs: Callable[[Path], list[Path]]) -> None:
    # The cache and the command are tested on pyscan; it must agree with the native per-file scan,
    # which is also what keeps the native scan's shortcuts honest.
    from kestro_sdk import _scan

    files = [(str(p), 0) for p in logs(tmp_path)]
    ours = {s.path: s for s in Scanner()(files)}

    row_fields = ("message_id", "request_id", "timestamp", "session_id", "agent_id", "is_sidechain", "model",
                  "input_tokens", "output_tokens", "cache_creation_tokens", "cache_creation_5m_tokens",
                  "cache_creation_1h_tokens", "cache_read_tokens", "logged_cost_usd", "tools", "tool_errors")  # fmt: skip
    file_fields = ("end", "lines", "size", "session_id", "agent_id", "title", "first_timestamp", "last_timestamp",
                   "turn_duration_ms", "prompt_active_ms", "open_calls", "stray_results")  # fmt: skip

    def facts(f: Any) -> list[Any]:
        rows = [[list(v) if n.startswith("tool") else v for n in row_fields for v in [getattr(r, n)]] for r in f.rows]
        return [getattr(f, n) for n in file_fields] + [[n for n, _ in f.problems], rows]

    natives = _scan.scan_files(files)
    assert sum(len(n.rows) for n in natives) > 0
    for native in natives:
        assert facts(native) == facts(ours[native.path]), native.path
    if logs is _legacy:  # the generated legacy logs mark some results as errors
        assert any(r.tool_errors for n in natives for r in n.rows)


def test_the_tools_report_counts_the_errors_the_native_scan_finds(tmp_path: Path) -> None:
    from kestro_sdk import reports
    from kestro_sdk.pricing import parse_prices

    base = tmp_path / "projects"
    write_log(base / "-home-u-app" / "s.jsonl", [
        reply(1, 10, tools=("Bash", "Read", "Bash")),
        record("user", 2, content=[tool_result("t1-0", "no", is_error=True), tool_result("t1-1", "ok", is_error=False),
                                   tool_result("t1-2", "no", is_error=True)]),
        record("user", 3, content=[tool_result("t1-0", "no", is_error=True)]),  # the same result again
        reply(4, 10, tools=("Read",)),
        record("user", 5, content=[tool_result("t4-0", "no", is_error=True)]),
    ])  # fmt: skip
    loaded = cache.load_usage([base], use_cache=False)
    usage = reports.price(loaded.rows, parse_prices("", "none"), "calculate", sessions=loaded.sessions)
    by = {r.tool: (r.calls, r.errors) for r in reports.tools(usage).rows}
    assert by == {"Bash": (2, 2), "Read": (2, 1)}
