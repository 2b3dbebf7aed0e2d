"""Finding sessions: by path, id or id prefix, by project, by date; and searching their text."""

from __future__ import annotations

import datetime as dt
import os
import re
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

from .._core import KestroSDKError
from . import view

if TYPE_CHECKING:
    from .._reader import Transcript


class SessionNotFound(KestroSDKError):
    """No session, or more than one, answers to what was asked."""


@dataclass(frozen=True, slots=True)
class SessionFile:
    """A session log under a projects folder."""

    path: Path
    project: str  # the project folder's name
    session_id: str  # the file's stem

    def read(self) -> Transcript:
        from .. import read

        return read(self.path)


def _is_session_log(name: str) -> bool:
    # Sub-agent logs of the older layout sit beside the sessions; they belong to a session.
    return name.endswith(".jsonl") and not name.startswith("agent-")


def session_files(bases: Iterable[str | os.PathLike[str]], projects: Sequence[str] = ()) -> list[SessionFile]:
    """Every session log under the bases, by project then name; ``projects`` keeps folders whose name
    contains any of them. A folder that cannot be listed is skipped."""
    found: list[SessionFile] = []
    for base in bases:
        root = Path(base).expanduser()
        try:
            folders = sorted(e.name for e in os.scandir(root) if e.is_dir())
        except OSError:
            continue
        for folder in folders:
            if projects and not any(p in folder for p in projects):
                continue
            try:
                names = sorted(e.name for e in os.scandir(root / folder) if e.is_file() and _is_session_log(e.name))
            except OSError:
                continue
            found += [SessionFile(root / folder / n, folder, n[: -len(".jsonl")]) for n in names]
    return found


def file_of(path: str | os.PathLike[str]) -> SessionFile:
    """A session given by its file's path."""
    p = Path(path).expanduser()
    return SessionFile(p, p.parent.name, p.stem)


def resolve_session(
    key: str,
    bases: Iterable[str | os.PathLike[str]],
    since: dt.datetime | None = None,
    until: dt.datetime | None = None,
) -> SessionFile:
    """The session that ``key`` names: a path to a log, else an id or a unique prefix of one.

    When a prefix names several sessions, ``since`` and ``until`` (if given) keep those active
    in [since, until); one left is the answer.
    """
    if os.sep in key or key.endswith(".jsonl") or key.startswith("~"):
        p = Path(key).expanduser()
        if p.is_file():
            return file_of(p)
        raise SessionNotFound(f"no session log at {p}")
    files = session_files(bases)
    exact = [f for f in files if f.session_id == key]
    matches = exact or [f for f in files if f.session_id.startswith(key)]
    if len(matches) > 1 and (since is not None or until is not None):
        matches = [f for f in matches if recent_enough(f, since) and _active(f, since, until)]
    if len(matches) == 1:
        return matches[0]
    if not matches:
        if Path(key).is_file():
            return file_of(key)
        raise SessionNotFound(f"no session id starts with {key!r}")
    ids = sorted({f"{m.session_id} ({m.project})" for m in matches})
    shown = ", ".join(ids[:4]) + (f" and {len(ids) - 4} more" if len(ids) > 4 else "")
    raise SessionNotFound(f"{key!r} names {len(matches)} sessions: {shown}; give more of the id")


def overlaps(transcript: Transcript, since: dt.datetime | None, until: dt.datetime | None) -> bool:
    """Whether the session had activity in [since, until); a bound of None is open."""
    start = view.parse_time(transcript.started)
    end = view.parse_time(transcript.ended) or start
    if start is None or end is None:
        return since is None and until is None
    return (since is None or end >= since) and (until is None or start < until)


def _active(file: SessionFile, since: dt.datetime | None, until: dt.datetime | None) -> bool:
    try:
        return overlaps(file.read(), since, until)
    except (OSError, KestroSDKError):
        return False


def recent_enough(file: SessionFile, since: dt.datetime | None) -> bool:
    """False when the file was last written before ``since``: it cannot hold later activity."""
    if since is None:
        return True
    try:
        return file.path.stat().st_mtime >= since.timestamp()
    except OSError:
        return False


# ---------------------------------------------------------------------------------------------
# Search


@dataclass(frozen=True, slots=True)
class Match:
    """A session whose prompts or replies contain the text, with its first matching line."""

    session_id: str
    project: str
    started: str | None
    title: str | None
    role: str  # who wrote the first match: "prompt" or "reply"
    line: str  # that line, shortened around the match
    matches: int  # messages that match
    path: str


def search_pattern(text: str, *, regex: bool = False, case_sensitive: bool = False) -> re.Pattern[str]:
    """The pattern a search looks for; re.error for a bad regular expression."""
    return re.compile(text if regex else re.escape(text), 0 if case_sensitive else re.IGNORECASE)


def _line_around(text: str, m: re.Match[str], width: int = 100) -> str:
    start = text.rfind("\n", 0, m.start()) + 1
    end = text.find("\n", m.end())
    line = text[start : end if end >= 0 else len(text)]
    if len(line) > width:
        # Keep the match in view, a third of the way in.
        left = max(0, min(m.start() - start - width // 3, len(line) - width))
        line = ("…" if left else "") + line[left : left + width] + ("…" if left + width < len(line) else "")
    return " ".join(line.split())


def search_transcript(transcript: Transcript, pattern: re.Pattern[str]) -> tuple[str, str, int] | None:
    """(role, line, count) for the first prompt or reply text that matches, None when none does."""
    from .._reader import TextBlock

    first: tuple[str, str] | None = None
    count = 0
    for m in transcript.messages:
        if m.role == "user":
            if not view.is_prompt(m):
                continue
            role = "prompt"
        else:
            role = "reply"
        for block in m.content:
            if not isinstance(block, TextBlock):
                continue
            hit = pattern.search(block.text)
            if hit is not None:
                count += 1
                if first is None:
                    first = (role, _line_around(block.text, hit))
                break
    return None if first is None else (first[0], first[1], count)


def search(
    files: Iterable[SessionFile],
    pattern: re.Pattern[str],
    since: dt.datetime | None = None,
    until: dt.datetime | None = None,
) -> Iterator[Match]:
    """The sessions among ``files`` that had activity in [since, until) and whose text matches."""
    for f in files:
        if not recent_enough(f, since):
            continue
        try:
            t = f.read()
        except (OSError, KestroSDKError):
            continue
        if not overlaps(t, since, until):
            continue
        found = search_transcript(t, pattern)
        if found is not None:
            role, line, count = found
            # The file's name, not the id inside: it is what 'show' and 'export' take.
            yield Match(f.session_id, f.project, t.started, t.title, role, line, count, str(f.path))
