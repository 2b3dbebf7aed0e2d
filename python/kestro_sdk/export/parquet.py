"""Usage and conversations as Parquet tables, partitioned by UTC month, for a team's shared bucket.

:func:`to_parquet` writes four tables under ``out_dir``::

    replies/month=2026-01/<exporter id>.parquet
    messages/month=2026-01/<exporter id>.parquet
    tool_calls/month=2026-01/<exporter id>.parquet
    sessions/month=2026-01/<exporter id>.parquet

Each file holds one exporter's rows of one UTC month, so many people can export into one
bucket without colliding, and a rerun replaces only the files it has new rows for. Every
row carries the exporter id in ``source``; the month is in the folder name only (readers
with Hive partitioning, such as DuckDB, show it as a ``month`` column).

The columns, in file order (times are UTC microseconds; "bytes" are UTF-8 bytes):

``replies``, one row per API reply, each once across every file (as :func:`kestro_sdk.scan_usage`):
    ``timestamp``, ``project``, ``session_id``, ``agent_id`` (None for the main conversation),
    ``is_sidechain``, ``model``, ``input_tokens``, ``output_tokens``, ``cache_creation_tokens``,
    ``cache_creation_5m_tokens``, ``cache_creation_1h_tokens``, ``cache_read_tokens``,
    ``logged_cost_usd`` (None where the log has none), ``tools`` (names of its tool_use blocks),
    ``message_id``, ``request_id``, ``cost_usd`` (by the price table and mode; None when
    unpriced), ``source``.

``messages``, one row per user or assistant record of a session log and of its sub-agents' logs:
    ``source``, ``project``, ``session_id`` (as in ``sessions``), ``agent_id``, ``uuid``, ``parent_uuid``,
    ``timestamp``, ``role``, ``is_sidechain``, ``is_meta``, ``text_length`` (characters of its
    text: a string content, or its text blocks joined by newlines), ``tools`` (names of its
    tool_use blocks), ``tool_results`` (how many tool_result blocks it holds), ``model``,
    ``message_id``, ``request_id``, ``line`` (in its file).

``tool_calls``, one row per tool_use block, paired with its tool_result in the same log:
    ``source``, ``project``, ``session_id``, ``agent_id``, ``tool_use_id``, ``tool``,
    ``timestamp`` (of the call), ``message_uuid`` (of the call), ``input_bytes`` (its input as
    compact JSON), ``has_result``, ``result_bytes`` (the result's text; None without a
    result), ``is_error`` (None without a result; False when the result does not say),
    ``duration_ms`` (from the call's record to the result's; None without a result).

``sessions``, one row per session log, filed under the month it started:
    ``source``, ``project``, ``session_id`` (the log's file name without ``.jsonl``),
    ``title``, ``version``, ``git_branch``, ``started``, ``ended``, ``duration_s``,
    ``messages`` (its sub-agents' included), ``prompts`` (user records of the main
    conversation that are neither meta nor tool results), ``subagents``, ``tool_calls``,
    ``tool_errors``, ``problems`` (lines that could not be read), then from the ``replies``
    table: ``replies``, ``input_tokens``, ``output_tokens``, ``cache_creation_tokens``,
    ``cache_read_tokens``, ``cost_usd`` (sum of the priced replies) and ``unpriced_replies``.
    A reply copied into a resumed session counts in the session it was first written in, as
    in ``replies``. A log with no timestamped record has no row: it holds no message.

Every file carries ``kestro.schema_version`` (:data:`SCHEMA_VERSION`), ``kestro.table`` and
``kestro.exporter_id`` in its key-value metadata.

Reruns. Each file is written under a temporary name beside its target and renamed when every
file of the run is written, so an error leaves the old files as they were. Only the months the
run has rows for are replaced; a month whose logs are gone locally keeps its file. The window
given by ``since`` and ``until`` is widened to whole UTC months, so every file always holds a
whole month. When ``sessions`` picks some sessions rather than every one, the rows of the other
sessions already in the exporter's file for that month are kept.

pyarrow is an optional dependency (``pip install 'kestro-sdk[parquet]'``); without it
:func:`to_parquet` raises :class:`ParquetUnavailable`.
"""

from __future__ import annotations

import datetime as dt
import importlib
import os
import re
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, Final

from .sessions import SessionFile, file_of, recent_enough, session_files

if TYPE_CHECKING:
    from .. import pricing
    from .._reader import Transcript

__all__ = [
    "INSTALL_HINT",
    "SCHEMA_VERSION",
    "TABLES",
    "ParquetExport",
    "ParquetUnavailable",
    "check_exporter_id",
    "default_exporter_id",
    "month_window",
    "require_pyarrow",
    "to_parquet",
]

SCHEMA_VERSION: Final = 1
TABLES: Final = ("replies", "messages", "tool_calls", "sessions")
INSTALL_HINT: Final = "Parquet export needs pyarrow: pip install 'kestro-sdk[parquet]'"
UNKNOWN_MONTH: Final = "unknown"

# One path component on every system: no separators, no leading dot, nothing a shell or a
# query engine would read as a glob.
_EXPORTER_ID: Final = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.-]{0,63}")


class ParquetUnavailable(ImportError):
    """pyarrow is not installed; the message says how to install it."""


def require_pyarrow() -> None:
    """Raises :class:`ParquetUnavailable` when pyarrow cannot be imported."""
    _pyarrow()


def _pyarrow() -> Any:
    # Imported by name: pyarrow ships no type information, and it is optional.
    try:
        pyarrow = importlib.import_module("pyarrow")
        importlib.import_module("pyarrow.compute")
        importlib.import_module("pyarrow.parquet")
    except ImportError as e:
        raise ParquetUnavailable(INSTALL_HINT) from e
    return pyarrow


def default_exporter_id() -> str:
    """A stable id for this user on this machine: 12 hex digits of a hash of user and host.

    Stable, so that reruns replace their own files; a hash, so that the bucket does not show
    user or host names.
    """
    import getpass
    import hashlib
    import socket

    try:
        user = getpass.getuser()
    except (KeyError, OSError):
        user = str(os.getuid()) if hasattr(os, "getuid") else "user"
    return hashlib.sha256(f"{user}@{socket.gethostname()}".encode()).hexdigest()[:12]


def check_exporter_id(exporter_id: str) -> str:
    """The id when it is a safe file name (letters, digits, ``_.-``, 64 at most, no leading dot);
    ValueError otherwise."""
    if not isinstance(exporter_id, str) or not _EXPORTER_ID.fullmatch(exporter_id):
        raise ValueError(
            f"exporter id must be 1 to 64 letters, digits, '_', '.' or '-', not starting with '.', "
            f"'_' or '-': {exporter_id!r}"
        )
    return exporter_id


@dataclass(slots=True)
class ParquetExport:
    """What :func:`to_parquet` wrote."""

    out_dir: Path
    exporter_id: str
    files: list[Path] = field(default_factory=list)  # every file written, in table then month order
    rows: dict[str, int] = field(default_factory=dict)  # table -> rows written by this run
    months: list[str] = field(default_factory=list)  # the months this run replaced, sorted
    skipped: list[tuple[Path, str]] = field(default_factory=list)  # logs that could not be read, and why


# ---------------------------------------------------------------------------------------------
# The window: whole UTC months


def _utc(value: dt.date | dt.datetime, *, end: bool) -> dt.datetime:
    if isinstance(value, dt.datetime):
        return value.replace(tzinfo=dt.UTC) if value.tzinfo is None else value.astimezone(dt.UTC)
    if isinstance(value, dt.date):
        moment = dt.datetime.combine(value, dt.time(), tzinfo=dt.UTC)
        return moment + dt.timedelta(days=1) if end else moment
    raise TypeError(f"expected a date or a datetime, not {type(value).__name__}")


def _month_start(moment: dt.datetime) -> dt.datetime:
    return moment.replace(day=1, hour=0, minute=0, second=0, microsecond=0)


def _next_month(moment: dt.datetime) -> dt.datetime:
    return _month_start(moment.replace(day=28) + dt.timedelta(days=4))


def month_window(
    since: dt.date | dt.datetime | None, until: dt.date | dt.datetime | None
) -> tuple[dt.datetime | None, dt.datetime | None]:
    """[start, end) in UTC covering whole months: the month of ``since`` to the month of ``until``.

    Both ends are inclusive as for :func:`kestro_sdk.scan_usage` (a bare date is its whole UTC
    day; a datetime is an instant, naive taken as UTC).
    """
    start = None if since is None else _month_start(_utc(since, end=False))
    if until is None:
        return start, None
    last = _utc(until, end=True)
    if not isinstance(until, dt.datetime):
        last -= dt.timedelta(microseconds=1)  # the last instant of that day
    return start, _next_month(last)


# ---------------------------------------------------------------------------------------------
# Columns of one session log


@dataclass(slots=True)
class _Part:
    """The logs one worker read: the native columns of their tables and what only Python holds."""

    messages: list[tuple[Any, ...]] = field(default_factory=list)
    calls: list[tuple[Any, ...]] = field(default_factory=list)
    counts: list[tuple[Any, ...]] = field(default_factory=list)
    sessions: dict[str, list[Any]] = field(default_factory=dict)
    skipped: list[tuple[Path, str]] = field(default_factory=list)


_SESSION_FIELDS: Final = ("project", "session_id", "title", "version", "git_branch", "started", "ended")


def _read_part(files: Sequence[SessionFile]) -> _Part:
    """Reads the logs and builds their columns; both steps leave the interpreter lock."""
    from .._core import KestroSDKError
    from .._reader import export_columns

    part = _Part(sessions={name: [] for name in _SESSION_FIELDS})
    transcripts: list[Transcript] = []
    labels: list[tuple[str, str]] = []
    for f in files:
        try:
            t = f.read()
        except (OSError, KestroSDKError) as e:
            part.skipped.append((f.path, str(e)))
            continue
        # The file name, not the first logged id: a resumed log may open with records copied from
        # the session it resumes, and two rows under one id would count its replies twice.
        session_id = f.session_id
        transcripts.append(t)
        labels.append((f.project, session_id))
        row = (f.project, session_id, t.title, t.version, t.git_branch, t.started, t.ended)
        for column, value in zip(part.sessions.values(), row, strict=True):
            column.append(value)
    part.messages, part.calls, part.counts = export_columns(transcripts, labels)
    return part


def _split(files: Sequence[SessionFile], parts: int) -> list[Sequence[SessionFile]]:
    """Runs of consecutive files of about equal size, one per worker."""
    sizes = []
    for f in files:
        try:
            sizes.append(f.path.stat().st_size)
        except OSError:
            sizes.append(0)
    runs: list[Sequence[SessionFile]] = []
    total, begin, done = sum(sizes), 0, 0
    for i, size in enumerate(sizes):
        done += size
        if len(runs) < parts - 1 and done * parts >= total * (len(runs) + 1):
            runs.append(files[begin : i + 1])
            begin = i + 1
    runs.append(files[begin:])
    return [r for r in runs if r]


# ---------------------------------------------------------------------------------------------
# Arrow tables


def _array(pa: Any, kind: str, length: int, validity: bytes | None, *buffers: bytes) -> Any:
    """One native column as an Arrow array (large offsets narrowed to the usual ones)."""
    valid = None if validity is None else pa.py_buffer(validity)
    held = [pa.py_buffer(b) for b in buffers]
    if kind == "string":
        return pa.Array.from_buffers(pa.large_string(), length, [valid, *held]).cast(pa.string())
    if kind == "int64":
        return pa.Array.from_buffers(pa.int64(), length, [valid, *held])
    if kind == "timestamp":
        return pa.Array.from_buffers(pa.timestamp("us", "UTC"), length, [valid, *held])
    if kind == "bool":
        return pa.Array.from_buffers(pa.bool_(), length, [valid, *held])
    if kind == "list<string>":
        items = pa.Array.from_buffers(pa.large_string(), len(buffers[1]) // 8 - 1, [None, held[1], held[2]])
        lists = pa.Array.from_buffers(pa.large_list(pa.large_string()), length, [valid, held[0]], children=[items])
        return lists.cast(pa.list_(pa.string()))
    raise ValueError(f"unknown column kind {kind!r}")


def _native_table(pa: Any, columns: list[tuple[Any, ...]]) -> Any:
    return pa.table({c[0]: _array(pa, *c[1:]) for c in columns})


def _timestamps(pa: Any, values: list[str | None]) -> Any:
    return pa.array(values, pa.string()).cast(pa.timestamp("us", "UTC"))


def _sessions_table(pa: Any, c: dict[str, list[Any]], counts: Any, replies: Any) -> Any:
    pc = pa.compute
    string, i64 = pa.string(), pa.int64()
    started = _timestamps(pa, c["started"])
    ended = _timestamps(pa, c["ended"])
    duration = pc.divide(pc.cast(pc.subtract(ended, started), i64), 1_000_000)
    base = pa.table(
        {
            "project": pa.array(c["project"], string),
            "session_id": pa.array(c["session_id"], string),
            "title": pa.array(c["title"], string),
            "version": pa.array(c["version"], string),
            "git_branch": pa.array(c["git_branch"], string),
            "started": started,
            "ended": ended,
            "duration_s": pc.cast(duration, pa.float64()),
            **{name: counts[name] for name in counts.column_names},
        }
    )
    priced = pc.is_valid(replies["cost_usd"])
    per_reply = pa.table(
        {
            "project": replies["project"],
            "session_id": replies["session_id"],
            "input_tokens": replies["input_tokens"],
            "output_tokens": replies["output_tokens"],
            "cache_creation_tokens": replies["cache_creation_tokens"],
            "cache_read_tokens": replies["cache_read_tokens"],
            "cost_usd": replies["cost_usd"],
            "unpriced": pc.cast(pc.invert(priced), i64),
        }
    )
    sums = per_reply.group_by(["project", "session_id"]).aggregate(
        [
            ("input_tokens", "count"),
            ("input_tokens", "sum"),
            ("output_tokens", "sum"),
            ("cache_creation_tokens", "sum"),
            ("cache_read_tokens", "sum"),
            ("cost_usd", "sum"),
            ("unpriced", "sum"),
        ]
    )
    renamed = {
        "input_tokens_count": "replies", "input_tokens_sum": "input_tokens", "output_tokens_sum": "output_tokens",
        "cache_creation_tokens_sum": "cache_creation_tokens", "cache_read_tokens_sum": "cache_read_tokens",
        "cost_usd_sum": "cost_usd", "unpriced_sum": "unpriced_replies",
    }  # fmt: skip
    sums = sums.rename_columns([renamed.get(n, n) for n in sums.column_names])
    joined = base.join(sums, ["project", "session_id"], join_type="left outer")
    # A session whose replies all count elsewhere (or that has none) made 0 replies, not an unknown number.
    filled = {
        name: pc.fill_null(joined[name], 0)
        for name in ("replies", "input_tokens", "output_tokens", "cache_creation_tokens", "cache_read_tokens",
                     "unpriced_replies")
    }  # fmt: skip
    columns = [*base.column_names, *renamed.values()]
    ordered = joined.select(columns)
    for name, values in filled.items():
        ordered = ordered.set_column(ordered.schema.get_field_index(name), name, pc.cast(values, i64))
    # Join order is not the input order: sorted, a file's rows do not depend on the join's threads.
    return ordered.sort_by([("started", "ascending"), ("project", "ascending"), ("session_id", "ascending")])


def _months(pa: Any, times: Any) -> Any:
    return pa.compute.fill_null(pa.compute.strftime(times, "%Y-%m"), UNKNOWN_MONTH)


def _in_window(pa: Any, table: Any, column: str, start: dt.datetime | None, end: dt.datetime | None) -> Any:
    pc = pa.compute
    if start is None and end is None:
        return table
    times = table[column]
    keep = pc.is_valid(times)
    if start is not None:
        keep = pc.and_(keep, pc.greater_equal(times, pa.scalar(start, pa.timestamp("us", "UTC"))))
    if end is not None:
        keep = pc.and_(keep, pc.less(times, pa.scalar(end, pa.timestamp("us", "UTC"))))
    return table.filter(keep)


# ---------------------------------------------------------------------------------------------
# Writing


def _metadata(table_name: str, exporter_id: str) -> dict[bytes, bytes]:
    return {
        b"kestro.schema_version": str(SCHEMA_VERSION).encode(),
        b"kestro.table": table_name.encode(),
        b"kestro.exporter_id": exporter_id.encode(),
    }


def _with_source(pa: Any, table: Any, exporter_id: str) -> Any:
    source = pa.repeat(pa.scalar(exporter_id, pa.string()), len(table))
    if "source" in table.column_names:
        return table.set_column(table.schema.get_field_index("source"), "source", source)
    # Usage rows end with their costs; the source goes last there, first elsewhere.
    if table.column_names and table.column_names[0] == "timestamp":
        return table.append_column("source", source)
    return table.add_column(0, "source", source)


@dataclass(slots=True)
class _Pending:
    target: Path
    table: Any  # pyarrow.Table
    tmp: Path | None = None


def _scope_filter(pa: Any, old: Any, scope: tuple[str, frozenset[tuple[str, str]]] | None) -> Any | None:
    """The rows of an existing file that this run does not replace; None when it replaces them all."""
    if scope is None:
        return None
    pc = pa.compute
    _, pairs = scope
    key = pc.binary_join_element_wise(old["project"], old["session_id"], "\x00")
    mine = pa.array(sorted(f"{p}\x00{s}" for p, s in pairs), pa.string())
    return old.filter(pc.invert(pc.is_in(key, value_set=mine)))


def _merge_existing(pa: Any, target: Path, new: Any, scope: Any) -> Any:
    if scope is None or not target.exists():
        return new
    pq = importlib.import_module("pyarrow.parquet")

    old = pq.read_table(target)
    if old.schema.remove_metadata() != new.schema.remove_metadata():
        raise ValueError(
            f"{target} was written with other columns (schema version "
            f"{(old.schema.metadata or {}).get(b'kestro.schema_version', b'?').decode()}); "
            "export every session (--all) to replace it"
        )
    kept = _scope_filter(pa, old, scope)
    if kept is None or len(kept) == 0:
        return new
    return pa.concat_tables([kept, new])


def _write_all(pa: Any, pending: list[_Pending], threads: int) -> None:
    """Writes every table under a temporary name, then renames them all; on error, removes them."""
    import tempfile
    from concurrent.futures import ThreadPoolExecutor

    pq = importlib.import_module("pyarrow.parquet")

    def write(p: _Pending) -> None:
        p.target.parent.mkdir(parents=True, exist_ok=True)
        fd, name = tempfile.mkstemp(prefix=f".{p.target.name}.", suffix=".tmp", dir=p.target.parent)
        os.close(fd)
        p.tmp = Path(name)
        pq.write_table(p.table, p.tmp, compression="snappy")

    try:
        if threads > 1 and len(pending) > 1:
            with ThreadPoolExecutor(threads) as pool:
                list(pool.map(write, pending))
        else:
            for p in pending:
                write(p)
    except BaseException:
        for p in pending:
            if p.tmp is not None:
                p.tmp.unlink(missing_ok=True)
        raise
    for p in pending:
        assert p.tmp is not None
        os.replace(p.tmp, p.target)


# ---------------------------------------------------------------------------------------------
# The export


def _bases(base_path: str | os.PathLike[str] | Sequence[str | os.PathLike[str]] | None) -> list[Path]:
    if base_path is None:
        return [Path("~/.kestro/projects").expanduser()]
    if isinstance(base_path, str | os.PathLike):
        return [Path(base_path).expanduser()]
    return [Path(b).expanduser() for b in base_path]


def to_parquet(
    base_path: str | os.PathLike[str] | Sequence[str | os.PathLike[str]] | None,
    out_dir: str | os.PathLike[str],
    *,
    sessions: Iterable[SessionFile | str | os.PathLike[str]] | None = None,
    projects: Sequence[str] | None = None,
    since: dt.date | dt.datetime | None = None,
    until: dt.date | dt.datetime | None = None,
    exporter_id: str | None = None,
    prices: pricing.PriceTable | str | os.PathLike[str] | None = None,
    mode: pricing.Mode = "auto",
    threads: int | None = None,
) -> ParquetExport:
    """Writes the replies, messages, tool_calls and sessions tables of the logs under ``base_path``
    to ``out_dir/<table>/month=YYYY-MM/<exporter id>.parquet``.

    ``base_path`` is a projects folder or a sequence of them (None: ``~/.kestro/projects``);
    ``projects`` keeps the project folders whose name contains any of the texts; ``sessions``,
    when given, exports only those session logs (sub-agents included). ``since`` and ``until``
    are inclusive as for :func:`kestro_sdk.scan_usage` and widened to whole UTC months.
    ``exporter_id`` defaults to :func:`default_exporter_id`. Costs come from ``prices``
    (:func:`kestro_sdk.pricing.load_prices` resolves it) by ``mode``. Work is spread over
    ``threads`` threads (default: the number of cores).

    The tables and their columns are described in this module's documentation. Logs that
    cannot be read are listed in ``skipped``. Raises :class:`ParquetUnavailable` without
    pyarrow, ValueError for an unsafe exporter id.
    """
    pa = _pyarrow()
    from concurrent.futures import ThreadPoolExecutor

    from .. import pricing as pricing_mod
    from .. import scan_usage

    source = check_exporter_id(default_exporter_id() if exporter_id is None else exporter_id)
    if mode not in pricing_mod.MODES:
        raise ValueError(f"mode must be one of {', '.join(pricing_mod.MODES)}, not {mode!r}")
    table_prices = prices if isinstance(prices, pricing_mod.PriceTable) else pricing_mod.load_prices(prices)
    workers = max(1, threads if threads is not None else (os.cpu_count() or 1))
    bases = _bases(base_path)
    names = [projects] if isinstance(projects, str) else list(projects or ())
    start, end = month_window(since, until)
    out = Path(out_dir).expanduser()
    result = ParquetExport(out, source)

    # Which logs: every session under the bases, or the ones asked for.
    scope: tuple[str, frozenset[tuple[str, str]]] | None = None
    if sessions is None:
        files = session_files(bases, names)
    else:
        files = [s if isinstance(s, SessionFile) else file_of(s) for s in sessions]
    files = [f for f in files if recent_enough(f, start)]

    with ThreadPoolExecutor(1) as background:
        # The scan runs on its own threads while this one reads the logs.
        scan_projects = names if sessions is None else sorted({f.project for f in files})
        scanned = background.submit(
            scan_usage,
            bases,
            since=start,
            until=None if end is None else end - dt.timedelta(microseconds=1),
            projects=scan_projects,
            threads=workers,
        )
        # The reader and the column builder leave the interpreter lock: one run of logs per worker.
        with ThreadPoolExecutor(workers) as pool:
            parts = list(pool.map(_read_part, _split(files, workers)))
        usage = scanned.result()
    picked = set()
    for part in parts:
        result.skipped += part.skipped
        picked |= set(zip(part.sessions["project"], part.sessions["session_id"], strict=True))
    if sessions is not None:
        scope = ("sessions", frozenset(picked))

    replies = pa.table(usage.with_costs(table_prices, mode))
    if scope is not None:
        # The scan read whole projects: keep the replies of the sessions asked for.
        key = pa.compute.binary_join_element_wise(replies["project"], replies["session_id"], "\x00")
        wanted = pa.array(sorted(f"{p}\x00{s}" for p, s in picked), pa.string())
        replies = replies.filter(pa.compute.is_in(key, value_set=wanted))
    if parts:
        messages = pa.concat_tables([_native_table(pa, p.messages) for p in parts])
        calls = pa.concat_tables([_native_table(pa, p.calls) for p in parts])
        counts = pa.concat_tables([_native_table(pa, p.counts) for p in parts])
        info = {name: [v for p in parts for v in p.sessions[name]] for name in _SESSION_FIELDS}
    else:
        from .._reader import export_columns

        empty = export_columns([], [])
        messages, calls, counts = (_native_table(pa, cols) for cols in empty)
        info = {name: [] for name in _SESSION_FIELDS}
    messages = _in_window(pa, messages, "timestamp", start, end)
    calls = _in_window(pa, calls, "timestamp", start, end)
    sessions_table = _sessions_table(pa, info, counts, replies)
    sessions_table = sessions_table.filter(pa.compute.is_valid(sessions_table["started"]))
    sessions_table = _in_window(pa, sessions_table, "started", start, end)

    pending: list[_Pending] = []
    months: set[str] = set()
    by_table = (("replies", replies, "timestamp"), ("messages", messages, "timestamp"),
                ("tool_calls", calls, "timestamp"), ("sessions", sessions_table, "started"))  # fmt: skip
    for name, table, time_column in by_table:
        table = _with_source(pa, table, source)
        table = table.replace_schema_metadata(_metadata(name, source))
        month = _months(pa, table[time_column])
        result.rows[name] = len(table)
        for m in sorted(pa.compute.unique(month).to_pylist()):
            part = table.filter(pa.compute.equal(month, m))
            target = out / name / f"month={m}" / f"{source}.parquet"
            merged = _merge_existing(pa, target, part, scope)
            pending.append(_Pending(target, merged.replace_schema_metadata(_metadata(name, source))))
            months.add(m)
    _write_all(pa, pending, workers)
    result.files = [p.target for p in pending]
    result.months = sorted(months)
    return result
