"""The kestro-sdk command, run in-process through its entry point: exit codes, one-line errors, the shared
options and the config file, the rendering layer, the prices subcommands; and as a process: the entry points
and which imports each path pays for."""

from __future__ import annotations

import io
import json
import os
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import click
import pytest
from click.testing import CliRunner, Result

import kestro_sdk
from conftest import Server, one_line_error, schema_check
from kestro_sdk.cli import main
from kestro_sdk.cli.app import Group
from kestro_sdk.cli.options import ReportOptions, parse_date, report_options
from kestro_sdk.cli.render import Report, column, render_csv, render_json, render_table


@pytest.fixture(autouse=True)
def env(cli_env: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """Two empty projects in the projects folder, which it returns."""
    base = cli_env / "projects"
    for name in ("-home-u-app", "-home-u-api"):
        (base / name).mkdir(parents=True)
    monkeypatch.setenv("KESTRO_PROJECTS", str(base))
    return base


probe = Group(name="kestro-sdk")


@probe.command()
@report_options
def show(opts: ReportOptions) -> None:
    """Prints what the shared options resolved to."""
    start, end = opts.utc_bounds()
    click.echo(json.dumps({
        "since": opts.since and opts.since.isoformat(), "until": opts.until and opts.until.isoformat(),
        "tz": opts.tz_name, "bases": [str(b) for b in opts.bases], "projects": list(opts.projects),
        "subagents": opts.subagents, "mode": opts.mode, "prices": opts.prices.source, "order": opts.order,
        "format": opts.format, "cache": opts.use_cache,
        "start": start and start.isoformat(), "end": end and end.isoformat(),
    }))  # fmt: skip


def run(*args: str, command: click.Group = main) -> Result:
    return CliRunner().invoke(command, list(args))


def resolved(*args: str) -> dict[str, Any]:
    result = run("show", *args, command=probe)
    assert result.exit_code == 0, result.stderr
    value: dict[str, Any] = json.loads(result.stdout)
    return value


def write(path: Path, text: str) -> str:
    path.write_text(text)
    return str(path)


def test_version_and_help() -> None:
    assert [run(flag).stdout for flag in ("--version", "-V")] == [f"kestro-sdk {kestro_sdk.__version__}\n"] * 2
    bare, helped = run(), run("--help")
    assert bare.exit_code == helped.exit_code == 0 and bare.stdout == helped.stdout
    assert "Examples:" in helped.stdout and "kestro-sdk completion bash" in helped.stdout


SCRIPT = str(Path(sys.executable).with_name("kestro-sdk"))
ENTRY = "import sys; from kestro_sdk.cli import main; sys.argv[0] = 'x'; main()"
PROCESSES = {
    "module": ([sys.executable, "-m", "kestro_sdk", "--version"], f"kestro-sdk {kestro_sdk.__version__}"),
    "entry-point": ([sys.executable, "-c", ENTRY, "--version"], f"kestro-sdk {kestro_sdk.__version__}"),
    "script-prices": ([SCRIPT, "prices", "show", "--csv"],
                      "model,input,output,cache_write_5m,cache_write_1h,cache_read,above"),
    "script-statusline": ([SCRIPT, "statusline", "--base", "{empty}"], "$0.00 today | no active window"),
}  # fmt: skip


@pytest.mark.parametrize(("argv", "first"), PROCESSES.values(), ids=PROCESSES.keys())
def test_the_command_runs_as_a_process(argv: list[str], first: str, tmp_path: Path) -> None:
    argv = [a.format(empty=tmp_path) for a in argv]
    out = subprocess.run(argv, capture_output=True, text=True, timeout=60, env=dict(os.environ))
    assert (out.returncode, out.stdout.splitlines()[:1], out.stderr) == (0, [first], "")


# A command, and the modules it must not import on its way (a name or its top-level package).
IMPORTS = {
    "report": (["daily", "--json", "--base", "{tmp}"], ["rich", "kestro_sdk.cli.conversations", "kestro_sdk.cli.prices"]),
    "prices-json": (["prices", "show", "--json"], ["rich", "typer", "jsonschema"]),
    "prices-csv": (["prices", "show", "--csv"], ["rich", "typer", "jsonschema"]),
    "prices-help": (["prices", "show", "--help"], ["rich", "typer", "jsonschema"]),
    "statusline": (["statusline", "--base", "{tmp}"], ["click", "rich"]),
}  # fmt: skip


@pytest.mark.parametrize(("args", "unwanted"), IMPORTS.values(), ids=IMPORTS.keys())
def test_each_path_imports_only_what_it_needs(tmp_path: Path, args: list[str], unwanted: list[str]) -> None:
    code = ("import io, sys, contextlib; from kestro_sdk.cli import run\n"
            f"unwanted, sys.argv = set(sys.argv[1:]), ['kestro-sdk', *{[a.format(tmp=tmp_path) for a in args]!r}]\n"
            "with contextlib.redirect_stdout(io.StringIO()):\n    try:\n        run()\n    except SystemExit:\n        pass\n"
            "print(sorted((set(sys.modules) | {m.split('.')[0] for m in sys.modules}) & unwanted))")  # fmt: skip
    env = dict(os.environ, KESTRO_CACHE_DIR=str(tmp_path / "cache"), KESTRO_CONFIG=str(tmp_path / "none.toml"))
    out = subprocess.run([sys.executable, "-c", code, *unwanted], capture_output=True, text=True, timeout=60, env=env)
    assert (out.returncode, out.stdout.strip(), out.stderr) == (0, "[]", "")


def test_subcommands_are_all_listed() -> None:
    from kestro_sdk.cli import app
    from kestro_sdk.cli.reports import COMMANDS

    ctx = click.Context(app.main)
    listed = app.main.list_commands(ctx)
    assert {c.name for c in COMMANDS} | {"prices", "show", "search", "export", "completion"} <= set(listed)
    assert all(getattr(app.main.get_command(ctx, name), "name", None) == name for name in listed)


@pytest.mark.parametrize(
    ("args", "code", "message"),
    [
        (["prices", "bogus"], 2, "No such command 'bogus'."),
        (["prices", "show", "--json", "--csv"], 2, "--json and --csv cannot be used together"),
        (["prices", "show", "--colour"], 2, "--colour"),  # click's wording varies between versions
        (["completion", "tcsh"], 2, "'tcsh' is not one of 'bash', 'zsh', 'fish'."),
        (["prices", "show", "kestro-huge-9"], 1, "no price for model 'kestro-huge-9' in bundled example prices"),
        (["prices", "show", "--prices", "/nonexistent/p.toml"], 1,
         "cannot read price file /nonexistent/p.toml: No such file or directory"),
        (["prices", "fetch"], 1, "no price URL: give one or set $KESTRO_PRICES_URL"),
        (["prices", "fetch", "ftp://x/y"], 1, "cannot fetch prices from ftp://x/y: only http, https and file URLs"
         " are supported"),
        (["show", "--since", "2025-13-01"], 2, "Invalid value for '--since': '2025-13-01' is not a date"
         " (YYYY-MM-DD or YYYYMMDD)"),
        (["show", "--until", "2025-0601"], 2, "Invalid value for '--until': '2025-0601' is not a date"
         " (YYYY-MM-DD or YYYYMMDD)"),
        (["show", "--timezone", "Mars/Olympus"], 2, "Invalid value for '--timezone': 'Mars/Olympus' is not an IANA"
         " time zone such as Europe/Berlin or UTC"),
        (["show", "--mode", "guess"], 2, "Invalid value for '--mode': 'guess' is not one of 'auto', 'calculate',"
         " 'display'."),
        (["show", "--order", "up"], 2, "Invalid value for '--order': 'up' is not one of 'asc', 'desc'."),
        (["show", "--since", "2025-06-02", "--until", "20250601"], 2, "--since 2025-06-02 is after --until 2025-06-01"),
        (["show", "--csv", "--json"], 2, "--json and --csv cannot be used together"),
        (["show", "--base", "/nonexistent/projects"], 1, "base folder not found: /nonexistent/projects"),
        (["show", "--project", "web"], 1, "no project matches 'web' under {base}"),
        (["show", "--prices", "/nonexistent/p.json"], 1,
         "cannot read price file /nonexistent/p.json: No such file or directory"),
    ],
    ids=["no-command", "prices-two-formats", "no-option", "bad-shell", "unknown-model", "unreadable-prices", "no-url",
         "bad-scheme", "bad-month", "one-dash", "bad-zone", "bad-mode", "bad-order", "reversed-range", "two-formats",
         "missing-base", "unknown-project", "missing-prices"],
)  # fmt: skip
def test_expected_failures_are_one_line_and_an_exit_code(env: Path, args: list[str], code: int, message: str) -> None:
    one_line_error(run(*args, command=probe if args[0] == "show" else main), code, message.format(base=env))


def test_default_base_folder_missing(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> None:
    monkeypatch.delenv("KESTRO_PROJECTS")
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    result = run("show", command=probe)
    expected = f"kestro-sdk: error: base folder not found: {tmp_path / 'home' / '.kestro' / 'projects'}\n"
    assert (result.exit_code, result.stderr) == (1, expected)


@pytest.mark.parametrize(("text", "expected"), [
    ("2025-06-01", "2025-06-01"), ("20250601", "2025-06-01"), ("2024-02-29", "2024-02-29"), (" 2025-12-31", "2025-12-31"),
    ("2025-02-29", None), ("2025-6-1", None), ("202506-01", None), ("25-06-01", None), ("2025/06/01", None),
    ("2025-06-01T00:00", None), ("", None),
])  # fmt: skip
def test_date_parsing(text: str, expected: str | None) -> None:
    if expected is None:
        with pytest.raises(ValueError):
            parse_date(text)
    else:
        assert parse_date(text).isoformat() == expected


@pytest.mark.parametrize(
    ("zone", "day", "start", "end"),
    [
        ("UTC", "2025-06-01", "2025-06-01T00:00:00+00:00", "2025-06-02T00:00:00+00:00"),
        ("Asia/Kolkata", "2025-06-01", "2025-05-31T18:30:00+00:00", "2025-06-01T18:30:00+00:00"),
        ("Europe/Berlin", "2025-03-30", "2025-03-29T23:00:00+00:00", "2025-03-30T22:00:00+00:00"),  # 23 hours
        ("America/New_York", "2025-11-02", "2025-11-02T04:00:00+00:00", "2025-11-03T05:00:00+00:00"),  # 25 hours
        ("Pacific/Kiritimati", "2025-01-01", "2024-12-31T10:00:00+00:00", "2025-01-01T10:00:00+00:00"),
    ],
)
def test_days_are_local_to_the_time_zone_and_until_is_inclusive(zone: str, day: str, start: str, end: str) -> None:
    got = resolved("--since", day, "--until", day.replace("-", ""), "--timezone", zone)
    assert (got["since"], got["until"], got["start"], got["end"]) == (day, day, start, end)


def test_defaults_and_every_flag(env: Path) -> None:
    assert resolved() == {
        "since": None, "until": None, "tz": "UTC", "bases": [str(env)], "projects": [], "subagents": True,
        "mode": "auto", "prices": "bundled example prices", "order": "asc", "format": "table", "cache": True,
        "start": None, "end": None,
    }  # fmt: skip
    flags = resolved("--no-subagents", "--order", "desc", "--json", "--no-cache", "--project", "app", "--project", "pi")
    assert (flags["subagents"], flags["order"], flags["format"], flags["cache"]) == (False, "desc", "json", False)
    assert flags["projects"] == ["app", "pi"]
    assert resolved("--csv")["format"] == "csv"


def test_local_zone_comes_from_tz(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("TZ", "Asia/Tokyo")
    got = resolved("--since", "2025-06-01")
    assert (got["tz"], got["start"]) == ("Asia/Tokyo", "2025-05-31T15:00:00+00:00")


@pytest.fixture
def other(tmp_path: Path) -> dict[str, str]:
    """Paths to a second and third projects folder and to three small price files."""
    paths = {"base2": tmp_path / "b2", "base3": tmp_path / "b3"}
    for p in paths.values():
        (p / "-home-u-web").mkdir(parents=True)
    out = {k: str(v) for k, v in paths.items()}
    for name in ("config", "env", "arg"):
        out[f"prices_{name}"] = write(tmp_path / f"prices-{name}.toml", "[models.m]\ninput = 1\noutput = 1\n")
    return out


# (config file lines, environment, arguments) -> what wins, for each setting the config file can give.
PRECEDENCE = [
    ('timezone = "Europe/Berlin"', {}, [], "tz", "Europe/Berlin"),
    ('timezone = "Europe/Berlin"', {}, ["--timezone", "Asia/Tokyo"], "tz", "Asia/Tokyo"),
    ('mode = "display"', {}, [], "mode", "display"),
    ('mode = "display"', {}, ["--mode", "calculate"], "mode", "calculate"),
    ('base = "{base2}"', {"KESTRO_PROJECTS": ""}, [], "bases", ["{base2}"]),
    ('base = ["{base2}", "{base3}", "{base2}"]', {"KESTRO_PROJECTS": ""}, [], "bases", ["{base2}", "{base3}"]),
    ('base = ["{base2}"]', {"KESTRO_PROJECTS": "{base3}:{base2}"}, [], "bases", ["{base3}", "{base2}"]),
    ('base = ["{base2}"]', {}, ["--base", "{base3}", "--base", "{base2}"], "bases", ["{base3}", "{base2}"]),
    ('prices = "{prices_config}"', {}, [], "prices", "{prices_config}"),
    ('prices = "{prices_config}"', {"KESTRO_PRICES": "{prices_env}"}, [], "prices", "{prices_env}"),
    ('prices = "{prices_config}"', {"KESTRO_PRICES": "{prices_env}"}, ["--prices", "{prices_arg}"], "prices",
     "{prices_arg}"),
]  # fmt: skip


@pytest.mark.parametrize(
    ("config", "environ", "args", "key", "expected"),
    PRECEDENCE,
    ids=["tz-config", "tz-arg", "mode-config", "mode-arg", "base-config", "base-list-dedup", "base-env", "base-arg",
         "prices-config", "prices-env", "prices-arg"],
)  # fmt: skip
def test_command_line_then_environment_then_config_file(
    monkeypatch: pytest.MonkeyPatch, tmp_path: Path, other: dict[str, str],
    config: str, environ: dict[str, str], args: list[str], key: str, expected: Any,
) -> None:  # fmt: skip
    write(tmp_path / "config.toml", config.format(**other) + "\n")
    for var, value in environ.items():
        monkeypatch.setenv(var, value.format(**other).replace(":", os.pathsep))
    expected = [e.format(**other) for e in expected] if isinstance(expected, list) else expected.format(**other)
    assert resolved(*(a.format(**other) for a in args))[key] == expected


@pytest.mark.parametrize(
    ("config", "message"),
    [
        ("timezone = ", "config file {path}: Invalid value"),
        ("time_zone = 'UTC'", "config file {path}: unknown key 'time_zone' (known: timezone, base, prices, mode)"),
        ("timezone = 'Mars/Olympus'", "config file {path}: 'timezone' must be an IANA time zone name"),
        ("timezone = 3", "config file {path}: 'timezone' must be an IANA time zone name"),
        ("mode = 'guess'", "config file {path}: 'mode' must be one of auto, calculate, display"),
        ("base = 3", "config file {path}: 'base' must be a folder or a list of folders"),
        ("base = []", "config file {path}: 'base' must be a folder or a list of folders"),
        ("prices = ['a']", "config file {path}: 'prices' must be a file name"),
        ("prices = '/nonexistent/p.toml'", "cannot read price file /nonexistent/p.toml: No such file or directory"),
    ],
    ids=["toml", "unknown-key", "zone", "zone-type", "mode", "base-type", "base-empty", "prices-type", "prices-file"],
)
def test_a_wrong_config_file_is_a_run_time_failure(tmp_path: Path, config: str, message: str) -> None:
    path = write(tmp_path / "config.toml", config + "\n")
    one_line_error(run("show", command=probe), 1, message.format(path=path))


def test_config_path_and_completion_scripts(tmp_path: Path) -> None:
    assert run("config-path").stdout == f"{tmp_path / 'config.toml'}\n"
    for shell in ("bash", "zsh", "fish"):
        result = run("completion", shell)
        assert result.exit_code == 0 and "_KESTRO_SDK_COMPLETE" in result.stdout


# ---------------------------------------------------------------------------------------------
# Rendering


@dataclass
class Line:
    day: str | None = column("Day")
    input_tokens: int = column("Input", "tokens")
    cache_read_tokens: int = column("Cache read", "tokens", compact=False)
    cost_usd: float | None = column("Cost", "cost")
    unpriced_replies: int = 0
    models: list[str] = column("Models", "list", compact=False, default_factory=list)
    breakdown: list[Line] = column("", breakdown=True, default_factory=list)


ROWS = [
    Line("2025-06-01", 1_234_567, 10, 1.5, 0, ["kestro-large-2"],
         [Line("kestro-large-2", 1_234_567, 10, 1.5, 0, ["kestro-large-2"])]),
    Line("2025-06-02", 2_000, 20, 0.25, 3, ["kestro-large-2", "kestro-huge-9"]),
    Line("2025-06-03", 3_000, 30, None, 2, ["kestro-huge-9"]),
    Line("2025-06-04", 0, 0, 0.001, 0, []),
]  # fmt: skip
REPORT = Report("daily", Line, ROWS, Line(None, 1_239_567, 60, 1.751, 5), unpriced_models=["kestro-huge-9"])


def table_text(width: int) -> str:
    out = io.StringIO()
    render_table(REPORT, out, width=width)
    return out.getvalue()


def test_table_marks_partly_priced_costs_and_dashes_unpriced_ones() -> None:
    text = table_text(120)
    assert "\x1b[" not in text  # no colour when not writing to a terminal
    rows = {line.split("│")[1].strip(): [c.strip() for c in line.split("│")[2:-1]] for line in text.splitlines()
            if line.startswith("│")}  # fmt: skip
    assert rows == {
        "2025-06-01": ["1,234,567", "10", "$1.50", "kestro-large-2"],
        "kestro-large-2": ["1,234,567", "10", "$1.50", "kestro-large-2"],
        "2025-06-02": ["2,000", "20", "$0.25*", "kestro-large-2, kestro-huge-9"],
        "2025-06-03": ["3,000", "30", "-", "kestro-huge-9"],
        "2025-06-04": ["0", "0", "<$0.01", ""],
        "Total": ["1,239,567", "60", "$1.75*", ""],
    }
    footnote = "* leaves out 5 replies of kestro-huge-9 with no price (see 'kestro-sdk prices show')"
    assert text.splitlines()[-1] == footnote


def test_narrow_table_drops_secondary_columns_and_shortens_counts() -> None:
    text = table_text(40)
    header = text.splitlines()[1]
    assert "Day" in header and "Cost" in header and "Cache read" not in header and "Models" not in header
    assert "1.2M" in text and max(len(line) for line in text.splitlines()[:-1]) <= 40


def test_json_keeps_rows_totals_and_nulls() -> None:
    doc = json.loads(render_json(Report("daily", Line, ROWS[1:3], Line(None, 5, 0, 0.25, 5), extra={"x": 1})))
    assert list(doc) == ["schema_version", "daily", "totals", "x"]
    assert doc["daily"][1] == {"day": "2025-06-03", "input_tokens": 3000, "cache_read_tokens": 30, "cost_usd": None,
                               "unpriced_replies": 2, "models": ["kestro-huge-9"], "breakdown": []}  # fmt: skip
    assert doc["totals"]["cost_usd"] == 0.25 and doc["schema_version"] == 1


def test_csv_has_a_header_even_without_rows_and_leaves_out_breakdowns() -> None:
    header = "day,input_tokens,cache_read_tokens,cost_usd,unpriced_replies,models\n"
    assert render_csv(Report("daily", Line, [])) == header
    assert render_csv(REPORT).splitlines()[1:3] == [
        "2025-06-01,1234567,10,1.5,0,kestro-large-2",
        "2025-06-02,2000,20,0.25,3,kestro-large-2;kestro-huge-9",
    ]
    assert render_csv(REPORT).splitlines()[3] == "2025-06-03,3000,30,,2,kestro-huge-9"


# ---------------------------------------------------------------------------------------------
# prices


TIERED = """
[models."kestro-large-2"]
input = 3.0
output = 15.0
[models."kestro-large-2".tier]
above = 200000
input = 6.0
output = 22.5
"""


def test_prices_show_json_follows_its_schema(tmp_path: Path) -> None:
    bundled = json.loads(run("prices", "show", "--json").stdout)
    schema_check(bundled, "prices")
    assert [p["model"] for p in bundled["prices"]] == ["kestro-large-2", "kestro-small-1"]
    path = write(tmp_path / "t.toml", TIERED)
    tiered = json.loads(run("prices", "show", "vendor/kestro-large-2-20250514", "--json", "--prices", path).stdout)
    schema_check(tiered, "prices")
    none = {"cache_write_5m": None, "cache_write_1h": None, "cache_read": None}
    assert tiered == {
        "schema_version": 1, "source": path,
        "prices": [{"model": "kestro-large-2", "input": 3.0, "output": 15.0, **none, "above": None, "tiers": [
            {"model": "kestro-large-2", "input": 6.0, "output": 22.5, **none, "above": 200000, "tiers": []}]}],
    }  # fmt: skip


def test_prices_show_table() -> None:
    text = run("prices", "show", "kestro-small-1").stdout
    assert "bundled example prices" in text
    assert [c.strip() for c in text.splitlines()[4].split("│")[1:-1]] == [
        "kestro-small-1", "0.80", "4.00", "1.00", "1.60", "0.08", "-",
    ]  # fmt: skip


def test_a_broken_cache_is_one_warning_line_and_the_bundled_table(tmp_path: Path) -> None:
    (tmp_path / "cache").mkdir()
    (tmp_path / "cache" / "prices").write_text("[models")
    result = run("prices", "show", "--json")
    assert (result.exit_code, json.loads(result.stdout)["source"]) == (0, "bundled example prices")
    line = result.stderr.removesuffix("\n")
    assert line.startswith(f"kestro-sdk: warning: {tmp_path / 'cache' / 'prices'}: not valid TOML") and "\n" not in line
    assert line.endswith("; using the bundled example prices")


def test_prices_fetch_then_show_and_path(server: Server, tmp_path: Path) -> None:
    server.body = TIERED.encode()
    cache = tmp_path / "cache" / "prices"
    assert run("prices", "path").stdout == f"{cache}\n"
    result = run("prices", "fetch", server.url)
    assert (result.exit_code, result.stdout) == (0, f"saved prices for 1 model to {cache}\n")
    assert json.loads(run("prices", "show", "--json").stdout)["source"] == str(cache)
    server.status = 404
    failed = run("prices", "fetch", server.url)
    message = f"kestro-sdk: error: cannot fetch prices from {server.url}: HTTP 404 Not Found\n"
    assert (failed.exit_code, failed.stderr) == (1, message)
    assert cache.read_text() == TIERED
