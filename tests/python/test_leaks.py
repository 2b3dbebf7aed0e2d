"""Lifetime and leaks: objects outlive what made them; loading, walking, dropping and every error
path, repeated, leave the resident set where it was."""

from __future__ import annotations

import gc
from pathlib import Path
from typing import Callable

import pytest

import kestro_sdk
from conftest import chain, record, rich_lines, write_log
from hostile_helpers import rss_growth, walk, walk_session

LIMIT = 5 * 1024 * 1024


def test_objects_outlive_their_session_and_project(tmp_path: Path) -> None:
    write_log(tmp_path / "-p" / "s.jsonl", chain(3))
    session = kestro_sdk.load_project(str(tmp_path / "-p")).sessions[0]
    message, meta, it, root = session.messages[2], session.metadata, iter(session), session.conversation_tree.root_messages[0]
    del session
    gc.collect()
    assert (meta.total_messages, root.children[0].children[0].message.uuid, [m.uuid for m in it][-1]) == (3, message.uuid, message.uuid)


def test_load_walk_and_drop_300_times(tmp_path: Path) -> None:
    project = tmp_path / "-home-u-app"
    path = str(write_log(project / "a.jsonl", rich_lines(15) + [record("user", 900, parent=901), record("user", 901, parent=900)]))
    write_log(project / "b.jsonl", chain(20, cost=0.5))
    (project / "broken.jsonl").write_text("{not json\n")
    assert walk_session(kestro_sdk.load(path)) > 50_000

    def once() -> int:
        return walk_session(kestro_sdk.load(path)) + walk(kestro_sdk.load_project("app", base_path=str(tmp_path)))

    growth = rss_growth(once, rounds=300, warmup=30)
    assert growth < LIMIT, f"RSS grew by {growth / 1e6:.1f} MB"


def error_paths(tmp: Path) -> dict[str, tuple[type[BaseException], Callable[[], object]]]:
    bad = write_log(tmp / "bad.jsonl", ["{", ""])
    session = kestro_sdk.load(write_log(tmp / "ok.jsonl", chain(3)))
    exhausted = iter(session)
    list(exhausted)

    def failing_predicate(m: object) -> bool:
        raise KeyError("stop")

    return {
        "parse_error": (kestro_sdk.ParseError, lambda: kestro_sdk.load(bad)),
        "missing_file": (FileNotFoundError, lambda: kestro_sdk.load(tmp / "nope.jsonl")),
        "io_error": (FileNotFoundError, lambda: kestro_sdk.load(tmp)),
        "discovery": (kestro_sdk.ParseError, lambda: kestro_sdk.find_sessions(str(tmp / "none"))),
        "unknown_project": (kestro_sdk.ParseError, lambda: kestro_sdk.load_project("zz", base_path=str(tmp))),
        "argument_type": (TypeError, lambda: session.get_thread(5)),
        "argument_count": (TypeError, lambda: kestro_sdk.find_sessions("a", "b", "c")),
        "constructor": (TypeError, lambda: kestro_sdk.Message()),
        "predicate": (KeyError, lambda: session.filter_messages(failing_predicate)),
        "stop_iteration": (StopIteration, lambda: next(exhausted)),
        "surrogate_path": (UnicodeEncodeError, lambda: kestro_sdk.load("x\udcff")),
        "read_only": (AttributeError, lambda: setattr(session, "session_id", "x")),
    }


@pytest.mark.parametrize("name", [
    "parse_error", "missing_file", "io_error", "discovery", "unknown_project", "argument_type", "argument_count",
    "constructor", "predicate", "stop_iteration", "surrogate_path", "read_only",
])  # fmt: skip
def test_each_error_path_1000_times(tmp_path: Path, name: str) -> None:
    error, call = error_paths(tmp_path)[name]

    def once() -> None:
        with pytest.raises(error):
            call()

    growth = rss_growth(once, rounds=1000, warmup=100)
    assert growth < LIMIT, f"RSS grew by {growth / 1e6:.1f} MB"
