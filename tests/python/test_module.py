"""The module as a whole: exported names, exceptions, class shape, signatures, stubs, symbols."""

from __future__ import annotations

import importlib
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest

import kestro_sdk
from conftest import chain, write_log
from kestro_sdk import _core, _reader, _scan

# Class name -> first line of its docstring, in the order the module adds them.
CLASSES = {
    "Message": "Individual message in a Kestro Code conversation.",
    "Session": "Primary container for Kestro Code session data.",
    "Project": "Container for a Kestro Code project with multiple sessions.",
    "SessionMetadata": "Metadata about a parsed session",
    "ToolResult": "Result from a tool execution",
    "ToolExecution": "Represents a complete tool execution with timing",
    "ConversationStats": "Statistics about a conversation tree",
    "ConversationNode": "A node in the conversation tree",
    "ConversationTree": "Represents a conversation as a tree structure",
    "TextBlock": "A block of text content in a message",
    "ToolUseBlock": "A tool use block in a message",
    "ThinkingBlock": "A thinking block in a message",
    "ImageBlock": "An image block in a message",
    "ToolResultBlock": "A tool result block in a message",
    "TokenUsage": "Token usage statistics for a message",
}
EXCEPTIONS = ["KestroSDKError", "ParseError", "ValidationError", "SessionError"]
FUNCTIONS = ["load", "find_sessions", "find_projects", "load_project"]


def test_all_lists_the_23_names_in_order() -> None:
    assert _core.__all__ == [*CLASSES, *EXCEPTIONS, *FUNCTIONS]
    assert all(getattr(kestro_sdk, name) is getattr(_core, name) for name in _core.__all__)
    assert (_core.__doc__, hasattr(_core, "MessageIterator")) == ("", False)


def test_reimport_returns_the_same_module() -> None:
    original = sys.modules.pop("kestro_sdk._core")
    try:
        again = importlib.import_module("kestro_sdk._core")
    finally:
        sys.modules["kestro_sdk._core"] = original
    assert again is original and len(again.__all__) == 23


@pytest.mark.parametrize("module", [_core, _reader, _scan], ids=["_core", "_reader", "_scan"])
def test_only_pyinit_is_exported(module: Any) -> None:
    out = subprocess.run(["nm", "-D", "--defined-only", module.__file__], capture_output=True, text=True, check=True)
    init = "PyInit_" + module.__name__.rsplit(".", 1)[1]
    assert [line.split()[-1] for line in out.stdout.splitlines() if line.strip()] == [init]


@pytest.mark.parametrize("module", ["kestro_sdk._core", "kestro_sdk._reader", "kestro_sdk._scan"])
def test_stubs_match_the_runtime(tmp_path: Path, module: str) -> None:
    allowlist = Path(__file__).with_name("stubtest_allowlist.txt")
    # Run from tmp_path so that mypy's cache stays out of the source tree.
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", module, "--allowlist", str(allowlist), "--ignore-unused-allowlist"],
                            capture_output=True, text=True, cwd=tmp_path)  # fmt: skip
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("name", EXCEPTIONS)
def test_exception_names_and_hierarchy(name: str) -> None:
    cls = getattr(_core, name)
    assert (cls.__module__, cls.__name__, cls.__qualname__, cls.__doc__) == ("_core", name, name, None)
    base = (Exception,) if name == "KestroSDKError" else (_core.KestroSDKError, Exception)
    assert cls.__mro__ == (cls, *base, BaseException, object)


@pytest.fixture(scope="module")
def iterator_type(tmp_path_factory: pytest.TempPathFactory) -> type:
    return type(iter(_core.load(write_log(tmp_path_factory.mktemp("it") / "s.jsonl", chain(1)))))


@pytest.mark.parametrize("name", [*CLASSES, "MessageIterator"])
def test_class_shape(name: str, iterator_type: type) -> None:
    cls = iterator_type if name == "MessageIterator" else getattr(_core, name)
    first_doc_line = CLASSES.get(name, "Iterator for messages in a session")
    assert (cls.__module__, cls.__name__, cls.__qualname__, cls.__bases__) == ("kestro_sdk", name, name, (object,))
    assert cls.__doc__.splitlines()[0] == first_doc_line
    for args, kwargs in (((), {}), ((1, "x"), {"a": 2})):
        with pytest.raises(TypeError) as info:
            cls(*args, **kwargs)
        assert info.value.args == (f"No constructor defined for {name}",)
    with pytest.raises(TypeError, match=rf"type 'kestro_sdk\.{name}' is not an acceptable base type"):
        type("Sub", (cls,), {})
    docs = {d.__doc__ for a, d in vars(cls).items() if type(d).__name__ == "getset_descriptor" and a[0] != "_"}
    assert docs == ({""} if name != "MessageIterator" else set())


SIGNATURES = [
    ("load", "(file_path)", "Load a Kestro Code session from a JSONL file."),
    ("find_sessions", "(base_path=None, project=None)", "Find Kestro Code session files."),
    ("find_projects", "(base_path=None)", "Find Kestro Code project directories."),
    ("load_project", "(project_identifier, base_path=None)", "Load a Kestro Code project by name or path."),
    ("Session.get_main_chain", "($self)", "Get only the main conversation chain (excluding sidechains)."),
    ("Session.get_messages_by_role", "($self, role)", "Get messages with a specific role."),
    ("Session.get_messages_by_tool", "($self, tool_name)", "Get messages that used a specific tool."),
    ("Session.get_message_by_uuid", "($self, uuid)", "Get a message by its UUID."),
    ("Session.filter_messages", "($self, predicate)", "Filter messages with a custom predicate function."),
    ("Session.get_thread", "($self, message_uuid)", "Get all messages in a thread from root to specified message."),
    ("Message.get_tool_blocks", "($self)", "Get all tool use blocks in this message."),
    ("Message.get_content_blocks", "($self)", "Get all content blocks with proper typing."),
    ("Message.get_text_blocks", "($self)", "Get all text content blocks in this message."),
    ("Message.has_tool_use", "($self)", "Check if this message contains tool usage."),
    ("ToolResult.is_success", "($self)", "Check if this tool execution was successful"),
    ("ToolResult.effective_content", "($self)", "Get the effective output content"),
    ("ToolExecution.is_success", "($self)", "Check if this tool execution was successful"),
    ("ConversationNode.is_leaf", "($self)", "Check if this node is a leaf (has no children)"),
    ("ConversationNode.child_count", "($self)", "Get the number of children"),
    ("ConversationTree.max_depth", "($self)", "Get the maximum depth of the conversation tree"),
    ("ConversationTree.count_branches", "($self)", "Count the number of branching points"),
]


@pytest.mark.parametrize("dotted,signature,first", SIGNATURES, ids=[s[0] for s in SIGNATURES])
def test_signature_and_first_docstring_line(dotted: str, signature: str, first: str) -> None:
    obj = _core
    for part in dotted.split("."):
        obj = getattr(obj, part)
    assert (obj.__text_signature__, obj.__doc__.splitlines()[0]) == (signature, first)
