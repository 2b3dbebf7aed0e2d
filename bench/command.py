#!/usr/bin/env python3
"""What the command and the price layer cost: import times and costs over a million replies.

    python3 bench/command.py [--json] [--repeat N] [--rows N]

Uses the installed kestro_sdk. Each import time is measured in a fresh
interpreter (`-X importtime`, the module's cumulative figure), best of
--repeat; the wall time of `python -m kestro_sdk --version` and of
`prices show --json` is the best of --repeat runs. `costs` prices --rows
synthetic replies (two models, a third of them named with a trailing date so
that matching by normal form runs; no logged costs) with the bundled table.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import time
from dataclasses import dataclass

IMPORTS = ("click", "typer", "rich.console", "rich.table", "platformdirs", "kestro_sdk", "kestro_sdk.pricing",
           "kestro_sdk.cli")  # fmt: skip


def import_ms(module: str, repeat: int) -> float | None:
    best = None
    for _ in range(repeat):
        out = subprocess.run([sys.executable, "-X", "importtime", "-c", f"import {module}"],
                             capture_output=True, text=True)  # fmt: skip
        if out.returncode != 0:
            return None  # not installed
        for line in out.stderr.splitlines():
            parts = [p.strip() for p in line.removeprefix("import time:").split("|")]
            if len(parts) == 3 and parts[2] == module:
                us = int(parts[1])
                best = us if best is None else min(best, us)
    return None if best is None else best / 1000


def wall_ms(args: list[str], repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        subprocess.run([sys.executable, *args], capture_output=True, check=True)
        best = min(best, time.perf_counter() - start)
    return best * 1000


@dataclass(slots=True)
class Row:
    model: str | None
    input_tokens: int
    output_tokens: int
    cache_creation_tokens: int
    cache_creation_5m_tokens: int
    cache_creation_1h_tokens: int
    cache_read_tokens: int
    logged_cost_usd: float | None


def costs_s(rows: int, repeat: int) -> dict[str, float]:
    from kestro_sdk import pricing

    table = pricing.load_prices(pricing.bundled_prices())
    data = [
        Row(
            "kestro-large-2" if i % 3 else "kestro-small-1-20250101", i % 500, 300, 1000, 0, 1000 * (i % 2), 20000, None
        )
        for i in range(rows)
    ]
    out = {}
    for name, run in (
        ("costs", lambda: pricing.costs(data, table, "auto")),
        ("reply_cost loop", lambda: [pricing.reply_cost(r, table, "auto") for r in data]),
    ):
        best = float("inf")
        for _ in range(repeat):
            start = time.perf_counter()
            run()
            best = min(best, time.perf_counter() - start)
        out[name] = best
    return out


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--json", action="store_true")
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--rows", type=int, default=1_000_000)
    args = ap.parse_args()
    result = {
        "import_ms": {m: import_ms(m, args.repeat) for m in IMPORTS},
        "command_ms": {
            "python -c pass": wall_ms(["-c", "pass"], args.repeat),
            "python -m kestro_sdk --version": wall_ms(["-m", "kestro_sdk", "--version"], args.repeat),
            "python -m kestro_sdk prices show --json": wall_ms(
                ["-m", "kestro_sdk", "prices", "show", "--json"], args.repeat
            ),
        },
        "costs_s_per_rows": {"rows": args.rows, **costs_s(args.rows, 3)},
    }
    if args.json:
        print(json.dumps(result, indent=2))
        return 0
    for m, ms in result["import_ms"].items():
        print(f"import {m:<22} {'not installed' if ms is None else f'{ms:6.1f} ms'}")
    for cmd, ms in result["command_ms"].items():
        print(f"{cmd:<45} {ms:6.0f} ms")
    c = result["costs_s_per_rows"]
    print(f"costs() over {c['rows']:,} rows: {c['costs']:.3f} s; reply_cost per row: {c['reply_cost loop']:.3f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
