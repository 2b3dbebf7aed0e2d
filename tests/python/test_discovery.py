"""find_sessions, find_projects, load_project and the Project class, on temporary trees."""

from __future__ import annotations

import os
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

from conftest import at, chain, record, tool_use, write_log
from kestro_sdk import ParseError, find_projects, find_sessions, load_project

T0 = 1_700_000_000


def session_file(path: Path, mtime: int, lines: list | None = None) -> Path:
    write_log(path, chain(2) if lines is None else lines)
    os.utime(path, (mtime, mtime))
    return path


def directory(path: Path, mtime: int) -> Path:
    path.mkdir(parents=True)
    os.utime(path, (mtime, mtime))
    return path


def test_find_lists_paths_as_text_newest_first(tmp_path: Path) -> None:
    # The ordering rules themselves belong to the core's tests.
    old = session_file(tmp_path / "-p1" / "old.jsonl", T0)
    new = session_file(tmp_path / "-p2" / "new.jsonl", T0 + 2)
    for name, mtime in (("-p1", T0 + 5), ("-p2", T0 + 3)):
        os.utime(tmp_path / name, (mtime, mtime))
    assert (find_sessions(str(tmp_path)), find_sessions(base_path=str(tmp_path), project="-p1")) == (
        [str(new), str(old)], [str(old)])  # fmt: skip
    assert find_projects(base_path=str(tmp_path)) == [str(tmp_path / "-p1"), str(tmp_path / "-p2")]


def test_default_base_under_home(home: Path) -> None:
    path = session_file(home / "-home-me-app" / "s.jsonl", T0)
    assert (find_sessions(), find_projects(None)) == ([str(path)], [str(home / "-home-me-app")])
    assert load_project("app").name == "-home-me-app"


DISCOVERY_ERRORS: dict[str, tuple[Callable[[Path], Any], type, str]] = {
    "find_sessions_missing_base": (lambda t: find_sessions(str(t / "nope")), ParseError, "Failed to discover sessions: IO error: Directory not found: {t}/nope"),
    "find_projects_missing_base": (lambda t: find_projects(str(t / "nope")), ParseError, "Failed to discover projects: IO error: Directory not found: {t}/nope"),
    "name_with_missing_base": (lambda t: load_project("x", str(t / "nope")), ParseError, "Failed to discover projects: IO error: Directory not found: {t}/nope"),
    "name_without_match": (lambda t: load_project("zzz", str(t)), ParseError, "Project 'zzz' not found in {t}"),
    "missing_project_directory": (lambda t: load_project(str(t / "nope" / "-p")), FileNotFoundError, "Project directory not found: {t}/nope/-p"),
    "find_sessions_nul_in_base": (lambda t: find_sessions(f"{t}\0/-p"), ParseError, "Failed to discover sessions: IO error: Directory not found: {t}\0/-p"),
    "find_projects_nul_in_base": (lambda t: find_projects(f"{t}\0"), ParseError, "Failed to discover projects: IO error: Directory not found: {t}\0"),
    "name_with_nul_in_base": (lambda t: load_project("app", f"{t}\0"), ParseError, "Failed to discover projects: IO error: Directory not found: {t}\0"),
    "project_path_names_a_file": (lambda t: load_project(str(t / "-f")), ParseError, "Failed to discover sessions in project: IO error: Not a directory (os error 20)"),
}  # fmt: skip


@pytest.mark.parametrize("call,exc,message", DISCOVERY_ERRORS.values(), ids=DISCOVERY_ERRORS.keys())
def test_discovery_errors(tmp_path: Path, call: Callable[[Path], Any], exc: type, message: str) -> None:
    (tmp_path / "-home-app").mkdir()
    (tmp_path / "-f").write_text("")
    with pytest.raises(exc) as info:
        call(tmp_path)
    assert (type(info.value), info.value.args) == (exc, (message.format(t=tmp_path),))


def test_load_project_by_name_and_its_aggregates(tmp_path: Path) -> None:
    project = tmp_path / "-Users-x-apply-model"
    reads = [tool_use("a", "Read"), tool_use("b", "Read")]
    session_file(project / "first.jsonl", T0, [
        record("user", 1, ts=at(0)),
        record("assistant", 2, parent=1, ts=at(10), cost=1.0, content=[*reads, tool_use("c", "Bash")]),
    ])  # fmt: skip
    session_file(project / "second.jsonl", T0 + 1, [
        record("user", 1, session_id="two", ts=at(0)),
        record("assistant", 2, parent=1, ts=at(20), cost=0.5, content=[*reads, tool_use("c", "Read")]),
        record("user", 3, ts=at(5)),
    ])  # fmt: skip
    directory(tmp_path / "-other-apply", T0 - 100)
    project = load_project(project_identifier="apply", base_path=str(tmp_path))
    assert (project.name, [s.session_id for s in project.sessions]) == ("-Users-x-apply-model", ["two", "sess-1"])
    assert (project.total_cost, project.total_messages, project.total_duration, project.tool_usage_count) == (
        1.5, 5, 30, {"Read": 5, "Bash": 1})  # fmt: skip
    assert repr(project) == "<Project name='-Users-x-apply-model' sessions=2 cost=$1.5000>"
    assert str(project) == "Project '-Users-x-apply-model' with 2 sessions"
    # The session list is one shared list; the aggregates were fixed when the project was built.
    sessions = project.sessions
    sessions.append(sessions[0])
    assert (project.sessions is sessions, len(project.sessions), project.total_messages) == (True, 3, 5)
    assert repr(project) == "<Project name='-Users-x-apply-model' sessions=2 cost=$1.5000>"
    assert project.tool_usage_count is not project.tool_usage_count


def test_a_project_whose_sessions_all_fail(tmp_path: Path, capfd: pytest.CaptureFixture[str]) -> None:
    (tmp_path / "-demo").mkdir()
    (tmp_path / "-demo" / "x.jsonl").write_text('{"type":"note"}\n{bad')
    project = load_project("demo", str(tmp_path))
    assert (project.sessions, project.total_cost, project.total_messages, project.tool_usage_count,
            project.total_duration, repr(project), str(project)) == (
        [], 0.0, 0, {}, None, "<Project name='-demo' sessions=0 cost=$0.0000>", "Project '-demo' with 0 sessions")  # fmt: skip
    # The file's own warnings come before the one saying it failed.
    assert capfd.readouterr().err.startswith(
        "Warning: Unknown record type 'note' at line 1, skipping\n"
        f"Warning: Failed to parse session {tmp_path / '-demo' / 'x.jsonl'}: Parse error: Invalid JSONL format at line 2: Invalid JSON: "
    )


@pytest.mark.parametrize(
    "identifier,name",
    [("{t}/-a/-b/", "-b"), ("{t}/-a/-b/..", "unknown"), ("", "-new")],
    ids=["path_with_trailing_separator", "path_ending_in_parent_step", "empty_name_matches_the_newest"],
)
def test_load_project_modes(tmp_path: Path, identifier: str, name: str) -> None:
    directory(tmp_path / "-a" / "-b", T0)
    os.utime(tmp_path / "-a", (T0, T0))
    directory(tmp_path / "-new", T0 + 1)
    # In path mode base_path is not consulted: it does not even exist here.
    base = str(tmp_path / "ignored") if identifier else str(tmp_path)
    assert load_project(identifier.format(t=tmp_path), base_path=base).name == name
