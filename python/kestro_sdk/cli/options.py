"""The options every report shares and their resolution.

Precedence, first given wins: the command line; the environment (``$KESTRO_PROJECTS``
for base folders, ``$KESTRO_PRICES`` for the price file); the config file (see
:mod:`kestro_sdk.config`); the built-in default.
"""

from __future__ import annotations

import datetime as dt
import functools
import os
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Final, Literal, TypeVar, cast

import click

from .. import pricing
from ..config import DEFAULT_BASE, Config, _is_zone, load_config, local_zone, zone
from ..config import parse_date as parse_date  # where the command's tests and callers found it

Format = Literal["table", "json", "csv"]
F = TypeVar("F", bound=Callable[..., Any])


class Failure(click.ClickException):
    """A run-time failure the user can fix: exit status 1 and one line."""


# ---------------------------------------------------------------------------------------------
# Parameter types: a value that does not parse is a bad argument (exit status 2)

if TYPE_CHECKING:  # click's parameter types are generic in its stubs only from 8.2 on
    _DateParam = click.ParamType[dt.date]
    _ZoneParam = click.ParamType[str]
else:
    _DateParam = _ZoneParam = click.ParamType


class DateType(_DateParam):
    name = "date"

    def convert(self, value: Any, param: click.Parameter | None, ctx: click.Context | None) -> dt.date:
        if isinstance(value, dt.date):
            return value
        try:
            return parse_date(str(value))
        except ValueError:
            self.fail(f"{value!r} is not a date (YYYY-MM-DD or YYYYMMDD)", param, ctx)


class ZoneType(_ZoneParam):
    name = "zone"

    def convert(self, value: Any, param: click.Parameter | None, ctx: click.Context | None) -> str:
        if not _is_zone(str(value)):
            self.fail(f"{value!r} is not an IANA time zone such as Europe/Berlin or UTC", param, ctx)
        return str(value)


# ---------------------------------------------------------------------------------------------
# The resolved options


@dataclass(frozen=True, slots=True)
class ReportOptions:
    """Everything the shared options decide, resolved and checked."""

    since: dt.date | None
    until: dt.date | None  # inclusive
    tz: dt.tzinfo
    tz_name: str
    bases: tuple[Path, ...]
    projects: tuple[str, ...]
    subagents: bool
    mode: pricing.Mode
    prices: pricing.PriceTable
    order: Literal["asc", "desc"]
    format: Format
    use_cache: bool

    def utc_bounds(self) -> tuple[dt.datetime | None, dt.datetime | None]:
        """The first instant of ``since`` and the instant just after ``until``, in UTC (local days)."""

        def start(day: dt.date) -> dt.datetime:
            return dt.datetime.combine(day, dt.time(), self.tz).astimezone(dt.UTC)

        end = None if self.until is None else start(self.until + dt.timedelta(days=1))
        return (None if self.since is None else start(self.since)), end


def resolve_bases(given: tuple[str, ...], config: Config) -> tuple[Path, ...]:
    """--base, else $KESTRO_PROJECTS, else the config file, else the default; each must be a folder."""
    env = [p for p in os.environ.get("KESTRO_PROJECTS", "").split(os.pathsep) if p]
    names = given or tuple(env) or config.base or (DEFAULT_BASE,)
    bases: list[Path] = []
    for name in names:
        path = Path(name).expanduser()
        if not path.is_dir():
            raise Failure(f"base folder not found: {path}")
        if path not in bases:
            bases.append(path)
    return tuple(bases)


def check_projects(names: tuple[str, ...], bases: tuple[Path, ...]) -> None:
    """Every name must be part of some project folder's name under the bases."""
    if not names:
        return
    folders: list[str] = []
    for base in bases:
        try:
            folders += [e.name for e in os.scandir(base) if e.is_dir()]
        except OSError as e:
            raise Failure(f"cannot list base folder {base}: {e.strerror or e}") from None
    for name in names:
        if not any(name in folder for folder in folders):
            raise Failure(f"no project matches {name!r} under {', '.join(map(str, bases))}")


def resolve_prices(given: str | None, config: Config) -> pricing.PriceTable:
    """--prices, else $KESTRO_PRICES, else the config file's, else the cache, else the bundled table."""
    source = given if given else (None if os.environ.get("KESTRO_PRICES") else config.prices)
    try:
        return pricing.load_prices(source)
    except pricing.PricingError as e:
        raise Failure(str(e)) from None


def resolve(
    since: dt.date | None,
    until: dt.date | None,
    timezone: str | None,
    project: tuple[str, ...],
    no_subagents: bool,
    mode: str | None,
    prices: str | None,
    base: tuple[str, ...],
    order: str,
    as_json: bool,
    as_csv: bool,
    no_cache: bool,
) -> ReportOptions:
    if as_json and as_csv:
        raise click.UsageError("--json and --csv cannot be used together")
    if since is not None and until is not None and since > until:
        raise click.UsageError(f"--since {since} is after --until {until}")
    config = load_config()
    if timezone is None and config.timezone is not None:
        timezone = config.timezone
    tz, tz_name = (zone(timezone), timezone) if timezone is not None else local_zone()
    bases = resolve_bases(base, config)
    check_projects(project, bases)
    fmt: Format = "json" if as_json else "csv" if as_csv else "table"
    return ReportOptions(
        since=since,
        until=until,
        tz=tz,
        tz_name=tz_name,
        bases=bases,
        projects=project,
        subagents=not no_subagents,
        mode=cast(pricing.Mode, mode or config.mode or "auto"),
        prices=resolve_prices(prices, config),
        order=cast(Literal["asc", "desc"], order),
        format=fmt,
        use_cache=not no_cache,
    )


_OPTIONS: Final = (
    click.option("--since", type=DateType(), help="First day to include (YYYY-MM-DD or YYYYMMDD)."),
    click.option("--until", type=DateType(), help="Last day to include, inclusive."),
    click.option("--timezone", "timezone", type=ZoneType(), help="IANA time zone of the days [default: local]."),
    click.option("--project", multiple=True, metavar="NAME", help="Only projects whose folder name contains NAME."),
    click.option("--no-subagents", is_flag=True, help="Leave out the sub-agents' replies."),
    click.option(
        "--mode",
        type=click.Choice(pricing.MODES),
        help="auto: logged cost, else computed; calculate: always computed; display: logged only.",
    ),
    click.option("--prices", metavar="FILE", help="Price file (TOML or JSON) instead of the default table."),
    click.option(
        "--base",
        multiple=True,
        metavar="DIR",
        help="Projects folder [default: $KESTRO_PROJECTS, else ~/.kestro/projects].",
    ),
    click.option("--order", type=click.Choice(["asc", "desc"]), default="asc", show_default=True, help="Row order."),
    click.option("--json", "as_json", is_flag=True, help="Print one JSON object."),
    click.option("--csv", "as_csv", is_flag=True, help="Print CSV rows."),
    click.option("--no-cache", is_flag=True, help="Read every file again instead of using the cache."),
)  # fmt: skip
_NAMES: Final = (
    "since", "until", "timezone", "project", "no_subagents", "mode", "prices", "base", "order", "as_json", "as_csv",
    "no_cache",
)  # fmt: skip


def report_options(command: F) -> F:
    """Adds the shared options to a click command, which then receives one ReportOptions first."""

    @functools.wraps(command)
    def wrapper(*args: Any, **kwargs: Any) -> Any:
        raw = [kwargs.pop(name) for name in _NAMES]
        return command(resolve(*raw), *args, **kwargs)

    decorated: Any = wrapper
    for option in reversed(_OPTIONS):
        decorated = option(decorated)
    return cast(F, decorated)
