"""The kestro-sdk command: argument parsing and rendering over the library's functions.

``run`` is the installed script: ``statusline`` takes a lean path that loads neither
click nor rich, so it can run on every shell prompt; everything else goes to the
click group ``main``, which is loaded on first use.
"""

from __future__ import annotations

import sys
from typing import Any

__all__ = ["main", "run"]


def run() -> None:
    """The ``kestro-sdk`` console script."""
    if sys.argv[1:2] == ["statusline"]:
        from .statusline import main as statusline

        sys.exit(statusline(sys.argv[2:]))
    from .app import main

    main(prog_name="kestro-sdk")


def __getattr__(name: str) -> Any:
    if name == "main":
        from .app import main

        return main
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
