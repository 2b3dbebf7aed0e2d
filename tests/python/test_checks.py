"""The installed package type-checks under mypy --strict (ruff runs over every file in scripts/test)."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path


def test_installed_package_is_mypy_strict_clean(tmp_path: Path) -> None:
    # From tmp_path, so that mypy checks the installed package and keeps its cache out of the tree.
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "c"),
                             "-p", "kestro_sdk"], capture_output=True, text=True, cwd=tmp_path)  # fmt: skip
    assert result.returncode == 0, result.stdout + result.stderr
