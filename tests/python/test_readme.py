"""The README's examples run as written: the first against a home that holds the files it names, the usage
example against the sample logs beside it."""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import ROOT, chain, write_log

README = (ROOT / "README.md").read_text(encoding="utf-8")


def test_the_first_example_runs_as_written(home: Path, capsys: pytest.CaptureFixture[str]) -> None:
    # The first Python block is the example of the module functions.
    blocks = re.findall(r"```python\n(.*?)```", README, re.S)
    write_log(home / "-home-me-app" / "1234.jsonl", chain(4, cost=0.5))
    exec(compile(blocks[0], "README.md", "exec"), {})
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "sess-1 $2.0000 4"
    assert lines[-1] == "Project '-home-me-app' with 1 sessions 4 {}"


def test_the_usage_example_prints_the_daily_cost_of_the_sample_logs() -> None:
    code = README.split("## Usage and cost", 1)[1].split("```python\n", 1)[1].split("```", 1)[0]
    out = subprocess.run([sys.executable, "-c", code], cwd=ROOT, capture_output=True, text=True, check=True).stdout
    *days, last = out.splitlines()
    assert days and all(re.fullmatch(r"2025-\d\d-\d\d  \$ +\d+\.\d{4}", d) for d in days), out
    assert last == "183 replies; no price for: none"
