"""Lifetime and leaks: objects outlive what made them; loading or reading, walking, dropping and
every error path, repeated, leave the resident set where it was."""

from __future__ import annotations

import gc
import os
from collections.abc import Callable
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import pytest

import kestro_sdk
from conftest import chain, record, rich_lines, uid, write_log
from kestro_sdk import _reader

READER_DATA = Path(__file__).resolve().parents[1] / "data" / "reader"


def rss_growth(action: Callable[[], object], rounds: int, warmup: int) -> int:
    """Runs action warmup times, then rounds times; returns the resident-set growth over the rounds."""

    def rss() -> int:
        gc.collect()
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    for _ in range(warmup):
        action()
    before = rss()
    for _ in range(rounds):
        action()
    return rss() - before


def walk(root: Any) -> int:
    """Reads every property, calls every parameterless method and takes repr and str of root and of
    everything it hands out, tree nodes included; returns a count so the work is not optimised away."""
    n, stack = 0, [root]
    while stack:
        obj = stack.pop()
        n += len(repr(obj)) + len(str(obj))
        if isinstance(obj, (list, tuple)):
            stack.extend(obj)
        elif isinstance(obj, dict):
            stack.extend(obj.values())
        elif type(obj).__module__.startswith("kestro_sdk"):
            for name, member in vars(type(obj)).items():
                if type(member).__name__ == "getset_descriptor" and not name.startswith("__"):
                    stack.append(getattr(obj, name))
                elif getattr(member, "__text_signature__", None) == "($self)":
                    stack.append(getattr(obj, name)())
            if isinstance(obj, _reader.Transcript) and obj.messages:
                stack.append(obj.thread(obj.messages[-1].uuid))
    return n


def walk_session(s: kestro_sdk.Session) -> int:
    """walk() plus every query that takes an argument and the iterator."""
    last = s.messages[-1].uuid
    queries = [list(iter(s)), s.get_messages_by_role("user"), s.get_messages_by_tool("Tool1"), s.get_thread(last),
               s.get_message_by_uuid(last), s.filter_messages(lambda m: m.cost > 0)]  # fmt: skip
    return walk([s, queries])


LIMIT = 5 * 1024 * 1024


def test_objects_outlive_their_session_project_and_transcript(tmp_path: Path) -> None:
    write_log(tmp_path / "-p" / "s.jsonl", chain(3))
    session = kestro_sdk.load_project(str(tmp_path / "-p")).sessions[0]
    message, meta, it = session.messages[2], session.metadata, iter(session)
    root = session.conversation_tree.root_messages[0]
    t = kestro_sdk.read(READER_DATA / "every_type.jsonl")
    read_message, record, reply = t.messages[1], t.records[0], t.replies[0]
    block = read_message.content[2]
    del session, t
    gc.collect()
    assert (meta.total_messages, root.children[0].children[0].message.uuid, [m.uuid for m in it][-1]) == (
        3, message.uuid, message.uuid)  # fmt: skip
    assert (read_message.uuid, record.type, reply.output_tokens, block.name) == (
        uid(3), "permission-mode", 30, "ToolSearch")  # fmt: skip


def test_load_walk_and_drop_300_times(tmp_path: Path) -> None:
    project = tmp_path / "-home-u-app"
    loop = [record("user", 900, parent=901), record("user", 901, parent=900)]
    path = str(write_log(project / "a.jsonl", rich_lines(15) + loop))
    write_log(project / "b.jsonl", chain(20, cost=0.5))
    (project / "broken.jsonl").write_text("{not json\n")
    assert walk_session(kestro_sdk.load(path)) > 50_000

    transcripts = ("every_type.jsonl", "problems.jsonl", "layout_new/session.jsonl")

    def once() -> int:
        return (walk_session(kestro_sdk.load(path)) + walk(kestro_sdk.load_project("app", base_path=str(tmp_path)))
                + walk([kestro_sdk.read(READER_DATA / name) for name in transcripts]))  # fmt: skip

    growth = rss_growth(once, rounds=300, warmup=30)
    assert growth < LIMIT, f"RSS grew by {growth / 1e6:.1f} MB"


def failing_predicate(m: object) -> bool:
    raise KeyError("stop")


ERROR_PATHS: dict[str, tuple[type[BaseException], Callable[[SimpleNamespace], object]]] = {
    "parse_error": (kestro_sdk.ParseError, lambda c: kestro_sdk.load(c.bad)),
    "missing_file": (FileNotFoundError, lambda c: kestro_sdk.load(c.tmp / "nope.jsonl")),
    "io_error": (FileNotFoundError, lambda c: kestro_sdk.load(c.tmp)),
    "discovery": (kestro_sdk.ParseError, lambda c: kestro_sdk.find_sessions(str(c.tmp / "none"))),
    "unknown_project": (kestro_sdk.ParseError, lambda c: kestro_sdk.load_project("zz", base_path=str(c.tmp))),
    "argument_type": (TypeError, lambda c: c.session.get_thread(5)),
    "argument_count": (TypeError, lambda c: kestro_sdk.find_sessions("a", "b", "c")),
    "constructor": (TypeError, lambda c: kestro_sdk.Message()),
    "predicate": (KeyError, lambda c: c.session.filter_messages(failing_predicate)),
    "stop_iteration": (StopIteration, lambda c: next(c.exhausted)),
    "surrogate_path": (UnicodeEncodeError, lambda c: kestro_sdk.load("x\udcff")),
    "read_only": (AttributeError, lambda c: setattr(c.session, "session_id", "x")),
    "strict_read": (_reader.ReadError, lambda c: kestro_sdk.read(READER_DATA / "problems.jsonl", errors="strict")),
    "read_missing_file": (FileNotFoundError, lambda c: kestro_sdk.read(c.tmp / "nope.jsonl")),
}  # fmt: skip


@pytest.mark.parametrize("error,call", ERROR_PATHS.values(), ids=ERROR_PATHS.keys())
def test_each_error_path_1000_times(tmp_path: Path, error: type[BaseException],
                                    call: Callable[[SimpleNamespace], object]) -> None:  # fmt: skip
    session = kestro_sdk.load(write_log(tmp_path / "ok.jsonl", chain(3)))
    bad = write_log(tmp_path / "bad.jsonl", ["{", ""])
    c = SimpleNamespace(tmp=tmp_path, bad=bad, session=session, exhausted=iter(session))
    list(c.exhausted)

    def once() -> None:
        with pytest.raises(error):
            call(c)

    growth = rss_growth(once, rounds=1000, warmup=100)
    assert growth < LIMIT, f"RSS grew by {growth / 1e6:.1f} MB"
