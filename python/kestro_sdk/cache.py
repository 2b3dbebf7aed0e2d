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
import marshal
import os
import sqlite3
from array import array
from collections import Counter
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from itertools import chain
from operator import itemgetter
from pathlib import Path
from typing import Any, Final, Literal, Protocol
from zlib import adler32, crc32

from . import __version__
from .reports import QUARTER_HOUR_US, Group, Problems, ReplyUsage, SessionFacts

__all__ = ["CachedRow", "FileScan", "Loaded", "cache_file", "find_logs", "load_usage"]

SCHEMA_VERSION: Final = 6
APPLICATION_ID: Final = 0x4B535543  # "KSUC": tells our cache from any other SQLite file
TAIL_BYTES: Final = 4096
BUSY_TIMEOUT_MS: Final = 3000
EPOCH: Final = dt.datetime(1970, 1, 1, tzinfo=dt.UTC)
MAX_PROBLEMS_KEPT: Final = 5


class ScanRow(ReplyUsage, Protocol):
    """One reply of one file as the per-file scan gives it (read-only, as the native rows are)."""

    @property
    def message_id(self) -> str | None: ...
    @property
    def request_id(self) -> str | None: ...
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
    sessions: list[SessionFacts]  # per file; left empty with ``detail="groups"``, whose reports need none
    problems: Problems
    groups: list[Group] = field(default_factory=list)  # with ``detail="groups"``, instead of the rows
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
    rows: list[_Packed] | None  # None until asked for: a warm report by day needs only the groups
    facts: _Packed
    problem_count: int
    problems: list[tuple[int, str]]
    lines: int  # lines read up to ``end``: a grown file's problems are numbered after them
    grouped: tuple[list[_Packed], bytes] | None = None  # see _group_rows; made from the rows when needed
    # Tool calls still waiting for their result, as (call id, row index, tool name): the part a
    # grown file adds may answer them.
    open_calls: list[tuple[str, int, str]] = field(default_factory=list)

    def groups(self) -> tuple[list[_Packed], bytes]:
        if self.grouped is None:
            assert self.rows is not None
            self.grouped = _group_rows(self.rows)
        return self.grouped


def _key_hash(mid: str, rid: str | None) -> int:
    """64 bits from a reply's key: equal keys give equal numbers; two keys that happen to share one
    only send their files the slower, exact way."""
    data = f"{mid}\0{rid}".encode("utf-8", "surrogatepass")
    return crc32(data) | adler32(data) << 32


def _pack_ints(values: list[int]) -> bytes | tuple[int, ...]:
    try:
        return array("q", values).tobytes()
    except OverflowError:  # a count no 64-bit integer holds: kept as it is, only slower to read
        return tuple(values)


def _group_rows(rows: Sequence[_Packed]) -> tuple[list[_Packed], bytes]:
    """A file's replies summed per quarter-hour, model, session, sub-agent or not, and how they are priced.

    A real time zone's offset is a whole number of quarter-hours, so a quarter-hour of UTC falls
    in one local day and one hour of any zone: a report by day or by 5-hour window can add up a
    group at once. Each group also keeps its replies one by one (time, position in the file,
    counts, logged costs), for the reports and prices that need them singly. The group's order
    is that of its first reply. Also the hashes of the replies' keys, to find those in several files.
    """
    found: dict[tuple[Any, ...], list[tuple[Any, ...]]] = {}
    keys: list[int] = []
    for pos, r in enumerate(rows):
        ts, mid, logged = r[0], r[1], r[13]
        inp, out, created, w5, w1, read = r[7], r[8], r[9], r[10], r[11], r[12]
        rest = created - w5 - w1
        if rest > 0:
            w5 += rest  # writes the split leaves out are priced as 5-minute writes
        zero = not (inp or out or created or w5 or w1 or read)
        key = (ts - ts % QUARTER_HOUR_US, r[3], r[6], r[4] is not None or bool(r[5]), logged is not None, zero)
        items = found.get(key)
        if items is None:
            items = found[key] = []
        items.append((ts, pos, inp, out, created, w5, w1, read, logged))
        if mid is not None:
            keys.append(_key_hash(mid, r[2]))
    groups: list[_Packed] = []
    for (start, session, model, is_sub, has_logged, zero), items in found.items():
        ts_, pos_, inp_, out_, created_, w5_, w1_, read_, logged_ = (list(c) for c in zip(*items, strict=True))
        prompt = max(map(sum, zip(inp_, w5_, w1_, read_, strict=True)))
        columns = _pack_ints(ts_ + pos_ + inp_ + out_ + created_ + w5_ + w1_ + read_)
        costs = array("d", logged_).tobytes() if has_logged else b""
        groups.append((start, QUARTER_HOUR_US, pos_[0], session, model, is_sub, has_logged, zero, len(items),
                       sum(inp_), sum(out_), sum(created_), sum(read_), prompt, columns, costs))  # fmt: skip
    return groups, array("Q", keys).tobytes()


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
    import hashlib  # not needed on a warm report's way

    return hashlib.blake2b(data, digest_size=16).digest()


def _entry(log: LogFile, scan: FileScan) -> _Entry:
    problems = list(scan.problems)
    error = getattr(scan, "error", None)
    if error:
        problems.insert(0, (0, error))
    rows = [_pack_row(r, log.project) for r in scan.rows]
    return _Entry(log.path, log.project, scan.dev, scan.ino, scan.size, scan.mtime_ns, scan.end,
                  _tail_hash(log.path, scan.end) or b"", rows, _pack_facts(scan), len(problems),
                  problems[:MAX_PROBLEMS_KEPT], scan.lines, open_calls=list(scan.open_calls))  # fmt: skip


def _grown(old: _Entry, scan: FileScan) -> _Entry:
    # The scan numbers its lines from where it started.
    problems = old.problems + [(old.lines + line, reason) for line, reason in scan.problems]
    assert old.rows is not None  # read with its rows
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
                  problems[:MAX_PROBLEMS_KEPT], old.lines + scan.lines, open_calls=still)  # fmt: skip


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
    rows BLOB NOT NULL, problem_count INTEGER NOT NULL, summary BLOB NOT NULL, keys BLOB NOT NULL
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

    def snapshot(self, with_rows: bool = True) -> Iterable[tuple[Any, ...]]:
        """Every cached file's row, in one read; without ``with_rows`` the replies are left in the file."""
        return self.db.execute(_SELECT if with_rows else _SELECT_GROUPED)

    def entry(self, path: str) -> _Entry | None:
        row = self.db.execute(f"{_SELECT} WHERE path = ?", (path,)).fetchone()
        return None if row is None else _decode(row)

    def rows(self, path: str) -> list[_Packed] | None:
        """One file's replies; None when it is no longer cached or does not decode."""
        found = self.db.execute("SELECT rows FROM files WHERE path = ?", (path,)).fetchone()
        if found is None:
            return None
        try:
            rows = marshal.loads(found[0])
        except (ValueError, EOFError, TypeError):
            return None
        return rows if isinstance(rows, list) else None

    def write(self, entries: Iterable[_Entry], gone: Iterable[str]) -> None:
        self.db.execute("BEGIN IMMEDIATE")
        try:
            self.db.executemany("DELETE FROM files WHERE path = ?", [(p,) for p in gone])
            self.db.executemany(
                "INSERT OR REPLACE INTO files VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                # One file's blobs at a time: a cold report over a large history writes them all.
                ((e.path, e.project, e.dev, e.ino, e.size, e.mtime_ns, e.end, e.tail, marshal.dumps(e.rows),
                  e.problem_count, marshal.dumps((e.facts, e.lines, e.problems, e.groups()[0], e.open_calls)),
                  e.groups()[1])
                 for e in entries),
            )  # fmt: skip
            self.db.execute("COMMIT")
        except BaseException:
            self.db.rollback()
            raise

    def close(self) -> None:
        self.db.close()


# Everything but the replies is one blob (the session facts, lines read, first problems and the
# groups): one decoding per file on a warm report's way.
_FIELDS: Final = "path, project, dev, ino, size, mtime_ns, end_offset, tail, problem_count, summary, keys"
_GROUP_FIELDS: Final = 16  # as _group_rows makes them
_SELECT: Final = f"SELECT {_FIELDS}, rows FROM files"
_SELECT_GROUPED: Final = f"SELECT {_FIELDS}, NULL FROM files"


def _decode(row: tuple[Any, ...]) -> _Entry | None:
    """One cached file; None when the row does not decode (it is then read again)."""
    try:
        path, project, dev, ino, size, mtime, end, tail, count, summary, keys, rows = row
        facts, lines, problems, groups, open_calls = marshal.loads(summary)
        if not (isinstance(facts, tuple) and len(facts) == 7 and isinstance(problems, list)
                and isinstance(groups, list) and all(type(g) is tuple and len(g) == _GROUP_FIELDS for g in groups)
                and isinstance(keys, bytes) and len(keys) % 8 == 0 and isinstance(open_calls, list)):  # fmt: skip
            return None  # decodes, but is not what this version writes
        return _Entry(path, project, dev, ino, size, mtime, end, tail, None if rows is None else marshal.loads(rows),
                      facts, count, problems, lines, (groups, keys), open_calls)  # fmt: skip
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


def _micros(value: dt.date | dt.datetime | None, end: bool) -> int | None:
    """A bound as UTC microseconds; a bare date covers its whole UTC day, a naive datetime is UTC."""
    if value is None:
        return None
    if not isinstance(value, dt.datetime):
        value = dt.datetime.combine(value, dt.time.max if end else dt.time.min)
    if value.tzinfo is None:
        value = value.replace(tzinfo=dt.UTC)
    return _ts(value)


def load_usage(
    bases: Iterable[str | os.PathLike[str]],
    *,
    projects: Sequence[str] = (),
    since: dt.date | dt.datetime | None = None,
    until: dt.date | dt.datetime | None = None,
    subagents: bool = True,
    use_cache: bool = True,
    path: str | os.PathLike[str] | None = None,
    scanner: Scanner | None = None,
    progress: Callable[[int, int], None] | None = None,
    detail: Literal["rows", "groups"] = "rows",
) -> Loaded:
    """The replies under the bases, each once, with the session facts and the problems.

    ``since`` and ``until`` bound the replies' UTC timestamps, both included, as in
    :func:`kestro_sdk.scan_usage`: a bare date covers its whole day in UTC, a naive
    datetime is taken as UTC. A reply found in several files keeps the project,
    session and agent of the first file in path order, and the largest of each count.
    ``use_cache`` False reads every file whole and leaves the cache alone.
    ``progress(done, total)`` is called with the bytes read so far and in all, when
    there is something to read; the files are then read in batches so that it can be
    called between them.

    ``detail="groups"`` gives :class:`kestro_sdk.reports.Group` objects in ``groups``
    instead of rows: what the reports by day, week and month and the status line
    need, read from the cache without a Python object per reply.
    """
    logs = find_logs(bases, projects)
    lo, hi = _micros(since, False), _micros(until, True)
    with_rows = detail == "rows"

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
        return _collect(logs, entries, lo, hi, subagents, status, len(logs), with_rows, None)
    db = Path(path) if path is not None else cache_file()
    store, status = _open_store(db)
    try:
        entries, scanned, problem = _refresh(store, logs, scan, with_rows)
        try:
            loaded = _collect(logs, entries, lo, hi, subagents, status, scanned, with_rows,
                              store if problem is None else None)  # fmt: skip
        except _Unusable as e:
            # A file's replies could not be had from the cache after all: read everything again.
            problem = str(e)
            entries = {log.path: _entry(log, s) for log, s in zip(logs, scan([(g.path, 0) for g in logs]), strict=True)}
            loaded = _collect(logs, entries, lo, hi, subagents, status, len(logs), with_rows, None)
    finally:
        if store is not None:
            store.close()
    if problem is not None:
        loaded.cache = f"bypassed: {problem}"
        if "locked" not in problem and "busy" not in problem:
            _discard(db)  # found damaged on the way: the next report starts a new one
    return loaded


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


def _refresh(
    store: _Store | None, logs: list[LogFile], scan: Scanner, with_rows: bool = True
) -> tuple[dict[str, _Entry], int, str | None]:
    """Every log's entry, from the cache where it still holds, scanned where not; the cache brought up to date."""
    problem: str | None = None
    stats: dict[str, os.stat_result] = {}
    for log in logs:
        with contextlib.suppress(OSError):  # one gone since it was listed is left out
            stats[log.path] = os.stat(log.path)
    # One read of the cache; a file still as it was cached is decoded on the way, the others only noted.
    known: dict[str, tuple[Any, ...]] = {}  # dev, inode, size, mtime, end, tail hash
    entries: dict[str, _Entry] = {}
    fresh: set[str] = set()
    if store is not None:
        try:
            for row in store.snapshot(with_rows):
                path, key = row[0], row[2:8]
                known[path] = key
                st = stats.get(path)
                if st is not None and (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns) == key[:4]:
                    fresh.add(path)
                    entry = _decode(row)
                    if entry is not None:  # one that does not decode is read again
                        entries[path] = entry
        except (sqlite3.Error, ValueError) as e:
            store, problem, known, entries, fresh = None, str(e), {}, {}, set()
    whole: list[LogFile] = []
    grown: list[tuple[LogFile, int]] = []
    for log in logs:
        st = stats.get(log.path)
        if st is None or log.path in fresh:
            continue
        cached = known.get(log.path)
        if cached is None:
            whole.append(log)
            continue
        dev, ino, size, _, end, tail = cached
        if (st.st_dev, st.st_ino) == (dev, ino) and st.st_size > size and _tail_hash(log.path, end) == tail:
            grown.append((log, end))
        else:
            whole.append(log)
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
            else:
                if not with_rows:  # written: the few that the groups may need again are read back
                    for written in updated:
                        written.rows = None
    return entries, len(jobs), problem


def _collect(
    logs: list[LogFile],
    entries: dict[str, _Entry],
    lo: int | None,
    hi: int | None,
    subagents: bool,
    status: str,
    scanned: int,
    with_rows: bool = True,
    store: _Store | None = None,
) -> Loaded:
    files: list[_Entry] = []
    sessions: list[SessionFacts] = []
    per_file: list[tuple[str, int, Sequence[tuple[int, str]]]] = []
    for log in logs:  # path order: the first file a reply is found in names its project, session and agent
        e = entries.get(log.path)
        if e is None:
            continue
        files.append(e)
        sid, agent, title, first, last, turns, prompts = e.facts
        if with_rows and (subagents or agent is None):
            sessions.append(SessionFacts(e.project, sid, agent, title, _from_ts(first), _from_ts(last), turns,
                                         prompts))  # fmt: skip
        if e.problem_count:
            per_file.append((e.path, e.problem_count, e.problems))
    problems = Problems.of(per_file)
    if not with_rows:
        groups = _collect_groups(files, lo, hi, subagents, store)
        return Loaded([], sessions, problems, groups, len(logs), scanned, status)
    by_key: dict[tuple[Any, ...], int] = {}
    packed: list[CachedRow] = []
    for e in files:
        assert e.rows is not None  # read with its rows
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
        if (lo is None or r[_TS] >= lo) and (hi is None or r[_TS] <= hi) and (subagents or (r[4] is None and not r[5]))
    ]
    return Loaded(rows, sessions, problems, [], len(logs), scanned, status)


_make_group: Final = tuple.__new__  # the stored fields are already checked: no need for Group's own __new__


def _collect_groups(
    files: list[_Entry], lo: int | None, hi: int | None, subagents: bool, store: _Store | None
) -> list[Group]:
    """The groups of every file, with the replies found in several files counted once, as rows are."""
    keysets = [array("Q", e.groups()[1]) for e in files]
    seen: set[int] = set()
    for keys in keysets:
        seen.update(keys)
    regrouped: dict[int, list[_Packed]] = {}
    if len(seen) != sum(map(len, keysets)):
        # Some replies are in several files (or twice in one): those files are summed again from their
        # rows, each such reply merged into the first file it is found in.
        dup = {k for k, n in Counter(chain.from_iterable(keysets)).items() if n > 1}
        affected = [i for i, keys in enumerate(keysets) if not dup.isdisjoint(keys)]
        kept: dict[int, list[_Packed]] = {i: [] for i in affected}
        at: dict[tuple[Any, ...], tuple[int, int]] = {}
        for i in affected:
            e = files[i]
            rows = e.rows if e.rows is not None else store.rows(e.path) if store is not None else None
            if rows is None:
                raise _Unusable(f"the cached replies of {e.path} do not decode")
            mine = kept[i]
            for r in rows:
                if r[_MID] is None:
                    mine.append(r)
                    continue
                key = r[_MID : _RID + 1]
                where = at.get(key)
                if where is None:
                    at[key] = (i, len(mine))
                    mine.append(r)
                else:
                    owner = kept[where[0]]
                    owner[where[1]] = _merge(owner[where[1]], r)
        regrouped = {i: _group_rows(rows)[0] for i, rows in kept.items()}
    out: list[Group] = []
    for i, e in enumerate(files):
        project = e.project
        for t in regrouped[i] if i in regrouped else e.groups()[0]:
            g = _make_group(Group, (t[0], t[1], i, t[2], project, *t[3:]))
            if not subagents and g.is_sub:
                continue
            if lo is None and hi is None:
                out.append(g)
                continue
            last = g.start + g.span - 1
            if (lo is None or g.start >= lo) and (hi is None or last <= hi):
                out.append(g)
            elif (lo is None or last >= lo) and (hi is None or g.start <= hi):  # straddles a bound
                out += [o for o in g.singles() if (lo is None or o.start >= lo) and (hi is None or o.start <= hi)]
    return out
