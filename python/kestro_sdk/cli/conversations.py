"""``kestro-sdk show``, ``search`` and ``export``: reading sessions back, finding them, sharing them."""

from __future__ import annotations

import contextlib
import datetime as dt
import os
import shlex
import shutil
import subprocess
import sys
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Final

import click

from .options import Failure, ReportOptions, resolve, shared_options
from .render import Report, column, render

PAGER_FLUSH_FIRST: Final = 40  # items flushed one by one, so the first screen shows at once


def _options(**kw: Any) -> ReportOptions:
    """The shared options resolved the way the reports resolve them."""
    return resolve(
        kw.get("since"),
        kw.get("until"),
        kw.get("timezone"),
        kw.get("project", ()),
        False,
        kw.get("mode"),
        kw.get("prices"),
        kw.get("base", ()),
        "asc",
        kw.get("as_json", False),
        kw.get("as_csv", False),
        True,
    )


def _beside(target: str | None, kw: dict[str, Any]) -> None:
    """A log or project folder given by path needs no base folder: its own base stands in."""
    if target is None or kw.get("base"):
        return
    path = Path(target).expanduser()
    if path.is_file():
        kw["base"] = (str(path.resolve().parent.parent),)
    elif path.is_dir():
        kw["base"] = (str(path.resolve().parent),)


def _not_found(e: Exception) -> Failure:
    return Failure(str(e))


# ---------------------------------------------------------------------------------------------
# show


@click.command()
@click.argument("session")
@click.option("--format", "fmt", type=click.Choice(["md", "html", "json"]), help="Print this form instead of the view.")
@click.option("--no-meta", is_flag=True, help="Hide meta and system records.")
@click.option("--redact", is_flag=True, help="Write the home folder as ~ and hide strings that look like secrets.")
@click.option("--pager/--no-pager", default=True, show_default=True, help="Page the view on a terminal.")
@shared_options("base", "since", "until", "timezone", "prices", "mode")
def show(session: str, fmt: str | None, no_meta: bool, redact: bool, pager: bool, **kw: Any) -> None:
    """Show the conversation of SESSION: an id, a unique prefix of one, or a log's path.

    When a prefix names several sessions, --since and --until pick among them.

    \b
    Examples:
      kestro-sdk show 1f2e                      the session whose id starts with 1f2e
      kestro-sdk show 1f2e --no-meta --redact
      kestro-sdk show 1f2e --format md > session.md
    """
    from ..export import redactor_for, sessions, view

    _beside(session, kw)
    opts = _options(**kw)
    try:
        found = sessions.resolve_session(session, opts.bases, *opts.utc_bounds())
    except sessions.SessionNotFound as e:
        raise _not_found(e) from None
    t = found.read()
    clean = redactor_for(t) if redact else None
    if fmt == "json":
        from ..export import jsonl

        _write(jsonl.lines(t, opts.prices, opts.mode, clean.json if clean else None, found.project))
        return
    if fmt is None:
        from ..export import terminal

        # The title goes out as soon as the log is read; the layout of the rest follows it.
        def items() -> Iterator[Any]:
            yield terminal.header(t, clean, opts.tz)
            conv = view.build(t, view.Options(meta=not no_meta, prices=opts.prices, mode=opts.mode))
            yield from terminal.renderables(conv, clean, opts.tz, with_header=False)

        _view(items(), pager)
        return
    conv = view.build(t, view.Options(meta=not no_meta, prices=opts.prices, mode=opts.mode))
    if fmt == "md":
        from ..export import markdown

        _write(markdown.chunks(conv, clean, opts.tz))
    else:
        from ..export import html

        _write(html.chunks(conv, clean, opts.tz))


def _write(pieces: Iterable[str]) -> None:
    out = sys.stdout
    for piece in pieces:
        out.write(piece)
    out.flush()


def _pager_command() -> list[str] | None:
    command = os.environ.get("KESTRO_PAGER") or os.environ.get("PAGER") or "less"
    argv = shlex.split(command)
    if not argv or shutil.which(argv[0]) is None:
        return None
    return argv


def _view(items: Iterable[Any], pager: bool) -> None:
    """Prints the renderables; on a terminal, into a pager as they are made."""
    from rich.console import Console

    is_tty = sys.stdout.isatty()
    argv = _pager_command() if pager and is_tty else None
    if argv is None:
        console = Console(file=sys.stdout, highlight=False, soft_wrap=False)
        for item in items:
            console.print(item)
        return
    env = dict(os.environ)
    env.setdefault("LESS", "FRX")  # quit when it fits one screen, keep colours, keep the screen
    width = shutil.get_terminal_size().columns
    colours = Console(file=sys.stdout).color_system
    proc = subprocess.Popen(argv, stdin=subprocess.PIPE, env=env, text=True, encoding="utf-8", errors="replace")
    assert proc.stdin is not None
    console = Console(
        file=proc.stdin,
        force_terminal=True,
        color_system=colours,  # type: ignore[arg-type]  # a name Console gave, handed back to it
        width=width,
        highlight=False,
        soft_wrap=False,
    )
    try:
        for n, item in enumerate(items):
            console.print(item)
            if n < PAGER_FLUSH_FIRST:
                proc.stdin.flush()
        proc.stdin.close()
    except (BrokenPipeError, OSError):
        pass  # the pager was closed before the end: nothing more to show
    finally:
        with contextlib.suppress(OSError):
            proc.stdin.close()
        proc.wait()


# ---------------------------------------------------------------------------------------------
# search


@dataclass(slots=True)
class SearchRow:
    session_id: str = column("Session")
    project: str = column("Project", compact=False)
    started: str = column("Date")
    title: str = column("Title", compact=False)
    role: str = column("In", compact=False)
    line: str = column("Matching line")
    matches: int = column("Matches", "int", compact=False)
    path: str = ""


@click.command()
@click.argument("text")
@click.option("--regex", is_flag=True, help="TEXT is a regular expression.")
@click.option("--case-sensitive", is_flag=True, help="Match upper and lower case exactly.")
@shared_options("base", "since", "until", "timezone", "project", "as_json", "as_csv")
def search(text: str, regex: bool, case_sensitive: bool, **kw: Any) -> None:
    """Find the sessions whose prompts or replies contain TEXT.

    Lists each session's id, project, date, title and first matching line,
    newest first, so that one can be picked for 'show'.

    \b
    Examples:
      kestro-sdk search "retry budget"
      kestro-sdk search --regex "timeout|deadline" --project api --since 2025-06-01
    """
    import re

    from ..export import sessions, view

    opts = _options(**kw)
    try:
        pattern = sessions.search_pattern(text, regex=regex, case_sensitive=case_sensitive)
    except re.error as e:
        raise click.BadParameter(f"not a regular expression: {e}", param_hint="TEXT") from None
    since, until = opts.utc_bounds()
    files = sessions.session_files(opts.bases, opts.projects)
    found = sorted(sessions.search(files, pattern, since, until), key=lambda m: m.started or "", reverse=True)
    rows = [
        SearchRow(m.session_id, m.project, view.when(m.started, opts.tz)[:16], m.title or "", m.role, m.line,
                  m.matches, m.path)
        for m in found
    ]  # fmt: skip
    report = Report(key="search", row_type=SearchRow, rows=rows, extra={"pattern": text, "regex": regex})
    if opts.format == "table" and not rows:
        click.echo(f"no session contains {text!r}", err=True)
        return
    render(report, opts.format)


# ---------------------------------------------------------------------------------------------
# export


@click.command("export")
@click.argument("target", required=False)
@click.option("--all", "all_sessions", is_flag=True, help="Every session under the base folders.")
@click.option(
    "--format", "fmt", type=click.Choice(["md", "html", "jsonl", "parquet"]), required=True, help="What to write."
)
@click.option("--out", "out", required=True, metavar="DIR", help="Folder to write into (made if missing).")
@click.option(
    "--exporter-id",
    metavar="ID",
    help="Parquet: the name of this exporter's files and their source column [default: a hash of user and host].",
)
@click.option("--no-meta", is_flag=True, help="Leave meta and system records out (md, html).")
@click.option("--redact", is_flag=True, help="Write the home folder as ~ and hide strings that look like secrets.")
@shared_options("base", "since", "until", "timezone", "project", "prices", "mode")
def export_command(
    target: str | None,
    all_sessions: bool,
    fmt: str,
    out: str,
    exporter_id: str | None,
    no_meta: bool,
    redact: bool,
    **kw: Any,
) -> None:
    """Write sessions to DIR/<project>/<session id>.<format>.

    TARGET is a session (id, prefix or path) or a project (part of its folder
    name); --all takes every session. HTML also writes an index.html per project
    with a daily cost and token chart.

    Parquet writes the tables replies, messages, tool_calls and sessions as
    DIR/<table>/month=YYYY-MM/<exporter id>.parquet, by UTC month (--since and
    --until widen to whole months). A rerun replaces only this exporter's files
    for the months it has rows for. Needs pyarrow: pip install 'kestro-sdk[parquet]'.

    \b
    Examples:
      kestro-sdk export 1f2e --format html --out shared/
      kestro-sdk export orders-api --format md --out notes/ --redact
      kestro-sdk export --all --format jsonl --out backup/ --since 2025-06-01
      kestro-sdk export --all --format parquet --out bucket/
    """
    from .. import export as ex

    if all_sessions and target is not None:
        raise click.UsageError("give TARGET or --all, not both")
    if not all_sessions and target is None:
        raise click.UsageError("give a session, a project, or --all")
    if fmt == "parquet":
        _export_parquet(target, all_sessions, out, exporter_id, redact, **kw)
        return
    if exporter_id is not None:
        raise click.UsageError("--exporter-id applies to --format parquet only")
    _beside(target, kw)
    opts = _options(**kw)
    try:
        chosen = ex.targets(target, opts.bases, all_sessions=all_sessions, projects=opts.projects)
    except ex.SessionNotFound as e:
        raise _not_found(e) from None
    since, until = opts.utc_bounds()
    result = ex.export(
        chosen,
        out,
        fmt,  # type: ignore[arg-type]
        redact=redact,
        prices=opts.prices,
        mode=opts.mode,
        meta=not no_meta,
        tz=opts.tz,
        since=since,
        until=until,
    )
    for path, why in result.skipped:
        click.echo(f"kestro-sdk: warning: skipped {path}: {why}", err=True)
    if not result.files:
        raise Failure("no session to export" + (" in that date range" if since or until else ""))
    click.echo(f"wrote {len(result.files)} session{'s' if len(result.files) != 1 else ''} to {out}")
    for index in result.indexes:
        click.echo(f"  index: {index}")


def _export_parquet(
    target: str | None, all_sessions: bool, out: str, exporter_id: str | None, redact: bool, **kw: Any
) -> None:
    from .. import export as ex
    from ..export import parquet

    if redact:
        raise click.UsageError("--redact applies to md, html and jsonl, not to parquet")
    if exporter_id is not None:
        try:
            parquet.check_exporter_id(exporter_id)
        except ValueError as e:
            raise click.BadParameter(str(e), param_hint="--exporter-id") from None
    try:
        parquet.require_pyarrow()
    except parquet.ParquetUnavailable as e:
        raise Failure(str(e)) from None
    _beside(target, kw)
    opts = _options(**kw)
    chosen = None
    if not all_sessions:
        try:
            chosen = ex.targets(target, opts.bases, projects=opts.projects)
        except ex.SessionNotFound as e:
            raise _not_found(e) from None
    since, until = opts.utc_bounds()
    result = parquet.to_parquet(
        opts.bases,
        out,
        sessions=chosen,
        projects=opts.projects,
        since=since,
        until=None if until is None else until - dt.timedelta(microseconds=1),
        exporter_id=exporter_id,
        prices=opts.prices,
        mode=opts.mode,
    )
    for path, why in result.skipped:
        click.echo(f"kestro-sdk: warning: skipped {path}: {why}", err=True)
    if not result.files:
        raise Failure("nothing to export" + (" in that date range" if since or until else ""))
    counts = ", ".join(f"{result.rows[t]} {t}" for t in parquet.TABLES)
    months = result.months[0] if len(result.months) == 1 else f"{result.months[0]} to {result.months[-1]}"
    click.echo(f"wrote {counts} for {months} to {out} as {result.exporter_id}")
