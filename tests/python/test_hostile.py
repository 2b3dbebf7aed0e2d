"""Hostile inputs: each ends in the documented result or a clear exception, never a crash or hang.

Cases that could crash or hang the interpreter run in a child interpreter (run_isolated), so a
fault fails that one case with its signal instead of taking the whole run down.
"""

from __future__ import annotations

import os
import threading
import time
from pathlib import Path

import pytest

from conftest import chain, dumps, record, run_isolated, write_log
from kestro_sdk import ParseError, load

GOOD = dumps(record())
DEEP = 1_000_000


@pytest.mark.parametrize(
    "line,column",
    [("[" * DEEP, 128), ('{"a":' * DEEP, 636), (GOOD[:-1] + ', "toolUseResult": ' + "[" * DEEP + "}", len(GOOD) + 145)],
    ids=["arrays", "objects", "inside_a_record"],
)
def test_a_million_nesting_levels_fail_at_the_depth_limit(tmp_path: Path, line: str, column: int) -> None:
    path = tmp_path / "deep.jsonl"
    path.write_text(GOOD + "\n" + line + "\n")
    out = run_isolated(f"""
        import kestro_sdk
        try:
            kestro_sdk.load({str(path)!r})
        except kestro_sdk.ParseError as e:
            print(e)
        """)  # fmt: skip
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == (
        "Failed to parse session: Parse error: Invalid JSONL format at line 2: "
        f"Invalid JSON: recursion limit exceeded at line 1 column {column}"
    )


def test_a_200_mb_single_line_loads_whole(tmp_path: Path) -> None:
    path = tmp_path / "big.jsonl"
    path.write_text(dumps(record(content="x" * (200 << 20))))
    (message,) = load(path).messages
    assert (len(message.text), message.text[:3], message.text[-3:]) == (200 << 20, "xxx", "xxx")


def test_a_file_that_grows_while_it_is_read(tmp_path: Path) -> None:
    path = write_log(tmp_path / "growing.jsonl", chain(50))
    stop, written = threading.Event(), [50]

    def append() -> None:
        with open(path, "a") as f:
            while not stop.is_set():
                f.write(dumps(record("user", 10_000 + written[0], content="y" * 2000)) + "\n")
                f.flush()
                written[0] += 1

    writer = threading.Thread(target=append)
    writer.start()
    counts: list[int] = []
    try:
        deadline = time.monotonic() + 2.0
        while time.monotonic() < deadline:
            try:
                counts.append(len(load(path)))
            except ParseError as e:
                # A read may overtake a write and end inside the newest line: only that cut line may fail.
                assert "EOF while parsing" in str(e), str(e)
    finally:
        stop.set()
        writer.join()
    assert counts and counts[0] >= 50 and counts == sorted(counts)
    assert len(load(path)) == written[0]


def test_link_loop_non_utf8_name_and_twenty_thousand_files(tmp_path: Path) -> None:
    line = (GOOD + "\n").encode()
    for p in range(20):
        (tmp_path / f"-p{p}").mkdir()
        for i in range(1000):
            (tmp_path / f"-p{p}" / f"{i}.jsonl").write_bytes(line)
    project = tmp_path / "-home-u-loop"
    write_log(project / "a.jsonl", chain(1))
    (project / "again").symlink_to(project)
    with open(os.fsencode(project) + b"/\xff\xfe.jsonl", "w") as f:
        f.write(GOOD + "\n")
    out = run_isolated(f"""
        import time, kestro_sdk
        start = time.monotonic()
        found = kestro_sdk.find_sessions({str(tmp_path)!r})
        fast = time.monotonic() - start < 3.0
        print(len(found), {str(project / "a.jsonl")!r} in found, fast, len(kestro_sdk.find_projects({str(tmp_path)!r})))
        print(len(kestro_sdk.load_project({str(project)!r}).sessions))
        """)  # fmt: skip
    assert out.returncode == 0, out.stderr
    # The file whose name is not UTF-8 is left out of the list, yet load_project still parses it.
    assert out.stdout.split() == ["20001", "True", "True", "21", "2"]


@pytest.mark.parametrize("home", [None, "", "/nonexistent-kestro-home"], ids=["unset", "empty", "nowhere"])
def test_home_unset_empty_or_nowhere(home: str | None) -> None:
    env = {k: v for k, v in os.environ.items() if k != "HOME"} | ({} if home is None else {"HOME": home})
    out = run_isolated("""
        import kestro_sdk
        for call in (kestro_sdk.find_sessions, kestro_sdk.find_projects, lambda: kestro_sdk.load_project("x")):
            try:
                print("ok", type(call()).__name__)
            except kestro_sdk.ParseError as e:
                print(e)
        """, env=env)  # fmt: skip
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    if home:
        missing = "IO error: Directory not found: /nonexistent-kestro-home/.kestro/projects"
        assert lines == [f"Failed to discover {what}: {missing}" for what in ("sessions", "projects", "projects")]
    else:
        # The password database decides the base here; either it lists or it is not found.
        assert len(lines) == 3 and all(
            line.startswith(("ok list", "Failed to discover ")) or "' not found in " in line for line in lines
        )
