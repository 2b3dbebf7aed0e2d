"""kestro-sdk show, search and export, run in-process through the entry point."""

from __future__ import annotations

import io
import json
import shutil
import sys
from pathlib import Path

import pytest
from click.testing import CliRunner, Result

import kestro_sdk
from conftest import EXAMPLES, one_line_error, schema_check
from kestro_sdk import export, pricing
from kestro_sdk.cli import main

SESSION = "ba449eb1-bba2-4cc1-b0fb-33a342cf9548"
APP = "-home-dev-projects-app"


@pytest.fixture(autouse=True)
def env(cli_env: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """A copy of the sample projects as the default base folder."""
    base = cli_env / "projects"
    shutil.copytree(EXAMPLES, base)
    # A second session whose id shares a prefix with another, for the ambiguity cases.
    shutil.copy(base / APP / f"{SESSION}.jsonl", base / APP / "ba44ffff-0000-4000-8000-000000000000.jsonl")
    monkeypatch.setenv("KESTRO_PROJECTS", str(base))
    return base


def run(*args: str) -> Result:
    return CliRunner().invoke(main, list(args))


@pytest.mark.parametrize(
    ("args", "code", "message"),
    [
        (["show", "ba44"], 1, "'ba44' names 2 sessions: ba449eb1-bba2-4cc1-b0fb-33a342cf9548 (-home-dev-projects-app),"
         " ba44ffff-0000-4000-8000-000000000000 (-home-dev-projects-app); give more of the id"),
        (["show", "zzzz"], 1, "no session id starts with 'zzzz'"),
        (["show", "/nonexistent/s.jsonl"], 1, "no session log at /nonexistent/s.jsonl"),
        (["show", SESSION, "--format", "pdf"], 2, "'pdf' is not one of 'md', 'html', 'json'"),
        (["search", "(unclosed", "--regex"], 2, "not a regular expression"),
        (["search", "x", "--project", "web"], 1, "no project matches 'web'"),
        (["export", "--format", "md"], 2, "Missing option '--out'"),
        (["export", "--out", "o"], 2, "Missing option '--format'"),
        (["export", "--format", "md", "--out", "o"], 2, "give a session, a project, or --all"),
        (["export", SESSION, "--all", "--format", "md", "--out", "o"], 2, "give TARGET or --all, not both"),
        (["export", "nothing-like-it", "--format", "md", "--out", "o"], 1,
         "no session id starts with 'nothing-like-it', and no project matches 'nothing-like-it'"),
        (["export", "--all", "--since", "2030-01-01", "--format", "md", "--out", "o"], 1,
         "no session to export in that date range"),
    ],
    ids=["ambiguous", "unknown", "missing-path", "bad-format", "bad-regex", "unknown-project", "no-out", "no-format",
         "no-target", "target-and-all", "unknown-target", "empty-range"],
)  # fmt: skip
def test_expected_failures_are_one_line_and_an_exit_code(args: list[str], code: int, message: str) -> None:
    one_line_error(run(*args), code, message)


@pytest.mark.parametrize("key", [SESSION, "ba449", f"{{base}}/{APP}/{SESSION}.jsonl"], ids=["id", "prefix", "path"])
def test_show_finds_a_session_by_id_prefix_or_path(env: Path, key: str) -> None:
    result = run("show", key.format(base=env), "--no-pager")
    assert result.exit_code == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "Job schedule fixes and test updates"
    assert any(line.startswith("Turn 1 · 2025-06-22 23:06:23 UTC") for line in lines)
    assert "$0.0405" in result.stdout  # the first reply's logged cost


def test_a_log_given_by_path_needs_no_base_folder(env: Path, monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> None:
    monkeypatch.setenv("KESTRO_PROJECTS", str(tmp_path / "missing"))
    log = env / APP / f"{SESSION}.jsonl"
    assert run("show", str(log), "--no-pager").exit_code == 0
    assert run("export", str(log), "--format", "md", "--out", str(tmp_path / "o")).exit_code == 0
    assert run("export", str(env / APP), "--format", "md", "--out", str(tmp_path / "p")).exit_code == 0
    assert len(list((tmp_path / "p" / APP).glob("*.md"))) == 4
    assert run("show", SESSION, "--no-pager").exit_code == 1  # an id still needs a base folder


def test_the_date_range_picks_among_the_sessions_a_prefix_names(env: Path) -> None:
    # The copy of the session gets replies a day later, so that the two are told apart by date.
    copy = env / APP / "ba44ffff-0000-4000-8000-000000000000.jsonl"
    copy.write_text(copy.read_text().replace('"timestamp":"2025-06-22T', '"timestamp":"2025-06-24T'))
    assert run("show", "ba44", "--no-pager").exit_code == 1
    later = run("show", "ba44", "--no-pager", "--since", "2025-06-24", "--format", "json")
    early = run("show", "ba44", "--no-pager", "--until", "2025-06-23", "--format", "json")
    assert json.loads(later.stdout.splitlines()[0])["path"] == str(copy)
    assert json.loads(early.stdout.splitlines()[0])["path"] == str(env / APP / f"{SESSION}.jsonl")


def test_show_prints_the_other_forms_to_standard_output(env: Path) -> None:
    path = env / APP / f"{SESSION}.jsonl"
    prices = pricing.load_prices()
    md = run("show", SESSION, "--format", "md").stdout
    assert md == export.to_markdown(path, prices=prices)
    page = run("show", SESSION, "--format", "html", "--redact").stdout
    assert page == export.to_html(path, prices=prices, redact=True)
    lines = [json.loads(line) for line in run("show", SESSION, "--format", "json").stdout.splitlines()]
    assert [o["kind"] for o in lines].count("message") == len(kestro_sdk.read(path).messages)
    assert lines[0]["project"] == APP


def test_show_hides_meta_records_on_request() -> None:
    shown, hidden = run("show", SESSION, "--no-pager").stdout, run("show", SESSION, "--no-pager", "--no-meta").stdout
    assert "· summary: Route render fixes" in shown and "summary:" not in hidden
    assert shown.count("Turn ") == hidden.count("Turn ") > 0


def test_the_view_streams_into_the_pager(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> None:
    from kestro_sdk.cli import conversations

    out = tmp_path / "paged.txt"
    script = f"import sys; open(r'{out}', 'w').write(sys.stdin.read())"
    monkeypatch.setenv("KESTRO_PAGER", f'{sys.executable} -c "{script}"')
    monkeypatch.setattr(sys, "stdout", _Terminal())
    made: list[int] = []

    def items():  # type: ignore[no-untyped-def]
        for n in range(200):
            made.append(n)
            yield f"item {n}"

    conversations._view(items(), pager=True)
    text = out.read_text()
    assert text.splitlines()[0] == "item 0" and text.splitlines()[-1] == "item 199" and len(made) == 200
    assert sys.stdout.getvalue() == ""  # everything went through the pager


def test_a_pager_closed_early_ends_the_view_quietly(monkeypatch: pytest.MonkeyPatch) -> None:
    from kestro_sdk.cli import conversations

    monkeypatch.setenv("KESTRO_PAGER", f'{sys.executable} -c "import sys; sys.stdin.readline()"')
    monkeypatch.setattr(sys, "stdout", _Terminal())
    conversations._view((f"item {n} " + "x" * 200 for n in range(20_000)), pager=True)


class _Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


@pytest.mark.parametrize(
    ("args", "sessions"),
    [
        (["cache key"], 7),
        (["CACHE KEY", "--case-sensitive"], 0),
        (["cache\\s+key\\s+doesn't", "--regex"], 7),
        (["cache key", "--project", "orders"], 3),
        (["cache key", "--since", "2025-06-23"], 4),
        (["cache key", "--until", "2025-06-22"], 3),
    ],
    ids=["text", "case", "regex", "project", "since", "until"],
)
def test_search_lists_the_matching_sessions_newest_first(args: list[str], sessions: int) -> None:
    result = run("search", *args, "--json")
    assert result.exit_code == 0, result.stderr
    doc = json.loads(result.stdout)
    schema_check(doc, "search")
    rows = doc["search"]
    assert len(rows) == sessions
    assert [r["started"] for r in rows] == sorted((r["started"] for r in rows), reverse=True)
    for r in rows:
        assert "cache key" in r["line"].lower() and r["matches"] >= 1 and r["title"]


def test_search_counts_prompts_and_replies_but_not_tool_output(env: Path) -> None:
    # Text that appears only in tool results is not a match: people look for what was said.
    tool_only = "2024-06-01 08:00:36,254 INFO [metric-worker-1]"
    assert tool_only in (env / APP / f"{SESSION}.jsonl").read_text()
    assert json.loads(run("search", tool_only, "--json").stdout)["search"] == []
    prompt = json.loads(run("search", "--json", "--", "--dry-run").stdout)["search"]
    assert {r["role"] for r in prompt} == {"prompt"}
    assert {"ba44ffff-0000-4000-8000-000000000000", SESSION} <= {r["session_id"] for r in prompt}


@pytest.mark.parametrize(
    ("args", "written"),
    [
        ([SESSION, "--format", "md"], [f"{APP}/{SESSION}.md"]),
        (["orders", "--format", "jsonl"], [f"-home-dev-projects-orders-api/{s}.jsonl" for s in
                                           ("0d041167-6f10-4b0a-8b05-bdfa35364add",
                                            "47a59372-8b0b-45b2-81ac-45ad4ff4ae37",
                                            "b87cd461-44fd-4ea3-a18b-0dab91e157ad")]),
        (["--all", "--project", "app", "--format", "html", "--until", "2025-06-22"],
         [f"{APP}/ba44ffff-0000-4000-8000-000000000000.html", f"{APP}/{SESSION}.html",
          f"{APP}/c7438fa0-6e8b-4e4b-84a5-f00d518d8269.html", f"{APP}/index.html"]),
    ],
    ids=["session", "project", "all-in-range"],
)  # fmt: skip
def test_export_writes_the_sessions_it_names(tmp_path: Path, args: list[str], written: list[str]) -> None:
    out = tmp_path / "out"
    result = run("export", *args, "--out", str(out))
    assert result.exit_code == 0, result.stderr
    assert sorted(str(p.relative_to(out)) for p in out.rglob("*") if p.is_file()) == sorted(written)
    sessions = len([w for w in written if not w.endswith("index.html")])
    assert result.stdout.splitlines()[0] == f"wrote {sessions} session{'s' if sessions > 1 else ''} to {out}"


def test_export_redacts_every_format(tmp_path: Path, env: Path) -> None:
    secret = "sk-proj-4fGh7Jk9LmN0pQ2rS5tU8vW1xY"
    log = env / APP / f"{SESSION}.jsonl"
    log.write_text(log.read_text().replace("Add a `--dry-run` flag", f"Use key {secret} to add a `--dry-run` flag"))
    for fmt in ("md", "html", "jsonl"):
        out = tmp_path / fmt
        assert run("export", SESSION, "--format", fmt, "--out", str(out)).exit_code == 0
        assert secret in (out / APP / f"{SESSION}.{fmt}").read_text()
        assert run("export", SESSION, "--format", fmt, "--out", str(out), "--redact").exit_code == 0
        text = (out / APP / f"{SESSION}.{fmt}").read_text()
        assert secret not in text and "Use key [REDACTED] to add" in text
