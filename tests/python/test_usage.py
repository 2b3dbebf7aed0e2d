"""The usage scan: each reply once across files and folders, filters, per-file scans, Arrow, costs."""

from __future__ import annotations

import datetime as dt
import json
import math
import shutil
from pathlib import Path
from typing import Any

import pytest
from modern_logs import write_modern_session

import kestro_sdk
from conftest import COUNTS
from kestro_sdk import pricing
from kestro_sdk._scan import scan_files

DATA = Path(__file__).resolve().parent.parent / "data" / "scan"
BASE_A, BASE_B = DATA / "base_a", DATA / "base_b"
UTC = dt.UTC


def by_key(table: Any) -> dict[Any, Any]:
    return {(r.message_id, r.request_id, r.input_tokens): r for r in table}


def totals(rows: Any) -> tuple[int, ...]:
    rows = list(rows)
    return (len(rows), *(sum(getattr(r, c) for r in rows) for c in COUNTS))


# ---- each reply once ------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("bases", "want"),
    [
        ([BASE_A, BASE_B], (8, 142, 307, 100, 60, 40, 1200)),
        ([BASE_B, BASE_A], (8, 142, 307, 100, 60, 40, 1200)),
        ([BASE_A], (7, 131, 295, 100, 60, 40, 1200)),
        ([BASE_B], (2, 111, 212, 0, 0, 0, 1000)),
        ([BASE_A, BASE_A], (7, 131, 295, 100, 60, 40, 1200)),
    ],
    ids=["both", "both-reversed", "a-only", "b-only", "same-folder-twice"],
)
def test_totals_count_each_reply_once(bases: list[Path], want: tuple[int, ...]) -> None:
    assert totals(kestro_sdk.scan_usage(bases)) == want


def test_a_reply_in_several_files_takes_the_first_file_and_the_largest_figures() -> None:
    rows = {r.message_id: r for r in kestro_sdk.scan_usage([BASE_B, BASE_A]) if r.message_id}
    copied = rows["msg_a2"]  # in s1 (06-01, output 20, $0.5) and s2 (06-02, output 25, $0.7)
    assert (copied.session_id, copied.project, copied.output_tokens, copied.logged_cost_usd, copied.timestamp,
            copied.tools) == ("s1", "-home-dev-app", 25, 0.7, dt.datetime(2025, 6, 1, 9, 5, tzinfo=UTC), ["Bash", "Grep"])  # fmt: skip
    # msg_b1 is in base_a's s2 and base_b's s4: path order picks base_a.
    assert (rows["msg_b1"].session_id, rows["msg_b1"].agent_id) == ("s2", None)


def test_a_streamed_reply_is_one_row_with_its_final_counts_and_a_sub_agents_carry_its_agent() -> None:
    rows = {r.message_id: r for r in kestro_sdk.scan_usage(BASE_A)}
    row = rows["msg_a1"]
    assert [getattr(row, c) for c in COUNTS] == [10, 50, 100, 60, 40, 200]
    assert (row.timestamp, row.model, row.tools, row.logged_cost_usd, row.request_id) == (
        dt.datetime(2025, 6, 1, 9, 0, 1, tzinfo=UTC), "kestro-large-2", ["Read"], None, "req_a1")  # fmt: skip
    row = rows["msg_c1"]
    assert (row.agent_id, row.is_sidechain, row.session_id, row.model) == ("x1", True, "s1", "kestro-small-1")


def test_records_without_a_message_id_are_replies_of_their_own() -> None:
    rows = [r for r in kestro_sdk.scan_usage(BASE_A, projects=["lib"]) if r.message_id is None]
    assert sorted((r.input_tokens, r.output_tokens) for r in rows) == [(3, 4), (5, 6)]


# ---- filters ----------------------------------------------------------------------------------


ALL = {"msg_a1", "msg_a2", "msg_c1", "msg_b1", "msg_d1", None, "msg_e1"}
JUNE_1 = {"msg_a1", "msg_a2", "msg_c1"}
JUNE_3 = {"msg_d1", None, "msg_e1"}
PLUS_2 = dt.timezone(dt.timedelta(hours=2))


@pytest.mark.parametrize(
    ("kwargs", "want_ids"),
    [
        ({}, ALL),
        ({"subagents": False}, ALL - {"msg_c1"}),
        ({"since": dt.date(2025, 6, 2)}, ALL - JUNE_1),
        ({"until": dt.date(2025, 6, 2)}, JUNE_1 | {"msg_b1"}),
        ({"since": dt.date(2025, 6, 3), "until": dt.date(2025, 6, 3)}, JUNE_3),
        ({"until": dt.datetime(2025, 6, 3, 23, 59, 59, tzinfo=UTC)}, ALL - {"msg_e1"}),
        ({"until": dt.datetime(2025, 6, 3, 23, 59, 59, 999000)}, ALL),
        ({"since": dt.datetime(2025, 6, 1, 11, 6, tzinfo=PLUS_2)}, ALL - JUNE_1),
        ({"since": dt.datetime(2025, 6, 1, 9, 5, tzinfo=UTC)}, ALL - JUNE_1 | {"msg_a2"}),
        ({"projects": ["lib"]}, {"msg_d1", None}),
        ({"projects": "lib"}, {"msg_d1", None}),
        ({"projects": ["nothing", "app"]}, ALL - {"msg_d1", None}),
        ({"projects": ["nothing"]}, set()),
    ],
    ids=[
        "none", "no-subagents", "since-date", "until-date", "one-day", "until-second", "naive-until-is-utc",
        "since-other-zone", "since-is-inclusive", "project", "project-str", "projects-any", "project-none",
    ],
)  # fmt: skip
def test_filters(kwargs: dict[str, Any], want_ids: set[str | None]) -> None:
    table = kestro_sdk.scan_usage([BASE_A, BASE_B], **kwargs)
    assert {r.message_id for r in table} == want_ids


BAD_CALLS = {
    "since-text": (lambda: kestro_sdk.scan_usage(BASE_A, since="2025-06-01"), TypeError),
    "threads-zero": (lambda: kestro_sdk.scan_usage(BASE_A, threads=0), ValueError),
    "project-number": (lambda: kestro_sdk.scan_usage(BASE_A, projects=[1]), TypeError),
    "item-short": (lambda: scan_files([("a",)]), TypeError),
    "item-text": (lambda: scan_files(["ab"]), TypeError),
    "item-negative": (lambda: scan_files([(Path("x"), -1)]), (ValueError, OverflowError)),
    "item-number": (lambda: scan_files([3]), TypeError),
}


@pytest.mark.parametrize(("call", "error"), BAD_CALLS.values(), ids=BAD_CALLS.keys())
def test_bad_arguments(call: Any, error: Any) -> None:
    with pytest.raises(error):
        call()


def test_paths_take_pathlike_and_tilde(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    shutil.copytree(BASE_B, tmp_path / "projects")
    monkeypatch.setenv("HOME", str(tmp_path))
    assert len(kestro_sdk.scan_usage("~/projects")) == 2
    assert len(kestro_sdk.scan_usage()) == 0  # ~/.kestro/projects does not exist: nothing, no error
    assert len(kestro_sdk.scan_usage([tmp_path / "projects"], threads=1)) == 2


def test_problems_are_listed_per_file_and_nothing_is_printed(capfd: pytest.CaptureFixture[str]) -> None:
    table = kestro_sdk.scan_usage([BASE_A, BASE_B])
    assert [(Path(p).name, n, [line for line, _ in first]) for p, n, first in table.problems] == [
        ("s3.jsonl", 2, [3, 6])
    ]
    reasons = [reason for _, reason in table.problems[0][2]]
    assert reasons[0].startswith("not JSON") and reasons[1] == "not a JSON object"
    assert capfd.readouterr() == ("", "")


# ---- one file from an offset -------------------------------------------------------------------


@pytest.mark.parametrize(("path", "want"), [
    (BASE_A / "-home-dev-app" / "s1.jsonl", ("s1", None, "Fix the build", dt.datetime(2025, 6, 1, 9, 0, tzinfo=UTC),
                                             dt.datetime(2025, 6, 1, 9, 10, 5, tzinfo=UTC), 4000, 300000, 2)),
    (BASE_A / "-home-dev-app" / "s2.jsonl", ("s2", None, "Resumed work", dt.datetime(2025, 6, 2, 9, 59, tzinfo=UTC),
                                             dt.datetime(2025, 6, 2, 12, 0, tzinfo=UTC), None, 120000, 2)),
    (BASE_A / "-home-dev-app" / "s1" / "subagents" / "agent-x1.jsonl",
     ("s1", "x1", None, dt.datetime(2025, 6, 1, 9, 2, tzinfo=UTC), dt.datetime(2025, 6, 1, 9, 3, tzinfo=UTC), None,
      60000, 1)),
], ids=["titles-and-turns", "two-prompts", "sub-agent"])  # fmt: skip
def test_file_facts(path: Path, want: tuple[Any, ...]) -> None:
    (f,) = scan_files([(path, 0)])
    got = (f.session_id, f.agent_id, f.title, f.first_timestamp, f.last_timestamp, f.turn_duration_ms,
           f.prompt_active_ms, len(f.rows))  # fmt: skip
    assert got == want
    st = path.stat()
    assert (f.start, f.end, f.size, f.error, f.dev, f.ino, f.mtime_ns) == (0, st.st_size, st.st_size, None, st.st_dev,
                                                                           st.st_ino, st.st_mtime_ns)  # fmt: skip
    assert {r.project for r in f.rows} == {"-home-dev-app"}


def log(tmp_path: Path, data: bytes) -> Path:
    path = tmp_path / "proj" / "s.jsonl"
    path.parent.mkdir(exist_ok=True)
    path.write_bytes(data)
    return path


def test_a_scan_from_an_offset_reads_only_what_follows(tmp_path: Path) -> None:
    source = (BASE_A / "-home-dev-app" / "s2.jsonl").read_bytes()
    lines = source.splitlines(keepends=True)
    offset = len(lines[0]) + len(lines[1])  # past the copy of msg_a2
    # Bytes before the offset are never read: garbage there makes no problem.
    path = log(tmp_path, b"\xff" * offset + b"".join(lines[2:]))
    (f,) = scan_files([(path, offset)])
    assert [r.message_id for r in f.rows] == ["msg_b1"]
    assert (f.start, f.end, f.lines, f.problems, f.title) == (offset, len(source), 3, [], "Resumed work")


def test_a_grown_file_resumes_where_the_last_scan_ended(tmp_path: Path) -> None:
    lines = (BASE_A / "-home-dev-app" / "s2.jsonl").read_bytes().splitlines(keepends=True)
    path = log(tmp_path, lines[0] + lines[1] + lines[2] + lines[3][:40])  # the writer is half-way through line 4
    (first,) = scan_files([(path, 0)])
    assert first.end == len(lines[0] + lines[1] + lines[2])
    assert [r.message_id for r in first.rows] == ["msg_a2"]
    assert [line for line, _ in first.problems] == [4]
    path.write_bytes(b"".join(lines))
    (second,) = scan_files([(path, first.end)])
    assert [r.message_id for r in second.rows] == ["msg_b1"]
    assert (second.end, second.problems) == (len(b"".join(lines)), [])


def test_a_last_line_without_a_line_feed_counts_when_it_reads(tmp_path: Path) -> None:
    data = (BASE_B / "-home-dev-app" / "s4.jsonl").read_bytes().rstrip(b"\n")
    (f,) = scan_files([(log(tmp_path, data), 0)])
    assert (f.end, len(f.rows), f.lines) == (len(data), 2, 3)


def test_files_that_cannot_be_read_are_reported_not_raised(tmp_path: Path) -> None:
    missing = tmp_path / "p" / "gone.jsonl"
    good = BASE_B / "-home-dev-app" / "s4.jsonl"
    gone, ok = scan_files([(missing, 0), (str(good), 0)], threads=2)
    assert gone.error and len(gone.rows) == 0 and gone.problems[0][0] == 0
    assert (ok.error, len(ok.rows), ok.path) == (None, 2, str(good))


# ---- Arrow -----------------------------------------------------------------------------------


def test_the_arrow_stream_holds_the_rows() -> None:
    pa = pytest.importorskip("pyarrow")
    table = kestro_sdk.scan_usage([BASE_A, BASE_B])
    arrow = pa.RecordBatchReader.from_stream(table).read_all()
    assert arrow.num_rows == len(table)
    assert arrow.schema.field("timestamp").type == pa.timestamp("us", tz="UTC")
    assert arrow.schema.field("tools").type == pa.list_(pa.field("item", pa.string(), nullable=False))
    assert "cost_usd" not in arrow.schema.names
    columns = arrow.to_pydict()
    for i, row in enumerate(table):
        for name in arrow.schema.names:
            assert columns[name][i] == getattr(row, name), (i, name)


def test_the_arrow_stream_of_an_empty_table_and_with_costs() -> None:
    pa = pytest.importorskip("pyarrow")
    empty = kestro_sdk.scan_usage(BASE_A, projects=["nothing"])
    assert pa.table(empty).num_rows == 0
    priced = kestro_sdk.scan_usage(BASE_A).with_costs(pricing.parse_prices(TOML_PRICES), mode="calculate")
    costs = pa.table(priced).column("cost_usd").to_pylist()
    assert costs == [row.cost_usd for row in priced]
    # The capsule can be dropped unread, or read twice from two capsules.
    priced.__arrow_c_stream__()
    assert pa.table(priced).num_rows == pa.table(priced).num_rows == len(priced)


# ---- costs -----------------------------------------------------------------------------------

TOML_PRICES = 'models."kestro-large-2" = {input = 2.0, output = 10.0, cache_write_5m = 4.0, cache_write_1h = 8.0, cache_read = 1.0}'
JSON_PRICES = json.dumps({"vendor/kestro-large-2": {
    "input_cost_per_token": 2e-6, "output_cost_per_token": 10e-6, "cache_creation_input_token_cost": 4e-6,
    "cache_creation_input_token_cost_above_1hr": 8e-6, "cache_read_input_token_cost": 1e-6}})  # fmt: skip

# Hand sums at 2 / 10 / 4 / 8 / 1 dollars per million input / output / 5-minute / 1-hour / read tokens.
HAND = {
    ("msg_a1", 10): (10 * 2 + 50 * 10 + 60 * 4 + 40 * 8 + 200 * 1) / 1e6,
    ("msg_a2", 5): (5 * 2 + 25 * 10) / 1e6,
    ("msg_c1", 7): None,  # kestro-small-1 has no price
    ("msg_b1", 100): None,
    ("msg_d1", 1): (1 * 2 + 2 * 10) / 1e6,
    (None, 3): (3 * 2 + 4 * 10) / 1e6,
    (None, 5): (5 * 2 + 6 * 10) / 1e6,
    ("msg_e1", 11): (11 * 2 + 12 * 10) / 1e6,
}


@pytest.mark.parametrize("source", [TOML_PRICES, JSON_PRICES], ids=["toml", "json"])
@pytest.mark.parametrize(
    ("mode", "logged"), [("calculate", None), ("auto", 0.7), ("display", 0.7)], ids=["calculate", "auto", "display"]
)
def test_costs_equal_hand_sums(source: str, mode: str, logged: float | None) -> None:
    table = kestro_sdk.scan_usage([BASE_A, BASE_B]).with_costs(pricing.parse_prices(source), mode=mode)  # type: ignore[arg-type]
    assert table.has_costs and len(table) == 8
    for row in table:
        want = HAND[(row.message_id, row.input_tokens)]
        if row.message_id == "msg_a2" and logged is not None:
            want = logged
        elif mode == "display":
            want = None
        if want is None:
            assert row.cost_usd is None, row
        else:
            assert row.cost_usd == pytest.approx(want, rel=1e-12), row
    assert table.unpriced_models == (["kestro-small-1"] if mode != "display" else ["kestro-large-2", "kestro-small-1"])


def test_costs_leave_the_table_they_came_from_alone() -> None:
    plain = kestro_sdk.scan_usage(BASE_B)
    priced = plain.with_costs(pricing.parse_prices(TOML_PRICES))
    assert (plain.has_costs, [r.cost_usd for r in plain]) == (False, [None, None])
    assert [r.cost_usd for r in priced] == [None, pytest.approx(142 / 1e6)]
    with pytest.raises(ValueError):
        plain.with_costs(pricing.parse_prices(TOML_PRICES), mode="guess")  # type: ignore[arg-type]


# ---- agreement with the complete reader -----------------------------------------------------------


def reader_totals(folder: Path) -> tuple[int, ...]:
    """A plain sum over read()'s replies, sub-agents included."""
    replies: list[Any] = []
    for path in sorted(folder.rglob("*.jsonl")):
        if "subagents" in path.parts:
            continue
        pending = [kestro_sdk.read(path)]
        while pending:
            t = pending.pop()
            replies.extend(t.replies)
            pending.extend(t.subagents)
    names = ("input_tokens", "output_tokens", "cache_creation_input_tokens", "ephemeral_5m_input_tokens",
             "ephemeral_1h_input_tokens", "cache_read_input_tokens")  # fmt: skip
    return (len(replies), *(sum(getattr(r, n) for r in replies) for n in names))


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_scan_totals_equal_a_sum_over_the_readers_replies(tmp_path: Path, seed: int) -> None:
    project = tmp_path / "-home-dev-app"
    project.mkdir()
    for i in range(3):
        write_modern_session(project, seed * 10 + i, turns=6 + i)
    want = reader_totals(project)
    assert want[0] > 0 and want[4] > 0  # the trees have replies and 1-hour writes
    for threads in (1, 2):
        assert totals(kestro_sdk.scan_usage(tmp_path, threads=threads)) == want


def test_the_scan_keeps_its_rows_alive() -> None:
    table = kestro_sdk.scan_usage(BASE_B)
    rows = list(table)
    del table
    assert [r.output_tokens for r in rows] == [200, 12]
    assert not math.isnan(rows[0].timestamp.timestamp())


def test_the_cache_on_the_per_file_scan_agrees_with_the_whole_scan() -> None:
    from kestro_sdk import cache

    loaded = cache.load_usage([BASE_A, BASE_B], use_cache=False)
    table = kestro_sdk.scan_usage([BASE_A, BASE_B])

    def seen(rows: Any) -> list[tuple[Any, ...]]:
        return sorted((r.message_id or "", r.session_id, r.project, r.output_tokens, r.timestamp) for r in rows)

    assert seen(loaded.rows) == seen(table)


TIERED = """
[models."kestro-large-2"]
input = 2.0
output = 10.0
[models."kestro-large-2".tier]
above = 1000
input = 4.0
output = 20.0
"""


@pytest.mark.parametrize(
    ("model", "usage", "cost", "unpriced"),
    [
        ("kestro-large-2", {"input_tokens": 1000, "output_tokens": 10}, (1000 * 2 + 10 * 10) / 1e6, []),
        ("kestro-large-2", {"input_tokens": 1001, "output_tokens": 10}, (1001 * 4 + 10 * 20) / 1e6, []),
        ("kestro-large-2", {"input_tokens": 1, "cache_read_input_tokens": 1000}, None, ["kestro-large-2"]),
        ("vendor/kestro-large-2-20250101", {"input_tokens": 10}, 10 * 2 / 1e6, []),
        ("kestro-unknown", {"input_tokens": 0, "output_tokens": 0}, 0.0, []),
        ("kestro-unknown", {"input_tokens": 1}, None, ["kestro-unknown"]),
    ],
    ids=["at-threshold", "above-threshold", "tier-rate-unknown", "normalised-name", "zero-unknown", "unknown"],
)
def test_costs_through_tiers_names_and_zero_replies(
    tmp_path: Path, model: str, usage: dict[str, int], cost: float | None, unpriced: list[str]
) -> None:
    line = {"type": "assistant", "uuid": "u1", "timestamp": "2025-06-01T08:00:00Z", "sessionId": "s",
            "message": {"id": "m", "model": model, "content": "x", "usage": usage}}  # fmt: skip
    (tmp_path / "p").mkdir()
    (tmp_path / "p" / "s.jsonl").write_text(json.dumps(line) + "\n")
    table = kestro_sdk.scan_usage(tmp_path).with_costs(pricing.parse_prices(TIERED), mode="calculate")
    (row,) = table
    assert row.cost_usd == (None if cost is None else pytest.approx(cost, rel=1e-12))
    assert table.unpriced_models == unpriced
