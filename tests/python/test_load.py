"""load(): path arguments, the reading rules of a log file, error texts and warning lines."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

from conftest import dumps, record, summary, uid, usage, write_log
from kestro_sdk import KestroSDKError, ParseError, load

USER = dumps(record("user", 1))
PREFIX = "Failed to parse session: Parse error: "


def nested(depth: int) -> str:
    return "[" * depth + "]" * depth


EXACT_ERRORS = [
    ("empty_file", b"", ParseError, PREFIX + "Empty session file"),
    ("blank_lines", b"\n  \t\n\n", ParseError, PREFIX + "Empty session file"),
    ("summary_only", (dumps(summary()) + "\n").encode(), ParseError, PREFIX + "Empty session file"),
    ("array_line", b"[1, 2]\n", ParseError, PREFIX + "Invalid JSONL format at line 1: Missing 'type' field"),
    ("string_line", b'"user"\n', ParseError, PREFIX + "Invalid JSONL format at line 1: Missing 'type' field"),
    ("numeric_type", b'{"type": 3}\n', ParseError, PREFIX + "Invalid JSONL format at line 1: Missing 'type' field"),
    ("depth_127", (nested(127) + "\n").encode(), ParseError, PREFIX + "Invalid JSONL format at line 1: Missing 'type' field"),
    (
        "missing_uuid",
        (json.dumps({k: v for k, v in record().items() if k != "uuid"}) + "\n").encode(),
        ParseError,
        PREFIX + "Invalid JSONL format at line 1: Invalid message record: missing field `uuid`",
    ),
    (
        "null_content",
        (json.dumps(record(content=None) | {"message": {"role": "user", "content": None}}) + "\n").encode(),
        ParseError,
        PREFIX + "Invalid JSONL format at line 1: Invalid message record: invalid type: null, expected string or array of content blocks",
    ),
    (
        "token_count_above_u32",
        (USER + "\n" + json.dumps(record("assistant", 2, usage=usage(1, 4294967296))) + "\n").encode(),
        ParseError,
        PREFIX + "Invalid JSONL format at line 2: Invalid message record: invalid value: integer `4294967296`, expected u32",
    ),
    (
        "bad_summary_third_line",
        (USER + "\n\n" + json.dumps({"type": "summary", "summary": "s"}) + "\n").encode(),
        ParseError,
        PREFIX + "Invalid JSONL format at line 3: Invalid summary record: missing field `leafUuid`",
    ),
    (
        "invalid_utf8",
        USER.encode() + b"\n" + b'{"type": "user", "x": "\xff\xfe"}\n',
        FileNotFoundError,
        "IO error: IO error: stream did not contain valid UTF-8",
    ),
]

PREFIX_ERRORS = [
    ("bad_json_after_blank_line", b"\n{not json\n", PREFIX + "Invalid JSONL format at line 2: Invalid JSON: "),
    ("text_after_value", (USER + " x\n").encode(), PREFIX + "Invalid JSONL format at line 1: Invalid JSON: "),
    ("depth_128", (nested(128) + "\n").encode(), PREFIX + "Invalid JSONL format at line 1: Invalid JSON: "),
]


class TestLoadErrors:
    @pytest.mark.parametrize("data,exc,message", [r[1:] for r in EXACT_ERRORS], ids=[r[0] for r in EXACT_ERRORS])
    def test_exact_message(self, tmp_path: Path, data: bytes, exc: type, message: str) -> None:
        path = tmp_path / "s.jsonl"
        path.write_bytes(data)
        with pytest.raises(exc) as info:
            load(str(path))
        assert type(info.value) is exc
        assert info.value.args == (message,)

    @pytest.mark.parametrize("data,prefix", [r[1:] for r in PREFIX_ERRORS], ids=[r[0] for r in PREFIX_ERRORS])
    def test_message_prefix(self, tmp_path: Path, data: bytes, prefix: str) -> None:
        path = tmp_path / "s.jsonl"
        path.write_bytes(data)
        with pytest.raises(ParseError) as info:
            load(str(path))
        assert str(info.value).startswith(prefix)
        assert len(str(info.value)) > len(prefix)

    def test_nesting_beyond_the_limit_names_the_limit(self, tmp_path: Path) -> None:
        path = write_log(tmp_path / "s.jsonl", [nested(128)])
        with pytest.raises(ParseError, match="recursion limit exceeded"):
            load(str(path))

    def test_parse_error_is_caught_as_the_base_error(self, tmp_path: Path) -> None:
        path = write_log(tmp_path / "s.jsonl", [])
        with pytest.raises(KestroSDKError):
            load(str(path))

    def test_missing_file(self, tmp_path: Path) -> None:
        missing = str(tmp_path / "nope" / "s.jsonl")
        with pytest.raises(FileNotFoundError) as info:
            load(missing)
        assert info.value.args == (f"Session file not found: {missing}",)

    def test_directory(self, tmp_path: Path) -> None:
        with pytest.raises(FileNotFoundError) as info:
            load(str(tmp_path))
        assert info.value.args == ("IO error: IO error: Is a directory (os error 21)",)

    def test_path_with_nul_byte_is_not_found(self) -> None:
        with pytest.raises(FileNotFoundError) as info:
            load("a\0b")
        assert info.value.args == ("Session file not found: a\0b",)


class TestPathArgument:
    def test_pathlib_path_loads_the_same_file(self, tmp_path: Path) -> None:
        path = write_log(tmp_path / "s.jsonl", [record("user", 1), record("assistant", 2, parent=1)])
        by_path, by_text = load(path), load(str(path))
        assert (len(by_path), by_path.metadata.session_file_path) == (2, str(path))
        assert [m.uuid for m in by_path.messages] == [m.uuid for m in by_text.messages]

    def test_int_names_a_file_in_the_working_directory(self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
        monkeypatch.chdir(tmp_path)
        with pytest.raises(FileNotFoundError) as info:
            load(42)  # type: ignore[arg-type]
        assert info.value.args == ("Session file not found: 42",)
        write_log(tmp_path / "42", [record()])
        assert load(42).session_id == "sess-1"  # type: ignore[arg-type]

    def test_exception_from_str_propagates_unchanged(self) -> None:
        class Exploding:
            def __str__(self) -> str:
                raise KeyError("boom")

        with pytest.raises(KeyError, match="boom"):
            load(Exploding())  # type: ignore[arg-type]

    def test_str_returning_non_text(self) -> None:
        class NotText:
            def __str__(self) -> int:  # type: ignore[override]
                return 7

        with pytest.raises(TypeError) as info:
            load(NotText())  # type: ignore[arg-type]
        assert info.value.args == ("'int' object cannot be converted to 'PyString'",)

    def test_lone_surrogate_fails_to_encode(self) -> None:
        with pytest.raises(UnicodeEncodeError):
            load("bad\ud800.jsonl")


class TestReading:
    def test_summary_before_the_first_message(self, load_lines) -> None:
        session = load_lines([summary(1), record("user", 1, session_id="from-user")])
        assert (session.session_id, len(session)) == ("from-user", 1)

    def test_session_id_comes_from_the_first_record(self, load_lines) -> None:
        session = load_lines([record("user", 1, session_id="a"), record("assistant", 2, session_id="b")])
        assert (session.session_id, len(session)) == ("a", 2)

    def test_crlf_blank_and_unterminated_lines(self, tmp_path: Path) -> None:
        path = tmp_path / "s.jsonl"
        body = "\r\n".join([dumps(record("user", 1)), " \t ", "", dumps(record("assistant", 2, parent=1))])
        path.write_bytes(body.encode())
        assert [m.uuid for m in load(str(path)).messages] == [uid(1), uid(2)]

    def test_upper_case_and_braced_uuids_are_normalised(self, load_lines) -> None:
        session = load_lines([record("user", uid(10).upper()), record("assistant", "{" + uid(11) + "}", parent=uid(10).upper())])
        assert [(m.uuid, m.parent_uuid) for m in session.messages] == [(uid(10), None), (uid(11), uid(10))]

    def test_unknown_keys_are_ignored(self, load_lines) -> None:
        line = record(content=[text_with_cache_control()], somethingNew={"x": [1]})
        assert load_lines([line]).messages[0].text == "cached"


def text_with_cache_control() -> dict:
    return {"type": "text", "text": "cached", "cache_control": {"type": "ephemeral"}}


class TestWarnings:
    @pytest.mark.parametrize(
        "record_type,line",
        [("system", 2), ("User", 2), ("file-history-snapshot", 2)],
        ids=["system", "capitalised_user", "snapshot"],
    )
    def test_unknown_type_is_skipped_with_one_line(self, capfd, load_lines, record_type: str, line: int) -> None:
        session = load_lines([record("user", 1), {"type": record_type, "content": "x"}, record("assistant", 2, parent=1)])
        assert len(session) == 2
        assert capfd.readouterr().err == f"Warning: Unknown record type '{record_type}' at line {line}, skipping\n"

    def test_warnings_already_printed_stay_when_a_later_line_fails(self, capfd, write) -> None:
        path = write(["", {"type": "system"}, record("user", 1), {"type": "progress"}, "{oops"])
        with pytest.raises(ParseError, match="at line 5: Invalid JSON: "):
            load(path)
        assert capfd.readouterr().err == (
            "Warning: Unknown record type 'system' at line 2, skipping\n"
            "Warning: Unknown record type 'progress' at line 4, skipping\n"
        )

    def test_clean_log_writes_nothing(self, capfd, load_lines) -> None:
        load_lines([record("user", 1)])
        assert capfd.readouterr() == ("", "")
