"""Leaks: loading, walking and dropping, and every error path, repeated until memory settles."""

from __future__ import annotations

from pathlib import Path
from typing import Any, Callable

import pytest

import kestro_sdk
from conftest import big_session_lines, chain, image, record, thinking, tool_result, tool_use, usage, write_log
from hostile_helpers import rss_growth, walk_session

LIMIT = 5 * 1024 * 1024


def rich_lines() -> list[dict[str, Any]]:
    """Every record field and block kind, orphans and a loop, so every converter runs."""
    return big_session_lines(60_000) + [
        record("assistant", 900, parent=901, content=[thinking("t"), tool_use("x", "Bash", {"a": [1, -2, 2.5, None, True, "s", {}]})],
               usage=usage(1, 2, cache_creation_input_tokens=3, service_tier="standard"), stop_reason="end_turn"),
        record("user", 901, parent=900, content=[tool_result("x", [image()], True)]),
        record("user", 902, parent=999, content=None),
    ]


def test_load_walk_and_drop_300_times(tmp_path: Path) -> None:
    path = str(write_log(tmp_path / "s.jsonl", rich_lines()))
    growth = rss_growth(lambda: walk_session(kestro_sdk.load(path)), rounds=300, warmup=30)
    print(f"load/walk/drop x300: RSS {growth / 1e6:+.2f} MB")
    assert growth < LIMIT, f"RSS grew by {growth / 1e6:.1f} MB"


def test_load_project_walk_and_drop_300_times(tmp_path: Path) -> None:
    project = tmp_path / "-home-u-app"
    write_log(project / "a.jsonl", rich_lines())
    write_log(project / "b.jsonl", chain(20, cost=0.5))
    (project / "broken.jsonl").write_text("{not json\n")

    def once() -> int:
        p = kestro_sdk.load_project("app", base_path=str(tmp_path))
        n = len(repr(p)) + len(str(p)) + len(p.name) + int(p.total_cost) + p.total_messages
        n += len(p.tool_usage_count) + (p.total_duration or 0)
        return n + sum(walk_session(s) for s in p.sessions)

    growth = rss_growth(once, rounds=300, warmup=30)
    print(f"load_project/walk/drop x300: RSS {growth / 1e6:+.2f} MB")
    assert growth < LIMIT, f"RSS grew by {growth / 1e6:.1f} MB"


def _raiser(tmp: Path) -> dict[str, tuple[type[BaseException], Callable[[], object]]]:
    bad = write_log(tmp / "bad.jsonl", ["{", ""])
    empty = write_log(tmp / "empty.jsonl", [])
    not_utf8 = tmp / "latin1.jsonl"
    not_utf8.write_bytes(b'{"type":"user","x":"\xe9"}\n')
    session = kestro_sdk.load(write_log(tmp / "ok.jsonl", chain(3)))

    def failing_predicate(m: object) -> bool:
        raise KeyError("stop")

    def exhausted() -> object:
        it = iter(session)
        for _ in it:
            pass
        return next(it)

    return {
        "parse_error": (kestro_sdk.ParseError, lambda: kestro_sdk.load(bad)),
        "empty_file": (kestro_sdk.ParseError, lambda: kestro_sdk.load(empty)),
        "missing_file": (FileNotFoundError, lambda: kestro_sdk.load(tmp / "nope.jsonl")),
        "invalid_utf8": (FileNotFoundError, lambda: kestro_sdk.load(not_utf8)),
        "directory": (FileNotFoundError, lambda: kestro_sdk.load(tmp)),
        "discovery": (kestro_sdk.ParseError, lambda: kestro_sdk.find_sessions(str(tmp / "none"))),
        "unknown_project": (kestro_sdk.ParseError, lambda: kestro_sdk.load_project("zz", base_path=str(tmp))),
        "missing_project_dir": (FileNotFoundError, lambda: kestro_sdk.load_project(str(tmp / "a/b"))),
        "argument_type": (TypeError, lambda: session.get_thread(5)),
        "argument_count": (TypeError, lambda: kestro_sdk.find_sessions("a", "b", "c")),
        "constructor": (TypeError, lambda: kestro_sdk.Message()),
        "predicate": (KeyError, lambda: session.filter_messages(failing_predicate)),
        "stop_iteration": (StopIteration, exhausted),
        "surrogate_path": (UnicodeEncodeError, lambda: kestro_sdk.load("x\udcff")),
        "read_only": (AttributeError, lambda: setattr(session, "session_id", "x")),
    }


ERROR_PATHS = [
    "parse_error", "empty_file", "missing_file", "invalid_utf8", "directory", "discovery", "unknown_project",
    "missing_project_dir", "argument_type", "argument_count", "constructor", "predicate", "stop_iteration",
    "surrogate_path", "read_only",
]


@pytest.mark.parametrize("name", ERROR_PATHS)
def test_each_error_path_1000_times(tmp_path: Path, name: str) -> None:
    error, call = _raiser(tmp_path)[name]

    def once() -> None:
        try:
            call()
        except error:
            return
        raise AssertionError(f"{name} did not raise {error.__name__}")

    growth = rss_growth(once, rounds=1000, warmup=100)
    print(f"{name} x1000: RSS {growth / 1e6:+.2f} MB")
    assert growth < LIMIT, f"RSS grew by {growth / 1e6:.1f} MB"
