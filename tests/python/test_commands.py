"""The report subcommands and the status line, run in-process through the entry point (the logs read by the
plain Python scan of pyscan.py): JSON Schemas, CSV headers, exit codes and one-line errors, the config file,
time zones, the active window."""

from __future__ import annotations

import csv
import datetime as dt
import io
import json
from pathlib import Path
from typing import Any

import pytest
from click.testing import CliRunner, Result

from conftest import one_line_error, record, schema_check, tool_use, usage, write_log
from kestro_sdk import cache
from kestro_sdk.cli import main
from pyscan import Scanner

NOW = dt.datetime.now(dt.UTC).replace(microsecond=0)


def stamp(when: dt.datetime) -> str:
    return when.astimezone(dt.UTC).strftime("%Y-%m-%dT%H:%M:%S.000Z")


def reply(n: int, ts: str, model: str = "kestro-large-2", inp: int = 1_000_000, out: int = 0,
          tools: tuple[str, ...] = (), **kw: Any) -> dict[str, Any]:  # fmt: skip
    content = [tool_use(f"t{n}{i}", name) for i, name in enumerate(tools)] or "ok"
    line = record("assistant", n, ts=ts, model=model, usage=usage(inp, out), content=content, **kw)
    line["message"]["id"], line["requestId"] = f"msg_{n}", f"req_{n}"
    return line


@pytest.fixture(autouse=True)
def env(cli_env: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """A projects folder with two projects, read by the plain Python scan; returns the projects folder."""
    monkeypatch.setattr(cache, "native_scanner", lambda threads=None: Scanner())
    base = cli_env / "projects"
    app = base / "-home-u-app"
    write_log(app / "s1.jsonl", [
        {"type": "summary", "summary": "Fix the parser", "leafUuid": "x"},
        record("user", 1, ts="2025-06-01T22:00:00.000Z", session_id="s1", content="go"),
        reply(2, "2025-06-01T22:30:00.000Z", tools=("Read", "Bash"), session_id="s1"),
        reply(3, "2025-06-01T23:30:00.000Z", model="mystery-9", session_id="s1"),
        {"type": "system", "subtype": "turn_duration", "durationMs": 120_000, "timestamp": "2025-06-01T23:31:00.000Z"},
    ])  # fmt: skip
    write_log(app / "s1" / "subagents" / "agent-a1.jsonl", [
        reply(4, "2025-06-02T01:00:00.000Z", "kestro-small-1", tools=("Read",), session_id="s1", agentId="a1",
              isSidechain=True),
    ])  # fmt: skip
    write_log(base / "-home-u-api" / "s2.jsonl", [
        record("user", 5, ts="2025-06-09T10:00:00.000Z", session_id="s2", content="go"),
        reply(6, "2025-06-09T10:00:30.000Z", out=1_000_000, session_id="s2"),
    ])  # fmt: skip
    monkeypatch.setenv("KESTRO_PROJECTS", str(base))
    return base


def run(*args: str) -> Result:
    return CliRunner().invoke(main, list(args), prog_name="kestro-sdk")


def as_json(*args: str) -> dict[str, Any]:
    result = run(*args, "--json")
    assert result.exit_code == 0, result.output
    doc: dict[str, Any] = json.loads(result.stdout)
    return doc


REPORTS = ["daily", "weekly", "monthly", "sessions", "projects", "models", "tools", "blocks"]


SCHEMA_CASES = [(name, extra) for name in REPORTS for extra in ([], ["--timezone", "Asia/Tokyo", "--order", "desc"])]
SCHEMA_CASES += [(name, ["--breakdown"]) for name in ("daily", "weekly", "monthly", "sessions", "projects")]


@pytest.mark.parametrize("name, extra", SCHEMA_CASES, ids=[f"{n}{' '.join(['', *e])}" for n, e in SCHEMA_CASES])
def test_every_report_follows_its_schema_and_its_totals_cover_every_reply(name: str, extra: list[str]) -> None:
    doc = as_json(name, *extra)
    schema_check(doc, name)
    assert doc["totals"]["replies"] == 4
    assert doc["totals"]["unpriced_replies"] == 1 and doc["unpriced_models"] == ["mystery-9"]
    # 1M input of kestro-large-2 twice, 1M of kestro-small-1, 1M output of kestro-large-2 (bundled prices)
    assert doc["totals"]["total_tokens"] == 5_000_000
    if name != "blocks":
        assert sum(r["total_tokens"] for r in doc[name]) == 5_000_000


def test_a_schema_rejects_what_it_does_not_describe() -> None:
    import jsonschema

    doc = as_json("daily")
    doc["daily"][0]["cost"] = 1.0
    with pytest.raises(jsonschema.ValidationError):
        schema_check(doc, "daily")


def test_daily_in_json() -> None:
    doc = as_json("daily", "--timezone", "Europe/Berlin", "--breakdown")
    days = {d["date"]: d for d in doc["daily"]}
    assert list(days) == ["2025-06-02", "2025-06-09"]  # 22:30Z on the 1st is past midnight in Berlin
    first = days["2025-06-02"]
    assert (first["replies"], first["unpriced_replies"], first["models"]) == (
        3, 1, ["kestro-large-2", "kestro-small-1", "mystery-9"])  # fmt: skip
    assert [b["model"] for b in first["breakdown"]] == ["kestro-large-2", "kestro-small-1", "mystery-9"]
    assert [b["cost_usd"] for b in first["breakdown"]][2] is None
    assert doc["timezone"] == "Europe/Berlin"
    assert doc["problems"] == {"files": 0, "lines": 0, "examples": []}


@pytest.mark.parametrize("args, dates", [
    (["--since", "2025-06-02", "--until", "2025-06-02"], ["2025-06-02"]),
    (["--until", "20250601"], ["2025-06-01"]),
    (["--since", "2025-06-03"], ["2025-06-09"]),
    (["--project", "api"], ["2025-06-09"]),
    (["--no-subagents"], ["2025-06-01", "2025-06-09"]),
    (["--since", "2030-01-01"], []),
])  # fmt: skip
def test_ranges_and_filters(args: list[str], dates: list[str]) -> None:
    doc = as_json("daily", *args)
    schema_check(doc, "daily")
    assert [d["date"] for d in doc["daily"]] == dates


def test_sessions_and_projects_in_json() -> None:
    doc = as_json("sessions", "app")
    (s1,) = doc["sessions"]
    assert (s1["session_id"], s1["title"], s1["subagents"], s1["replies"]) == ("s1", "Fix the parser", 1, 3)
    assert (s1["active_seconds"], s1["active_time_source"]) == (120.0, "turn_duration")
    projects = {p["project"]: p for p in as_json("projects")["projects"]}
    assert projects["-home-u-api"]["active_time_source"] == "prompts"
    assert projects["-home-u-api"]["active_seconds"] == 30.0


def test_weekly_start_of_week() -> None:
    assert [w["week"] for w in as_json("weekly")["weekly"]] == ["2025-05-26", "2025-06-02", "2025-06-09"]
    assert [w["week"] for w in as_json("weekly", "--start-of-week", "sunday")["weekly"]] == ["2025-06-01",
                                                                                              "2025-06-08"]  # fmt: skip


def test_tools_split() -> None:
    tools = {t["tool"]: t for t in as_json("tools")["tools"]}
    assert tools["Read"]["calls"] == 2 and tools["Bash"]["calls"] == 1
    assert tools["Read"]["input_tokens"] == 1_500_000 and tools["Bash"]["input_tokens"] == 500_000
    assert tools[None]["replies"] == 2


TOKENS = "input_tokens,output_tokens,cache_creation_tokens,cache_read_tokens,total_tokens"
ACTIVITY = "first_activity,last_activity,subagents,active_seconds,active_time_source"
# The CSV columns are a format others load by position: their order is pinned here.
CSV_HEADERS = {
    **{name: f"{key},{TOKENS},replies,cost_usd,unpriced_replies,models"
       for name, key in (("daily", "date"), ("weekly", "week"), ("monthly", "month"))},
    "sessions": f"session_id,project,title,{ACTIVITY},{TOKENS},replies,cost_usd,unpriced_replies,models",
    "projects": f"project,sessions,{ACTIVITY},{TOKENS},replies,cost_usd,unpriced_replies,models",
    "models": f"model,{TOKENS},replies,cost_usd,unpriced_replies",
    "tools": f"tool,calls,errors,replies,{TOKENS},cost_usd,unpriced_replies",
    "blocks": f"start,end,is_gap,is_active,state,{TOKENS},replies,cost_usd,unpriced_replies,models,time_left_seconds,"
              "tokens_per_hour,cost_per_hour,projected_total_tokens,projected_cost_usd,token_limit,limit_remaining_tokens",
}  # fmt: skip


@pytest.mark.parametrize("name", REPORTS)
def test_csv_holds_the_rows_and_columns_of_the_json(name: str) -> None:
    result = run(name, "--csv")
    assert result.exit_code == 0, result.output
    header, *rows = list(csv.reader(io.StringIO(result.stdout)))
    doc = as_json(name)[name]
    assert ",".join(header) == CSV_HEADERS[name]
    assert header == [key for key in doc[0] if key != "breakdown"]
    assert len(rows) == len(doc) and all(len(row) == len(header) for row in rows)


def test_table_marks_unpriced_costs_and_sums_up_problems(env: Path) -> None:
    with (env / "-home-u-api" / "s2.jsonl").open("a") as f:
        f.write("{not json\n")
    result = run("daily")
    assert result.exit_code == 0, result.output
    assert "*" in result.stdout and "leaves out 1 reply of mystery-9 with no price" in result.stdout
    assert "Total" in result.stdout
    (line,) = result.stderr.splitlines()
    assert line.startswith("kestro-sdk: 1 line in 1 file skipped")


def test_narrow_terminal_keeps_the_essential_columns() -> None:
    result = CliRunner().invoke(main, ["daily"], prog_name="kestro-sdk", env={"COLUMNS": "60"})
    assert result.exit_code == 0
    assert all(len(line) <= 60 for line in result.stdout.splitlines())
    assert "Cost" in result.stdout and "Cache read" not in result.stdout


# The shared options' failures are checked once, in test_cli; these are the reports' own.
ERRORS = [
    (["weekly", "--start-of-week", "someday"], 2, "someday"),
    (["blocks", "--token-limit", "lots"], 2, "is not a positive number of tokens"),
    (["blocks", "--live", "--json"], 2, "--live draws a table"),
    (["sessions", "nope"], 1, "no project matches 'nope'"),
    (["statusline", "--timezone", "Mars/Olympus"], 2, "is not an IANA time zone"),
    (["statusline", "--bogus"], 2, "unrecognized arguments"),
    (["statusline", "--base", "/does/not/exist"], 1, "base folder not found"),
]  # fmt: skip


@pytest.mark.parametrize("args, code, text", ERRORS, ids=[" ".join(e[0]) for e in ERRORS])
def test_errors_are_one_line_with_their_exit_status(args: list[str], code: int, text: str) -> None:
    one_line_error(run(*args), code, text)


def test_config_file_gives_the_zone_and_the_command_line_wins(tmp_path: Path) -> None:
    (tmp_path / "config.toml").write_text('timezone = "Europe/Berlin"\nmode = "display"\n')
    doc = as_json("daily")
    assert doc["timezone"] == "Europe/Berlin" and doc["daily"][0]["date"] == "2025-06-02"
    assert doc["totals"]["cost_usd"] is None  # display mode: nothing logged a cost
    assert as_json("daily", "--timezone", "UTC", "--mode", "calculate")["daily"][0]["date"] == "2025-06-01"


def test_the_cache_serves_a_repeated_report(env: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    scanners: list[Scanner] = []

    def counting(threads: int | None = None) -> Scanner:
        scanners.append(Scanner())
        return scanners[-1]

    monkeypatch.setattr(cache, "native_scanner", counting)
    first = as_json("daily")
    assert len(scanners) == 1 and len(scanners[0].calls) == 3
    assert as_json("daily") == first and len(scanners) == 1  # nothing to read: no scan at all
    assert as_json("daily", "--no-cache") == first and len(scanners) == 2


def recent(env: Path, minutes_ago: list[int], limit_past: int | None = None) -> None:
    lines = [reply(100 + i, stamp(NOW - dt.timedelta(minutes=m)), session_id="live") for i, m in enumerate(minutes_ago)]
    if limit_past is not None:
        lines.insert(0, reply(99, stamp(NOW - dt.timedelta(hours=20)), inp=limit_past, session_id="live"))
    write_log(env / "-home-u-app" / "live.jsonl", lines)


def test_blocks_active_window(env: Path) -> None:
    recent(env, [30, 10], limit_past=3_000_000)
    doc = as_json("blocks", "--active", "--token-limit", "max")
    (active,) = doc["blocks"]
    assert active["is_active"] and active["replies"] == 2
    assert 0 < active["time_left_seconds"] <= 5 * 3600
    assert active["token_limit"] == 3_000_000 and active["limit_remaining_tokens"] == 1_000_000
    table = run("blocks", "--token-limit", "4000000")
    assert "active window:" in table.stdout and "token limit 4,000,000: 50% used" in table.stdout


def test_statusline(env: Path) -> None:
    result = run("statusline")
    assert (result.exit_code, result.stdout) == (0, "$0.00 today | no active window\n")
    recent(env, [30, 10])
    # Just after midnight (UTC here) the older reply was yesterday's.
    today = sum(3.0 for m in (30, 10) if (NOW - dt.timedelta(minutes=m)).date() == NOW.date())
    result = run("statusline", "--session", str(env / "-home-u-app" / "live.jsonl"))
    assert result.exit_code == 0, result.output
    assert result.stdout == f"${today:.2f} today | $6.00 window (" + result.stdout.split("(")[1].split(")")[0] + \
        ") | $6.00 session\n"  # fmt: skip
    assert run("statusline", "--session", "nope").stdout.endswith("| session not found\n")


def test_blocks_live_redraws_until_interrupted(env: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    import time

    recent(env, [30])
    naps: list[float] = []

    def nap(seconds: float) -> None:
        naps.append(seconds)
        if len(naps) == 3:
            raise KeyboardInterrupt
        recent(env, [30, 5])  # a new reply between two frames

    monkeypatch.setattr(time, "sleep", nap)
    result = run("blocks", "--live", "--refresh", "2")
    assert result.exit_code == 0, result.output
    assert naps == [2.0, 2.0, 2.0]
    assert result.stdout.count("Ctrl-C to stop") >= 1 and "active window:" in result.stdout
    assert "$6.00" in result.stdout  # the last frame saw the second reply
