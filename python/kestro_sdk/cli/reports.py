"""The report subcommands: each reads the usage (through the cache), calls one report function and renders it."""

from __future__ import annotations

import datetime as dt
import sys
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, Final, Literal, cast

import click

from .. import reports
from .options import ReportOptions, report_options
from .render import Report, format_cell, render

BREAKDOWN: Final = click.option("--breakdown", is_flag=True, help="One row per model under each row.")
PROGRESS_AFTER: Final = 0.5  # seconds of work before a spinner appears on a terminal

TITLES: Final = {
    "daily": "Usage by day",
    "weekly": "Usage by week",
    "monthly": "Usage by month",
    "sessions": "Usage by session",
    "projects": "Usage by project",
    "models": "Usage by model",
    "tools": "Usage by tool",
    "blocks": "5-hour windows",
}


class _Progress:
    """A progress bar on standard error, shown only on a terminal and only once the work has taken a while."""

    def __init__(self) -> None:
        self.started = time.monotonic()
        self.bar: Any = None
        self.task: Any = None
        self.enabled = sys.stderr.isatty()

    def __call__(self, done: int, total: int) -> None:
        if not self.enabled or total <= 0:
            return
        if self.bar is None:
            if time.monotonic() - self.started < PROGRESS_AFTER or done >= total:
                return
            from rich.console import Console
            from rich.progress import BarColumn, DownloadColumn, Progress, TimeRemainingColumn

            self.bar = Progress("reading the logs", BarColumn(), DownloadColumn(), TimeRemainingColumn(),
                                console=Console(stderr=True), transient=True)  # fmt: skip
            self.bar.start()
            self.task = self.bar.add_task("read", total=total)
        self.bar.update(self.task, completed=done, total=total)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.stop()


@contextmanager
def _progress() -> Iterator[_Progress]:
    bar = _Progress()
    try:
        yield bar
    finally:
        bar.close()


def load(opts: ReportOptions, projects: tuple[str, ...] = ()) -> reports.Usage:
    """The priced replies the options select."""
    loaded = _read(opts, projects, "rows")
    return reports.price(loaded.rows, opts.prices, opts.mode, sessions=loaded.sessions, problems=loaded.problems)


def load_grouped(opts: ReportOptions) -> reports.Usage | reports.Grouped:
    """What the reports by day, week and month read: the priced groups from the cache, or the rows without it."""
    if not opts.use_cache:
        return load(opts)
    loaded = _read(opts, (), "groups")
    return reports.price_groups(loaded.groups, opts.prices, opts.mode, problems=loaded.problems)


def _read(opts: ReportOptions, projects: tuple[str, ...], detail: Literal["rows", "groups"]) -> Any:
    from .. import cache

    since, until = opts.utc_bounds()
    with _progress() as bar:
        return cache.load_usage(
            opts.bases,
            projects=opts.projects + projects,
            since=since,
            until=None if until is None else until - dt.timedelta(microseconds=1),  # the last instant of --until
            subagents=opts.subagents,
            use_cache=opts.use_cache,
            progress=bar if bar.enabled else None,
            detail=detail,
        )


def _problems_line(problems: reports.Problems) -> str | None:
    if not problems.lines:
        return None
    first = problems.examples[0] if problems.examples else None
    example = f" (first: {first.file}:{first.line}: {first.reason})" if first else ""
    s = "" if problems.lines == 1 else "s"
    return f"{problems.lines} line{s} in {problems.files} file{'' if problems.files == 1 else 's'} skipped{example}"


def show(result: reports.Result, row_type: type, opts: ReportOptions, notes: list[str] | None = None) -> None:
    """Renders a report in the chosen format; the problems go to standard error in one line."""
    extra: dict[str, Any] = {"timezone": opts.tz_name, **result.extra}
    extra["unpriced_models"] = result.unpriced_models
    extra["problems"] = result.problems
    report = Report(
        key=result.key,
        row_type=row_type,
        rows=result.rows,
        totals=result.totals,
        title=f"{TITLES[result.key]} ({opts.tz_name})",
        extra=extra,
        notes=notes or [],
        unpriced_models=result.unpriced_models,
    )
    render(report, opts.format)
    line = _problems_line(result.problems)
    if line:
        click.echo(f"kestro-sdk: {line}", err=True)


def _period(
    name: str, row_type: Callable[[], type], func: Callable[..., reports.Result], help_text: str
) -> click.Command:
    # The row type is looked up when the command runs: most of them load with their report.
    @click.command(name, help=help_text)
    @report_options
    @BREAKDOWN
    def command(opts: ReportOptions, breakdown: bool) -> None:
        result = func(load_grouped(opts), tz=opts.tz, since=opts.since, until=opts.until, breakdown=breakdown,
                      order=opts.order)  # fmt: skip
        show(result, row_type(), opts)

    return command


daily = _period(
    "daily",
    lambda: reports.DayRow,
    reports.daily,
    """Usage and cost per day.

\b
Examples:
  kestro-sdk daily
  kestro-sdk daily --since 2025-06-01 --until 2025-06-30 --breakdown
  kestro-sdk daily --timezone Europe/Berlin --json""",
)

monthly = _period(
    "monthly",
    lambda: reports.MonthRow,
    reports.monthly,
    """Usage and cost per month.

\b
Examples:
  kestro-sdk monthly
  kestro-sdk monthly --project app --csv""",
)


@click.command()
@report_options
@BREAKDOWN
@click.option(
    "--start-of-week",
    type=click.Choice(reports.WEEKDAYS, case_sensitive=False),
    default="monday",
    show_default=True,
    help="The first day of a week.",
)
def weekly(opts: ReportOptions, breakdown: bool, start_of_week: str) -> None:
    """Usage and cost per week, named by its first day.

    \b
    Examples:
      kestro-sdk weekly
      kestro-sdk weekly --start-of-week sunday --breakdown
    """
    result = reports.weekly(load_grouped(opts), tz=opts.tz, since=opts.since, until=opts.until, breakdown=breakdown,
                            order=opts.order, start_of_week=reports.WEEKDAYS.index(start_of_week.lower()))  # fmt: skip
    show(result, reports.WeekRow, opts)


@click.command()
@click.argument("name", metavar="[PROJECT]", required=False)
@report_options
@BREAKDOWN
def sessions(opts: ReportOptions, name: str | None, breakdown: bool) -> None:
    """Usage, cost and activity per session, oldest activity first; only PROJECT's when given.

    Active time is the sum of the turn durations a log records; a log without them
    counts from each prompt to the last reply of its turn (the JSON's
    active_time_source says which).

    \b
    Examples:
      kestro-sdk sessions
      kestro-sdk sessions app --order desc
    """
    extra = () if name is None else (name,)
    if name is not None:
        from .options import check_projects

        check_projects(extra, opts.bases)
    result = reports.sessions(load(opts, extra), tz=opts.tz, since=opts.since, until=opts.until, breakdown=breakdown,
                              order=opts.order)  # fmt: skip
    show(result, reports.SessionRow, opts)


@click.command()
@report_options
@BREAKDOWN
def projects(opts: ReportOptions, breakdown: bool) -> None:
    """Usage, cost and activity per project.

    \b
    Examples:
      kestro-sdk projects
      kestro-sdk projects --since 20250601 --json
    """
    result = reports.projects(load(opts), tz=opts.tz, since=opts.since, until=opts.until, breakdown=breakdown,
                              order=opts.order)  # fmt: skip
    show(result, reports.ProjectRow, opts)


@click.command()
@report_options
def models(opts: ReportOptions) -> None:
    """Usage and cost per model (cheapest first; --order desc for the dearest first).

    \b
    Examples:
      kestro-sdk models --order desc
    """
    result = reports.models(load(opts), tz=opts.tz, since=opts.since, until=opts.until, order=opts.order)
    show(result, reports.ModelRow, opts)


@click.command()
@report_options
def tools(opts: ReportOptions) -> None:
    """Calls per tool, with the tokens and cost of the replies that called it.

    A reply that called several tools is split between them in equal parts, so
    the columns add up to the totals; replies that called none are shown as '-'.

    \b
    Examples:
      kestro-sdk tools --order desc
    """
    result = reports.tools(load(opts), tz=opts.tz, since=opts.since, until=opts.until, order=opts.order)
    notes = ["a reply that called several tools is split between them in equal parts; '-': replies that called none"]
    show(result, reports.ToolRow, opts, notes if opts.format == "table" else None)


if TYPE_CHECKING:  # click's parameter types are generic in its stubs only from 8.2 on
    _LimitParam = click.ParamType[int | str]
else:
    _LimitParam = click.ParamType


class TokenLimit(_LimitParam):
    name = "tokens|max"

    def convert(self, value: Any, param: click.Parameter | None, ctx: click.Context | None) -> int | str:
        text = str(value).strip().lower().replace("_", "")
        if text == "max":
            return "max"
        if text.isdigit() and int(text) > 0:
            return int(text)
        self.fail(f"{value!r} is not a positive number of tokens or 'max'", param, ctx)


def active_notes(result: reports.Result) -> list[str]:
    """The active window's time left, burn rate and projection, in words, for under the table."""
    active = next((b for b in result.rows if b.is_active), None)
    if active is None:
        return ["no active window"]
    left = format_cell(active.time_left_seconds, "seconds")
    rate = format_cell(round(active.tokens_per_hour or 0), "tokens")
    cost_rate = format_cell(active.cost_per_hour, "cost", unpriced=active.unpriced_replies)
    projected = format_cell(active.projected_total_tokens, "tokens")
    projected_cost = format_cell(active.projected_cost_usd, "cost", unpriced=active.unpriced_replies)
    notes = [
        f"active window: {left} left; burning {rate} tokens and {cost_rate} an hour;"
        f" at this rate it ends at {projected} tokens and {projected_cost}"
    ]
    if active.token_limit is not None and active.limit_remaining_tokens is not None:
        used = active.total_tokens / active.token_limit * 100 if active.token_limit else 0
        notes.append(
            f"token limit {active.token_limit:,}: {used:.0f}% used, {active.limit_remaining_tokens:,} left"
            + (" (projected over the limit)" if (active.projected_total_tokens or 0) > active.token_limit else "")
        )
    return notes


@click.command()
@report_options
@click.option("--token-limit", type=TokenLimit(), help="Tokens per window, or 'max' for the largest past window.")
@click.option("--active", "active_only", is_flag=True, help="Only the active window.")
@click.option("--live", is_flag=True, help="Redraw the active window every few seconds until Ctrl-C.")
@click.option("--refresh", type=click.FloatRange(min=1), default=5.0, show_default=True, help="Seconds, with --live.")
def blocks(opts: ReportOptions, token_limit: int | str | None, active_only: bool, live: bool, refresh: float) -> None:
    """5-hour usage windows; the active one with time left, burn rate and projection.

    A window starts at its first reply's time floored to the hour (UTC) and lasts
    five hours; the first reply after it opens the next. Gaps are marked.

    \b
    Examples:
      kestro-sdk blocks
      kestro-sdk blocks --active --token-limit max
      kestro-sdk blocks --live --token-limit 5000000
    """

    limit = cast("int | Literal['max'] | None", token_limit)

    def once() -> reports.Result:
        return reports.blocks(load(opts), tz=opts.tz, since=opts.since, until=opts.until, token_limit=limit,
                              active_only=active_only or live, order=opts.order)  # fmt: skip

    if not live:
        result = once()
        show(result, reports.BlockRow, opts, active_notes(result) if opts.format == "table" else None)
        return
    if opts.format != "table":
        raise click.UsageError("--live draws a table; it cannot be combined with --json or --csv")
    _live(once, opts, refresh)


def _live(once: Callable[[], reports.Result], opts: ReportOptions, refresh: float) -> None:
    from rich.console import Console, Group
    from rich.live import Live
    from rich.text import Text

    from .render import render_table

    console = Console()

    def frame() -> Group:
        import io

        result = once()
        out = io.StringIO()
        report = Report("blocks", reports.BlockRow, result.rows, result.totals,
                        title=f"{TITLES['blocks']} ({opts.tz_name})  {dt.datetime.now(opts.tz):%H:%M:%S}",
                        notes=active_notes(result), unpriced_models=result.unpriced_models)  # fmt: skip
        render_table(report, out, width=console.width)
        return Group(Text.from_ansi(out.getvalue()), Text("Ctrl-C to stop", style="dim"))

    try:
        with Live(frame(), console=console, auto_refresh=False, transient=False) as view:
            while True:
                time.sleep(refresh)
                view.update(frame(), refresh=True)
    except KeyboardInterrupt:
        pass


COMMANDS: Final = (daily, weekly, monthly, sessions, projects, models, tools, blocks)
