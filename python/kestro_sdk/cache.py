"""The usage cache: each log's replies and session facts kept in SQLite, so a repeated report reads only changes.

One SQLite file, ``usage.sqlite3`` in the user cache folder of kestro-sdk
(``$KESTRO_CACHE_DIR`` names another folder). Per log file it keeps the path, the
device, inode, size and modification time of what was read, the offset just past
the last complete line read, a hash of the bytes before that offset, the replies
(UTC timestamps and token counts, never costs: those depend on the price table
and are computed at report time), the session facts and the problems. The cache's
schema version and the package version are part of the key: a cache written by
another version is rebuilt.

A report then reads:

* an unchanged file (same device, inode, size and modification time) from the cache;
* a file that only grew, after checking that the bytes before its old end are
  unchanged, from its old end only; a reply whose records straddle the old end is
  merged with its cached part by the reply rule (largest count, earliest time),
  so it replaces that part instead of being added to it;
* any other file whole, and forgets the files that are gone.

A corrupt or foreign cache file is deleted and rebuilt; when that fails, or when
another process holds the write lock past the busy timeout, the report goes on
with what it read and leaves the cache as it was. The cache never changes a
result and never fails a report. Writers take SQLite's write lock for the whole
update (WAL journal, immediate transactions), so reports running at once are safe.
"""

from __future__ import annotations

import contextlib
import datetime as dt
import hashlib
import marshal
import os
import sqlite3
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from operator import itemgetter
from pathlib import Path
from typing import Any, Final, Protocol

from . import __version__
from .reports import Problems, SessionFacts

__all__ = ["CachedRow", "FileScan", "Loaded", "cache_file", "find_logs", "load_usage"]

SCHEMA_VERSION: Final = 4
APPLICATION_ID: Final = 0x4B535543  # "KSUC": tells our cache from any other SQLite file
TAIL_BYTES: Final = 4096
BUSY_TIMEOUT_MS: Final = 3000
EPOCH: Final = dt.datetime(1970, 1, 1, tzinfo=dt.UTC)
MAX_PROBLEMS_KEPT: Final = 5


class ScanRow(Protocol):
    """One reply of one file as the per-file scan gives it (read-only, as the native rows are)."""

    @property
    def timestamp(self) -> dt.datetime: ...
    @property
    def message_id(self) -> str | None: ...
    @property
    def request_id(self) -> str | None: ...
    @property
    def session_id(self) -> str | None: ...
    @property
    def agent_id(self) -> str | None: ...
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
    def logged_cost_usd(self) -> float | None: ...
    @property
    def tools(self) -> Sequence[str]: ...
    @property
    def tool_errors(self) -> Sequence[str]: ...


class FileScan(Protocol):
    """What the per-file scan gives for one file read from ``start`` to ``end``."""

    @property
    def path(self) -> str: ...
    @property
    def start(self) -> int: ...
    @property
    def end(self) -> int: ...
    @property
    def lines(self) -> int: ...
    @property
    def dev(self) -> int: ...
    @property
    def ino(self) -> int: ...
    @property
    def size(self) -> int: ...
    @property
    def mtime_ns(self) -> int: ...
    @property
    def rows(self) -> Iterable[ScanRow]: ...
    @property
    def problems(self) -> Sequence[tuple[int, str]]: ...
    @property
    def session_id(self) -> str | None: ...
    @property
    def agent_id(self) -> str | None: ...
    @property
    def title(self) -> str | None: ...
    @property
    def first_timestamp(self) -> dt.datetime | None: ...
    @property
    def last_timestamp(self) -> dt.datetime | None: ...
    @property
    def turn_duration_ms(self) -> int | None: ...
    @property
    def prompt_active_ms(self) -> int | None: ...
    @property
    def open_calls(self) -> Sequence[tuple[str, int, str]]: ...
    @property
    def stray_results(self) -> Sequence[tuple[str, bool]]: ...


Scanner = Callable[[Sequence[tuple[str, int]]], Sequence[FileScan]]


class CachedRow(tuple[Any, ...]):
    """One reply, as the reports read it: a tuple (cheap to make by the hundred thousand) with named fields."""

    __slots__ = ()

    # The packed fields; the project last.
    message_id = property(itemgetter(1))
    request_id = property(itemgetter(2))
    session_id = property(itemgetter(3))
    agent_id = property(itemgetter(4))
    is_sidechain = property(itemgetter(5))
    model = property(itemgetter(6))
    input_tokens = property(itemgetter(7))
    output_tokens = property(itemgetter(8))
    cache_creation_tokens = property(itemgetter(9))
    cache_creation_5m_tokens = property(itemgetter(10))
    cache_creation_1h_tokens = property(itemgetter(11))
    cache_read_tokens = property(itemgetter(12))
    logged_cost_usd = property(itemgetter(13))
    project = property(itemgetter(15))

    @property
    def tools(self) -> list[str]:
        return list(self[14])

    @property
    def tool_errors(self) -> list[str]:
        return list(self[_ERRORS])

    @property
    def timestamp(self) -> dt.datetime:
        return EPOCH + dt.timedelta(microseconds=self[0])

    def __repr__(self) -> str:
        return f"CachedRow({self.timestamp.isoformat()}, {self.project!r}, {self.model!r}, {self.message_id!r})"


@dataclass(slots=True)
class Loaded:
    """What a report reads: the replies once each, the session facts, the problems and how the cache served."""

    rows: list[CachedRow]
    sessions: list[SessionFacts]
    problems: Problems
    files: int = 0
    scanned: int = 0  # files read whole or from their old end on this call
    cache: str = "off"  # off, used, rebuilt, bypassed: <why>
    notes: list[str] = field(default_factory=list)


# ---------------------------------------------------------------------------------------------
# Finding the logs


@dataclass(frozen=True, slots=True)
class LogFile:
    path: str
    project: str


def find_logs(bases: Iterable[str | os.PathLike[str]], projects: Sequence[str] = ()) -> list[LogFile]:
    """Every session log and sub-agent log under the bases, in path order, with its project's folder name.

    Sessions are ``<base>/<project>/<session>.jsonl``; sub-agents ``<session>/subagents/*.jsonl``
    beside them, or ``agent-*.jsonl`` among the sessions.
    """
    found: list[LogFile] = []
    for base in bases:
        try:
            entries = sorted(os.scandir(os.path.expanduser(os.fspath(base))), key=lambda e: e.name)
        except OSError:
            continue
        for project in entries:
            if not project.is_dir() or (projects and not any(p in project.name for p in projects)):
                continue
            try:
                inside = list(os.scandir(project.path))
            except OSError:
                continue
            for entry in inside:
                if entry.name.endswith(".jsonl") and entry.is_file():
                    found.append(LogFile(entry.path, project.name))
                elif entry.is_dir():
                    sub = os.path.join(entry.path, "subagents")
                    with contextlib.suppress(OSError):
                        found += [LogFile(e.path, project.name) for e in os.scandir(sub)
                                  if e.name.endswith(".jsonl") and e.is_file()]  # fmt: skip
    found.sort(key=lambda f: f.path)
    return found


# ---------------------------------------------------------------------------------------------
# Packing what a file scan gives

_Packed = tuple[Any, ...]


def _pack_row(r: ScanRow, project: str) -> _Packed:
    delta = r.timestamp - EPOCH
    us = (delta.days * 86_400 + delta.seconds) * 1_000_000 + delta.microseconds
    return (us, r.message_id, r.request_id, r.session_id, r.agent_id, bool(r.is_sidechain), r.model,
            r.input_tokens, r.output_tokens, r.cache_creation_tokens, r.cache_creation_5m_tokens,
            r.cache_creation_1h_tokens, r.cache_read_tokens, r.logged_cost_usd, tuple(r.tools), project,
            tuple(r.tool_errors))  # fmt: skip


def _ts(value: dt.datetime | None) -> int | None:
    if value is None:
        return None
    delta = value - EPOCH
    return (delta.days * 86_400 + delta.seconds) * 1_000_000 + delta.microseconds


def _from_ts(us: int | None) -> dt.datetime | None:
    return None if us is None else EPOCH + dt.timedelta(microseconds=us)


_TS, _MID, _RID = 0, 1, 2
_COUNTS: Final = range(7, 13)
_LOGGED: Final = 13
_TOOLS: Final = 14
_ERRORS: Final = 16


def _merge(old: _Packed, new: _Packed, continued: bool = False) -> _Packed:
    """One reply from two sightings: each count the larger, the earlier time, the larger logged cost.

    ``continued``: ``new`` holds the reply's later records in the same file, whose tool calls
    are added to the earlier ones; otherwise it is a copy, and the longer list of calls stands.
    """
    merged = list(old)
    merged[_TS] = min(old[_TS], new[_TS])
    for i in _COUNTS:
        if new[i] > merged[i]:
            merged[i] = new[i]
    a, b = old[_LOGGED], new[_LOGGED]
    merged[_LOGGED] = b if a is None else a if b is None else max(a, b)
    # The calls that failed go with the calls they are among.
    if continued:
        merged[_TOOLS] = old[_TOOLS] + new[_TOOLS]
        merged[_ERRORS] = old[_ERRORS] + new[_ERRORS]
    elif len(new[_TOOLS]) > len(old[_TOOLS]):
        merged[_TOOLS] = new[_TOOLS]
        merged[_ERRORS] = new[_ERRORS]
    return tuple(merged)


def _merge_rows(old: list[_Packed], new: Iterable[_Packed]) -> tuple[list[_Packed], list[int]]:
    """The replies of a file read in two parts; a reply seen in both is merged, not counted twice.

    Also where each new row went among the merged ones.
    """
    at: dict[tuple[Any, Any], int] = {(r[_MID], r[_RID]): i for i, r in enumerate(old) if r[_MID] is not None}
    out = list(old)
    where: list[int] = []
    for r in new:
        key = (r[_MID], r[_RID])
        i = at.get(key) if r[_MID] is not None else None
        if i is None:
            if r[_MID] is not None:
                at[key] = len(out)
            where.append(len(out))
            out.append(r)
        else:
            where.append(i)
            out[i] = _merge(out[i], r, continued=True)
    return out, where


def _pack_facts(s: FileScan) -> _Packed:
    return (s.session_id, s.agent_id, s.title, _ts(s.first_timestamp), _ts(s.last_timestamp), s.turn_duration_ms,
            s.prompt_active_ms)  # fmt: skip


def _add(a: int | None, b: int | None) -> int | None:
    return a if b is None else b if a is None else a + b


def _merge_facts(old: _Packed, new: _Packed) -> _Packed:
    sid, agent, title, first, last, turns, prompts = old
    nsid, nagent, ntitle, nfirst, nlast, nturns, nprompts = new
    return (sid or nsid, agent or nagent, ntitle or title,
            first if nfirst is None else nfirst if first is None else min(first, nfirst),
            last if nlast is None else nlast if last is None else max(last, nlast),
            _add(turns, nturns), _add(prompts, nprompts))  # fmt: skip


@dataclass(slots=True)
class _Entry:
    """One file as the cache holds it."""

    path: str
    project: str
    dev: int
    ino: int
    size: int
    mtime_ns: int
    end: int
    tail: bytes
    rows: list[_Packed]
    facts: _Packed
    problem_count: int
    problems: list[tuple[int, str]]
    lines: int  # lines read up to ``end``: a grown file's problems are numbered after them
    # Tool calls still waiting for their result, as (call id, row index, tool name): the part a
    # grown file adds may answer them.
    open_calls: list[tuple[str, int, str]] = field(default_factory=list)


def _tail_hash(path: str, end: int) -> bytes | None:
    """A hash of the bytes just before ``end``; None when they cannot be read."""
    try:
        with open(path, "rb") as f:
            start = max(0, end - TAIL_BYTES)
            f.seek(start)
            data = f.read(end - start)
    except OSError:
        return None
    if len(data) != end - start:
        return None
    return hashlib.blake2b(data, digest_size=16).digest()


def _entry(log: LogFile, scan: FileScan) -> _Entry:
    problems = list(scan.problems)
    error = getattr(scan, "error", None)
    if error:
        problems.insert(0, (0, error))
    rows = [_pack_row(r, log.project) for r in scan.rows]
    return _Entry(log.path, log.project, scan.dev, scan.ino, scan.size, scan.mtime_ns, scan.end,
                  _tail_hash(log.path, scan.end) or b"", rows, _pack_facts(scan), len(problems),
                  problems[:MAX_PROBLEMS_KEPT], scan.lines, list(scan.open_calls))  # fmt: skip


def _grown(old: _Entry, scan: FileScan) -> _Entry:
    # The scan numbers its lines from where it started.
    problems = old.problems + [(old.lines + line, reason) for line, reason in scan.problems]
    # Results in the new part that answer calls of the old part, as a whole read would pair them.
    waiting = {cid: (row, name) for cid, row, name in old.open_calls}
    old_rows = list(old.rows)
    for cid, error in scan.stray_results:
        call = waiting.pop(cid, None)
        if call is not None and error:
            r = old_rows[call[0]]
            old_rows[call[0]] = r[:_ERRORS] + (r[_ERRORS] + (call[1],),)
    rows, where = _merge_rows(old_rows, (_pack_row(r, old.project) for r in scan.rows))
    still = [(cid, row, name) for cid, (row, name) in waiting.items()]
    still += [(cid, where[row], name) for cid, row, name in scan.open_calls]
    return _Entry(old.path, old.project, scan.dev, scan.ino, scan.size, scan.mtime_ns, scan.end,
                  _tail_hash(old.path, scan.end) or b"", rows,
                  _merge_facts(old.facts, _pack_facts(scan)), old.problem_count + len(scan.problems),
                  problems[:MAX_PROBLEMS_KEPT], old.lines + scan.lines, still)  # fmt: skip


# ---------------------------------------------------------------------------------------------
# The SQLite file


def cache_file() -> Path:
    """Where the usage cache lives."""
    from .pricing import cache_dir

    return cache_dir() / "usage.sqlite3"


class _Unusable(Exception):
    """The cache cannot be used this time; the report goes on without it."""


_CREATE: Final = """
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS files (
    path TEXT PRIMARY KEY, project TEXT NOT NULL, dev INTEGER NOT NULL, ino INTEGER NOT NULL,
    size INTEGER NOT NULL, mtime_ns INTEGER NOT NULL, end_offset INTEGER NOT NULL, tail BLOB NOT NULL,
    rows BLOB NOT NULL, facts BLOB NOT NULL, problem_count INTEGER NOT NULL, problems BLOB NOT NULL
);
"""


class _Store:
    def __init__(self, path: Path) -> None:
        self.path = path
        self.db = self._open()

    def _open(self) -> sqlite3.Connection:
        self.path.parent.mkdir(parents=True, exist_ok=True)
        db = sqlite3.connect(self.path, timeout=BUSY_TIMEOUT_MS / 1000, isolation_level=None)
        try:
            db.execute(f"PRAGMA busy_timeout = {BUSY_TIMEOUT_MS}")
            app, version = db.execute("PRAGMA application_id").fetchone()[0], db.execute("PRAGMA user_version")
            version = version.fetchone()[0]
            tables = db.execute("SELECT count(*) FROM sqlite_master").fetchone()[0]
            if tables and app != APPLICATION_ID:
                raise sqlite3.DatabaseError("not a kestro-sdk cache")
            db.execute("PRAGMA journal_mode = WAL")
            db.execute("PRAGMA synchronous = NORMAL")
            if not tables or version != SCHEMA_VERSION or self._package(db) != __version__:
                self._reset(db)
        except BaseException:
            db.close()
            raise
        return db

    @staticmethod
    def _package(db: sqlite3.Connection) -> str | None:
        try:
            row = db.execute("SELECT value FROM meta WHERE key = 'package_version'").fetchone()
        except sqlite3.OperationalError:
            return None
        return None if row is None else str(row[0])

    @staticmethod
    def _reset(db: sqlite3.Connection) -> None:
        db.execute("BEGIN IMMEDIATE")
        try:
            # Another report may have set the file up while this one waited for the lock.
            if db.execute("PRAGMA user_version").fetchone()[0] != SCHEMA_VERSION or _Store._package(db) != __version__:
                db.execute("DROP TABLE IF EXISTS files")
                db.execute("DROP TABLE IF EXISTS meta")
                for statement in _CREATE.split(";"):
                    if statement.strip():
                        db.execute(statement)
                db.execute(f"PRAGMA application_id = {APPLICATION_ID}")
                db.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
                db.execute("INSERT OR REPLACE INTO meta VALUES ('package_version', ?)", (__version__,))
            db.execute("COMMIT")
        except BaseException:
            db.rollback()
            raise

    def keys(self) -> dict[str, tuple[int, int, int, int, int, bytes]]:
        return {p: (d, i, s, m, e, t) for p, d, i, s, m, e, t in
                self.db.execute("SELECT path, dev, ino, size, mtime_ns, end_offset, tail FROM files")}  # fmt: skip

    def entries(self, paths: set[str]) -> dict[str, _Entry]:
        """The cached entries of those paths; one that does not decode is left out, to be read again."""
        out: dict[str, _Entry] = {}
        for row in self.db.execute("SELECT * FROM files"):
            if row[0] in paths:
                entry = _decode(row)
                if entry is not None:
                    out[entry.path] = entry
        return out

    def entry(self, path: str) -> _Entry | None:
        row = self.db.execute("SELECT * FROM files WHERE path = ?", (path,)).fetchone()
        return None if row is None else _decode(row)

    def write(self, entries: Iterable[_Entry], gone: Iterable[str]) -> None:
        self.db.execute("BEGIN IMMEDIATE")
        try:
            self.db.executemany("DELETE FROM files WHERE path = ?", [(p,) for p in gone])
            self.db.executemany(
                "INSERT OR REPLACE INTO files VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                [(e.path, e.project, e.dev, e.ino, e.size, e.mtime_ns, e.end, e.tail, marshal.dumps(e.rows),
                  marshal.dumps(e.facts), e.problem_count, marshal.dumps((e.lines, e.problems, e.open_calls)))
                 for e in entries],
            )  # fmt: skip
            self.db.execute("COMMIT")
        except BaseException:
            self.db.rollback()
            raise

    def close(self) -> None:
        self.db.close()


def _decode(row: tuple[Any, ...]) -> _Entry | None:
    """One cached file; None when the row does not decode (it is then read again)."""
    try:
        path, project, dev, ino, size, mtime, end, tail, rows, facts, count, problems = row
        lines, problems, open_calls = marshal.loads(problems)
        return _Entry(path, project, dev, ino, size, mtime, end, tail, marshal.loads(rows), marshal.loads(facts),
                      count, problems, lines, open_calls)  # fmt: skip
    except (ValueError, EOFError, TypeError):
        return None


def _discard(path: Path) -> None:
    for suffix in ("", "-wal", "-shm", "-journal"):
        with contextlib.suppress(OSError):
            os.unlink(f"{path}{suffix}")


def _open_store(path: Path) -> tuple[_Store | None, str]:
    """The cache, rebuilt when it is corrupt or foreign; None with the reason when it cannot be had."""
    try:
        return _Store(path), "used"
    except sqlite3.OperationalError as e:
        if "locked" in str(e) or "busy" in str(e):
            return None, f"bypassed: {e}"
        reason = str(e)
    except (sqlite3.DatabaseError, ValueError, EOFError, TypeError) as e:
        reason = str(e)
    except OSError as e:
        return None, f"bypassed: {e.strerror or e}"
    _discard(path)
    try:
        return _Store(path), "rebuilt"
    except (sqlite3.Error, OSError) as e:
        return None, f"bypassed: {reason}; {e}"


# ---------------------------------------------------------------------------------------------
# Loading the usage


def native_scanner(threads: int | None = None) -> Scanner:
    """The package's per-file scan; KestroSDKError when this build has none."""
    from . import _core

    try:
        from ._scan import scan_files  # type: ignore[import-not-found,unused-ignore]
    except ImportError:
        raise _core.KestroSDKError("this build of kestro_sdk has no usage scan") from None

    def scan(files: Sequence[tuple[str, int]]) -> Sequence[FileScan]:
        return scan_files(files, threads=threads)  # type: ignore[no-any-return,unused-ignore]

    return scan


def load_usage(
    bases: Iterable[str | os.PathLike[str]],
    *,
    projects: Sequence[str] = (),
    since: dt.datetime | None = None,
    until: dt.datetime | None = None,
    subagents: bool = True,
    use_cache: bool = True,
    path: str | os.PathLike[str] | None = None,
    scanner: Scanner | None = None,
    progress: Callable[[int, int], None] | None = None,
) -> Loaded:
    """The replies under the bases, each once, with the session facts and the problems.

    ``since`` (included) and ``until`` (excluded) bound the replies' UTC timestamps.
    A reply found in several files keeps the project, session and agent of the first
    file in path order, and the largest of each count. ``use_cache`` False reads
    every file whole and leaves the cache alone. ``progress(done, total)`` is called
    with the bytes read so far and in all, when there is something to read; the
    files are then read in batches so that it can be called between them.
    """
    logs = find_logs(bases, projects)

    def scan(files: Sequence[tuple[str, int]]) -> Sequence[FileScan]:
        # Looked up only when some file must be read: a warm report needs no scan at all.
        read = scanner or native_scanner()
        if progress is None:
            return read(files)
        return _in_batches(read, files, progress)

    entries: dict[str, _Entry]
    status, scanned = "off", 0
    if not use_cache:
        entries = {log.path: _entry(log, s) for log, s in zip(logs, scan([(g.path, 0) for g in logs]), strict=True)}
        scanned = len(logs)
    else:
        db = Path(path) if path is not None else cache_file()
        store, status = _open_store(db)
        try:
            entries, scanned, problem = _refresh(store, logs, scan)
        finally:
            if store is not None:
                store.close()
        if problem is not None:
            status = f"bypassed: {problem}"
            if "locked" not in problem and "busy" not in problem:
                _discard(db)  # found damaged on the way: the next report starts a new one
    return _collect(logs, entries, since, until, subagents, status, scanned)


BATCH_BYTES: Final = 32 << 20


def _in_batches(
    read: Scanner, files: Sequence[tuple[str, int]], progress: Callable[[int, int], None]
) -> list[FileScan]:
    """The files read in batches of about BATCH_BYTES (each still in parallel), reporting after each."""
    sizes = []
    for path, start in files:
        try:
            sizes.append(max(os.stat(path).st_size - start, 0))
        except OSError:
            sizes.append(0)
    total, done = sum(sizes), 0
    out: list[FileScan] = []
    progress(0, total)
    i = 0
    while i < len(files):
        j, batch = i, 0
        while j < len(files) and (j == i or batch + sizes[j] <= BATCH_BYTES):
            batch += sizes[j]
            j += 1
        out += read(files[i:j])
        done += batch
        progress(done, total)
        i = j
    return out


def _refresh(store: _Store | None, logs: list[LogFile], scan: Scanner) -> tuple[dict[str, _Entry], int, str | None]:
    """Every log's entry, from the cache where it still holds, scanned where not; the cache brought up to date."""
    problem: str | None = None
    known: dict[str, tuple[int, int, int, int, int, bytes]] = {}
    if store is not None:
        try:
            known = store.keys()
        except (sqlite3.Error, ValueError) as e:
            store, problem = None, str(e)
    whole: list[LogFile] = []
    grown: list[tuple[LogFile, int]] = []
    fresh: set[str] = set()
    for log in logs:
        key = known.get(log.path)
        try:
            st = os.stat(log.path)
        except OSError:
            continue  # gone since it was listed
        if key is None:
            whole.append(log)
            continue
        dev, ino, size, mtime, end, tail = key
        if (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns) == (dev, ino, size, mtime):
            fresh.add(log.path)
        elif (st.st_dev, st.st_ino) == (dev, ino) and st.st_size > size and _tail_hash(log.path, end) == tail:
            grown.append((log, end))
        else:
            whole.append(log)
    entries: dict[str, _Entry] = {}
    if store is not None and fresh:
        try:
            entries = store.entries(fresh)
        except sqlite3.Error as e:
            store, problem, entries = None, str(e), {}
    if len(entries) < len(fresh):
        whole += [log for log in logs if log.path in fresh and log.path not in entries]
        whole.sort(key=lambda g: g.path)
    updated: list[_Entry] = []
    unreadable: list[_Entry] = []  # reported, never cached: the next report tries again
    jobs = [(g.path, 0) for g in whole] + [(g.path, end) for g, end in grown]
    results = scan(jobs) if jobs else []
    for log, result in zip(whole, results[: len(whole)], strict=True):
        (unreadable if getattr(result, "error", None) else updated).append(_entry(log, result))
    for (log, end), result in zip(grown, results[len(whole) :], strict=True):
        old = None
        if store is not None:
            try:
                old = store.entry(log.path)
            except sqlite3.Error as e:
                store, problem = None, str(e)
        if getattr(result, "error", None):
            unreadable.append(_entry(log, result))
        elif old is None or old.end != end:
            # The cached part changed under us (another report updated it): read the file whole.
            updated.append(_entry(log, scan([(log.path, 0)])[0]))
        else:
            updated.append(_grown(old, result))
    entries.update((e.path, e) for e in updated + unreadable)
    if store is not None:
        listed = {log.path for log in logs}
        gone = [p for p in known if p not in listed and not os.path.exists(p)]
        if updated or gone:
            try:
                store.write(updated, gone)
            except sqlite3.Error as e:
                problem = str(e)
    return entries, len(jobs), problem


def _collect(
    logs: list[LogFile],
    entries: dict[str, _Entry],
    since: dt.datetime | None,
    until: dt.datetime | None,
    subagents: bool,
    status: str,
    scanned: int,
) -> Loaded:
    lo = _ts(since)
    hi = _ts(until)
    by_key: dict[tuple[Any, ...], int] = {}
    packed: list[CachedRow] = []
    sessions: list[SessionFacts] = []
    per_file: list[tuple[str, int, Sequence[tuple[int, str]]]] = []
    for log in logs:  # path order: the first file a reply is found in names its project, session and agent
        e = entries.get(log.path)
        if e is None:
            continue
        sid, agent, title, first, last, turns, prompts = e.facts
        if subagents or agent is None:
            sessions.append(SessionFacts(e.project, sid, agent, title, _from_ts(first), _from_ts(last), turns,
                                         prompts))  # fmt: skip
        if e.problem_count:
            per_file.append((e.path, e.problem_count, e.problems))
        for r in e.rows:
            if r[_MID] is None:
                packed.append(CachedRow(r))
                continue
            key = r[_MID : _RID + 1]
            i = by_key.get(key)
            if i is None:
                by_key[key] = len(packed)
                packed.append(CachedRow(r))
            else:
                packed[i] = CachedRow(_merge(packed[i], r))
        e.rows = []  # each reply is held once, as its row, from here on
    rows = [
        r
        for r in packed
        if (lo is None or r[_TS] >= lo) and (hi is None or r[_TS] < hi) and (subagents or (r[4] is None and not r[5]))
    ]
    return Loaded(rows, sessions, Problems.of(per_file), len(logs), scanned, status)
