#!/usr/bin/env python3
"""Prints a cost and usage summary of every Kestro Code project under a base directory.

    python3 examples/summary.py                   # the sample projects next to this script
    python3 examples/summary.py ~/.kestro/projects

For each project: one row per session (newest first) with its message count,
cost, token totals, tool calls and duration, then the project's totals; at the
end the totals over all projects.
"""

from __future__ import annotations

import sys
from dataclasses import dataclass
from pathlib import Path

from kestro_sdk import KestroSDKError, Session, find_projects, load_project

COLUMNS = ("Session", "Messages", "Cost", "Input tok", "Output tok", "Tool calls", "Duration")
WIDTHS = (10, 8, 10, 12, 12, 10, 10)


@dataclass
class Totals:
    sessions: int = 0
    messages: int = 0
    cost: float = 0.0
    input_tokens: int = 0
    output_tokens: int = 0
    tool_calls: int = 0
    seconds: int = 0

    def add(self, other: Totals) -> None:
        for field in self.__dataclass_fields__:
            setattr(self, field, getattr(self, field) + getattr(other, field))


def session_totals(session: Session) -> Totals:
    meta = session.metadata
    return Totals(
        sessions=1,
        messages=len(session),
        cost=session.total_cost,
        input_tokens=meta.total_input_tokens,
        output_tokens=meta.total_output_tokens,
        tool_calls=meta.total_tool_calls,
        seconds=session.duration or 0,
    )


def duration_text(seconds: int) -> str:
    hours, rest = divmod(seconds, 3600)
    minutes, secs = divmod(rest, 60)
    if hours:
        return f"{hours}h{minutes:02d}m{secs:02d}s"
    if minutes:
        return f"{minutes}m{secs:02d}s"
    return f"{secs}s"


def row(cells: tuple[str, ...]) -> str:
    # The first column is a label and reads best left-aligned; the figures line up on the right.
    first, *rest = cells
    return "  " + first.ljust(WIDTHS[0]) + "".join(c.rjust(w + 2) for c, w in zip(rest, WIDTHS[1:], strict=True))


def figures(label: str, t: Totals) -> str:
    return row(
        (
            label,
            f"{t.messages:,}",
            f"${t.cost:,.4f}",
            f"{t.input_tokens:,}",
            f"{t.output_tokens:,}",
            f"{t.tool_calls:,}",
            duration_text(t.seconds),
        )
    )


def summarise_project(project_dir: str) -> Totals:
    project = load_project(project_dir)
    print(f"{project.name}  ({len(project.sessions)} sessions)")
    print(row(COLUMNS))
    print("  " + "-" * (sum(WIDTHS) + 2 * (len(WIDTHS) - 1)))
    totals = Totals()
    for session in project.sessions:
        one = session_totals(session)
        totals.add(one)
        print(figures(session.session_id[:8], one))
    print(figures("total", totals))
    top = sorted(project.tool_usage_count.items(), key=lambda item: (-item[1], item[0]))[:5]
    if top:
        print("  most used tools: " + ", ".join(f"{name} ({count})" for name, count in top))
    print()
    return totals


def main(argv: list[str]) -> int:
    base = argv[1] if len(argv) > 1 else str(Path(__file__).resolve().parent / "projects")
    try:
        project_dirs = find_projects(base)
    except KestroSDKError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    if not project_dirs:
        print(f"No projects found under {base}")
        return 0

    overall = Totals()
    for project_dir in project_dirs:
        overall.add(summarise_project(project_dir))

    print(
        f"All projects: {len(project_dirs)} projects, {overall.sessions} sessions, "
        f"{overall.messages:,} messages, ${overall.cost:,.4f}, "
        f"{overall.input_tokens:,} input / {overall.output_tokens:,} output tokens, "
        f"{overall.tool_calls:,} tool calls, {duration_text(overall.seconds)}"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
