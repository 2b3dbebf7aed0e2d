"""Usage and cost reports as plain data: by day, week, month, session, project, model, tool and 5-hour window.

Every report takes a :class:`Usage`: the replies (rows with the attributes of a
usage-table row: ``timestamp``, ``project``, ``session_id``, ``agent_id``,
``is_sidechain``, ``model``, the token counts, ``logged_cost_usd``, ``tools``),
their costs from :mod:`kestro_sdk.pricing`, and optionally the per-file session
facts and the problems met while reading. :func:`price` builds one. The reports
neither read files nor use the cache; the command decides where rows come from.

A report returns a :class:`Result`: its rows (dataclasses), a totals row, the
models left unpriced and the problems. Costs follow one rule everywhere: a row's
``cost_usd`` is the sum over its priced replies, ``unpriced_replies`` counts the
rest, and ``cost_usd`` is None when nothing in the row is priced.

Days, weeks and months are those of the time zone ``tz``; ``since`` and ``until``
are local days and both are included. Windows (``blocks``) are fixed in UTC.
"""

from __future__ import annotations

import datetime as dt
import math
from array import array
from collections.abc import Callable, Hashable, Iterable, Sequence
from dataclasses import dataclass, field
from itertools import repeat
from operator import add, mul, truediv
from typing import TYPE_CHECKING, Any, Final, Literal, NamedTuple, Protocol, cast

from ._columns import column

if TYPE_CHECKING:
    from fractions import Fraction

    from ._report_rows import ActiveSource, BlockRow, ModelRow, MonthRow, ProjectRow, SessionRow, ToolRow, WeekRow
    from .pricing import Mode, PriceTable

__all__ = [
    "BlockRow", "DayRow", "Group", "Grouped", "ModelRow", "ModelUsage", "MonthRow", "ProblemExample", "Problems",
    "ProjectRow", "Result", "SessionFacts", "SessionRow", "ToolRow", "Totals", "Usage", "WeekRow", "blocks", "daily",
    "models", "monthly", "price", "price_groups", "projects", "sessions", "Status", "status", "tools", "weekly",
]  # fmt: skip

Order = Literal["asc", "desc"]
WINDOW: Final = dt.timedelta(hours=5)
HOUR: Final = dt.timedelta(hours=1)
MAX_PROBLEM_EXAMPLES: Final = 5
WEEKDAYS: Final = ("monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday")
QUARTER_HOUR_US: Final = 900_000_000
HOUR_US: Final = 3_600_000_000
WINDOW_US: Final = 5 * HOUR_US
EPOCH: Final = dt.datetime(1970, 1, 1, tzinfo=dt.UTC)
EPOCH_ORDINAL: Final = EPOCH.toordinal()
DAY_US: Final = 86_400_000_000


class ReplyUsage(Protocol):
    """What every row of one reply carries, whether read from a file or from the cache."""

    @property
    def timestamp(self) -> dt.datetime: ...
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


class Row(ReplyUsage, Protocol):
    """What a report reads from one reply."""

    @property
    def project(self) -> str: ...


# The rows of the other reports load with the first of them (or the first look-up of one by name).
_LATER_ROWS: Final = frozenset(
    {"ActiveSource", "BlockRow", "ModelRow", "MonthRow", "ProjectRow", "SessionRow", "ToolRow", "WeekRow"}
)


def __getattr__(name: str) -> Any:
    if name in _LATER_ROWS:
        from . import _report_rows

        return getattr(_report_rows, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


# ---------------------------------------------------------------------------------------------
# Inputs


@dataclass(frozen=True, slots=True)
class SessionFacts:
    """What one log file says about its session beyond the replies."""

    project: str
    session_id: str | None
    agent_id: str | None  # None for the main conversation's file
    title: str | None = None
    first_timestamp: dt.datetime | None = None
    last_timestamp: dt.datetime | None = None
    turn_duration_ms: int | None = None  # None when the file records no turn durations
    prompt_active_ms: int | None = None


@dataclass(frozen=True, slots=True)
class ProblemExample:
    file: str
    line: int
    reason: str


@dataclass(frozen=True, slots=True)
class Problems:
    """Lines that could not be read: how many files and lines, and the first few."""

    files: int = 0
    lines: int = 0
    examples: tuple[ProblemExample, ...] = ()

    @classmethod
    def of(cls, per_file: Iterable[tuple[str, int, Sequence[tuple[int, str]]]]) -> Problems:
        """From (file, problem count, first (line, reason) pairs) per file."""
        files = lines = 0
        examples: list[ProblemExample] = []
        for path, count, firsts in per_file:
            if count <= 0:
                continue
            files += 1
            lines += count
            for line, reason in firsts:
                if len(examples) < MAX_PROBLEM_EXAMPLES:
                    examples.append(ProblemExample(path, line, reason))
        return cls(files, lines, tuple(examples))


@dataclass(frozen=True, slots=True)
class Usage:
    """Replies with their costs (same order), the unpriced models, session facts and problems."""

    rows: Sequence[Row]
    costs: Sequence[float | None]
    unpriced: dict[str | None, int] = field(default_factory=dict)
    sessions: Sequence[SessionFacts] = ()
    problems: Problems = Problems()

    def __post_init__(self) -> None:
        if len(self.rows) != len(self.costs):
            raise ValueError(f"{len(self.rows)} rows but {len(self.costs)} costs")


def price(
    rows: Iterable[Row],
    prices: PriceTable | None = None,
    mode: Mode = "auto",
    *,
    sessions: Sequence[SessionFacts] = (),
    problems: Problems | None = None,
) -> Usage:
    """The rows with their costs by ``mode`` from ``prices`` (default: the table :func:`pricing.load_prices` finds)."""
    from . import pricing

    rows = rows if isinstance(rows, Sequence) else list(rows)
    costed = pricing.costs(rows, pricing.load_prices(prices), mode)
    return Usage(rows, costed.costs, dict(costed.unpriced), sessions, problems or Problems())


class Group(NamedTuple):
    """Replies of one file added up: those of one quarter-hour of UTC with the same session, model,
    sub-agent flag and pricing kind, or a single reply (``span`` 1).

    A real zone's offset is a whole number of quarter-hours, so such a group lies in one local
    day and one UTC hour: the reports by day, week and month and the status line add it up at
    once, and take its replies one by one only where a bound or an odd zone cuts through it.
    ``columns`` keeps the replies singly, eight columns of ``replies`` 64-bit integers each:
    UTC time in microseconds, place in the file, input, output, cache creation, 5-minute
    writes (with the writes a split leaves out), 1-hour writes and cache read tokens.
    """

    start: int  # UTC microseconds: the quarter-hour's start, or the reply's own time
    span: int  # microseconds covered from ``start``
    file: int  # the file's place in path order
    first: int  # the first reply's place in its file
    project: str
    session_id: str | None
    model: str | None
    is_sub: bool  # replies of a sub-agent or a side chain
    logged: bool  # every reply has a logged cost (``logged_costs``, 64-bit floats)
    zero: bool  # every reply's counts are all zero
    replies: int
    input_tokens: int
    output_tokens: int
    cache_creation_tokens: int
    cache_read_tokens: int
    max_prompt: int  # the largest prompt (input, writes and reads) of one reply
    columns: bytes | tuple[int, ...]  # a tuple only when some count does not fit 64 bits
    logged_costs: bytes

    def ints(self) -> Sequence[int]:
        return self.columns if isinstance(self.columns, tuple) else array("q", self.columns)

    def column(self, k: int) -> Sequence[int]:
        n = self.replies
        return self.ints()[k * n : (k + 1) * n]

    def singles(self) -> list[Group]:
        """The replies one by one, in the order of the columns."""
        n, ints = self.replies, self.ints()
        logged = array("d", self.logged_costs) if self.logged else None
        out = []
        for j in range(n):
            ts, pos, inp, outp, created, w5, w1, read = ints[j::n]
            packed: bytes | tuple[int, ...]
            try:
                packed = array("q", (ts, pos, inp, outp, created, w5, w1, read)).tobytes()
            except OverflowError:
                packed = (ts, pos, inp, outp, created, w5, w1, read)
            out.append(Group(ts, 1, self.file, pos, self.project, self.session_id, self.model, self.is_sub,
                             self.logged, self.zero, 1, inp, outp, created, read, inp + w5 + w1 + read, packed,
                             b"" if logged is None else logged[j : j + 1].tobytes()))  # fmt: skip
        return out


GroupCosts = Sequence[float] | None  # a group's per-reply costs, or None when its replies are unpriced


@dataclass(frozen=True, slots=True)
class Grouped:
    """Groups of replies with their costs (same order), session facts and problems."""

    groups: Sequence[Group]
    costs: Sequence[GroupCosts]
    sessions: Sequence[SessionFacts] = ()
    problems: Problems = Problems()

    def __post_init__(self) -> None:
        if len(self.groups) != len(self.costs):
            raise ValueError(f"{len(self.groups)} groups but {len(self.costs)} costs")


class _Reply:
    """One reply of a group, as :func:`pricing.costs` reads a row."""

    __slots__ = ("model", "input_tokens", "output_tokens", "cache_creation_tokens", "cache_creation_5m_tokens",
                 "cache_creation_1h_tokens", "cache_read_tokens", "logged_cost_usd")  # fmt: skip

    def __init__(self, one: Group) -> None:
        _, _, inp, outp, created, w5, w1, read = one.ints()
        self.model = one.model
        self.input_tokens, self.output_tokens, self.cache_creation_tokens = inp, outp, created
        self.cache_creation_5m_tokens, self.cache_creation_1h_tokens, self.cache_read_tokens = w5, w1, read
        self.logged_cost_usd = array("d", one.logged_costs)[0] if one.logged else None


def price_groups(
    groups: Iterable[Group],
    prices: PriceTable | None = None,
    mode: Mode = "auto",
    *,
    sessions: Sequence[SessionFacts] = (),
    problems: Problems | None = None,
) -> Grouped:
    """The groups with the cost of each reply by ``mode``: the same costs as :func:`price` gives the rows.

    A group whose replies cannot all be priced alike (a tier crossed, a rate unknown) is
    priced reply by reply, and then stands as its single replies.
    """
    from . import pricing

    table = pricing.load_prices(prices)
    pricing.check_mode(mode)
    take_logged, compute = mode != "calculate", mode != "display"
    plans: dict[str | None, Any] = {}
    out_groups: list[Group] = []
    out_costs: list[GroupCosts] = []
    for g in groups:
        n = g.replies
        if g.logged and take_logged:
            out_groups.append(g)
            out_costs.append(array("d", g.logged_costs))
            continue
        if g.zero:
            out_groups.append(g)
            out_costs.append([0.0] * n)
            continue
        if not compute:
            out_groups.append(g)
            out_costs.append(None)
            continue
        if g.model not in plans:
            plans[g.model] = pricing.plan(table, g.model)
        plan = plans[g.model]
        if plan is None:
            out_groups.append(g)
            out_costs.append(None)
            continue
        base, _tier, above = plan
        if base is None or (above is not None and g.max_prompt > above):
            for one in g.singles():
                out_groups.append(one)
                (cost,) = pricing.costs([_Reply(one)], table, mode).costs
                out_costs.append(None if cost is None else [cost])
            continue
        # The same operations in the same order as pricing.costs, so the same floats.
        col = g.column
        total = map(add, map(mul, col(2), repeat(base[0])), map(mul, col(3), repeat(base[1])))
        total = map(add, total, map(mul, col(5), repeat(base[2])))
        total = map(add, total, map(mul, col(6), repeat(base[3])))
        total = map(add, total, map(mul, col(7), repeat(base[4])))
        out_groups.append(g)
        out_costs.append(list(map(truediv, total, repeat(pricing.PER_MILLION))))
    return Grouped(out_groups, out_costs, sessions, problems or Problems())


# ---------------------------------------------------------------------------------------------
# Outputs

_TOKENS: Final = ("input_tokens", "output_tokens", "cache_creation_tokens", "cache_read_tokens")


@dataclass(slots=True)
class Totals:
    """The totals row closing every report."""

    input_tokens: int = column("Input", "tokens", default=0)
    output_tokens: int = column("Output", "tokens", default=0)
    cache_creation_tokens: int = column("Cache write", "tokens", compact=False, default=0)
    cache_read_tokens: int = column("Cache read", "tokens", compact=False, default=0)
    total_tokens: int = column("Total", "tokens", default=0)
    replies: int = column("Replies", "int", compact=False, default=0)
    cost_usd: float | None = column("Cost", "cost", default=None)
    unpriced_replies: int = 0


@dataclass(slots=True)
class ModelUsage:
    """One model's part of a row (``--breakdown``)."""

    model: str | None = column("Model")
    input_tokens: int = column("Input", "tokens", default=0)
    output_tokens: int = column("Output", "tokens", default=0)
    cache_creation_tokens: int = column("Cache write", "tokens", compact=False, default=0)
    cache_read_tokens: int = column("Cache read", "tokens", compact=False, default=0)
    total_tokens: int = column("Total", "tokens", default=0)
    replies: int = column("Replies", "int", compact=False, default=0)
    cost_usd: float | None = column("Cost", "cost", default=None)
    unpriced_replies: int = 0


@dataclass(slots=True)
class DayRow:
    date: dt.date = column("Date", "date")
    input_tokens: int = column("Input", "tokens", default=0)
    output_tokens: int = column("Output", "tokens", default=0)
    cache_creation_tokens: int = column("Cache write", "tokens", compact=False, default=0)
    cache_read_tokens: int = column("Cache read", "tokens", compact=False, default=0)
    total_tokens: int = column("Total", "tokens", default=0)
    replies: int = column("Replies", "int", compact=False, default=0)
    cost_usd: float | None = column("Cost", "cost", default=None)
    unpriced_replies: int = 0
    models: list[str] = column("Models", "list", compact=False, default_factory=list)
    breakdown: list[ModelUsage] = column("", breakdown=True, default_factory=list)


@dataclass(slots=True)
class Result:
    """A report: its rows under ``key``, the totals, the unpriced models, the problems and other facts."""

    key: str
    rows: list[Any]
    totals: Totals
    unpriced_models: list[str | None] = field(default_factory=list)
    problems: Problems = Problems()
    extra: dict[str, Any] = field(default_factory=dict)


# ---------------------------------------------------------------------------------------------
# Summing


class _Tally:
    """Running sums for one row of a report."""

    __slots__ = ("input", "output", "created", "read", "replies", "cost", "unpriced", "models")

    def __init__(self) -> None:
        self.input = self.output = self.created = self.read = self.replies = self.unpriced = 0
        self.cost: list[float] = []
        # Model -> its own sums with a breakdown, else None (only the names are wanted).
        self.models: dict[str | None, _Tally | None] = {}

    def add(self, row: Row, cost: float | None, by_model: bool = False) -> None:
        self.input += row.input_tokens
        self.output += row.output_tokens
        self.created += row.cache_creation_tokens
        self.read += row.cache_read_tokens
        self.replies += 1
        if cost is None:
            self.unpriced += 1
        else:
            self.cost.append(cost)
        if by_model:
            sub = self.models.get(row.model)
            if sub is None:
                sub = self.models[row.model] = _Tally()
            sub.add(row, cost)
        else:
            self.models[row.model] = None

    def add_group(self, g: Group, costs: GroupCosts, by_model: bool = False) -> None:
        self.input += g.input_tokens
        self.output += g.output_tokens
        self.created += g.cache_creation_tokens
        self.read += g.cache_read_tokens
        self.replies += g.replies
        if costs is None:
            self.unpriced += g.replies
        else:
            self.cost += costs
        if by_model:
            sub = self.models.get(g.model)
            if sub is None:
                sub = self.models[g.model] = _Tally()
            sub.add_group(g, costs)
        else:
            self.models[g.model] = None

    @classmethod
    def of(cls, parts: Iterable[_Tally]) -> _Tally:
        """The sums of several tallies (of disjoint replies)."""
        total = cls()
        for p in parts:
            total.input += p.input
            total.output += p.output
            total.created += p.created
            total.read += p.read
            total.replies += p.replies
            total.unpriced += p.unpriced
            total.cost += p.cost
        return total

    def fields(self) -> dict[str, Any]:
        return {
            "input_tokens": self.input,
            "output_tokens": self.output,
            "cache_creation_tokens": self.created,
            "cache_read_tokens": self.read,
            "total_tokens": self.input + self.output + self.created + self.read,
            "replies": self.replies,
            "cost_usd": math.fsum(self.cost) if self.cost else None,
            "unpriced_replies": self.unpriced,
        }

    def model_names(self) -> list[str]:
        return sorted(m for m in self.models if m is not None)

    def breakdown(self) -> list[ModelUsage]:
        subs = sorted(self.models.items(), key=lambda kv: (kv[0] is None, kv[0] or ""))
        return [ModelUsage(model, **sub.fields()) for model, sub in subs if sub is not None]


def _totals(usage: Usage, indices: Iterable[int]) -> Totals:
    tally = _Tally()
    rows, costs = usage.rows, usage.costs
    for i in indices:
        tally.add(rows[i], costs[i])
    return Totals(**tally.fields())


def _unpriced(usage: Usage, indices: Sequence[int]) -> list[str | None]:
    rows, costs = usage.rows, usage.costs
    seen: dict[str | None, None] = {}
    for i in indices:
        if costs[i] is None:
            seen.setdefault(rows[i].model)
    return list(seen)


def _selected(
    usage: Usage, tz: dt.tzinfo, since: dt.date | None, until: dt.date | None
) -> tuple[list[int], list[dt.date]]:
    """The indices of the rows whose local day is within [since, until], and every row's local day."""
    days = [r.timestamp.astimezone(tz).date() for r in usage.rows]
    if since is None and until is None:
        return list(range(len(days))), days
    lo = since or dt.date.min
    hi = until or dt.date.max
    return [i for i, d in enumerate(days) if lo <= d <= hi], days


def _group(
    usage: Usage, indices: Iterable[int], key: Callable[[int], Hashable], by_model: bool
) -> dict[Hashable, _Tally]:
    groups: dict[Hashable, _Tally] = {}
    rows, costs = usage.rows, usage.costs
    for i in indices:
        k = key(i)
        tally = groups.get(k)
        if tally is None:
            tally = groups[k] = _Tally()
        tally.add(rows[i], costs[i], by_model)
    return groups


def _result(
    key: str, usage: Usage, rows: list[Any], indices: Sequence[int], parts: Iterable[_Tally] | None = None, **extra: Any
) -> Result:
    """The report; its totals from ``parts`` when they cover the selected replies once each, else summed again."""
    totals = Totals(**_Tally.of(parts).fields()) if parts is not None else _totals(usage, indices)
    return Result(key, rows, totals, _unpriced(usage, indices), usage.problems, extra)


def _ordered(items: list[Any], sort_key: Callable[[Any], Any], order: Order) -> list[Any]:
    return sorted(items, key=sort_key, reverse=order == "desc")


# ---------------------------------------------------------------------------------------------
# Periods


def _period_report(
    key: str,
    usage: Usage | Grouped,
    make: Callable[..., Any],
    period: Callable[[dt.date], Hashable],
    tz: dt.tzinfo,
    since: dt.date | None,
    until: dt.date | None,
    breakdown: bool,
    order: Order,
) -> Result:
    if isinstance(usage, Grouped):
        return _period_groups(key, usage, make, period, tz, since, until, breakdown, order)
    indices, days = _selected(usage, tz, since, until)
    groups = _group(usage, indices, lambda i: period(days[i]), breakdown)
    rows = [
        make(k, **t.fields(), models=t.model_names(), breakdown=t.breakdown() if breakdown else [])
        for k, t in groups.items()
    ]
    return _result(key, usage, _ordered(rows, lambda r: getattr(r, _KEY_FIELD[key]), order), indices, groups.values())


_KEY_FIELD: Final = {"daily": "date", "weekly": "week", "monthly": "month"}


def _micros_of(delta: dt.timedelta | None) -> int:
    if delta is None:
        raise ValueError("the time zone gives no offset")
    return (delta.days * 86_400 + delta.seconds) * 1_000_000 + delta.microseconds


def _costs_one_by_one(costs: GroupCosts, n: int) -> list[GroupCosts]:
    return [None] * n if costs is None else [costs[j : j + 1] for j in range(n)]


def _local_days(usage: Grouped, tz: dt.tzinfo) -> tuple[list[Group], list[GroupCosts], list[dt.date]]:
    """The groups with the local day of each; a group that a change of date or offset cuts is split.

    A group's offset is looked up at its two ends (the zone's transitions are hours or months
    apart, never two within a quarter-hour); ends shared by neighbouring groups are looked up once.
    """
    groups: list[Group] = []
    costs: list[GroupCosts] = []
    days: list[dt.date] = []
    offsets: dict[int, int] = {}  # a whole UTC second -> the zone's offset then, in microseconds
    ordinals: dict[int, dt.date] = {}

    def offset(second: int) -> int:
        off = offsets.get(second)
        if off is None:
            off = offsets[second] = _micros_of(dt.datetime.fromtimestamp(second, tz).utcoffset())
        return off

    for g, c in zip(usage.groups, usage.costs, strict=True):
        day: dt.date | None = None
        if g.span == 1:
            day = (EPOCH + dt.timedelta(microseconds=g.start)).astimezone(tz).date()
        elif g.start % 1_000_000 == 0 and g.span % 1_000_000 == 0:
            off = offset(g.start // 1_000_000)
            if off == offset((g.start + g.span) // 1_000_000):
                first, last = (g.start + off) // DAY_US, (g.start + g.span - 1 + off) // DAY_US
                if first == last:
                    day = ordinals.get(first)
                    if day is None:
                        day = ordinals[first] = dt.date.fromordinal(EPOCH_ORDINAL + first)
        if day is not None:
            groups.append(g)
            costs.append(c)
            days.append(day)
            continue
        for one, oc in zip(g.singles(), _costs_one_by_one(c, g.replies), strict=True):
            groups.append(one)
            costs.append(oc)
            days.append((EPOCH + dt.timedelta(microseconds=one.start)).astimezone(tz).date())
    return groups, costs, days


def _unpriced_groups(groups: Sequence[Group], costs: Sequence[GroupCosts], indices: Iterable[int]) -> list[str | None]:
    # In the order of each model's first unpriced reply, as over rows.
    firsts = sorted((i for i in indices if costs[i] is None), key=lambda i: (groups[i].file, groups[i].first))
    return list(dict.fromkeys(groups[i].model for i in firsts))


def _period_groups(
    key: str,
    usage: Grouped,
    make: Callable[..., Any],
    period: Callable[[dt.date], Hashable],
    tz: dt.tzinfo,
    since: dt.date | None,
    until: dt.date | None,
    breakdown: bool,
    order: Order,
) -> Result:
    groups, costs, days = _local_days(usage, tz)
    if since is None and until is None:
        indices = list(range(len(days)))
    else:
        lo, hi = since or dt.date.min, until or dt.date.max
        indices = [i for i, d in enumerate(days) if lo <= d <= hi]
    tallies: dict[Hashable, _Tally] = {}
    for i in indices:
        k = period(days[i])
        tally = tallies.get(k)
        if tally is None:
            tally = tallies[k] = _Tally()
        tally.add_group(groups[i], costs[i], breakdown)
    rows = [
        make(k, **t.fields(), models=t.model_names(), breakdown=t.breakdown() if breakdown else [])
        for k, t in tallies.items()
    ]
    totals = Totals(**_Tally.of(tallies.values()).fields())
    return Result(key, _ordered(rows, lambda r: getattr(r, _KEY_FIELD[key]), order), totals,
                  _unpriced_groups(groups, costs, indices), usage.problems)  # fmt: skip


def daily(
    usage: Usage | Grouped,
    *,
    tz: dt.tzinfo = dt.UTC,
    since: dt.date | None = None,
    until: dt.date | None = None,
    breakdown: bool = False,
    order: Order = "asc",
) -> Result:
    """One row per local day with replies."""
    return _period_report("daily", usage, DayRow, lambda d: d, tz, since, until, breakdown, order)


def week_start(day: dt.date, start_of_week: int = 0) -> dt.date:
    """The first day of the week holding ``day``; weeks start on ``start_of_week`` (0 Monday … 6 Sunday)."""
    return day - dt.timedelta(days=(day.weekday() - start_of_week) % 7)


def weekly(
    usage: Usage | Grouped,
    *,
    tz: dt.tzinfo = dt.UTC,
    since: dt.date | None = None,
    until: dt.date | None = None,
    breakdown: bool = False,
    order: Order = "asc",
    start_of_week: int = 0,
) -> Result:
    """One row per week with replies, named by its first day; weeks start on Monday unless told."""
    from ._report_rows import WeekRow

    if not 0 <= start_of_week <= 6:
        raise ValueError(f"start_of_week must be 0 (Monday) to 6 (Sunday), not {start_of_week}")
    return _period_report(
        "weekly", usage, WeekRow, lambda d: week_start(d, start_of_week), tz, since, until, breakdown, order
    )


def monthly(
    usage: Usage | Grouped,
    *,
    tz: dt.tzinfo = dt.UTC,
    since: dt.date | None = None,
    until: dt.date | None = None,
    breakdown: bool = False,
    order: Order = "asc",
) -> Result:
    """One row per month with replies, named YYYY-MM."""
    from ._report_rows import MonthRow

    return _period_report("monthly", usage, MonthRow, lambda d: f"{d.year:04d}-{d.month:02d}", tz, since, until,
                          breakdown, order)  # fmt: skip


# ---------------------------------------------------------------------------------------------
# Sessions and projects


class _Activity:
    """Session facts summed over the files of one session or one project."""

    __slots__ = ("first", "last", "agents", "turn_ms", "prompt_ms", "sources", "title", "sessions")

    def __init__(self) -> None:
        self.first: dt.datetime | None = None
        self.last: dt.datetime | None = None
        self.agents: set[tuple[str | None, str]] = set()
        self.turn_ms = self.prompt_ms = 0
        self.sources: set[str] = set()
        self.title: str | None = None
        self.sessions: set[str | None] = set()

    def seen(self, ts: dt.datetime | None) -> None:
        if ts is None:
            return
        if self.first is None or ts < self.first:
            self.first = ts
        if self.last is None or ts > self.last:
            self.last = ts

    def add(self, facts: SessionFacts) -> None:
        self.seen(facts.first_timestamp)
        self.seen(facts.last_timestamp)
        self.sessions.add(facts.session_id)
        if facts.agent_id is not None:
            self.agents.add((facts.session_id, facts.agent_id))
            return
        # Sub-agents run inside their parent's turns, so only the main conversation's time counts.
        if facts.title:
            self.title = facts.title
        if facts.turn_duration_ms is not None:
            self.turn_ms += facts.turn_duration_ms
            self.sources.add("turn_duration")
        else:
            self.prompt_ms += facts.prompt_active_ms or 0
            self.sources.add("prompts")

    def active(self) -> tuple[float | None, ActiveSource | None]:
        if not self.sources:
            return None, None
        source: ActiveSource = "mixed"
        if self.sources == {"turn_duration"}:
            source = "turn_duration"
        elif self.sources == {"prompts"}:
            source = "prompts"
        return (self.turn_ms + self.prompt_ms) / 1000, source


def _activities(usage: Usage, key: Callable[[SessionFacts], Hashable]) -> dict[Hashable, _Activity]:
    out: dict[Hashable, _Activity] = {}
    for facts in usage.sessions:
        k = key(facts)
        act = out.get(k)
        if act is None:
            act = out[k] = _Activity()
        act.add(facts)
    return out


def _project_filter(usage: Usage, indices: list[int], projects: Sequence[str] | None) -> list[int]:
    if not projects:
        return indices
    rows = usage.rows
    return [i for i in indices if any(p in rows[i].project for p in projects)]


def sessions(
    usage: Usage,
    *,
    tz: dt.tzinfo = dt.UTC,
    since: dt.date | None = None,
    until: dt.date | None = None,
    projects: Sequence[str] | None = None,
    breakdown: bool = False,
    order: Order = "asc",
) -> Result:
    """One row per session with replies (its sub-agents' replies included), ordered by last activity.

    First and last activity, title and active time come from the session facts and
    cover the session's whole log; the counts cover the selected days only.
    """
    from ._report_rows import SessionRow

    indices, _ = _selected(usage, tz, since, until)
    indices = _project_filter(usage, indices, projects)
    rows_in = usage.rows
    groups = _group(usage, indices, lambda i: (rows_in[i].project, rows_in[i].session_id), breakdown)
    acts = _activities(usage, lambda f: (f.project, f.session_id))
    agents: dict[Hashable, set[str]] = {}
    span: dict[Hashable, _Activity] = {}
    for i in indices:
        r = rows_in[i]
        key = (r.project, r.session_id)
        if r.agent_id is not None:
            agents.setdefault(key, set()).add(r.agent_id)
        span.setdefault(key, _Activity()).seen(r.timestamp)
    out = []
    for k, tally in groups.items():
        project, session_id = cast(tuple[str, str | None], k)
        act = acts.get(k) or _Activity()
        # Without facts the replies are all there is to tell when the session ran.
        first, last = act.first or span[k].first, act.last or span[k].last
        assert first is not None and last is not None  # the session has replies
        active, source = act.active()
        out.append(SessionRow(
            session_id, project, act.title, first.astimezone(tz), last.astimezone(tz),
            len(agents.get(k, set()) | {a for _, a in act.agents}), active, source,
            **tally.fields(), models=tally.model_names(), breakdown=tally.breakdown() if breakdown else [],
        ))  # fmt: skip
    rows = _ordered(out, lambda r: (r.last_activity, r.project, r.session_id or ""), order)
    return _result("sessions", usage, rows, indices, groups.values())


def projects(
    usage: Usage,
    *,
    tz: dt.tzinfo = dt.UTC,
    since: dt.date | None = None,
    until: dt.date | None = None,
    breakdown: bool = False,
    order: Order = "asc",
) -> Result:
    """One row per project with replies, ordered by last activity."""
    from ._report_rows import ProjectRow

    indices, _ = _selected(usage, tz, since, until)
    rows_in = usage.rows
    groups = _group(usage, indices, lambda i: rows_in[i].project, breakdown)
    acts = _activities(usage, lambda f: f.project)
    seen_sessions: dict[str, set[str | None]] = {}
    agents: dict[str, set[tuple[str | None, str]]] = {}
    span: dict[str, _Activity] = {}
    for i in indices:
        r = rows_in[i]
        seen_sessions.setdefault(r.project, set()).add(r.session_id)
        if r.agent_id is not None:
            agents.setdefault(r.project, set()).add((r.session_id, r.agent_id))
        span.setdefault(r.project, _Activity()).seen(r.timestamp)
    out = []
    for k, tally in groups.items():
        project = str(k)
        act = acts.get(k) or _Activity()
        first = act.first or span[project].first
        last = act.last or span[project].last
        assert first is not None and last is not None  # the project has replies
        active, source = act.active()
        out.append(ProjectRow(
            project, len(seen_sessions[project]), first.astimezone(tz), last.astimezone(tz),
            len(agents.get(project, set()) | act.agents), active, source,
            **tally.fields(), models=tally.model_names(), breakdown=tally.breakdown() if breakdown else [],
        ))  # fmt: skip
    rows = _ordered(out, lambda r: (r.last_activity, r.project), order)
    return _result("projects", usage, rows, indices, groups.values())


# ---------------------------------------------------------------------------------------------
# Models and tools


def models(
    usage: Usage,
    *,
    tz: dt.tzinfo = dt.UTC,
    since: dt.date | None = None,
    until: dt.date | None = None,
    order: Order = "desc",
) -> Result:
    """One row per model, ordered by cost (unpriced last when descending), then name."""
    from ._report_rows import ModelRow

    indices, _ = _selected(usage, tz, since, until)
    rows_in = usage.rows
    groups = _group(usage, indices, lambda i: rows_in[i].model, False)
    out = [ModelRow(m, **t.fields()) for m, t in groups.items()]  # type: ignore[arg-type]
    rows = _ordered(out, lambda r: (r.cost_usd or 0.0, r.total_tokens, r.model or ""), order)
    return _result("models", usage, rows, indices, groups.values())


def _apportion(exact: dict[str | None, Fraction], total: int) -> dict[str | None, int]:
    """Whole numbers as close as can be to ``exact`` that add up to ``total`` (largest remainders)."""
    floors = {k: math.floor(v) for k, v in exact.items()}
    left = total - sum(floors.values())
    by_remainder = sorted(exact, key=lambda k: (-(exact[k] - floors[k]), k is None, k or ""))
    for k in by_remainder[:left]:
        floors[k] += 1
    return floors


def tools(
    usage: Usage,
    *,
    tz: dt.tzinfo = dt.UTC,
    since: dt.date | None = None,
    until: dt.date | None = None,
    order: Order = "desc",
) -> Result:
    """Per tool: calls, errors, and the tokens and cost of the replies that called it.

    A reply that called k different tools gives each of them 1/k of its tokens and
    cost; tokens are then rounded so that each column adds up to the total over
    every reply. Replies that called no tool make a row of their own (``tool``
    None). ``errors`` counts the calls whose result came back as an error, when the
    rows carry ``tool_errors``; it is None when they do not.
    """
    from fractions import Fraction

    from ._report_rows import ToolRow

    indices, _ = _selected(usage, tz, since, until)
    rows_in, costs = usage.rows, usage.costs
    # tool -> token field -> k -> sum of that field over replies that split k ways (exact shares, no rounding yet)
    shares: dict[str | None, list[dict[int, int]]] = {}
    calls: dict[str | None, int] = {}
    errors: dict[str | None, int] = {}
    replies: dict[str | None, int] = {}
    cost: dict[str | None, list[float]] = {}
    unpriced: dict[str | None, int] = {}
    has_errors = False
    for i in indices:
        r, c = rows_in[i], costs[i]
        names: list[str | None] = list(dict.fromkeys(r.tools)) or [None]
        for called in r.tools:
            calls[called] = calls.get(called, 0) + 1
        failed = getattr(r, "tool_errors", None)
        if failed is not None:
            has_errors = True
            for called in failed:
                errors[called] = errors.get(called, 0) + 1
        k = len(names)
        counts = (r.input_tokens, r.output_tokens, r.cache_creation_tokens, r.cache_read_tokens)
        for name in names:
            per = shares.get(name)
            if per is None:
                per = shares[name] = [{}, {}, {}, {}]
            for slot, n in zip(per, counts, strict=True):
                slot[k] = slot.get(k, 0) + n
            replies[name] = replies.get(name, 0) + 1
            if c is None:
                unpriced[name] = unpriced.get(name, 0) + 1
            else:
                cost.setdefault(name, []).append(c / k)
    totals = _totals(usage, indices)
    rounded = [
        _apportion(
            {name: sum((Fraction(v, k) for k, v in per[f].items()), Fraction(0)) for name, per in shares.items()},
            getattr(totals, _TOKENS[f]),
        )
        for f in range(4)
    ]
    out = []
    for name in shares:
        inp, outp, created, read = (rounded[f][name] for f in range(4))
        out.append(ToolRow(
            name, calls.get(name, 0) if name is not None else 0, errors.get(name, 0) if has_errors else None,
            replies[name], inp, outp, created, read, inp + outp + created + read,
            math.fsum(cost[name]) if name in cost else None, unpriced.get(name, 0),
        ))  # fmt: skip
    rows = _ordered(out, lambda r: (r.cost_usd or 0.0, r.total_tokens, r.tool or ""), order)
    return _result("tools", usage, rows, indices, calls=sum(calls.values()))


# ---------------------------------------------------------------------------------------------
# 5-hour windows


def _floor_hour(ts: dt.datetime) -> dt.datetime:
    ts = ts.astimezone(dt.UTC)
    return ts.replace(minute=0, second=0, microsecond=0)


def blocks(
    usage: Usage,
    *,
    tz: dt.tzinfo = dt.UTC,
    since: dt.date | None = None,
    until: dt.date | None = None,
    now: dt.datetime | None = None,
    token_limit: int | Literal["max"] | None = None,
    active_only: bool = False,
    order: Order = "asc",
) -> Result:
    """5-hour windows of replies, with the gaps between them marked.

    A window starts at its first reply's time floored to the hour (UTC) and lasts 5
    hours; the first reply at or after its end opens the next. The window holding
    ``now`` is active: it also gives the time left, the burn rate (tokens and cost
    per hour since it started) and the totals projected to its end at that rate.
    ``token_limit`` (a number, or ``"max"`` for the largest total of the windows
    before the active one) adds the tokens left under it to every window.
    """
    from ._report_rows import BlockRow

    now = dt.datetime.now(dt.UTC) if now is None else now.astimezone(dt.UTC)
    indices, _ = _selected(usage, tz, since, until)
    rows_in, costs = usage.rows, usage.costs
    indices.sort(key=lambda i: rows_in[i].timestamp)
    windows: list[tuple[dt.datetime, _Tally]] = []
    end: dt.datetime | None = None
    for i in indices:
        ts = rows_in[i].timestamp
        if end is None or ts >= end:
            start = _floor_hour(ts)
            end = start + WINDOW
            windows.append((start, _Tally()))
        windows[-1][1].add(rows_in[i], costs[i])
    out: list[BlockRow] = []
    for n, (start, tally) in enumerate(windows):
        if out and out[-1].end < start:
            out.append(BlockRow(out[-1].end.astimezone(tz), start.astimezone(tz), is_gap=True, state="gap"))
        stop = start + WINDOW
        out.append(BlockRow(start.astimezone(tz), stop.astimezone(tz), is_active=n == len(windows) - 1
                            and start <= now < stop, **tally.fields(), models=tally.model_names()))  # fmt: skip
    limit: int | None
    if token_limit == "max":
        past = [b.total_tokens for b in out if not b.is_gap and not b.is_active]
        limit = max(past) if past else None
    else:
        limit = token_limit
    for b in out:
        if limit is not None and not b.is_gap:
            b.token_limit = limit
            b.limit_remaining_tokens = limit - b.total_tokens
        if b.is_active:
            b.state = "active"
            elapsed = (now - b.start).total_seconds()
            left = (b.end - now).total_seconds()
            b.time_left_seconds = left
            hours = max(elapsed, 60.0) / 3600  # a minute at least, so a fresh window does not project infinity
            b.tokens_per_hour = b.total_tokens / hours
            b.projected_total_tokens = round(b.total_tokens + b.tokens_per_hour * left / 3600)
            if b.cost_usd is not None:
                b.cost_per_hour = b.cost_usd / hours
                b.projected_cost_usd = b.cost_usd + b.cost_per_hour * left / 3600
    if active_only:
        out = [b for b in out if b.is_active]
    if order == "desc":
        out.reverse()
    return _result("blocks", usage, out, indices, [t for _, t in windows], token_limit=limit)


# ---------------------------------------------------------------------------------------------
# The status line


@dataclass(slots=True)
class Status:
    """What a shell prompt shows: today's cost, the active window's, and one session's."""

    today_cost_usd: float | None
    today_unpriced_replies: int
    window_cost_usd: float | None  # None also when no window is active
    window_unpriced_replies: int
    window_time_left_seconds: float | None  # None when no window is active
    session_cost_usd: float | None = None
    session_unpriced_replies: int = 0
    session_found: bool = False


def _subset(usage: Usage, indices: Iterable[int]) -> Usage:
    rows, costs = usage.rows, usage.costs
    keep = list(indices)
    return Usage([rows[i] for i in keep], [costs[i] for i in keep], usage.unpriced, (), usage.problems)


def _micros(moment: dt.datetime) -> int:
    delta = moment - EPOCH
    return (delta.days * 86_400 + delta.seconds) * 1_000_000 + delta.microseconds


def _status_groups(
    usage: Grouped, now: dt.datetime, start: dt.datetime, end: dt.datetime, session: str | None
) -> Status:
    lo, hi = _micros(start), _micros(end)
    day = _Tally()
    for g, c in zip(usage.groups, usage.costs, strict=True):
        if g.start >= lo and g.start + g.span <= hi:
            day.add_group(g, c)
        elif g.start < hi and g.start + g.span > lo:  # cut by the day's start or end
            for one, oc in zip(g.singles(), _costs_one_by_one(c, g.replies), strict=True):
                if lo <= one.start < hi:
                    day.add_group(one, oc)
    today = Totals(**day.fields())
    # The last 5-hour window. A window ends on the hour and a group lies within one quarter-hour,
    # so a group is wholly in a window or wholly after it, and it opens the next at its hour.
    window: _Tally | None = None
    opened = closes = 0
    for g, c in sorted(zip(usage.groups, usage.costs, strict=True), key=lambda gc: gc[0].start):
        if window is None or g.start >= closes:
            opened = g.start - g.start % HOUR_US
            closes = opened + WINDOW_US
            window = _Tally()
        window.add_group(g, c)
    now_us = _micros(now)
    active = window if window is not None and opened <= now_us < closes else None
    fields = active.fields() if active is not None else None
    left = None if fields is None else (EPOCH + dt.timedelta(microseconds=closes) - now).total_seconds()
    result = Status(today.cost_usd, today.unpriced_replies, None if fields is None else fields["cost_usd"],
                    0 if fields is None else fields["unpriced_replies"], left)  # fmt: skip
    if session is not None:
        mine = _Tally()
        for g, c in zip(usage.groups, usage.costs, strict=True):
            if g.session_id == session:
                mine.add_group(g, c)
        totals = Totals(**mine.fields())
        result.session_cost_usd, result.session_unpriced_replies = totals.cost_usd, totals.unpriced_replies
        result.session_found = mine.replies > 0
    return result


def status(
    usage: Usage | Grouped, *, tz: dt.tzinfo = dt.UTC, now: dt.datetime | None = None, session: str | None = None
) -> Status:
    """Today's cost (a local day of ``tz``), the active window's cost and time left, and ``session``'s cost."""
    now = dt.datetime.now(dt.UTC) if now is None else now.astimezone(dt.UTC)
    today = now.astimezone(tz).date()
    start = dt.datetime.combine(today, dt.time(), tz).astimezone(dt.UTC)
    end = dt.datetime.combine(today + dt.timedelta(days=1), dt.time(), tz).astimezone(dt.UTC)
    if isinstance(usage, Grouped):
        return _status_groups(usage, now, start, end, session)
    stamps = [r.timestamp for r in usage.rows]
    day = _totals(usage, (i for i, ts in enumerate(stamps) if start <= ts < end))
    # A reply 5 hours or more after the one before it always opens a window (the one before
    # ended by then), so the windows after the last such pause do not depend on older replies.
    order = sorted(range(len(stamps)), key=stamps.__getitem__)
    cut = 0
    for n in range(len(order) - 1, 0, -1):
        if stamps[order[n]] - stamps[order[n - 1]] >= WINDOW:
            cut = n
            break
    recent = _subset(usage, order[cut:])
    window = next((b for b in blocks(recent, now=now).rows if b.is_active), None)
    result = Status(day.cost_usd, day.unpriced_replies, None if window is None else window.cost_usd,
                    0 if window is None else window.unpriced_replies,
                    None if window is None else window.time_left_seconds)  # fmt: skip
    if session is not None:
        mine = [i for i, r in enumerate(usage.rows) if r.session_id == session]
        totals = _totals(usage, mine)
        result.session_cost_usd, result.session_unpriced_replies = totals.cost_usd, totals.unpriced_replies
        result.session_found = bool(mine)
    return result
