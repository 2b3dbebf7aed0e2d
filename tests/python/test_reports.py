"""The reports on hand-made rows: day, week, month and window boundaries in several zones, inclusive ranges,
costs with unpriced replies, breakdowns, the tool split, sessions and projects."""

from __future__ import annotations

import datetime as dt
import random
from dataclasses import dataclass, field
from zoneinfo import ZoneInfo

import pytest

from kestro_sdk import reports
from kestro_sdk.pricing import parse_prices
from kestro_sdk.reports import SessionFacts, Usage

UTC = dt.UTC
PRICES = parse_prices(
    """
models."kestro-large-2" = {input = 3.0, output = 15.0, cache_write_5m = 3.75, cache_write_1h = 6.0, cache_read = 0.3}
models."kestro-small-1" = {input = 1.0, output = 5.0}
""",
    "test",
)


@dataclass
class R:
    """One reply as a usage table gives it."""

    timestamp: dt.datetime
    model: str | None = "kestro-large-2"
    input_tokens: int = 1000
    output_tokens: int = 100
    cache_creation_tokens: int = 0
    cache_read_tokens: int = 0
    project: str = "-home-u-app"
    session_id: str | None = "s1"
    agent_id: str | None = None
    is_sidechain: bool = False
    logged_cost_usd: float | None = None
    tools: list[str] = field(default_factory=list)
    cache_creation_5m_tokens: int = 0
    cache_creation_1h_tokens: int = 0


def at(text: str) -> dt.datetime:
    return dt.datetime.fromisoformat(text.replace("Z", "+00:00"))


def usage(rows: list[R], sessions: list[SessionFacts] | None = None) -> Usage:
    return reports.price(rows, PRICES, "calculate", sessions=sessions or [])


def day(text: str | None) -> dt.date | None:
    return None if text is None else dt.date.fromisoformat(text)


def replies_by(result: reports.Result, key: str) -> dict[str, int]:
    return {str(getattr(r, key)): r.replies for r in result.rows}


# ---------------------------------------------------------------------------------------------
# Days, weeks and months in several zones

# 2025-03-30 01:00 UTC: Berlin goes from +01:00 to +02:00. 2025-11-02 06:00 UTC: New York from -04:00 to -05:00.
# 2025-06-01 is a Sunday.
PERIOD_CASES = [
    ("daily", "UTC", 0, ["2025-03-29T23:59:59Z", "2025-03-30T00:00:00Z"], {"2025-03-29": 1, "2025-03-30": 1}),
    ("daily", "Europe/Berlin", 0, ["2025-03-29T22:59:59Z", "2025-03-29T23:00:00Z"], {"2025-03-29": 1, "2025-03-30": 1}),
    # After the change Berlin's midnight is 22:00 UTC, not 23:00.
    ("daily", "Europe/Berlin", 0, ["2025-03-30T21:59:59Z", "2025-03-30T22:00:00Z"], {"2025-03-30": 1, "2025-03-31": 1}),
    ("daily", "Europe/Berlin", 0, ["2025-03-30T22:00:00Z", "2025-03-30T22:59:59Z"], {"2025-03-31": 2}),
    ("daily", "America/New_York", 0, ["2025-11-02T03:59:59Z", "2025-11-02T04:00:00Z"], {"2025-11-01": 1, "2025-11-02": 1}),
    ("daily", "America/New_York", 0, ["2025-11-03T04:59:59Z", "2025-11-03T05:00:00Z"], {"2025-11-02": 1, "2025-11-03": 1}),
    ("daily", "Asia/Kolkata", 0, ["2025-06-01T18:29:59Z", "2025-06-01T18:30:00Z"], {"2025-06-01": 1, "2025-06-02": 1}),
    ("daily", "Pacific/Chatham", 0, ["2025-06-01T11:14:59Z", "2025-06-01T11:15:00Z"], {"2025-06-01": 1, "2025-06-02": 1}),
    ("weekly", "UTC", 0, ["2025-06-01T23:00:00Z", "2025-06-02T00:00:00Z"], {"2025-05-26": 1, "2025-06-02": 1}),
    ("weekly", "UTC", 6, ["2025-05-31T23:59:59Z", "2025-06-01T00:00:00Z", "2025-06-07T12:00:00Z"],
     {"2025-05-25": 1, "2025-06-01": 2}),
    ("weekly", "America/Los_Angeles", 0, ["2025-06-02T06:59:59Z", "2025-06-02T07:00:00Z"], {"2025-05-26": 1, "2025-06-02": 1}),
    ("weekly", "Asia/Tokyo", 0, ["2025-06-01T14:59:59Z", "2025-06-01T15:00:00Z"], {"2025-05-26": 1, "2025-06-02": 1}),
    # A week across the turn of the year keeps its Monday in the old year.
    ("weekly", "UTC", 0, ["2024-12-30T00:00:00Z", "2025-01-05T23:59:59Z"], {"2024-12-30": 2}),
    ("monthly", "UTC", 0, ["2025-01-31T23:59:59Z", "2025-02-01T00:00:00Z"], {"2025-01": 1, "2025-02": 1}),
    ("monthly", "Europe/Berlin", 0, ["2025-01-31T22:59:59Z", "2025-01-31T23:00:00Z"], {"2025-01": 1, "2025-02": 1}),
    ("monthly", "America/New_York", 0, ["2025-03-01T04:59:59Z", "2025-04-01T03:59:59Z", "2025-04-01T04:00:00Z"],
     {"2025-02": 1, "2025-03": 1, "2025-04": 1}),
]  # fmt: skip


@pytest.mark.parametrize("report, zone, week_start, stamps, expected", PERIOD_CASES,
                         ids=[f"{c[0]}-{c[1]}-{c[2]}-{c[3][0]}" for c in PERIOD_CASES])  # fmt: skip
def test_days_weeks_and_months_are_local_to_the_zone(
    report: str, zone: str, week_start: int, stamps: list[str], expected: dict[str, int]
) -> None:
    data, tz = usage([R(at(s)) for s in stamps]), ZoneInfo(zone)
    if report == "weekly":
        result, key = reports.weekly(data, tz=tz, start_of_week=week_start), "week"
    else:
        result, key = getattr(reports, report)(data, tz=tz), {"daily": "date", "monthly": "month"}[report]
    assert replies_by(result, key) == expected


RANGE_CASES = [
    ("2025-06-02", "2025-06-03", "UTC", {"2025-06-02": 1, "2025-06-03": 2}),
    ("2025-06-03", "2025-06-03", "UTC", {"2025-06-03": 2}),
    (None, "2025-06-01", "UTC", {"2025-06-01": 1}),
    ("2025-06-04", None, "UTC", {"2025-06-04": 1}),
    # 2025-06-03T23:30Z is already the 4th in Berlin.
    ("2025-06-04", "2025-06-04", "Europe/Berlin", {"2025-06-04": 2}),
]
RANGE_STAMPS = ["2025-06-01T10:00:00Z", "2025-06-02T10:00:00Z", "2025-06-03T00:00:00Z", "2025-06-03T23:30:00Z",
                "2025-06-04T10:00:00Z"]  # fmt: skip


@pytest.mark.parametrize(
    "since, until, zone, expected", RANGE_CASES, ids=[f"{c[0]}..{c[1]}-{c[2]}" for c in RANGE_CASES]
)
def test_since_and_until_are_local_days_both_included(
    since: str | None, until: str | None, zone: str, expected: dict[str, int]
) -> None:
    result = reports.daily(
        usage([R(at(s)) for s in RANGE_STAMPS]), tz=ZoneInfo(zone), since=day(since), until=day(until)
    )
    assert replies_by(result, "date") == expected
    assert result.totals.replies == sum(expected.values())


@pytest.mark.parametrize("order, first", [("asc", "2025-06-01"), ("desc", "2025-06-04")])
def test_order(order: reports.Order, first: str) -> None:
    result = reports.daily(usage([R(at(s)) for s in RANGE_STAMPS]), order=order)
    assert str(result.rows[0].date) == first


# ---------------------------------------------------------------------------------------------
# Sums and costs

COST_CASES = [
    # rows (model, input, output), expected cost of the day, unpriced replies
    ("all priced", [("kestro-large-2", 1_000_000, 0), ("kestro-small-1", 0, 1_000_000)], 8.0, 0),
    ("one unknown model", [("kestro-large-2", 1_000_000, 0), ("mystery-9", 5, 5)], 3.0, 1),
    ("nothing priced", [("mystery-9", 5, 5), (None, 1, 1)], None, 2),
    ("empty replies cost nothing whatever their model", [("mystery-9", 0, 0)], 0.0, 0),
]


@pytest.mark.parametrize("name, rows, cost, unpriced", COST_CASES, ids=[c[0] for c in COST_CASES])
def test_cost_is_the_sum_over_priced_replies(
    name: str, rows: list[tuple[str | None, int, int]], cost: float | None, unpriced: int
) -> None:
    data = usage([R(at("2025-06-01T10:00:00Z"), m, i, o) for m, i, o in rows])
    (day,) = reports.daily(data).rows
    assert day.cost_usd == (pytest.approx(cost) if cost is not None else None)
    assert day.unpriced_replies == unpriced
    assert day.replies == len(rows)


def test_rows_and_totals_add_up_and_breakdown_splits_by_model() -> None:
    rows = [
        R(at("2025-06-01T10:00:00Z"), "kestro-large-2", 10, 1, 100, 1000),
        R(at("2025-06-01T11:00:00Z"), "kestro-small-1", 20, 2, 0, 0),
        R(at("2025-06-02T11:00:00Z"), "mystery-9", 30, 3, 0, 0),
        R(at("2025-06-02T12:00:00Z"), "kestro-large-2", 40, 4, 0, 0, logged_cost_usd=99.0),
    ]
    result = reports.daily(usage(rows), breakdown=True)
    first, second = result.rows
    assert (first.input_tokens, first.output_tokens, first.cache_creation_tokens, first.cache_read_tokens) == (
        30, 3, 100, 1000)  # fmt: skip
    assert first.total_tokens == 1133
    assert first.models == ["kestro-large-2", "kestro-small-1"]
    assert [(b.model, b.total_tokens) for b in first.breakdown] == [("kestro-large-2", 1111), ("kestro-small-1", 22)]
    assert sum(b.cost_usd or 0 for b in first.breakdown) == pytest.approx(first.cost_usd)
    # calculate mode ignores the logged 99.0
    assert second.cost_usd == pytest.approx((40 * 3 + 4 * 15) / 1e6)
    assert second.unpriced_replies == 1 and second.models == ["kestro-large-2", "mystery-9"]
    t = result.totals
    assert (t.total_tokens, t.replies, t.unpriced_replies) == (1133 + 77, 4, 1)
    assert t.cost_usd == pytest.approx(first.cost_usd + second.cost_usd)
    assert result.unpriced_models == ["mystery-9"]


def test_models_report_groups_by_model() -> None:
    rows = [R(at("2025-06-01T10:00:00Z"), m, 1_000_000, 0) for m in ("kestro-small-1", "kestro-large-2",
                                                                     "kestro-large-2", None)]  # fmt: skip
    result = reports.models(usage(rows))
    assert [(r.model, r.replies, r.cost_usd) for r in result.rows] == [
        ("kestro-large-2", 2, 6.0), ("kestro-small-1", 1, 1.0), (None, 1, None)]  # fmt: skip


# ---------------------------------------------------------------------------------------------
# Tools


def test_a_reply_calling_several_tools_is_split_equally() -> None:
    rows = [
        R(at("2025-06-01T10:00:00Z"), input_tokens=3, output_tokens=0, tools=["Read", "Bash", "Read"]),
        R(at("2025-06-01T10:01:00Z"), input_tokens=1_000_000, output_tokens=0, tools=["Read"]),
        R(at("2025-06-01T10:02:00Z"), input_tokens=7, output_tokens=0),
    ]
    result = reports.tools(usage(rows))
    by = {r.tool: r for r in result.rows}
    assert (by["Read"].calls, by["Read"].replies, by["Bash"].calls, by["Bash"].replies) == (3, 2, 1, 1)
    # 3 tokens in two equal parts cannot both be whole: one part gets the rounding, the sum stays 3.
    assert by["Read"].input_tokens + by["Bash"].input_tokens == 1_000_003
    assert {by["Read"].input_tokens - 1_000_000, by["Bash"].input_tokens} == {1, 2}
    assert by[None].input_tokens == 7 and by[None].calls == 0
    assert by["Bash"].cost_usd == pytest.approx(1.5 * 3 / 1e6)
    assert by["Read"].errors is None  # the rows do not say which calls failed


@pytest.mark.parametrize("seed", range(5))
def test_tool_columns_add_up_to_the_totals(seed: int) -> None:
    rng = random.Random(seed)
    names = ["Read", "Edit", "Bash", "Grep", "Task"]
    rows = [
        R(at("2025-06-01T10:00:00Z") + dt.timedelta(minutes=i), rng.choice(["kestro-large-2", "mystery-9"]),
          rng.randrange(10**6), rng.randrange(10**4), rng.randrange(10**5), rng.randrange(10**6),
          tools=rng.sample(names, rng.randrange(4)) * rng.randrange(1, 3))
        for i in range(200)
    ]  # fmt: skip
    result = reports.tools(usage(rows))
    for name in ("input_tokens", "output_tokens", "cache_creation_tokens", "cache_read_tokens", "total_tokens"):
        assert sum(getattr(r, name) for r in result.rows) == getattr(result.totals, name), name
    assert sum(r.cost_usd or 0 for r in result.rows) == pytest.approx(result.totals.cost_usd)
    assert sum(r.calls for r in result.rows) == sum(len(r.tools) for r in rows)


def test_tool_errors_are_counted_when_the_rows_carry_them() -> None:
    @dataclass
    class E(R):
        tool_errors: list[str] = field(default_factory=list)

    rows = [E(at("2025-06-01T10:00:00Z"), tools=["Bash", "Bash"], tool_errors=["Bash"]),
            E(at("2025-06-01T10:00:00Z"), tools=["Read"])]  # fmt: skip
    by = {r.tool: r.errors for r in reports.tools(usage(rows)).rows}
    assert by == {"Bash": 1, "Read": 0}


# ---------------------------------------------------------------------------------------------
# 5-hour windows

BLOCK_CASES = [
    ("one window", ["2025-06-01T10:17:00Z", "2025-06-01T14:59:59Z"],
     [("2025-06-01T10:00", "2025-06-01T15:00", 2, False)]),
    ("the first reply at the end opens the next", ["2025-06-01T10:17:00Z", "2025-06-01T15:00:00Z"],
     [("2025-06-01T10:00", "2025-06-01T15:00", 1, False), ("2025-06-01T15:00", "2025-06-01T20:00", 1, False)]),
    ("the next window starts at its own first reply's hour",
     ["2025-06-01T10:17:00Z", "2025-06-01T14:30:00Z", "2025-06-01T15:45:00Z"],
     [("2025-06-01T10:00", "2025-06-01T15:00", 2, False), ("2025-06-01T15:00", "2025-06-01T20:00", 1, False)]),
    ("a gap is marked", ["2025-06-01T22:30:00Z", "2025-06-02T09:05:00Z"],
     [("2025-06-01T22:00", "2025-06-02T03:00", 1, False), ("2025-06-02T03:00", "2025-06-02T09:00", 0, True),
      ("2025-06-02T09:00", "2025-06-02T14:00", 1, False)]),
]  # fmt: skip


@pytest.mark.parametrize("name, stamps, expected", BLOCK_CASES, ids=[c[0] for c in BLOCK_CASES])
@pytest.mark.parametrize("zone", ["UTC", "Asia/Kolkata"])
def test_windows_are_five_hours_from_the_hour_in_utc(
    name: str, stamps: list[str], expected: list[tuple[str, str, int, bool]], zone: str
) -> None:
    rows = [R(at(s)) for s in reversed(stamps)]  # the order of the input does not matter
    result = reports.blocks(usage(rows), tz=ZoneInfo(zone), now=at("2030-01-01T00:00:00Z"))
    got = [(b.start.astimezone(UTC).strftime("%Y-%m-%dT%H:%M"), b.end.astimezone(UTC).strftime("%Y-%m-%dT%H:%M"),
            b.replies, b.is_gap) for b in result.rows]  # fmt: skip
    assert got == expected
    assert not any(b.is_active for b in result.rows)
    assert all(b.start.utcoffset() == ZoneInfo(zone).utcoffset(b.start.replace(tzinfo=None)) for b in result.rows)


def test_active_window_time_left_burn_rate_and_projection() -> None:
    rows = [
        R(at("2025-06-01T02:00:00Z"), input_tokens=10_000, output_tokens=0),  # an earlier window
        R(at("2025-06-01T10:10:00Z"), input_tokens=1_000_000, output_tokens=0),
        R(at("2025-06-01T11:50:00Z"), input_tokens=1_000_000, output_tokens=0),
    ]
    result = reports.blocks(usage(rows), now=at("2025-06-01T12:00:00Z"), token_limit=5_000_000)
    past, gap, active = result.rows
    assert gap.is_gap and not past.is_active and active.is_active
    assert [b.state for b in result.rows] == ["window", "gap", "active"]
    assert active.time_left_seconds == 3 * 3600
    assert active.tokens_per_hour == 1_000_000  # 2M tokens in the 2 hours since 10:00
    assert active.cost_per_hour == pytest.approx(3.0)
    assert active.projected_total_tokens == 5_000_000
    assert active.projected_cost_usd == pytest.approx(15.0)
    assert (active.token_limit, active.limit_remaining_tokens) == (5_000_000, 3_000_000)
    assert past.time_left_seconds is None and past.limit_remaining_tokens == 4_990_000
    assert gap.limit_remaining_tokens is None


@pytest.mark.parametrize("now, active", [
    ("2025-06-01T14:59:59Z", True), ("2025-06-01T15:00:00Z", False), ("2025-06-01T09:59:59Z", False),
])  # fmt: skip
def test_the_window_is_active_from_its_start_to_just_before_its_end(now: str, active: bool) -> None:
    result = reports.blocks(usage([R(at("2025-06-01T10:30:00Z"))]), now=at(now))
    assert result.rows[0].is_active is active


@pytest.mark.parametrize("stamps_tokens, expected_limit", [
    ([("2025-06-01T00:00:00Z", 500), ("2025-06-01T06:00:00Z", 900), ("2025-06-01T12:00:00Z", 2000)], 900),
    ([("2025-06-01T12:00:00Z", 2000)], None),  # only the active window: no past one to take the largest of
])  # fmt: skip
def test_max_limit_is_the_largest_past_window(stamps_tokens: list[tuple[str, int]], expected_limit: int | None) -> None:
    rows = [R(at(s), input_tokens=n, output_tokens=0) for s, n in stamps_tokens]
    result = reports.blocks(usage(rows), now=at("2025-06-01T13:00:00Z"), token_limit="max")
    assert result.extra["token_limit"] == expected_limit
    active = result.rows[-1]
    assert active.is_active
    assert active.limit_remaining_tokens == (None if expected_limit is None else expected_limit - 2000)


# ---------------------------------------------------------------------------------------------
# Sessions and projects


def facts(session: str, agent: str | None = None, project: str = "-home-u-app", **kw: object) -> SessionFacts:
    return SessionFacts(project, session, agent, **kw)  # type: ignore[arg-type]


def test_sessions_give_activity_title_agents_and_active_time() -> None:
    rows = [
        R(at("2025-06-01T10:00:00Z"), session_id="s1"),
        R(at("2025-06-01T10:05:00Z"), session_id="s1", agent_id="a1", is_sidechain=True),
        R(at("2025-06-01T10:06:00Z"), session_id="s1", agent_id="a2", is_sidechain=True),
        R(at("2025-06-02T10:00:00Z"), session_id="s2", project="-home-u-api"),
    ]
    sessions = [
        facts("s1", title="Fix the parser", first_timestamp=at("2025-06-01T09:59:00Z"),
              last_timestamp=at("2025-06-01T10:30:00Z"), turn_duration_ms=90_000, prompt_active_ms=5_000),
        facts("s1", "a1", first_timestamp=at("2025-06-01T10:04:00Z"), last_timestamp=at("2025-06-01T10:40:00Z"),
              turn_duration_ms=999_000),
        facts("s2", project="-home-u-api", title=None, prompt_active_ms=60_000),
    ]  # fmt: skip
    result = reports.sessions(usage(rows, sessions), tz=ZoneInfo("Europe/Berlin"))
    s1, s2 = result.rows
    assert (s1.session_id, s1.title, s1.subagents, s1.replies) == ("s1", "Fix the parser", 2, 3)
    assert (s1.active_seconds, s1.active_time_source) == (90.0, "turn_duration")  # the agent's own turns not added
    assert s1.first_activity == at("2025-06-01T09:59:00Z") and s1.last_activity == at("2025-06-01T10:40:00Z")
    assert str(s1.first_activity.tzinfo) == "Europe/Berlin"
    assert (s2.active_seconds, s2.active_time_source, s2.title) == (60.0, "prompts", None)
    assert s2.first_activity == s2.last_activity == at("2025-06-02T10:00:00Z")  # no timestamps in its facts
    assert [r.session_id for r in reports.sessions(usage(rows, sessions), projects=["api"]).rows] == ["s2"]

    projects = {p.project: p for p in reports.projects(usage(rows, sessions + [
        facts("s3", prompt_active_ms=1_000)]), order="desc").rows}  # fmt: skip
    app = projects["-home-u-app"]
    assert (app.sessions, app.subagents, app.replies, app.active_time_source) == (1, 2, 3, "mixed")
    assert app.active_seconds == 91.0
    assert projects["-home-u-api"].active_time_source == "prompts"


def test_usage_refuses_costs_that_do_not_match_the_rows() -> None:
    with pytest.raises(ValueError, match="2 rows but 1 costs"):
        Usage([R(at("2025-06-01T10:00:00Z"))] * 2, [0.0])


# ---------------------------------------------------------------------------------------------
# The status line

STATUS_CASES = [
    # replies (UTC, each 1M input tokens of kestro-large-2: $3), now, zone, today's cost, window cost, seconds left
    ("a chain of windows without a pause",
     ["2025-06-01T00:30:00Z", "2025-06-01T03:30:00Z", "2025-06-01T06:30:00Z", "2025-06-01T09:30:00Z",
      "2025-06-01T12:30:00Z"], "2025-06-01T12:40:00Z", "UTC", 15.0, 3.0, 4 * 3600 + 20 * 60),
    ("after a pause of 5 hours", ["2025-06-01T01:10:00Z", "2025-06-01T07:30:00Z", "2025-06-01T08:00:00Z"],
     "2025-06-01T09:00:00Z", "UTC", 9.0, 6.0, 3 * 3600),
    ("today is the local day", ["2025-06-01T21:30:00Z", "2025-06-01T22:30:00Z"], "2025-06-01T23:00:00Z",
     "Europe/Berlin", 3.0, 6.0, 3 * 3600),
    ("no active window", ["2025-06-01T01:00:00Z"], "2025-06-01T06:00:00Z", "UTC", 3.0, None, None),
]  # fmt: skip


@pytest.mark.parametrize("name, stamps, now, zone, today, window, left", STATUS_CASES, ids=[c[0] for c in STATUS_CASES])
def test_status(
    name: str, stamps: list[str], now: str, zone: str, today: float, window: float | None, left: float | None
) -> None:
    rows = [R(at(s), input_tokens=1_000_000, output_tokens=0, session_id=f"s{i % 2}") for i, s in enumerate(stamps)]
    s = reports.status(usage(rows), tz=ZoneInfo(zone), now=at(now), session="s1")
    assert s.today_cost_usd == pytest.approx(today)
    assert s.window_cost_usd == (None if window is None else pytest.approx(window))
    assert s.window_time_left_seconds == left
    assert s.session_found == (len(stamps) > 1)
    assert s.session_cost_usd == (pytest.approx(3.0 * (len(stamps) // 2)) if len(stamps) > 1 else None)
