"""One rendering layer for every report: a rich table, one JSON object, or CSV rows.

A report is a list of dataclass rows plus optional totals. The row class says how
each field is shown through :func:`column` metadata; fields without it appear in
JSON (and CSV) only. A field made with ``column(..., breakdown=True)`` holds rows
of the same class, or of a smaller class named by its first field, shown indented
under their row in a table, nested in JSON and left out of CSV.

A cost cell whose row has ``unpriced_replies`` shows its cost with a mark and a
footnote; a cost of None (nothing priced) shows a dash, and ``null`` in JSON.
"""

from __future__ import annotations

import csv
import dataclasses
import datetime as dt
import enum
import io
import json
import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import IO, Any, Final

from .._columns import Column, Kind, column

__all__ = ["Column", "Kind", "Report", "column", "render", "render_csv", "render_json", "render_table"]

UNPRICED_MARK: Final = "*"
DASH: Final = "-"


@dataclass(slots=True)
class Report:
    """What a command prints: rows of one dataclass, closing totals, and top-level JSON extras."""

    key: str  # the rows' key in JSON, e.g. "daily"
    row_type: type
    rows: Sequence[Any]
    totals: Any | None = None
    title: str = ""
    schema_version: int = 1
    extra: dict[str, Any] = field(default_factory=dict)  # further members of the JSON object
    notes: list[str] = field(default_factory=list)  # lines printed under the table
    unpriced_models: list[str | None] = field(default_factory=list)


# ---------------------------------------------------------------------------------------------
# JSON


_PLAIN: Final = frozenset({int, str, bool, type(None)})
_FIELD_NAMES: dict[type, tuple[str, ...]] = {}  # per dataclass, its fields' names


def to_json_value(value: Any) -> Any:
    """Plain JSON data from dataclasses, dates, paths, enums and sequences."""
    if type(value) in _PLAIN:  # most of a report: settled before the slower checks
        return value
    names = _FIELD_NAMES.get(type(value))
    if names is None and dataclasses.is_dataclass(value) and not isinstance(value, type):
        names = _FIELD_NAMES[type(value)] = tuple(f.name for f in dataclasses.fields(value))
    if names is not None:
        return {name: to_json_value(getattr(value, name)) for name in names}
    if isinstance(value, dt.datetime | dt.date | dt.time):
        return value.isoformat()
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, enum.Enum):
        return to_json_value(value.value)
    if isinstance(value, Path):
        return str(value)
    if isinstance(value, dict):
        return {str(k): to_json_value(v) for k, v in value.items()}
    if isinstance(value, list | tuple | set | frozenset):
        return [to_json_value(v) for v in value]
    return value


def render_json(report: Report) -> str:
    doc: dict[str, Any] = {"schema_version": report.schema_version, report.key: to_json_value(list(report.rows))}
    if report.totals is not None:
        doc["totals"] = to_json_value(report.totals)
    doc |= {k: to_json_value(v) for k, v in report.extra.items()}
    return json.dumps(doc, indent=2, ensure_ascii=False)


# ---------------------------------------------------------------------------------------------
# CSV


def csv_fields(row_type: type) -> list[dataclasses.Field[Any]]:
    return [f for f in dataclasses.fields(row_type) if not _column(f).breakdown]


def _csv_cell(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, list | tuple):
        return ";".join(_csv_cell(v) for v in value)
    if isinstance(value, dt.datetime | dt.date):
        return value.isoformat()
    if isinstance(value, float):
        return repr(value)
    return str(value)


def render_csv(report: Report) -> str:
    """A header of field names, then one line per row; totals and breakdowns are left to the other forms."""
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    fields = csv_fields(report.row_type)
    writer.writerow([f.name for f in fields])
    for row in report.rows:
        writer.writerow([_csv_cell(getattr(row, f.name)) for f in fields])
    return out.getvalue()


# ---------------------------------------------------------------------------------------------
# Tables


def _column(f: dataclasses.Field[Any]) -> Column:
    col = f.metadata.get("column")
    return col if isinstance(col, Column) else Column(f.name, breakdown=False)


def _shown(row_type: type) -> list[tuple[str, Column]]:
    out = []
    for f in dataclasses.fields(row_type):
        col = f.metadata.get("column")
        if isinstance(col, Column) and not col.breakdown:
            out.append((f.name, col))
    return out


def _breakdown_field(row_type: type) -> str | None:
    for f in dataclasses.fields(row_type):
        if _column(f).breakdown:
            return f.name
    return None


def _short(n: float) -> str:
    for unit, size in (("G", 1e9), ("M", 1e6), ("k", 1e3)):
        if abs(n) >= size:
            return f"{n / size:.1f}{unit}"
    return f"{n:.0f}"


def format_cell(value: Any, kind: Kind, *, compact: bool = False, unpriced: int = 0) -> str:
    """The text of one cell."""
    if kind == "cost":
        if value is None:
            return DASH
        text = "<$0.01" if 0 < value < 0.005 else f"${value:,.2f}"
        return text + (UNPRICED_MARK if unpriced else "")
    if value is None:
        return DASH
    if kind in ("tokens", "int"):
        return _short(value) if compact and kind == "tokens" else f"{value:,}"
    if kind == "rate":
        return f"{value:,.2f}"
    if kind == "datetime" and isinstance(value, dt.datetime):
        return value.strftime("%Y-%m-%d %H:%M")
    if kind == "seconds":
        minutes = round(value / 60)
        return f"{minutes // 60}h {minutes % 60:02d}m"
    if kind == "list" and isinstance(value, list | tuple):
        return ", ".join(map(str, value))
    return str(value)


def _cells(row: Any, columns: list[tuple[str, Column]], compact: bool) -> list[str]:
    unpriced = getattr(row, "unpriced_replies", 0) or 0
    return [
        format_cell(getattr(row, name, None), col.kind, compact=compact, unpriced=unpriced) for name, col in columns
    ]


def footnote(report: Report) -> str | None:
    """The line explaining the unpriced mark, when some shown cost leaves replies out."""
    rows = [*report.rows, *([report.totals] if report.totals is not None else [])]
    if not any((getattr(r, "unpriced_replies", 0) or 0) for r in rows):
        return None
    count = getattr(report.totals, "unpriced_replies", None) if report.totals is not None else None
    count = count if count is not None else sum(getattr(r, "unpriced_replies", 0) or 0 for r in report.rows)
    models = ", ".join("(no model)" if m is None else m for m in report.unpriced_models)
    which = f" of {models}" if models else ""
    return (
        f"{UNPRICED_MARK} leaves out {count:,} repl{'y' if count == 1 else 'ies'}{which} with no price"
        f" (see 'kestro-sdk prices show')"
    )


def render_table(report: Report, file: IO[str] | None = None, *, width: int | None = None) -> None:
    """Prints the report as a table fitted to the terminal; colour only when writing to one."""
    from rich.console import Console
    from rich.table import Table

    console = Console(file=file, width=width, highlight=False, soft_wrap=False)
    columns = _shown(report.row_type)
    sub = _breakdown_field(report.row_type)

    def lines(compact: bool) -> list[tuple[list[str], str]]:
        out: list[tuple[list[str], str]] = []
        for row in report.rows:
            out.append((_cells(row, columns, compact), ""))
            for child in getattr(row, sub) if sub else ():
                cells = _cells(child, columns, compact)
                if type(child) is not report.row_type:
                    # A breakdown row of its own class (one model under a day) is named by its first field.
                    cells[0] = str(getattr(child, dataclasses.fields(child)[0].name))
                cells[0] = "  " + cells[0]
                out.append((cells, "dim"))
        if report.totals is not None:
            cells = _cells(report.totals, columns, compact)
            cells[0] = cells[0] if cells[0] != DASH else "Total"
            out.append((cells, "bold"))
        return out

    def needed(cols: list[tuple[str, Column]], body: list[list[str]]) -> int:
        widths = [max([len(c.label), *(len(b[i]) for b in body)]) for i, (_, c) in enumerate(cols)]
        return sum(widths) + 3 * len(widths) + 1

    body = lines(compact=False)
    shown = columns
    keep = list(range(len(columns)))
    if needed(columns, [b for b, _ in body]) > console.width:
        body = lines(compact=True)
        keep = [i for i, (_, c) in enumerate(columns) if c.compact]
        shown = [columns[i] for i in keep]
    table = Table(title=report.title or None, title_justify="left", header_style="bold")
    for _, col in shown:
        numeric = col.kind in ("int", "tokens", "cost", "rate", "seconds")
        table.add_column(col.label, justify="right" if numeric else "left", no_wrap=numeric)
    total_at = len(body) - 1 if report.totals is not None else -1
    for i, (cells, style) in enumerate(body):
        if i == total_at:
            table.add_section()
        table.add_row(*(cells[j] for j in keep), style=style or None)
    console.print(table)
    for note in [*(n for n in [footnote(report)] if n), *report.notes]:
        console.print(note, markup=False)


def render(report: Report, fmt: str, file: IO[str] | None = None) -> None:
    """Writes the report in the format chosen on the command line."""
    if fmt == "table":
        render_table(report, file)
        return
    import click

    click.echo(render_json(report) if fmt == "json" else render_csv(report), file=file, nl=fmt == "json")
