"""The rows of the reports by week, month, session, project, model, tool and 5-hour window.

Apart from :mod:`kestro_sdk.reports`, which gives them by name, so that a report by day
or the status line does not pay for making them; fields as described there.
"""

from __future__ import annotations

import datetime as dt
from dataclasses import dataclass
from typing import TYPE_CHECKING, Literal

from ._columns import column

if TYPE_CHECKING:
    from .reports import ModelUsage

__all__ = ["ActiveSource", "BlockRow", "ModelRow", "MonthRow", "ProjectRow", "SessionRow", "ToolRow", "WeekRow"]


@dataclass(slots=True)
class WeekRow:
    week: dt.date = column("Week of", "date")  # the week's first day
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
class MonthRow:
    month: str = column("Month")  # YYYY-MM
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


ActiveSource = Literal["turn_duration", "prompts", "mixed"]


@dataclass(slots=True)
class SessionRow:
    session_id: str | None = column("Session")
    project: str = column("Project", compact=False, default="")
    title: str | None = column("Title", compact=False, default=None)
    first_activity: dt.datetime | None = column("First", "datetime", compact=False, default=None)
    last_activity: dt.datetime | None = column("Last", "datetime", default=None)
    subagents: int = column("Agents", "int", compact=False, default=0)
    active_seconds: float | None = column("Active", "seconds", compact=False, default=None)
    # turn_duration: the logged turn durations; prompts: prompt to last reply of each turn.
    active_time_source: ActiveSource | None = None
    input_tokens: int = column("Input", "tokens", compact=False, default=0)
    output_tokens: int = column("Output", "tokens", compact=False, default=0)
    cache_creation_tokens: int = column("Cache write", "tokens", compact=False, default=0)
    cache_read_tokens: int = column("Cache read", "tokens", compact=False, default=0)
    total_tokens: int = column("Total", "tokens", default=0)
    replies: int = column("Replies", "int", compact=False, default=0)
    cost_usd: float | None = column("Cost", "cost", default=None)
    unpriced_replies: int = 0
    models: list[str] = column("Models", "list", compact=False, default_factory=list)
    breakdown: list[ModelUsage] = column("", breakdown=True, default_factory=list)


@dataclass(slots=True)
class ProjectRow:
    project: str = column("Project")
    sessions: int = column("Sessions", "int", default=0)
    first_activity: dt.datetime | None = column("First", "datetime", compact=False, default=None)
    last_activity: dt.datetime | None = column("Last", "datetime", compact=False, default=None)
    subagents: int = column("Agents", "int", compact=False, default=0)
    active_seconds: float | None = column("Active", "seconds", compact=False, default=None)
    active_time_source: ActiveSource | None = None
    input_tokens: int = column("Input", "tokens", compact=False, default=0)
    output_tokens: int = column("Output", "tokens", compact=False, default=0)
    cache_creation_tokens: int = column("Cache write", "tokens", compact=False, default=0)
    cache_read_tokens: int = column("Cache read", "tokens", compact=False, default=0)
    total_tokens: int = column("Total", "tokens", default=0)
    replies: int = column("Replies", "int", compact=False, default=0)
    cost_usd: float | None = column("Cost", "cost", default=None)
    unpriced_replies: int = 0
    models: list[str] = column("Models", "list", compact=False, default_factory=list)
    breakdown: list[ModelUsage] = column("", breakdown=True, default_factory=list)


@dataclass(slots=True)
class ModelRow:
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
class ToolRow:
    """One tool; ``tool`` None holds the replies that called no tool, so the columns add up to the totals."""

    tool: str | None = column("Tool")
    calls: int = column("Calls", "int", default=0)
    errors: int | None = column("Errors", "int", compact=False, default=None)  # None: the logs do not say
    replies: int = column("Replies", "int", compact=False, default=0)  # replies that called it, each whole
    input_tokens: int = column("Input", "tokens", compact=False, default=0)
    output_tokens: int = column("Output", "tokens", compact=False, default=0)
    cache_creation_tokens: int = column("Cache write", "tokens", compact=False, default=0)
    cache_read_tokens: int = column("Cache read", "tokens", compact=False, default=0)
    total_tokens: int = column("Total", "tokens", default=0)
    cost_usd: float | None = column("Cost", "cost", default=None)
    unpriced_replies: int = 0


@dataclass(slots=True)
class BlockRow:
    """A 5-hour window, or the gap between two (``is_gap``, no replies)."""

    start: dt.datetime = column("Start", "datetime")
    end: dt.datetime = column("End", "datetime", compact=False)
    is_gap: bool = False
    is_active: bool = False
    state: Literal["window", "active", "gap"] = column("", default="window")
    input_tokens: int = 0
    output_tokens: int = 0
    cache_creation_tokens: int = 0
    cache_read_tokens: int = 0
    total_tokens: int = column("Tokens", "tokens", default=0)
    replies: int = column("Replies", "int", default=0)
    cost_usd: float | None = column("Cost", "cost", default=None)
    unpriced_replies: int = 0
    models: list[str] = column("Models", "list", compact=False, default_factory=list)
    # The active window only:
    time_left_seconds: float | None = column("Left", "seconds", default=None)
    tokens_per_hour: float | None = None
    cost_per_hour: float | None = None
    projected_total_tokens: int | None = None
    projected_cost_usd: float | None = None
    # With a token limit (every window but the gaps):
    token_limit: int | None = None
    limit_remaining_tokens: int | None = column("Limit left", "tokens", compact=False, default=None)
