"""find_sessions, find_projects, load_project and the Project class, on temporary trees."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

from conftest import at, big_session_lines, chain, record, set_mtime, tool_use, write_log
from kestro_sdk import ParseError, find_projects, find_sessions, load_project

T0 = 1_700_000_000


def session_file(path: Path, mtime: int, lines: list | None = None) -> Path:
    write_log(path, chain(2) if lines is None else lines)
    set_mtime(path, mtime)
    return path


class TestFindSessions:
    def test_newest_first_across_projects_and_subdirectories(self, tmp_path: Path) -> None:
        old = session_file(tmp_path / "-p1" / "old.jsonl", T0)
        new = session_file(tmp_path / "-p2" / "new.jsonl", T0 + 2)
        nested = session_file(tmp_path / "-p1" / "sub" / "mid.jsonl", T0 + 1)
        assert find_sessions(str(tmp_path)) == [str(new), str(nested), str(old)]
        assert find_sessions(base_path=str(tmp_path), project="-p1") == [str(tmp_path / "-p1" / "old.jsonl")]

    @pytest.mark.parametrize(
        "name,found",
        [("a.jsonl", True), ("a.b.jsonl", True), ("notes.JSONL", False), ("session.jsonl.bak", False), (".jsonl", False), ("jsonl", False)],
        ids=["plain", "two_dots", "upper_case", "backup", "dot_file", "no_dot"],
    )
    def test_session_file_names(self, tmp_path: Path, name: str, found: bool) -> None:
        path = session_file(tmp_path / "-p" / name, T0)
        assert find_sessions(str(tmp_path)) == ([str(path)] if found else [])

    def test_directory_named_like_a_session_is_walked_not_listed(self, tmp_path: Path) -> None:
        inner = session_file(tmp_path / "x.jsonl" / "in.jsonl", T0)
        assert find_sessions(str(tmp_path)) == [str(inner)]

    def test_equal_times_come_in_reverse_listing_order(self, tmp_path: Path) -> None:
        project = tmp_path / "-p"
        for name in ("c.jsonl", "a.jsonl", "e.jsonl", "b.jsonl", "d.jsonl"):
            session_file(project / name, T0)
        listed = [str(project / n) for n in os.listdir(project)]
        assert find_sessions(str(tmp_path), "-p") == listed[::-1]

    @pytest.mark.parametrize("project", ["-absent", "file.jsonl"], ids=["missing_project", "project_is_a_file"])
    def test_unusable_project_gives_empty_list(self, tmp_path: Path, project: str) -> None:
        session_file(tmp_path / "file.jsonl", T0)
        assert find_sessions(str(tmp_path), project) == []

    def test_absolute_project_replaces_the_base(self, tmp_path: Path) -> None:
        path = session_file(tmp_path / "elsewhere" / "s.jsonl", T0)
        assert find_sessions(str(tmp_path), str(tmp_path / "elsewhere")) == [str(path)]

    def test_missing_base(self, tmp_path: Path) -> None:
        missing = str(tmp_path / "missing")
        with pytest.raises(ParseError) as info:
            find_sessions(missing)
        assert info.value.args == (f"Failed to discover sessions: IO error: Directory not found: {missing}",)

    def test_empty_base(self, tmp_path: Path) -> None:
        assert (find_sessions(str(tmp_path)), find_projects(str(tmp_path))) == ([], [])

    def test_default_base_under_home(self, home: Path) -> None:
        path = session_file(home / "-proj" / "s.jsonl", T0)
        assert find_sessions() == find_sessions(None, None) == [str(path)]

    def test_missing_default_base_names_it(self, home: Path) -> None:
        home.rmdir()
        with pytest.raises(ParseError) as info:
            find_sessions()
        assert info.value.args == (f"Failed to discover sessions: IO error: Directory not found: {home}",)


class TestFindProjects:
    def test_only_hyphen_directories_newest_first(self, tmp_path: Path) -> None:
        for name, offset in (("-home-a", 0), ("-home-b", 5), ("archive", 9), ("-home-c", 3)):
            (tmp_path / name).mkdir()
            set_mtime(tmp_path / name, T0 + offset)
        (tmp_path / "-a-file").write_text("")
        assert find_projects(str(tmp_path)) == [str(tmp_path / n) for n in ("-home-b", "-home-c", "-home-a")]

    def test_symlinked_project_directory_counts(self, tmp_path: Path) -> None:
        (tmp_path / "real").mkdir()
        base = tmp_path / "base"
        base.mkdir()
        (base / "-linked").symlink_to(tmp_path / "real")
        assert find_projects(str(base)) == [str(base / "-linked")]

    def test_missing_base(self, tmp_path: Path) -> None:
        with pytest.raises(ParseError) as info:
            find_projects(str(tmp_path / "nope"))
        assert info.value.args == (f"Failed to discover projects: IO error: Directory not found: {tmp_path / 'nope'}",)

    def test_default_base_under_home(self, home: Path) -> None:
        (home / "-x").mkdir()
        assert find_projects() == [str(home / "-x")]


def two_session_project(base: Path, name: str = "-Users-x-apply-model") -> Path:
    project = base / name
    session_file(project / "first.jsonl", T0, [record("user", 1, ts=at(0)), record("assistant", 2, parent=1, ts=at(10), cost=1.0, content=[tool_use("a", "Read"), tool_use("b", "Read"), tool_use("c", "Bash")])])
    session_file(project / "second.jsonl", T0 + 1, [record("user", 1, session_id="two", ts=at(0)), record("assistant", 2, parent=1, ts=at(20), cost=0.5, content=[tool_use("a", "Read"), tool_use("b", "Read"), tool_use("c", "Read")]), record("user", 3, ts=at(5))])
    return project


class TestLoadProject:
    def test_by_name_substring(self, tmp_path: Path) -> None:
        two_session_project(tmp_path)
        (tmp_path / "-other").mkdir()
        set_mtime(tmp_path / "-other", T0 - 100)
        project = load_project("apply", str(tmp_path))
        assert project.name == "-Users-x-apply-model"
        assert [s.session_id for s in project.sessions] == ["two", "sess-1"]

    def test_aggregates(self, tmp_path: Path) -> None:
        project = load_project(str(two_session_project(tmp_path)))
        assert (project.total_cost, project.total_messages, project.total_duration) == (1.5, 5, 30)
        assert project.tool_usage_count == {"Read": 5, "Bash": 1}
        assert project.total_messages == sum(len(s) for s in project.sessions)
        assert repr(project) == "<Project name='-Users-x-apply-model' sessions=2 cost=$1.5000>"
        assert str(project) == "Project '-Users-x-apply-model' with 2 sessions"

    def test_sessions_list_is_shared_and_aggregates_fixed(self, tmp_path: Path) -> None:
        project = load_project(str(two_session_project(tmp_path)))
        sessions = project.sessions
        assert sessions is project.sessions
        sessions.append(sessions[0])
        assert (len(project.sessions), project.total_messages) == (3, 5)
        assert repr(project) == "<Project name='-Users-x-apply-model' sessions=2 cost=$1.5000>"
        assert project.tool_usage_count is not project.tool_usage_count

    def test_broken_session_is_skipped_with_one_warning(self, tmp_path: Path, capfd) -> None:
        project_dir = tmp_path / "-proj"
        session_file(project_dir / "good.jsonl", T0)
        (project_dir / "bad.jsonl").write_text("")
        project = load_project(str(project_dir))
        assert (len(project.sessions), str(project)) == (1, "Project '-proj' with 1 sessions")
        assert capfd.readouterr().err == f"Warning: Failed to parse session {project_dir / 'bad.jsonl'}: Parse error: Empty session file\n"

    def test_warnings_come_in_file_order(self, tmp_path: Path, capfd) -> None:
        # The newest file is the largest, so a later file may well finish parsing first.
        project_dir = tmp_path / "-proj"
        other = {"type": "system"}
        files = [
            ("big.jsonl", [other, *big_session_lines(2_000_000)]),
            ("empty.jsonl", []),
            ("two_unknown.jsonl", [other, *chain(2, session_id="s2"), {"type": "note"}]),
            ("unknown_then_bad.jsonl", [other, "{bad"]),
            ("plain.jsonl", chain(2, session_id="s4")),
        ]
        for age, (name, lines) in enumerate(files):
            session_file(project_dir / name, T0 - age, lines)
        project = load_project(str(project_dir))
        assert [s.session_id for s in project.sessions] == ["sess-1", "s2", "s4"]
        err = capfd.readouterr().err.splitlines()
        assert err[:5] == [
            "Warning: Unknown record type 'system' at line 1, skipping",
            f"Warning: Failed to parse session {project_dir / 'empty.jsonl'}: Parse error: Empty session file",
            "Warning: Unknown record type 'system' at line 1, skipping",
            "Warning: Unknown record type 'note' at line 4, skipping",
            "Warning: Unknown record type 'system' at line 1, skipping",
        ]
        assert err[5].startswith(f"Warning: Failed to parse session {project_dir / 'unknown_then_bad.jsonl'}: Parse error: Invalid JSONL format at line 2: ")
        assert len(err) == 6

    def test_all_sessions_broken(self, tmp_path: Path, capfd) -> None:
        (tmp_path / "-demo").mkdir()
        (tmp_path / "-demo" / "x.jsonl").write_text("{bad")
        project = load_project("demo", str(tmp_path))
        assert (project.sessions, project.total_cost, project.total_messages, project.tool_usage_count, project.total_duration) == ([], 0.0, 0, {}, None)
        assert str(project) == "Project '-demo' with 0 sessions"
        assert capfd.readouterr().err.startswith(f"Warning: Failed to parse session {tmp_path / '-demo' / 'x.jsonl'}: Parse error: Invalid JSONL format at line 1: Invalid JSON: ")

    @pytest.mark.parametrize(
        "suffix,name",
        [("/-a/-b", "-b"), ("/-a/-b/", "-b"), ("/-a/-b/..", "unknown")],
        ids=["path", "trailing_separator", "parent_step"],
    )
    def test_path_mode_names(self, tmp_path: Path, suffix: str, name: str) -> None:
        (tmp_path / "-a" / "-b").mkdir(parents=True)
        assert load_project(str(tmp_path) + suffix, base_path=str(tmp_path / "ignored")).name == name

    def test_name_without_match(self, tmp_path: Path) -> None:
        (tmp_path / "-home-app").mkdir()
        with pytest.raises(ParseError) as info:
            load_project("zzz", str(tmp_path))
        assert info.value.args == (f"Project 'zzz' not found in {tmp_path}",)

    def test_empty_name_matches_the_newest_project(self, tmp_path: Path) -> None:
        for name, offset in (("-old", 0), ("-new", 1)):
            (tmp_path / name).mkdir()
            set_mtime(tmp_path / name, T0 + offset)
        assert load_project("", str(tmp_path)).name == "-new"

    def test_missing_project_directory(self, tmp_path: Path) -> None:
        missing = str(tmp_path / "nope" / "-p")
        with pytest.raises(FileNotFoundError) as info:
            load_project(missing)
        assert info.value.args == (f"Project directory not found: {missing}",)

    def test_missing_base_in_name_mode(self, tmp_path: Path) -> None:
        with pytest.raises(ParseError) as info:
            load_project("x", str(tmp_path / "nope"))
        assert info.value.args == (f"Failed to discover projects: IO error: Directory not found: {tmp_path / 'nope'}",)

    def test_project_path_naming_a_file(self, tmp_path: Path) -> None:
        (tmp_path / "-f").write_text("")
        with pytest.raises(ParseError) as info:
            load_project(str(tmp_path / "-f"))
        assert info.value.args == ("Failed to discover sessions in project: IO error: Not a directory (os error 20)",)

    def test_default_base_under_home(self, home: Path) -> None:
        two_session_project(home, "-home-me-app")
        assert load_project("app").name == "-home-me-app"
