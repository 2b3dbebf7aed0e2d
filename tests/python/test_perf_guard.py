"""Instruction-count guard on load(): the count stays within the recorded budget."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import instructions  # noqa: E402


def test_load_instructions_within_budget(tmp_path: Path) -> None:
    ok, message, _ = instructions.check(tmp_path, instructions.load_budget())
    assert ok, message


# The guard passing says nothing about whether a regression would fail it; the verdict decides that.
@pytest.mark.parametrize(
    "measured,passed,note",
    [(11.0, True, ""), (11.01, False, "raise the budget"), (8.9, True, "consider lowering the budget")],
    ids=["exactly_at_the_limit", "just_over_the_limit", "far_below"],
)
def test_verdict_allows_ten_percent(measured: float, passed: bool, note: str) -> None:
    ok, message = instructions.verdict(measured, 10.0, 0.10)
    assert ok is passed and note in message


def test_guard_input_is_made_from_the_repository_alone(tmp_path: Path) -> None:
    # The input the budget was measured on, rebuilt from the seed by the test helpers: a clone
    # without anything beside it must produce the same bytes.
    path = instructions.guard_input(tmp_path)
    want = instructions.load_budget()["input"]
    assert (path.stat().st_size, instructions.sha256_of(path)) == (want["bytes"], want["sha256"])
