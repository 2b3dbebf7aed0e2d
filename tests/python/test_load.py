"""load(): path arguments, exception classes and prefixes, warning lines on standard error."""

from __future__ import annotations

import os
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

from conftest import chain, dumps, record, write_log
from kestro_sdk import ParseError, load

USER = dumps(record("user", 1)).encode()
AT_1 = "Failed to parse session: Parse error: Invalid JSONL format at line 1: "
UTF8 = "IO error: IO error: stream did not contain valid UTF-8"

# One case per exception and prefix, plus the hostile bytes; the tables of failure texts, line
# rules and positions belong to the core's tests.
LOAD_ERRORS = {
    "empty_file": (b"", ParseError, "Failed to parse session: Parse error: Empty session file"),
    "nul_byte": (b'{"type":"x","s":"a\x00b"}', ParseError, AT_1 + "Invalid JSON: control character (\\u0000-\\u001F) found while parsing a string at line 1 column 19"),
    "byte_order_mark": (b"\xef\xbb\xbf" + USER, ParseError, AT_1 + "Invalid JSON: expected value at line 1 column 1"),
    "cut_in_a_character_at_the_end": (USER + b'\n{"type":"user","s":"\xe6\xbc', FileNotFoundError, UTF8),
}  # fmt: skip


@pytest.mark.parametrize("data,exc,message", LOAD_ERRORS.values(), ids=LOAD_ERRORS.keys())
def test_load_errors(tmp_path: Path, data: bytes, exc: type, message: str) -> None:
    (tmp_path / "s.jsonl").write_bytes(data)
    with pytest.raises(exc) as info:
        load(str(tmp_path / "s.jsonl"))
    assert (type(info.value), info.value.args) == (exc, (message,))


def _dangling(tmp: Path) -> Path:
    (tmp / "gone.jsonl").symlink_to(tmp / "nowhere.jsonl")
    return tmp / "gone.jsonl"


def _locked(tmp: Path) -> Path:
    path = write_log(tmp / "locked.jsonl", chain(2))
    path.chmod(0)
    return path


PATH_ERRORS: dict[str, tuple[Callable[[Path], Any], str]] = {
    "missing": (lambda tmp: tmp / "nope" / "s.jsonl", "Session file not found: {path}"),
    "dangling_link": (_dangling, "Session file not found: {path}"),
    "nul_in_path": (lambda tmp: "a\0b", "Session file not found: a\0b"),
    "directory": (lambda tmp: tmp, "IO error: IO error: Is a directory (os error 21)"),
    "unreadable": (_locked, "IO error: IO error: Permission denied (os error 13)"),
    # Any object is taken as a path through its str().
    "int": (lambda tmp: 42, "Session file not found: 42"),
}


@pytest.mark.parametrize("make,message", PATH_ERRORS.values(), ids=PATH_ERRORS.keys())
def test_paths_that_are_not_session_files(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, make: Callable[[Path], Any], message: str
) -> None:
    monkeypatch.chdir(tmp_path)
    path = make(tmp_path)
    if make is _locked and os.geteuid() == 0:
        # Root reads it anyway (CI runs as root): loading is the right result there.
        assert len(load(path)) == 2
        return
    with pytest.raises(FileNotFoundError) as info:
        load(path)
    assert info.value.args == (message.format(path=path),)


def test_path_objects_and_ints_name_files(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    path = write_log(tmp_path / "42", chain(2))
    by_path, by_text = load(path), load(file_path=str(path))
    assert (len(by_path), by_path.metadata.session_file_path) == (2, str(path))
    assert [m.uuid for m in by_path.messages] == [m.uuid for m in by_text.messages]
    monkeypatch.chdir(tmp_path)
    assert len(load(42)) == 2  # type: ignore[arg-type]


class Exploding:
    def __str__(self) -> str:
        raise KeyError("boom")


class NotText:
    def __str__(self) -> int:  # type: ignore[override]
        return 7


@pytest.mark.parametrize(
    "value,exc,args",
    [(Exploding(), KeyError, ("boom",)), (NotText(), TypeError, ("'int' object cannot be converted to 'PyString'",)),
     ("bad\ud800.jsonl", UnicodeEncodeError, None)],
    ids=["str_raises", "str_not_text", "lone_surrogate"],
)  # fmt: skip
def test_unusable_path_values(value: object, exc: type, args: tuple | None) -> None:
    with pytest.raises(exc) as info:
        load(value)  # type: ignore[arg-type]
    assert args is None or info.value.args == args


def test_warnings_go_to_stderr_in_line_order_and_stop_at_the_failure(
    capfd: pytest.CaptureFixture[str], tmp_path: Path
) -> None:
    path = write_log(
        tmp_path / "s.jsonl", [{"type": "system"}, record("user", 1), {"type": "User"}, "{oops", {"type": "late"}]
    )
    with pytest.raises(ParseError, match="at line 4: Invalid JSON: "):
        load(path)
    warning = "Warning: Unknown record type '{}' at line {}, skipping\n"
    assert capfd.readouterr() == ("", warning.format("system", 1) + warning.format("User", 3))
