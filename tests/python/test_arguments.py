"""Argument handling of every function and method: CPython's wording, and no crash on any value."""

from __future__ import annotations

import contextlib
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

from conftest import image, record, text, thinking, tool_result, tool_use, usage, write_log
from kestro_sdk import Session, _core, find_projects, find_sessions, load, load_project


def not_pystring(param: str, type_name: str) -> str:
    return f"argument '{param}': '{type_name}' object cannot be converted to 'PyString'"


ARGUMENT_ERRORS: list[tuple[str, Callable[[Session], Any], str]] = [
    ("load_missing", lambda s: load(), "load() missing 1 required positional argument: 'file_path'"),
    ("load_too_many", lambda s: load("a", "b"), "load() takes 1 positional arguments but 2 were given"),
    ("load_multiple", lambda s: load("a", file_path="b"), "load() got multiple values for argument 'file_path'"),
    ("load_unexpected", lambda s: load("a", path="b"), "load() got an unexpected keyword argument 'path'"),
    ("find_sessions_too_many", lambda s: find_sessions("a", "b", "c"), "find_sessions() takes from 0 to 2 positional arguments but 3 were given"),
    ("find_projects_multiple", lambda s: find_projects("a", base_path="b"), "find_projects() got multiple values for argument 'base_path'"),
    ("load_project_missing", lambda s: load_project(base_path="x"), "load_project() missing 1 required positional argument: 'project_identifier'"),
    ("thread_missing", lambda s: s.get_thread(), "Session.get_thread() missing 1 required positional argument: 'message_uuid'"),
    ("thread_unexpected", lambda s: s.get_thread(message_uuid="a", uuid="b"), "Session.get_thread() got an unexpected keyword argument 'uuid'"),
    ("filter_not_callable", lambda s: s.filter_messages(1), "'int' object is not callable"),
    ("role_int", lambda s: s.get_messages_by_role(1), not_pystring("role", "int")),
    ("uuid_bytes", lambda s: s.get_message_by_uuid(uuid=b"x"), not_pystring("uuid", "bytes")),
    ("base_path_pathlib", lambda s: find_sessions(base_path=Path("/")), not_pystring("base_path", "PosixPath")),
    ("identifier_none", lambda s: load_project(None), not_pystring("project_identifier", "NoneType")),
]  # fmt: skip


@pytest.fixture
def session(tmp_path: Path) -> Session:
    return load(write_log(tmp_path / "s.jsonl", [
        record("user", 1, content=[text("hi")]),
        record("assistant", 2, parent=1, content=[thinking("hm"), tool_use("t", "Bash", {"a": 1}), image()], cost=0.1, usage=usage(5, 6)),
        record("user", 3, parent=2, content=[tool_result("t", "ok")]),
    ]))  # fmt: skip


def all_instances(session: Session, tmp_path: Path) -> dict[str, object]:
    """One live instance of every class, keyed by class name."""
    messages, tree, execution = session.messages, session.conversation_tree, session.tool_executions[0]
    write_log(tmp_path / "-proj" / "s.jsonl", [record()])
    instances: dict[str, object] = {type(b).__name__: b for m in messages for b in m.get_content_blocks()}
    return instances | {
        "Session": session, "Message": messages[1], "MessageIterator": iter(session),
        "Project": load_project(str(tmp_path / "-proj")), "SessionMetadata": session.metadata,
        "ToolExecution": execution, "ToolResult": execution.output, "ConversationTree": tree,
        "ConversationNode": tree.root_messages[0], "ConversationStats": tree.stats, "TokenUsage": messages[1].usage,
    }  # fmt: skip


@pytest.mark.parametrize("call,message", [r[1:] for r in ARGUMENT_ERRORS], ids=[r[0] for r in ARGUMENT_ERRORS])
def test_wording(session: Session, call: Callable[[Session], Any], message: str) -> None:
    with pytest.raises(TypeError) as info:
        call(session)
    assert info.value.args == (message,)


def test_methods_without_parameters_refuse_arguments(session: Session, tmp_path: Path) -> None:
    checked = []
    for cls, instance in all_instances(session, tmp_path).items():
        for method in (
            m for m, f in vars(type(instance)).items() if getattr(f, "__text_signature__", None) == "($self)"
        ):
            checked.append(f"{cls}.{method}")
            bound = getattr(instance, method)
            with pytest.raises(TypeError) as info:
                bound(1)
            assert info.value.args == (f"{cls}.{method}() takes no arguments (1 given)",)
            with pytest.raises(TypeError) as info:
                bound(x=1)
            assert info.value.args == (f"{cls}.{method}() takes no keyword arguments",)
    # Every parameterless method of the stubs, so none escapes the check above.
    assert len(checked) == 12


class Weird:
    def __str__(self) -> str:
        raise RuntimeError("no text")


ODD_VALUES = {
    "none": None, "zero": 0, "huge_int": 2**70, "nan": float("nan"), "bool": True, "bytes": b"x", "empty": "",
    "nul": "\0", "surrogate": "\ud800", "long": "x" * 100_000, "list": [], "dict": {}, "object": object(),
    "path": Path("/nonexistent"), "bad_str": Weird(), "type": int,
}  # fmt: skip


@pytest.mark.parametrize("value", ODD_VALUES.values(), ids=ODD_VALUES.keys())
def test_no_crash_on_any_value(value: object, session: Session, tmp_path: Path, home: Path) -> None:
    # Any ordinary exception is an acceptable answer; a crash or a BaseException is not.
    answer = contextlib.suppress(Exception)
    for fn in (load, find_sessions, find_projects, load_project):
        for args, kwargs in (((value,), {}), ((), {"x": value}), (("a", value), {}), ((value, value, value), {})):
            with answer:
                fn(*args, **kwargs)
    instances = all_instances(session, tmp_path)
    assert sorted(instances) == sorted([*_core.__all__[:15], "MessageIterator"])
    for instance in instances.values():
        cls = type(instance)
        for attr, member in vars(cls).items():
            if attr in ("__new__", "__init__", "__doc__", "__module__"):
                continue
            if type(member).__name__ == "getset_descriptor":
                with answer:
                    member.__get__(value, cls)
                with pytest.raises(AttributeError):
                    setattr(instance, attr, value)
            elif callable(member):
                calls = [((value,), {}), ((value, value), {}), ((instance, value), {}), ((instance,), {"x": value})]
                for args, kwargs in calls:
                    with answer:
                        member(*args, **kwargs)
