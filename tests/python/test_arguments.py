"""Argument handling of every function and method: CPython's wording, and no crash on any value."""

from __future__ import annotations

from pathlib import Path
from typing import Any, Callable

import pytest

from conftest import image, record, text, thinking, tool_result, tool_use, uid, usage, write_log
from kestro_sdk import Session, _core, find_projects, find_sessions, load, load_project

ARGUMENT_ERRORS: list[tuple[str, Callable[[Session], Any], str]] = [
    ("load_missing", lambda s: load(), "load() missing 1 required positional argument: 'file_path'"),
    ("load_too_many", lambda s: load("a", "b"), "load() takes 1 positional arguments but 2 were given"),
    ("load_multiple", lambda s: load("a", file_path="b"), "load() got multiple values for argument 'file_path'"),
    ("load_unexpected", lambda s: load("a", path="b"), "load() got an unexpected keyword argument 'path'"),
    ("find_sessions_too_many", lambda s: find_sessions("a", "b", "c"), "find_sessions() takes from 0 to 2 positional arguments but 3 were given"),
    ("find_sessions_unexpected", lambda s: find_sessions(base="x"), "find_sessions() got an unexpected keyword argument 'base'"),
    ("find_projects_too_many", lambda s: find_projects("a", "b"), "find_projects() takes from 0 to 1 positional arguments but 2 were given"),
    ("find_projects_multiple", lambda s: find_projects("a", base_path="b"), "find_projects() got multiple values for argument 'base_path'"),
    ("load_project_missing", lambda s: load_project(base_path="x"), "load_project() missing 1 required positional argument: 'project_identifier'"),
    ("load_project_too_many", lambda s: load_project("a", "b", "c"), "load_project() takes from 1 to 2 positional arguments but 3 were given"),
    ("thread_missing", lambda s: s.get_thread(), "Session.get_thread() missing 1 required positional argument: 'message_uuid'"),
    ("thread_too_many", lambda s: s.get_thread("a", "b"), "Session.get_thread() takes 1 positional arguments but 2 were given"),
    ("thread_unexpected", lambda s: s.get_thread(message_uuid="a", uuid="b"), "Session.get_thread() got an unexpected keyword argument 'uuid'"),
    ("role_multiple", lambda s: s.get_messages_by_role("user", role="user"), "Session.get_messages_by_role() got multiple values for argument 'role'"),
    ("filter_missing", lambda s: s.filter_messages(), "Session.filter_messages() missing 1 required positional argument: 'predicate'"),
    ("role_int", lambda s: s.get_messages_by_role(1), "argument 'role': 'int' object cannot be converted to 'PyString'"),
    ("tool_name_none", lambda s: s.get_messages_by_tool(None), "argument 'tool_name': 'NoneType' object cannot be converted to 'PyString'"),
    ("uuid_bytes", lambda s: s.get_message_by_uuid(b"x"), "argument 'uuid': 'bytes' object cannot be converted to 'PyString'"),
    ("message_uuid_list", lambda s: s.get_thread([]), "argument 'message_uuid': 'list' object cannot be converted to 'PyString'"),
    ("base_path_pathlib", lambda s: find_sessions(base_path=Path("/")), "argument 'base_path': 'PosixPath' object cannot be converted to 'PyString'"),
    ("project_int", lambda s: find_sessions(None, 1), "argument 'project': 'int' object cannot be converted to 'PyString'"),
    ("identifier_int", lambda s: load_project(5), "argument 'project_identifier': 'int' object cannot be converted to 'PyString'"),
    ("projects_base_float", lambda s: find_projects(1.5), "argument 'base_path': 'float' object cannot be converted to 'PyString'"),
]


@pytest.fixture
def session(tmp_path: Path) -> Session:
    lines = [
        record("user", 1, content=[text("hi")]),
        record("assistant", 2, parent=1, content=[thinking("hm"), tool_use("t", "Bash", {"a": 1}), image()], cost=0.1, usage=usage(5, 6)),
        record("user", 3, parent=2, content=[tool_result("t", "ok")]),
    ]
    return load(write_log(tmp_path / "s.jsonl", lines))


class TestArgumentErrors:
    @pytest.mark.parametrize("call,message", [r[1:] for r in ARGUMENT_ERRORS], ids=[r[0] for r in ARGUMENT_ERRORS])
    def test_wording(self, session: Session, call: Callable[[Session], Any], message: str) -> None:
        with pytest.raises(TypeError) as info:
            call(session)
        assert info.value.args == (message,)

    @pytest.mark.parametrize("name", ["get_main_chain", "get_messages_by_role", "get_thread"])
    def test_methods_without_self_argument(self, name: str) -> None:
        with pytest.raises(TypeError):
            getattr(Session, name)(object(), "x")

    def test_keywords_are_accepted(self, session: Session, tmp_path: Path) -> None:
        assert [m.uuid for m in session.get_thread(message_uuid=uid(2))] == [uid(1), uid(2)]
        assert len(session.get_messages_by_role(role="user")) == 2
        assert len(session.get_messages_by_tool(tool_name="Bash")) == 1
        assert session.get_message_by_uuid(uuid=uid(3)) is not None
        assert len(session.filter_messages(predicate=lambda m: True)) == 3
        assert load(file_path=session.metadata.session_file_path).session_id == "sess-1"
        assert find_sessions(base_path=str(tmp_path), project=None) == [str(tmp_path / "s.jsonl")]
        assert find_projects(base_path=str(tmp_path)) == []


class Weird:
    def __str__(self) -> str:
        raise RuntimeError("no text")


ODD_VALUES = [None, 0, -1, 2**70, 1.5, float("nan"), True, b"x", bytearray(b"y"), "", "\0", "\ud800", "x" * 100_000, [], {}, (), object(), Path("/nonexistent"), Weird(), int]
ODD_IDS = ["none", "zero", "minus", "huge_int", "float", "nan", "bool", "bytes", "bytearray", "empty", "nul", "surrogate", "long", "list", "dict", "tuple", "object", "path", "bad_str", "type"]


def all_instances(session: Session, tmp_path: Path) -> dict[str, object]:
    """One live instance of every class, keyed by class name."""
    messages = session.messages
    tree = session.conversation_tree
    execution = session.tool_executions[0]
    write_log(tmp_path / "-proj" / "s.jsonl", [record()])
    instances: dict[str, object] = {type(b).__name__: b for m in messages for b in m.get_content_blocks()}
    instances.update(
        Session=session,
        Message=messages[1],
        MessageIterator=iter(session),
        Project=load_project(str(tmp_path / "-proj")),
        SessionMetadata=session.metadata,
        ToolExecution=execution,
        ToolResult=execution.output,
        ConversationTree=tree,
        ConversationNode=tree.root_messages[0],
        ConversationStats=tree.stats,
        TokenUsage=messages[1].usage,
    )
    return instances


def attempt(call: Callable[[], object]) -> None:
    try:
        call()
    except Exception:
        # Any ordinary exception is an acceptable answer; a crash or a BaseException is not.
        pass


class TestNoCrash:
    @pytest.mark.parametrize("value", ODD_VALUES, ids=ODD_IDS)
    def test_module_functions(self, value: object, home: Path) -> None:
        for fn in (load, find_sessions, find_projects, load_project):
            for args, kwargs in (((value,), {}), ((), {"x": value}), (("a", value), {}), ((value, value, value), {})):
                attempt(lambda: fn(*args, **kwargs))

    @pytest.mark.parametrize("value", ODD_VALUES, ids=ODD_IDS)
    def test_every_method_and_property(self, value: object, session: Session, tmp_path: Path) -> None:
        instances = all_instances(session, tmp_path)
        assert sorted(instances) == sorted([*_core.__all__[:15], "MessageIterator"])
        for name, instance in instances.items():
            cls = type(instance)
            for attr, member in vars(cls).items():
                if attr in ("__new__", "__init__", "__doc__", "__module__"):
                    continue
                if type(member).__name__ == "getset_descriptor":
                    attempt(lambda: member.__get__(value, cls))
                    attempt(lambda: member.__set__(instance, value))
                    attempt(lambda: member.__get__(instance, cls))
                elif callable(member):
                    attempt(lambda: member(value))
                    attempt(lambda: member(value, value))
                    attempt(lambda: member(instance))
                    attempt(lambda: member(instance, value))
                    attempt(lambda: member(instance, x=value))
