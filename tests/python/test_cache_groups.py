"""Reports read from the cache's quarter-hour groups equal the same reports over rows read afresh.

One seeded tree holds what makes the groups take their slow turns: a resumed session that
copies (and outgrows) another's replies, sub-agents, logged and computed costs, zero
counts, an unpriced model, a tier crossed inside a group, a model with an unknown rate,
a daylight-saving change and a zone whose offset is not a whole number of quarter-hours.
"""

from __future__ import annotations

import datetime as dt
import json
import random
from pathlib import Path
from typing import Any

import pytest
from click.testing import CliRunner
from generated import session_lines
from modern_logs import write_modern_session

from conftest import record, usage, write_log
from kestro_sdk import cache, pricing, reports
from kestro_sdk.cli import main
from kestro_sdk.config import zone as named_zone

ZONES = ["UTC", "Europe/Berlin", "Asia/Kathmandu", "America/St_Johns", "Europe/Amsterdam"]
MODES = ["auto", "calculate", "display"]
REPORTS = ["daily", "weekly", "monthly", "sessions", "projects", "models", "tools", "blocks"]

# kestro-small-1 has no 1-hour write rate: replies with such writes stay unpriced.
PRICES = """
models."kestro-large-1" = {input = 3.0, output = 15.0, cache_write_5m = 3.75, cache_write_1h = 6.0, cache_read = 0.3, tier = {above = 50000, input = 6.0, output = 22.5, cache_write_5m = 7.5, cache_write_1h = 12.0, cache_read = 0.6}}
models."kestro-small-1" = {input = 0.8, output = 4.0, cache_write_5m = 1.0, cache_read = 0.08}
models."kestro-large-2" = {input = 3.1, output = 15.3, cache_write_5m = 3.7, cache_write_1h = 6.1, cache_read = 0.31}
"""


def reply(n: int, ts: str, model: str = "kestro-large-1", cost: float | None = None, **counts: int) -> dict[str, Any]:
    inp, out = counts.pop("inp", 100), counts.pop("out", 10)
    line = record("assistant", f"edge-{n}", ts=ts, model=model, cost=cost, usage=usage(inp, out, **counts),
                  session_id="edge", content="ok")  # fmt: skip
    line["message"]["id"] = f"msg_edge_{n}"
    line["requestId"] = f"req_edge_{n}"
    return line


def build(base: Path) -> None:
    copied: list[dict[str, Any]] = []
    for seed in range(3):
        docs = [json.loads(ln.replace("2025-06-0", f"2025-0{6 + seed}-0")) for ln in
                session_lines(random.Random(seed), 40_000)]  # fmt: skip
        for n, doc in enumerate(docs):
            if doc.get("type") == "assistant":  # each session its own ids: the generator numbers them alike
                doc["message"]["id"], doc["requestId"] = f"msg_{seed}_{n}", f"req_{seed}_{n}"
        write_log(base / "-home-u-legacy" / f"s{seed}.jsonl", docs)
        copied += json.loads(json.dumps(docs[1 : len(docs) // 3]))
    # A resumed session in another project copies earlier replies, some with more output: each is counted
    # once, in the first file's project, with the larger count.
    for i, doc in enumerate(copied):
        if doc.get("type") == "assistant" and i % 4 == 0:
            doc["message"]["usage"]["output_tokens"] += 7
    write_log(base / "-home-u-aaa-resumed" / "r.jsonl", copied)
    modern = base / "-home-u-modern"
    modern.mkdir(parents=True)
    for seed in range(3):
        write_modern_session(modern, seed, turns=8)
    write_log(base / "-home-u-edge" / "edge.jsonl", [
        reply(1, "2025-06-03T10:00:00Z", inp=0, out=0),  # zero counts cost 0 in every mode
        reply(2, "2025-06-03T10:01:00Z", cost=0.5, inp=0, out=0),
        reply(3, "2025-06-03T10:02:00Z", model="mystery-9"),  # no price
        reply(4, "2025-06-03T10:03:00Z", cache_read_input_tokens=80_000),  # above the tier, beside one below
        reply(5, "2025-06-03T10:04:00Z"),
        reply(6, "2025-06-03T10:05:00Z", "kestro-small-1", cache_creation_input_tokens=50,
              cache_creation={"ephemeral_5m_input_tokens": 10, "ephemeral_1h_input_tokens": 40}),  # unknown rate
        reply(7, "2025-06-03T10:06:00Z", "kestro-small-1"),
        reply(8, "2025-03-30T00:55:00Z", cost=0.25),  # Berlin moves its clocks at 01:00 UTC
        reply(9, "2025-03-30T01:05:00Z", cost=0.75),
        reply(10, "2025-06-03T21:50:00Z"),  # around midnight in Berlin and Kathmandu
        reply(11, "2025-06-03T22:10:00Z"),
        reply(12, "2025-06-03T18:14:00Z"),
        reply(13, "2025-06-03T18:16:00Z"),
        reply(14, "1936-05-01T23:35:00Z"),  # Amsterdam was 19 minutes 32 seconds ahead: local midnight at 23:40:28
        reply(15, "1936-05-01T23:44:00Z"),
        reply(16, "2025-12-25T00:02:00Z"),  # around the made-up zone's step back (see Stepped)
        reply(17, "2025-12-25T00:04:00Z"),
        reply(18, "2025-12-25T00:12:00Z"),
    ])  # fmt: skip


@pytest.fixture(scope="module")
def tree(tmp_path_factory: pytest.TempPathFactory) -> Path:
    root = tmp_path_factory.mktemp("groups")
    build(root / "projects")
    (root / "prices.toml").write_text(PRICES)
    return root


def as_json(tree: Path, *args: str) -> dict[str, Any]:
    result = CliRunner().invoke(main, [*args, "--json", "--base", str(tree / "projects"), "--prices",
                                       str(tree / "prices.toml")], prog_name="kestro-sdk")  # fmt: skip
    assert result.exit_code == 0, result.output
    doc: dict[str, Any] = json.loads(result.stdout)
    return doc


@pytest.mark.parametrize("zone", ZONES)
@pytest.mark.parametrize("mode", MODES)
def test_every_report_is_the_same_from_the_cache_and_without_it(
    tree: Path, zone: str, mode: str, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setenv("KESTRO_CACHE_DIR", str(tree / f"cache-{zone.replace('/', '-')}-{mode}"))
    monkeypatch.setenv("KESTRO_CONFIG", str(tree / "none.toml"))
    ranges = [[], ["--since", "2025-06-03", "--until", "2025-06-03"], ["--until", "2025-03-30"], ["--breakdown"]]
    for report in REPORTS:
        for extra in ranges if report in ("daily", "weekly", "monthly") else ranges[:2]:
            args = [report, "--timezone", zone, "--mode", mode, *extra]
            fresh = as_json(tree, *args, "--no-cache")
            assert as_json(tree, *args) == fresh, args  # filling the cache on the first, reading it after
            assert as_json(tree, *args) == fresh, args


def test_groups_take_the_slow_turns(tree: Path) -> None:
    """The tree does reach the cases above: copies, a tier inside a group, an unknown rate, a cut group."""
    loaded = cache.load_usage([tree / "projects"], path=tree / "turns.sqlite3", detail="groups")
    assert cache.load_usage([tree / "projects"], use_cache=False, detail="groups").groups == loaded.groups
    table = pricing.read_prices(tree / "prices.toml")
    priced = reports.price_groups(loaded.groups, table, "calculate")
    assert len(priced.groups) > len(loaded.groups)  # the tier and the unknown rate priced reply by reply
    rows = cache.load_usage([tree / "projects"], use_cache=False).rows
    assert sum(g.replies for g in loaded.groups) == len(rows) > len(loaded.groups)
    resumed = [g for g in loaded.groups if g.project == "-home-u-aaa-resumed"]
    assert sum(g.replies for g in resumed) == sum(r.project == "-home-u-aaa-resumed" for r in rows) > 0
    amsterdam = reports.daily(priced, tz=named_zone("Europe/Amsterdam"), until=dt.date(1936, 5, 2))
    assert [(r.date, r.replies) for r in amsterdam.rows] == [(dt.date(1936, 5, 1), 1), (dt.date(1936, 5, 2), 1)]


STEP = dt.datetime(2025, 12, 25, 0, 3)  # UTC
AHEAD = dt.timedelta(minutes=5)


class Stepped(dt.tzinfo):
    """UTC until STEP, then five minutes behind: a change of offset inside a quarter-hour whose two
    ends fall on the same local day, while a reply between them falls on the day before."""

    def fromutc(self, when: dt.datetime) -> dt.datetime:
        utc = when.replace(tzinfo=None)
        if utc < STEP:
            return when
        local = utc - AHEAD
        return local.replace(tzinfo=self, fold=int(STEP - AHEAD <= local < STEP))

    def utcoffset(self, when: dt.datetime | None) -> dt.timedelta:
        assert when is not None
        wall = when.replace(tzinfo=None, fold=0)
        later = wall >= STEP or (wall >= STEP - AHEAD and when.fold == 1)
        return -AHEAD if later else dt.timedelta(0)

    def dst(self, when: dt.datetime | None) -> dt.timedelta | None:
        return None

    def tzname(self, when: dt.datetime | None) -> str:
        return "STEPPED"


def test_a_change_of_offset_inside_a_quarter_hour_splits_its_group(tree: Path) -> None:
    rows = cache.load_usage([tree / "projects"], use_cache=False).rows
    groups = cache.load_usage([tree / "projects"], path=tree / "stepped.sqlite3", detail="groups").groups
    table = pricing.read_prices(tree / "prices.toml")
    by_rows, by_groups = reports.price(rows, table), reports.price_groups(groups, table)
    christmas = {"tz": Stepped(), "since": dt.date(2025, 12, 24), "until": dt.date(2025, 12, 25)}
    expected = reports.daily(by_rows, **christmas)
    assert [(r.date.day, r.replies) for r in expected.rows] == [(24, 1), (25, 2)]
    assert reports.daily(by_groups, **christmas) == expected


@pytest.mark.parametrize("zone", ZONES)
@pytest.mark.parametrize("mode", MODES)
def test_the_status_line_is_the_same_from_the_groups(tree: Path, zone: str, mode: str) -> None:
    rows = cache.load_usage([tree / "projects"], use_cache=False).rows
    groups = cache.load_usage([tree / "projects"], path=tree / f"status-{mode}.sqlite3", detail="groups").groups
    table = pricing.read_prices(tree / "prices.toml")
    by_rows, by_groups = reports.price(rows, table, mode), reports.price_groups(groups, table, mode)
    tz = named_zone(zone)
    stamps = sorted({r.timestamp for r in rows})
    nows = [stamps[0] + dt.timedelta(minutes=1), stamps[len(stamps) // 2],
            stamps[-1] + dt.timedelta(hours=4, minutes=59), dt.datetime(2025, 6, 3, 22, 5, tzinfo=dt.UTC),
            dt.datetime(2025, 6, 3, 10, 3, 30, tzinfo=dt.UTC)]  # fmt: skip
    sessions = [None, "edge", rows[0].session_id, "nobody"]
    for now in nows:
        for session in sessions:
            expected = reports.status(by_rows, tz=tz, now=now, session=session)
            assert reports.status(by_groups, tz=tz, now=now, session=session) == expected, (now, session)
