"""The README's first example runs as written against a home that holds the files it names."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

from conftest import chain, write_log

README = Path(__file__).resolve().parents[2] / "README.md"


def test_readme_example_runs_as_written(home: Path, capsys: pytest.CaptureFixture[str]) -> None:
    # The first Python block is the example of the module functions.
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
    write_log(home / "-home-me-app" / "1234.jsonl", chain(4, cost=0.5))
    exec(compile(blocks[0], str(README), "exec"), {})
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "sess-1 $2.0000 4"
    assert lines[-1] == "Project '-home-me-app' with 1 sessions 4 {}"
