"""Reading sessions back and sharing them: Markdown, HTML pages with a project index, JSON Lines;
and Parquet tables for a team's bucket (:func:`to_parquet`, in :mod:`kestro_sdk.export.parquet`).

Each function takes a transcript from :func:`kestro_sdk.read` (or a path to one) and returns
text; :func:`export` writes whole projects to a folder. Nothing here prints.

    >>> import kestro_sdk
    >>> from kestro_sdk import export
    >>> t = kestro_sdk.read("~/.kestro/projects/-home-me-app/1f2e....jsonl")
    >>> page = export.to_html(t, redact=True)
"""

from __future__ import annotations

import datetime as dt
import os
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, Final, Literal

from .parquet import ParquetExport, ParquetUnavailable, to_parquet
from .redact import Redactor, home_folders
from .sessions import SessionFile, SessionNotFound, file_of, overlaps, recent_enough, resolve_session, session_files
from .view import Conversation, Options, build

if TYPE_CHECKING:
    from .. import pricing
    from .._reader import Transcript

__all__ = [
    "FORMATS",
    "Exported",
    "ParquetExport",
    "ParquetUnavailable",
    "Redactor",
    "SessionFile",
    "SessionNotFound",
    "build",
    "export",
    "redactor_for",
    "resolve_session",
    "session_files",
    "targets",
    "to_html",
    "to_jsonl",
    "to_markdown",
    "to_parquet",
]

Format = Literal["md", "html", "jsonl"]
FORMATS: Final = ("md", "html", "jsonl")
SUFFIX: Final = {"md": ".md", "html": ".html", "jsonl": ".jsonl"}


def _transcript(source: Transcript | str | os.PathLike[str]) -> Transcript:
    if isinstance(source, str | os.PathLike):
        from .. import read

        return read(source)
    return source


def redactor_for(transcript: Transcript) -> Redactor:
    """A redactor for this session: this user's home and the homes its working folders lie in."""
    cwds: list[str | None] = []
    pending = [transcript]
    while pending:
        t = pending.pop()
        cwds += {m.cwd for m in t.messages}
        pending += t.subagents
    return Redactor(home_folders(cwds))


def _conversation(t: Transcript, prices: pricing.PriceTable | None, mode: pricing.Mode, meta: bool) -> Conversation:
    return build(t, Options(meta=meta, prices=prices, mode=mode))


def to_markdown(
    source: Transcript | str | os.PathLike[str],
    *,
    redact: bool = False,
    prices: pricing.PriceTable | None = None,
    mode: pricing.Mode = "auto",
    meta: bool = True,
    tz: dt.tzinfo | None = None,
) -> str:
    """The session as Markdown: a heading per turn, tool calls fenced, long results folded.

    ``prices`` prices each reply by ``mode`` (without it, the logged cost is shown where there
    is one); ``meta=False`` leaves out meta and system records; times are shown in ``tz``
    (UTC by default).
    """
    from . import markdown

    t = _transcript(source)
    clean = redactor_for(t) if redact else None
    return markdown.render(_conversation(t, prices, mode, meta), clean, tz)


def to_html(
    source: Transcript | str | os.PathLike[str],
    *,
    redact: bool = False,
    prices: pricing.PriceTable | None = None,
    mode: pricing.Mode = "auto",
    meta: bool = True,
    tz: dt.tzinfo | None = None,
) -> str:
    """The session as one self-contained HTML page; the arguments are those of :func:`to_markdown`."""
    from . import html

    t = _transcript(source)
    clean = redactor_for(t) if redact else None
    return html.render(_conversation(t, prices, mode, meta), clean, tz)


def to_jsonl(
    source: Transcript | str | os.PathLike[str],
    *,
    redact: bool = False,
    prices: pricing.PriceTable | None = None,
    mode: pricing.Mode = "auto",
) -> str:
    """The complete reader's view as JSON Lines: records, problems and replies, sub-agents after."""
    from . import jsonl

    t = _transcript(source)
    clean = redactor_for(t).json if redact else None
    return "".join(jsonl.lines(t, prices, mode, clean))


# ---------------------------------------------------------------------------------------------
# Whole projects


@dataclass(slots=True)
class Exported:
    """What :func:`export` wrote."""

    files: list[Path] = field(default_factory=list)  # one per session, in the order written
    indexes: list[Path] = field(default_factory=list)  # HTML only: one per project
    skipped: list[tuple[Path, str]] = field(default_factory=list)  # logs that could not be read, and why


def _safe_name(name: str) -> str:
    # A project or session name becomes one path component, whatever it holds.
    cleaned = "".join(ch if ch.isalnum() or ch in "-_.@+=" else "_" for ch in name).lstrip(".")
    return cleaned or "_"


def export(
    sessions: Iterable[SessionFile | str | os.PathLike[str]],
    out_dir: str | os.PathLike[str],
    format: Format,
    *,
    redact: bool = False,
    prices: pricing.PriceTable | None = None,
    mode: pricing.Mode = "auto",
    meta: bool = True,
    tz: dt.tzinfo | None = None,
    since: dt.datetime | None = None,
    until: dt.datetime | None = None,
    progress: Callable[[SessionFile], Any] | None = None,
) -> Exported:
    """Writes each session to ``out_dir/<project>/<session id>.<md|html|jsonl>``.

    For HTML, each project folder also gets an ``index.html`` listing its sessions with a daily
    cost and token chart. Sessions with no activity in [since, until) are left out. A log that
    cannot be read is listed in ``skipped``, not raised.
    """
    if format not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {format!r}")
    from .._core import KestroSDKError
    from . import html, jsonl, markdown

    out = Path(out_dir).expanduser()
    result = Exported()
    projects: dict[str, tuple[list[html.SessionEntry], list[tuple[str | None, int, float | None]]]] = {}
    names: dict[str, Callable[[str], str]] = {}  # project -> how its name is shown
    for item in sessions:
        f = item if isinstance(item, SessionFile) else file_of(item)
        if not recent_enough(f, since):
            continue
        if progress is not None:
            progress(f)
        try:
            t = f.read()
        except (OSError, KestroSDKError) as e:
            result.skipped.append((f.path, str(e)))
            continue
        if not overlaps(t, since, until):
            continue
        folder = out / _safe_name(f.project)
        folder.mkdir(parents=True, exist_ok=True)
        target = folder / (_safe_name(f.session_id) + SUFFIX[format])
        clean = redactor_for(t) if redact else None
        if clean is not None:
            names[f.project] = clean.project
        tmp = target.with_name(target.name + ".tmp")
        with open(tmp, "w", encoding="utf-8", newline="\n") as w:
            if format == "jsonl":
                w.writelines(jsonl.lines(t, prices, mode, clean.json if clean else None, f.project))
            else:
                conv = _conversation(t, prices, mode, meta)
                w.writelines((markdown if format == "md" else html).chunks(conv, clean, tz))
                if format == "html":
                    usage = conv.all_usage()
                    entries, points = projects.setdefault(f.project, ([], []))
                    entries.append(
                        html.SessionEntry(
                            f.session_id,
                            target.name,
                            clean(t.title) if clean is not None and t.title else t.title,
                            t.started,
                            t.ended,
                            len(usage),
                            sum(u.total_tokens for u in usage),
                            conv.total_cost(),
                        )
                    )
                    points += [(u.timestamp, u.total_tokens, u.cost_usd) for u in usage]
        os.replace(tmp, target)
        result.files.append(target)
    for project, (entries, points) in projects.items():
        index = out / _safe_name(project) / "index.html"
        shown = names[project](project) if project in names else project
        index.write_text(html.index(shown, entries, html.daily(points, tz), tz), encoding="utf-8")
        result.indexes.append(index)
    return result


def targets(
    target: str | None,
    bases: Sequence[str | os.PathLike[str]],
    *,
    all_sessions: bool = False,
    projects: Sequence[str] = (),
) -> list[SessionFile]:
    """The sessions a target names: a log's path, a session id or prefix, a project, or all of them.

    A path to a folder is a project folder. Otherwise a session id (or unique prefix) wins over
    a project name; a project name is matched as part of the folder's name.
    """
    if all_sessions:
        return session_files(bases, projects)
    if target is None:
        raise SessionNotFound("name a session, a project, or give --all")
    p = Path(target).expanduser()
    if p.is_dir():
        return [file_of(p / n) for n in sorted(os.listdir(p)) if n.endswith(".jsonl") and not n.startswith("agent-")]
    try:
        return [resolve_session(target, bases)]
    except SessionNotFound as e:
        found = session_files(bases, [target])
        if found:
            return found
        raise SessionNotFound(f"{e}, and no project matches {target!r}") from None
