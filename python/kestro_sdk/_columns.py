"""How a report field is shown in a table: kept apart from the renderer so that reports load without it."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Literal

Kind = Literal["text", "int", "tokens", "cost", "rate", "date", "datetime", "list", "seconds"]


@dataclass(frozen=True, slots=True)
class Column:
    label: str
    kind: Kind = "text"
    compact: bool = True  # kept when the terminal is too narrow for every column
    breakdown: bool = False


def column(label: str, kind: Kind = "text", *, compact: bool = True, breakdown: bool = False, **kw: Any) -> Any:
    """A dataclass field shown in tables under ``label`` and formatted by ``kind``."""
    return field(metadata={"column": Column(label, kind, compact, breakdown)}, **kw)
