"""The module as a whole: exported names, exceptions, class shape, signatures, stubs, symbols."""

from __future__ import annotations

import importlib
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import kestro_sdk
from conftest import chain
from kestro_sdk import _core

EXPORTED = [
    "Message", "Session", "Project", "SessionMetadata", "ToolResult", "ToolExecution",
    "ConversationStats", "ConversationNode", "ConversationTree", "TextBlock", "ToolUseBlock",
    "ThinkingBlock", "ImageBlock", "ToolResultBlock", "TokenUsage", "KestroSDKError",
    "ParseError", "ValidationError", "SessionError", "load", "find_sessions",
    "find_projects", "load_project",
]  # fmt: skip

CLASSES = EXPORTED[:15]
EXCEPTIONS = EXPORTED[15:19]


def message_iterator_type(session_path: str) -> type:
    return type(iter(_core.load(session_path)))


class TestModule:
    def test_all_lists_the_23_names_in_order(self) -> None:
        assert _core.__all__ == EXPORTED

    def test_package_reexports_the_same_objects(self) -> None:
        assert [getattr(kestro_sdk, name) is getattr(_core, name) for name in EXPORTED] == [True] * 23

    def test_module_docstring_is_empty(self) -> None:
        assert _core.__doc__ == ""

    def test_message_iterator_is_not_a_module_attribute(self) -> None:
        assert not hasattr(_core, "MessageIterator")

    def test_reimport_returns_the_same_module_and_keeps_all(self) -> None:
        original = sys.modules.pop("kestro_sdk._core")
        try:
            again = importlib.import_module("kestro_sdk._core")
        finally:
            sys.modules["kestro_sdk._core"] = original
        assert again is original
        assert again.__all__ == EXPORTED

    def test_only_pyinit_is_exported(self) -> None:
        nm = shutil.which("nm")
        if nm is None:
            pytest.skip("nm is not installed")
        out = subprocess.run([nm, "-D", "--defined-only", _core.__file__], capture_output=True, text=True, check=True)
        names = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
        assert names == ["PyInit__core"]

    def test_stubs_match_the_runtime(self, tmp_path: Path) -> None:
        pytest.importorskip("mypy")
        allowlist = Path(__file__).with_name("stubtest_allowlist.txt")
        result = subprocess.run(
            [sys.executable, "-m", "mypy.stubtest", "kestro_sdk._core", "--allowlist", str(allowlist)],
            capture_output=True,
            text=True,
            cwd=tmp_path,  # keeps mypy's cache out of the source tree
        )
        assert result.returncode == 0, result.stdout + result.stderr


class TestExceptions:
    @pytest.mark.parametrize("name", EXCEPTIONS, ids=EXCEPTIONS)
    def test_reports_module_core_and_its_own_name(self, name: str) -> None:
        cls = getattr(_core, name)
        assert (cls.__module__, cls.__name__, cls.__qualname__, cls.__doc__) == ("_core", name, name, None)

    @pytest.mark.parametrize("name", EXCEPTIONS[1:], ids=EXCEPTIONS[1:])
    def test_derives_from_the_base_error(self, name: str) -> None:
        assert getattr(_core, name).__mro__[1:] == (_core.KestroSDKError, Exception, BaseException, object)

    def test_base_error_derives_from_exception(self) -> None:
        assert _core.KestroSDKError.__bases__ == (Exception,)

    def test_raised_instance_holds_one_message(self, tmp_path: Path) -> None:
        (tmp_path / "empty.jsonl").write_text("")
        with pytest.raises(_core.ParseError) as info:
            _core.load(str(tmp_path / "empty.jsonl"))
        assert type(info.value) is _core.ParseError
        assert info.value.args == ("Failed to parse session: Parse error: Empty session file",)


class TestClassShape:
    @pytest.mark.parametrize("name", CLASSES, ids=CLASSES)
    def test_type_names(self, name: str) -> None:
        cls = getattr(_core, name)
        assert (cls.__module__, cls.__name__, cls.__qualname__, cls.__bases__) == ("kestro_sdk", name, name, (object,))

    @pytest.mark.parametrize("name", CLASSES, ids=CLASSES)
    def test_has_no_constructor(self, name: str) -> None:
        cls = getattr(_core, name)
        for args, kwargs in (((), {}), ((1, "x"), {"a": 2})):
            with pytest.raises(TypeError) as info:
                cls(*args, **kwargs)
            assert str(info.value) == f"No constructor defined for {name}"

    @pytest.mark.parametrize("name", CLASSES, ids=CLASSES)
    def test_cannot_be_subclassed(self, name: str) -> None:
        with pytest.raises(TypeError, match=rf"type 'kestro_sdk\.{name}' is not an acceptable base type"):
            type("Sub", (getattr(_core, name),), {})

    @pytest.mark.parametrize("name", CLASSES, ids=CLASSES)
    def test_property_docstrings_are_empty(self, name: str) -> None:
        cls = getattr(_core, name)
        docs = {attr: d.__doc__ for attr, d in vars(cls).items() if type(d).__name__ == "getset_descriptor" and not attr.startswith("__")}
        assert docs and set(docs.values()) == {""}

    def test_message_iterator_shape(self, write) -> None:
        it_type = message_iterator_type(write(chain(1)))
        assert (it_type.__module__, it_type.__qualname__, it_type.__doc__) == ("kestro_sdk", "MessageIterator", "Iterator for messages in a session")
        with pytest.raises(TypeError) as info:
            it_type()
        assert str(info.value) == "No constructor defined for MessageIterator"
        with pytest.raises(TypeError):
            type("Sub", (it_type,), {})


FIRST_DOC_LINES = {
    "Session": "Primary container for Kestro Code session data.",
    "Message": "Individual message in a Kestro Code conversation.",
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


def resolve(dotted: str) -> object:
    obj: object = _core
    for part in dotted.split("."):
        obj = getattr(obj, part)
    return obj


class TestDocumentation:
    @pytest.mark.parametrize("name,first", FIRST_DOC_LINES.items(), ids=list(FIRST_DOC_LINES))
    def test_class_docstring_first_line(self, name: str, first: str) -> None:
        assert getattr(_core, name).__doc__.splitlines()[0] == first

    @pytest.mark.parametrize("dotted,signature,first", SIGNATURES, ids=[s[0] for s in SIGNATURES])
    def test_signature_and_first_docstring_line(self, dotted: str, signature: str, first: str) -> None:
        obj = resolve(dotted)
        assert obj.__text_signature__ == signature
        assert obj.__doc__.splitlines()[0] == first

    def test_get_messages_by_role_docstring_body(self) -> None:
        assert _core.Session.get_messages_by_role.__doc__.splitlines()[1:] == [
            "",
            "Args:",
            '    role: Role to filter by ("user" or "assistant")',
            "",
            "Returns:",
            "    List[Message]: Messages with the specified role",
        ]

    def test_session_docstring_describes_duration_and_tools(self) -> None:
        doc = _core.Session.__doc__
        assert "Set of tool names used in the session" in doc
        assert "Total session duration in seconds (None if not available)" in doc

    def test_tool_use_block_docstring(self) -> None:
        assert _core.ToolUseBlock.__doc__.splitlines() == [
            "A tool use block in a message",
            "",
            "Represents a tool invocation within a message, including the tool name,",
            "input parameters, and invocation ID.",
            "",
            "Properties:",
            "    id: Unique identifier for this tool use",
            "    name: Name of the tool being invoked",
            "    input: Input parameters as a dictionary",
        ]
