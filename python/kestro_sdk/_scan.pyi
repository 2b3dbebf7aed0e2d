# Type stubs for the native extension kestro_sdk._scan, the usage scan. kestro_sdk.usage holds
# the public scan_usage (it normalises the arguments, then calls scan_tree).
#
# Every class is created by the extension without a Python constructor and cannot be
# subclassed, hence @final and no __init__. Properties are read-only.

import datetime
import os
from collections.abc import Iterable, Iterator
from typing import Any, Literal, final

from .pricing import PriceTable

__all__ = ["UsageTable", "UsageRow", "FileScan", "scan_files", "scan_tree"]

_Path = str | os.PathLike[str]

@final
class UsageRow:
    """One API reply: its records merged by (message id, request id)."""

    @property
    def timestamp(self) -> datetime.datetime:
        """The earliest record's time, timezone-aware UTC (microseconds)."""
    @property
    def project(self) -> str:
        """The project folder's name."""
    @property
    def session_id(self) -> str:
        """The record's sessionId, else the file's name without .jsonl."""
    @property
    def agent_id(self) -> str | None:
        """The sub-agent that made the reply; None for the main conversation."""
    @property
    def is_sidechain(self) -> bool: ...
    @property
    def model(self) -> str | None: ...
    @property
    def input_tokens(self) -> int: ...
    @property
    def output_tokens(self) -> int: ...
    @property
    def cache_creation_tokens(self) -> int: ...
    @property
    def cache_creation_5m_tokens(self) -> int: ...
    @property
    def cache_creation_1h_tokens(self) -> int: ...
    @property
    def cache_read_tokens(self) -> int: ...
    @property
    def logged_cost_usd(self) -> float | None:
        """The largest costUSD among the reply's records; None when none logs one."""
    @property
    def tools(self) -> list[str]:
        """The names of the reply's tool_use blocks, in order; a block its reply repeats (same
        id) once."""
    @property
    def tool_errors(self) -> list[str]:
        """The names of its calls whose tool_result (a later user record of the same file,
        matched by tool_use_id) has is_error true, each call once, in the order the results
        came."""
    @property
    def message_id(self) -> str | None: ...
    @property
    def request_id(self) -> str | None: ...
    @property
    def cost_usd(self) -> float | None:
        """The cost with_costs gave this reply; None before with_costs or when unpriced."""

@final
class UsageTable:
    """Replies, each once. Iterates as UsageRow; read by Arrow consumers through
    __arrow_c_stream__ (columns as UsageRow's attributes; cost_usd only after with_costs)."""

    def __len__(self) -> int: ...
    def __getitem__(self, key: int, /) -> UsageRow: ...
    def __iter__(self) -> Iterator[UsageRow]: ...
    @property
    def problems(self) -> list[tuple[str, int, list[tuple[int, str]]]]:
        """Per file with problems: (path, how many, the first few (line, reason)). A file that
        could not be read has one problem on line 0."""
    @property
    def has_costs(self) -> bool: ...
    @property
    def unpriced_models(self) -> list[str | None]:
        """After with_costs: the models of the replies left without a cost, first seen first."""
    def with_costs(
        self,
        prices: PriceTable | _Path | None = None,
        mode: Literal["auto", "calculate", "display"] = "auto",
    ) -> UsageTable:
        """A table of the same rows with cost_usd set (kestro_sdk.pricing.costs); prices as
        kestro_sdk.pricing.load_prices takes them."""
    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        """A PyCapsule named "arrow_array_stream" holding an ArrowArrayStream."""

@final
class FileScan:
    """One file scanned from `start`: its replies merged within the file, its problems and the
    facts about its session."""

    @property
    def path(self) -> str: ...
    @property
    def start(self) -> int: ...
    @property
    def end(self) -> int:
        """Just past the last line read completely (a line feed, or a final line without one
        that reads as JSON): where the scan of a grown file resumes."""
    @property
    def lines(self) -> int:
        """Physical lines read between start and end; line numbers count from start."""
    @property
    def dev(self) -> int: ...
    @property
    def ino(self) -> int: ...
    @property
    def size(self) -> int: ...
    @property
    def mtime_ns(self) -> int: ...
    @property
    def error(self) -> str | None:
        """Why the file could not be read; None when it was."""
    @property
    def rows(self) -> UsageTable: ...
    @property
    def problems(self) -> list[tuple[int, str]]: ...
    @property
    def session_id(self) -> str | None: ...
    @property
    def agent_id(self) -> str | None: ...
    @property
    def title(self) -> str | None:
        """The last custom-title, else the last ai-title, else the last summary."""
    @property
    def first_timestamp(self) -> datetime.datetime | None: ...
    @property
    def last_timestamp(self) -> datetime.datetime | None: ...
    @property
    def turn_duration_ms(self) -> int | None:
        """Sum of durationMs of system turn_duration records; None when there are none."""
    @property
    def prompt_active_ms(self) -> int:
        """Sum over prompts of the time from the prompt to the last reply before the next."""
    @property
    def open_calls(self) -> list[tuple[str, int, str]]:
        """(call id, row index, tool name) of the calls read without their result, in row order:
        the rest of a growing file may answer them."""
    @property
    def stray_results(self) -> list[tuple[str, bool]]:
        """(call id, is_error) of the tool results whose call was not read (it lies before
        `start`, or nowhere), in file order."""

def scan_files(files: Iterable[tuple[_Path, int]], *, threads: int | None = None) -> list[FileScan]:
    """Scans each (path, start_offset) from its offset, all files on `threads` threads (all
    cores by default) without the interpreter lock; FileScan objects in the given order. Each
    file's replies are merged within the file only; across files the caller merges them (the
    first file in path order gives project, session and agent; each count its maximum). A
    row's project is the folder holding the file, or for <project>/<session>/subagents/<file>
    the <project> folder."""

def scan_tree(
    bases: Iterable[_Path],
    since_us: int | None,
    until_us: int | None,
    projects: Iterable[str],
    subagents: bool,
    threads: int | None,
) -> UsageTable:
    """The engine of kestro_sdk.scan_usage: bounds in microseconds since the epoch, inclusive."""
