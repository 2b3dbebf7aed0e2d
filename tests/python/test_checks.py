"""The Python package type-checks under mypy --strict and passes ruff, as installed and as written."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).parents[2]


def test_installed_package_is_mypy_strict_clean(tmp_path: Path) -> None:
    # From tmp_path, so that mypy checks the installed package and keeps its cache out of the tree.
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "c"),
                             "-p", "kestro_sdk"], capture_output=True, text=True, cwd=tmp_path)  # fmt: skip
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("args", [["check"], ["format", "--check"]], ids=["lint", "format"])
def test_package_sources_are_ruff_clean(args: list[str]) -> None:
    result = subprocess.run([sys.executable, "-m", "ruff", *args, "--no-cache", "python"],
                            capture_output=True, text=True, cwd=ROOT)  # fmt: skip
    assert result.returncode == 0, result.stdout + result.stderr
