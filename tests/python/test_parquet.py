"""Parquet export: DuckDB reads the bucket, totals as the scan's, exporters side by side, reruns."""

from __future__ import annotations

import datetime as dt
import json
import os
import time
from pathlib import Path
from typing import Any

import pytest
from click.testing import CliRunner

import kestro_sdk
from conftest import COUNTS, image, record, run_isolated, text, tool_result, tool_use, usage, write_log
from kestro_sdk import pricing
from kestro_sdk.cli import main
from kestro_sdk.export import parquet

duckdb = pytest.importorskip("duckdb")
pq = pytest.importorskip("pyarrow.parquet")

SCAN = Path(__file__).resolve().parents[1] / "data" / "scan"
PRICES = pricing.parse_prices(
    'models."kestro-large-2" = {input = 3.0, output = 15.0, cache_write_5m = 3.75, cache_write_1h = 6.0, cache_read = 0.3}'
)


def sql(query: str) -> list[tuple[Any, ...]]:
    return duckdb.sql(query).fetchall()  # type: ignore[no-any-return]


def glob(out: Path, table: str) -> str:
    return f"read_parquet('{out}/{table}/*/*.parquet', hive_partitioning = true)"


def files(out: Path) -> dict[str, bytes]:
    """Every file under out by relative path, with its bytes; temporary files included."""
    return {str(p.relative_to(out)): p.read_bytes() for p in sorted(out.rglob("*")) if p.is_file()}


# ---------------------------------------------------------------------------------------------
# The bucket against the scan


@pytest.fixture(scope="module")
def bucket(tmp_path_factory: pytest.TempPathFactory) -> Path:
    out = tmp_path_factory.mktemp("bucket")
    parquet.to_parquet([SCAN / "base_a", SCAN / "base_b"], out, exporter_id="alice", prices=PRICES)
    return out


def test_duckdb_totals_equal_the_scans(bucket: Path) -> None:
    scan = kestro_sdk.scan_usage([SCAN / "base_a", SCAN / "base_b"]).with_costs(PRICES)
    rows = list(scan)
    want = [len(rows), *(sum(getattr(r, c) for r in rows) for c in COUNTS)]
    cost = sum(r.cost_usd for r in rows if r.cost_usd is not None)
    unpriced = sum(r.cost_usd is None for r in rows)
    assert unpriced > 0  # kestro-small-1 has no price here: its replies must not count as free

    got = sql(f"select count(*), {', '.join(f'sum({c})' for c in COUNTS)}, sum(cost_usd), count(*) - count(cost_usd) "
              f"from {glob(bucket, 'replies')}")[0]  # fmt: skip
    assert [int(v) for v in got[:7]] == want
    assert got[7] == pytest.approx(cost) and got[8] == unpriced

    # The sessions table adds up to the same, whichever session a copied reply counts in.
    sums = "replies, input_tokens, output_tokens, cache_creation_tokens, cache_read_tokens, cost_usd, unpriced_replies"
    per_session = sql(f"select {', '.join(f'sum({c})' for c in sums.split(', '))} from {glob(bucket, 'sessions')}")[0]
    assert [int(v) for v in per_session[:5]] == [want[0], want[1], want[2], want[3], want[6]]
    assert per_session[5] == pytest.approx(cost) and per_session[6] == unpriced


def test_messages_and_tool_calls_are_every_record_and_call_of_the_logs(bucket: Path) -> None:
    messages = calls = 0
    for base in ("base_a", "base_b"):
        for log in sorted((SCAN / base).glob("*/*.jsonl")):
            pending = [kestro_sdk.read(log)]
            while pending:
                t = pending.pop()
                messages += len(t.messages)
                calls += sum(len(m.tools) for m in t.messages)
                pending += t.subagents
    assert sql(f"select count(*) from {glob(bucket, 'messages')}") == [(messages,)]
    assert sql(f"select count(*) from {glob(bucket, 'tool_calls')}") == [(calls,)]
    # The sub-agent's prompt and reply carry its id; the main conversation's records carry none.
    assert sql(f"select agent_id, count(*) from {glob(bucket, 'messages')} where agent_id is not null group by 1") == [
        ("x1", 2)
    ]


def test_every_file_names_its_exporter_table_and_schema_version(bucket: Path) -> None:
    written = sorted(bucket.rglob("*.parquet"))
    assert {p.parent.parent.name for p in written} == set(parquet.TABLES)
    for path in written:
        assert path.name == "alice.parquet" and path.parent.name == "month=2025-06"
        meta = pq.read_metadata(path).metadata
        assert meta[b"kestro.schema_version"] == str(parquet.SCHEMA_VERSION).encode()
        assert meta[b"kestro.table"] == path.parent.parent.name.encode()
        assert pq.read_table(path, columns=["source"])["source"].unique().to_pylist() == ["alice"]


# ---------------------------------------------------------------------------------------------
# Tool calls


def _call_lines(input: Any, result: dict[str, Any] | None) -> list[dict[str, Any]]:
    """A prompt, a reply calling Read at 10:00:01, and (unless None) the result block at 10:00:03.250."""
    lines = [
        record("user", 1, ts="2026-03-01T10:00:00Z", session_id="s", content="go"),
        record("assistant", 2, parent=1, ts="2026-03-01T10:00:01Z", session_id="s", model="kestro-large-2",
               content=[tool_use("t1", "Read", input)], usage=usage(1, 1)),
    ]  # fmt: skip
    if result is not None:
        lines.append(record("user", 3, parent=2, ts="2026-03-01T10:00:03.250Z", session_id="s", content=[result]))
    return lines


def _calls(tmp_path: Path, lines: list[dict[str, Any]]) -> list[dict[str, Any]]:
    write_log(tmp_path / "p" / "-home-u-app" / "s.jsonl", lines)
    export(tmp_path / "p", tmp_path / "out", "me")
    return pq.read_table(tmp_path / "out" / "tool_calls").to_pylist()  # type: ignore[no-any-return]


def _nested(depth: int) -> Any:
    value: Any = {"leaf": [1, "x"]}
    for _ in range(depth):
        value = [value]
    return value


@pytest.mark.parametrize(
    "value",
    [
        {}, {"command": "ls é 漢字 🚀"}, {"a": [1, -2, 3.5, None, True, False, [], {}]},
        {"q": 'say "hi" \\ \n\t\r\b\f \x01\x1f \x7f'},
        {"big": 18446744073709551615, "small": -9223372036854775808, "zero": 0, "minus": -1},
        {"f": [1e-05, 1e16, 100.0, 0.1, -0.0, 2.5e-300, 123456789.125]},
        {"keys": {"é": 1, "\"": 2, "": 3}}, _nested(100),
    ],
    ids=["empty", "unicode", "scalars", "escapes", "integers", "reals", "keys", "deep"],
)  # fmt: skip
def test_input_bytes_are_the_size_of_the_compact_json(value: Any, tmp_path: Path) -> None:
    (row,) = _calls(tmp_path, _call_lines(value, tool_result("t1", "ok")))
    assert row["input_bytes"] == len(json.dumps(value, ensure_ascii=False, separators=(",", ":")).encode())


@pytest.mark.parametrize(
    ("result", "expected"),
    [
        (tool_result("t1", "a\né"), (True, 4, False, 2250)),
        (tool_result("t1", [text("x"), image(), text("é")], True), (True, 4, True, 2250)),
        ({"type": "tool_result", "tool_use_id": "t1"}, (True, 0, False, 2250)),
        (tool_result("other", "a"), (False, None, None, None)),
        (None, (False, None, None, None)),
    ],
    ids=["string", "blocks-error", "no-content", "other-call", "no-result"],
)
def test_a_call_is_paired_with_its_result(
    result: dict[str, Any] | None, expected: tuple[Any, ...], tmp_path: Path
) -> None:
    (row,) = _calls(tmp_path, _call_lines({"file": "x"}, result))
    assert (row["has_result"], row["result_bytes"], row["is_error"], row["duration_ms"]) == expected
    assert (row["tool"], row["tool_use_id"], row["timestamp"]) == ("Read", "t1", dt.datetime(2026, 3, 1, 10, 0, 1, tzinfo=dt.UTC))  # fmt: skip
    errors = pq.read_table(tmp_path / "out" / "sessions", columns=["tool_errors"])["tool_errors"].to_pylist()
    assert errors == [int(expected[2] is True)]


# ---------------------------------------------------------------------------------------------
# Months, exporters and reruns


def _reply_lines(sid: str, stamps: list[str], *, first: int = 1) -> list[dict[str, Any]]:
    """A prompt and a reply (with a Bash call and its result) per time; ids numbered from `first`."""
    lines: list[dict[str, Any]] = []
    for i, ts in enumerate(stamps):
        n = first + 3 * i
        lines += [
            record("user", n, parent=n - 1 if n > first else None, ts=ts, session_id=sid, content="go"),
            record("assistant", n + 1, parent=n, ts=ts, session_id=sid, model="kestro-large-2",
                   content=[text("ok"), tool_use(f"{sid}-t{n}", "Bash", {"command": "ls é"})],
                   usage=usage(100, 10), requestId=f"req-{sid}-{n}"),
            record("user", n + 2, parent=n + 1, ts=ts, session_id=sid, content=[tool_result(f"{sid}-t{n}", "a\nb")]),
        ]  # fmt: skip
        lines[-2]["message"]["id"] = f"msg-{sid}-{n}"
    return lines


def export(base: Path, out: Path, who: str, **kw: Any) -> parquet.ParquetExport:
    return parquet.to_parquet(base, out, exporter_id=who, prices=PRICES, **kw)


def replies_by(out: Path) -> list[tuple[str, str, int]]:
    return sql(f"select source, month, count(*)::int from {glob(out, 'replies')} group by all order by all")


@pytest.mark.parametrize(
    ("stamp", "month"),
    [
        ("2026-01-31T23:30:00-05:00", "2026-02"),  # still January where it was written
        ("2026-02-01T00:30:00+01:00", "2026-01"),  # already February where it was written
        ("2026-01-31T23:59:59.999Z", "2026-01"),
        ("2026-02-01T00:00:00Z", "2026-02"),
    ],
    ids=["west-of-utc", "east-of-utc", "last-ms", "first-instant"],
)
def test_rows_go_to_the_utc_month_whatever_the_local_zone(
    stamp: str, month: str, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setenv("TZ", "America/New_York")
    time.tzset()
    try:
        write_log(tmp_path / "p" / "-home-u-app" / "s.jsonl", _reply_lines("s", [stamp]))
        export(tmp_path / "p", tmp_path / "out", "me")
    finally:
        monkeypatch.undo()
        time.tzset()
    for table in parquet.TABLES:
        assert [p.parent.name for p in (tmp_path / "out" / table).glob("*/*.parquet")] == [f"month={month}"], table


@pytest.fixture
def tree(tmp_path: Path) -> Path:
    """Two projects: a January session, and two February sessions (one per project)."""
    base = tmp_path / "projects"
    write_log(base / "-home-u-app" / "jan.jsonl", _reply_lines("jan", ["2026-01-10T10:00:00Z", "2026-01-20T10:00:00Z"]))
    write_log(base / "-home-u-app" / "feb.jsonl", _reply_lines("feb", ["2026-02-03T10:00:00Z"]))
    write_log(base / "-home-u-lib" / "feb2.jsonl", _reply_lines("feb2", ["2026-02-04T10:00:00Z"]))
    return base


def test_exporters_share_a_bucket_and_a_rerun_replaces_its_own_months_and_keeps_months_gone_locally(
    tree: Path, tmp_path: Path
) -> None:
    out = tmp_path / "bucket"
    export(tree, out, "alice")
    export(tree, out, "bob")
    assert replies_by(out) == [
        ("alice", "2026-01", 2), ("alice", "2026-02", 2), ("bob", "2026-01", 2), ("bob", "2026-02", 2)
    ]  # fmt: skip
    assert sorted(p.name for p in (out / "sessions" / "month=2026-02").iterdir()) == ["alice.parquet", "bob.parquet"]
    before = files(out)
    (tree / "-home-u-app" / "jan.jsonl").unlink()
    write_log(tree / "-home-u-app" / "feb.jsonl", _reply_lines("feb", ["2026-02-03T10:00:00Z", "2026-02-05T10:00:00Z"]))
    result = export(tree, out, "alice")

    assert result.months == ["2026-02"]
    after = files(out)
    assert after.keys() == before.keys()  # nothing removed, no temporary file left behind
    changed = sorted(name for name in after if after[name] != before[name])
    assert changed == [f"{t}/month=2026-02/alice.parquet" for t in ("messages", "replies", "sessions", "tool_calls")]
    assert replies_by(out) == [
        ("alice", "2026-01", 2), ("alice", "2026-02", 3), ("bob", "2026-01", 2), ("bob", "2026-02", 2)
    ]  # fmt: skip


@pytest.mark.parametrize(
    ("since", "until", "months", "replies"),
    [
        (dt.date(2026, 1, 15), dt.date(2026, 1, 15), ["2026-01"], [("alice", "2026-01", 2)]),
        (dt.date(2026, 2, 4), None, ["2026-02"], [("alice", "2026-02", 2)]),
        (None, dt.datetime(2026, 1, 31, 23, 59, tzinfo=dt.UTC), ["2026-01"], [("alice", "2026-01", 2)]),
    ],
    ids=["mid-january", "from-february-4", "until-january-end"],
)
def test_a_date_window_exports_whole_months(
    tree: Path, tmp_path: Path, since: Any, until: Any, months: list[str], replies: list[Any]
) -> None:
    out = tmp_path / "bucket"
    assert export(tree, out, "alice", since=since, until=until).months == months
    assert replies_by(out) == replies


def test_exporting_some_sessions_keeps_the_others_rows_of_the_month(tree: Path, tmp_path: Path) -> None:
    out = tmp_path / "bucket"
    export(tree, out, "alice")
    log = write_log(tree / "-home-u-app" / "feb.jsonl",
                    _reply_lines("feb", ["2026-02-03T10:00:00Z", "2026-02-05T10:00:00Z"]))  # fmt: skip
    export(tree, out, "alice", sessions=[log])
    assert sql(f"select session_id, count(*)::int from {glob(out, 'replies')} group by 1 order by 1") == [
        ("feb", 2), ("feb2", 1), ("jan", 2)
    ]  # fmt: skip
    assert sql(f"select session_id, replies::int from {glob(out, 'sessions')} order by 1") == [
        ("feb", 2), ("feb2", 1), ("jan", 2)
    ]  # fmt: skip


def test_a_failed_write_leaves_every_file_as_it_was(
    tree: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    out = tmp_path / "bucket"
    export(tree, out, "alice")
    before = files(out)
    write_log(tree / "-home-u-app" / "feb.jsonl", _reply_lines("feb", ["2026-02-03T10:00:00Z", "2026-02-05T10:00:00Z"]))
    real, calls = pq.write_table, []

    def failing(table: Any, where: Any, **kw: Any) -> None:
        calls.append(where)
        if len(calls) == 3:
            raise OSError(28, "No space left on device")
        real(table, where, **kw)

    monkeypatch.setattr(pq, "write_table", failing)
    with pytest.raises(OSError, match="No space left"):
        export(tree, out, "alice", threads=1)
    assert files(out) == before


# ---------------------------------------------------------------------------------------------
# Names and the command


@pytest.mark.parametrize(
    ("exporter_id", "ok"),
    [
        ("alice", True), ("alice-laptop.2_b", True), ("A" * 64, True), (parquet.default_exporter_id(), True),
        ("", False), (".hidden", False), ("-rf", False), ("a/b", False), ("..", False), ("a b", False),
        ("a*", False), ("é", False), ("A" * 65, False), ("a\\b", False),
    ],
)  # fmt: skip
def test_exporter_ids_are_safe_file_names(exporter_id: str, ok: bool) -> None:
    if ok:
        assert parquet.check_exporter_id(exporter_id) == exporter_id
    else:
        with pytest.raises(ValueError, match="exporter id"):
            parquet.check_exporter_id(exporter_id)


@pytest.mark.parametrize(
    ("since", "until", "window"),
    [
        (None, None, (None, None)),
        (dt.date(2026, 1, 15), dt.date(2026, 1, 31), ("2026-01-01", "2026-02-01")),
        (dt.date(2025, 12, 1), dt.date(2025, 12, 31), ("2025-12-01", "2026-01-01")),
        (dt.datetime(2026, 2, 1, 0, 30, tzinfo=dt.timezone(dt.timedelta(hours=1))), None, ("2026-01-01", None)),
        (None, dt.datetime(2026, 3, 1), (None, "2026-04-01")),
    ],
    ids=["open", "january", "december", "offset-instant", "until-instant"],
)
def test_the_window_covers_whole_utc_months(since: Any, until: Any, window: tuple[str | None, str | None]) -> None:
    got = parquet.month_window(since, until)
    assert tuple(None if t is None else t.date().isoformat() for t in got) == window


def _cli(base: Path, *args: str) -> Any:
    return CliRunner().invoke(main, ["export", "--base", str(base), "--format", "parquet", *args])


@pytest.mark.parametrize(
    ("args", "sessions"),
    [(["--all"], ["feb", "feb2", "jan"]), (["u-lib"], ["feb2"]), (["jan"], ["jan"])],
    ids=["all", "project", "session"],
)
def test_the_command_exports_what_it_names(
    tree: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, args: list[str], sessions: list[str]
) -> None:
    monkeypatch.setenv("KESTRO_CONFIG", str(tmp_path / "config.toml"))
    monkeypatch.setenv("TZ", "UTC")
    out = tmp_path / "bucket"
    result = _cli(tree, *args, "--out", str(out), "--exporter-id", "carol")
    assert result.exit_code == 0, result.output
    assert "as carol" in result.output
    assert [r[0] for r in sql(f"select session_id from {glob(out, 'sessions')} order by 1")] == sessions


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--exporter-id", "../x"], "exporter id must be"),
        (["--redact"], "--redact applies to md, html and jsonl"),
    ],
    ids=["unsafe-id", "redact"],
)
def test_the_command_refuses_before_writing(tree: Path, tmp_path: Path, args: list[str], message: str) -> None:
    result = _cli(tree, "--all", "--out", str(tmp_path / "bucket"), *args)
    assert result.exit_code == 2 and message in result.output
    assert not (tmp_path / "bucket").exists()


BLOCK_PYARROW = """
import sys
class Blocker:
    def find_spec(self, name, path=None, target=None):
        if name == "pyarrow" or name.startswith("pyarrow."):
            raise ImportError("No module named " + repr(name))
sys.meta_path.insert(0, Blocker())
"""


@pytest.mark.parametrize(
    ("call", "expected"),
    [
        ("from kestro_sdk.export import parquet\n"
         "try:\n    parquet.to_parquet(BASE, OUT)\n"
         "except ImportError as e:\n    print(type(e).__name__, e)",
         "ParquetUnavailable Parquet export needs pyarrow: pip install 'kestro-sdk[parquet]'\n"),
        ("import runpy\n"
         "sys.argv = ['kestro-sdk', 'export', '--all', '--base', BASE, '--format', 'parquet', '--out', OUT]\n"
         "runpy.run_module('kestro_sdk', run_name='__main__')",
         "kestro-sdk: error: Parquet export needs pyarrow: pip install 'kestro-sdk[parquet]'\n"),
    ],
    ids=["library", "command"],
)  # fmt: skip
def test_without_pyarrow_it_says_how_to_install_it(tree: Path, tmp_path: Path, call: str, expected: str) -> None:
    out = tmp_path / "bucket"
    code = f"{BLOCK_PYARROW}\nBASE, OUT = {str(tree)!r}, {str(out)!r}\n{call}\n"
    done = run_isolated(code, env={**os.environ, "KESTRO_CONFIG": str(tmp_path / "c.toml")})
    shown = done.stdout if "print" in call else done.stderr
    assert shown.endswith(expected), (done.stdout, done.stderr)
    assert shown.count("\n") == 1
    assert done.returncode == (0 if "print" in call else 1)
    assert not out.exists()
