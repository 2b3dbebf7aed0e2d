"""Usage over the whole history: every reply once, from a parallel native scan.

``scan_usage`` walks one or more projects folders and returns a :class:`UsageTable`: one row
per API reply, counted once across every file and folder. Rows iterate as objects, the table
is read by Arrow consumers (pyarrow, polars, DuckDB) through ``__arrow_c_stream__``, and
``with_costs`` prices the replies with :mod:`kestro_sdk.pricing`.

Choices worth knowing:

* A bare date covers its whole day in UTC, at both ends; a naive datetime is taken as UTC.
* ``projects`` keeps a project when its folder name contains any of the given texts; a single
  str is one text, not a sequence of letters.
* Every folder directly inside a projects folder is a project; its ``*.jsonl`` files and its
  ``<session>/subagents/*.jsonl`` files are read.
"""

from __future__ import annotations

import datetime as _dt
import os
from collections.abc import Sequence

from ._scan import FileScan, UsageRow, UsageTable, scan_files, scan_tree

__all__ = ["FileScan", "UsageRow", "UsageTable", "scan_files", "scan_usage"]

_EPOCH = _dt.datetime(1970, 1, 1, tzinfo=_dt.UTC)
_MICROSECOND = _dt.timedelta(microseconds=1)

_Path = str | os.PathLike[str]


def _micros(value: _dt.date | _dt.datetime | None, *, end: bool, name: str) -> int | None:
    if value is None:
        return None
    if isinstance(value, _dt.datetime):
        moment = value.replace(tzinfo=_dt.UTC) if value.tzinfo is None else value
    elif isinstance(value, _dt.date):
        moment = _dt.datetime.combine(value, _dt.time.max if end else _dt.time.min, tzinfo=_dt.UTC)
    else:
        raise TypeError(f"{name} must be a date or a datetime, not {type(value).__name__}")
    return (moment - _EPOCH) // _MICROSECOND


def _bases(base_path: _Path | Sequence[_Path] | None) -> list[_Path]:
    if base_path is None:
        return [os.path.join(os.path.expanduser("~"), ".kestro", "projects")]
    if isinstance(base_path, str | os.PathLike):
        return [base_path]
    return list(base_path)


def scan_usage(
    base_path: _Path | Sequence[_Path] | None = None,
    *,
    since: _dt.date | _dt.datetime | None = None,
    until: _dt.date | _dt.datetime | None = None,
    projects: Sequence[str] | None = None,
    subagents: bool = True,
    threads: int | None = None,
) -> UsageTable:
    """Every reply under the projects folder(s), once.

    ``base_path`` is a projects folder or a sequence of them (``~`` expanded; the default is
    ``~/.kestro/projects``). ``since`` and ``until`` are inclusive; ``subagents=False`` leaves
    out the replies of sub-agents and side chains. Files are read on ``threads`` threads (all
    cores by default) without the interpreter lock; Ctrl-C stops the scan.

    A reply written in several files (a resumed session copies earlier records) takes its
    project, session and agent from the first file in path order; each count is its largest,
    the time the earliest, the logged cost the largest. Problems are listed per file in
    ``UsageTable.problems``; nothing is printed.
    """
    names = [projects] if isinstance(projects, str) else list(projects or ())
    return scan_tree(
        _bases(base_path),
        _micros(since, end=False, name="since"),
        _micros(until, end=True, name="until"),
        names,
        subagents,
        threads,
    )
