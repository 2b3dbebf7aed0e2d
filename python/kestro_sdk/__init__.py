"""Fast, exact reader for Kestro Code session logs."""

from . import _core
from ._core import *  # noqa: F403  (the module's public names, the same objects)

__version__ = "0.1.0"

# The native module fixes the public names and their order; the package shows the same list.
__all__ = list(_core.__all__)


def __getattr__(name: str) -> object:
    # Submodules that plain reading does not need load on first use, keeping the import fast.
    if name == "pricing":
        import importlib

        return importlib.import_module(f"{__name__}.{name}")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
