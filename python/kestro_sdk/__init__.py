"""Fast, exact reader for Kestro Code session logs."""

from typing import TYPE_CHECKING, Literal

from . import _core
from ._core import *  # noqa: F403  (the module's public names, the same objects)

if TYPE_CHECKING:
    import datetime
    import os
    from collections.abc import Sequence

    from ._reader import ReadError as ReadError
    from ._reader import Transcript as Transcript
    from ._scan import UsageTable

__version__ = "0.1.0"

# The native module fixes the public names and their order; the package shows the same list,
# then the complete reader's and the usage scan's entry points.
__all__ = [*_core.__all__, "read", "scan_usage"]


def read(path: "str | os.PathLike[str]", *, errors: Literal["skip", "strict"] = "skip") -> "Transcript":
    """Reads a session log completely; see kestro_sdk._reader.read.

    The complete reader's module is loaded on first use, so that importing the package stays
    as quick as loading the exact reader alone.
    """
    from ._reader import read as read_native

    return read_native(path, errors=errors)


def scan_usage(
    base_path: "str | os.PathLike[str] | Sequence[str | os.PathLike[str]] | None" = None,
    *,
    since: "datetime.date | datetime.datetime | None" = None,
    until: "datetime.date | datetime.datetime | None" = None,
    projects: "Sequence[str] | None" = None,
    subagents: bool = True,
    threads: int | None = None,
) -> "UsageTable":
    """Every reply under the projects folder(s), once; see kestro_sdk.usage.scan_usage.

    The scan's module is loaded on first use, like the complete reader's.
    """
    from .usage import scan_usage as scan

    return scan(base_path, since=since, until=until, projects=projects, subagents=subagents, threads=threads)


# The complete reader's classes users name directly; the rest stay in kestro_sdk._reader.
_READER_NAMES = ("Transcript", "ReadError")


def __getattr__(name: str) -> object:
    # Submodules that plain reading does not need load on first use, keeping the import fast.
    if name in ("pricing", "usage"):
        import importlib

        return importlib.import_module(f"{__name__}.{name}")
    if name in _READER_NAMES:
        from . import _reader

        return getattr(_reader, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
