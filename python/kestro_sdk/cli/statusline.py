"""``kestro-sdk statusline``: one short line for a shell prompt or an editor's status bar, on a lean import path.

It loads neither click nor rich: the installed script comes here straight from
``kestro_sdk.cli.run``. Errors are one line on standard error, as in the rest of
the command: exit status 2 for a bad argument, 1 for a failure at run time.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import NoReturn

PROG = "kestro-sdk statusline"


class _BadArgument(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise _BadArgument(message)


def _parser() -> _Parser:
    p = _Parser(
        prog=PROG,
        description="Today's cost, the active 5-hour window's cost and time left, and one session's cost.",
        epilog="Example, in ~/.bashrc:  PS1='$(kestro-sdk statusline) \\$ '",
    )
    p.add_argument("--session", metavar="ID|PATH", help="a session id, or the path of its log")
    p.add_argument("--timezone", metavar="TZ", help="IANA time zone of 'today' [default: local]")
    p.add_argument("--base", action="append", default=[], metavar="DIR", help="projects folder (repeatable)")
    p.add_argument("--prices", metavar="FILE", help="price file (TOML or JSON)")
    p.add_argument("--mode", choices=("auto", "calculate", "display"))
    p.add_argument("--no-cache", action="store_true", help="read every file again")
    return p


def _money(cost: float | None, unpriced: int) -> str:
    if cost is None:
        return "-" if unpriced else "$0.00"  # nothing priced, or nothing at all
    return (f"${cost:,.2f}" if cost >= 0.005 or cost == 0 else "<$0.01") + ("*" if unpriced else "")


def _left(seconds: float) -> str:
    minutes = int(seconds // 60)
    return f"{minutes // 60}h{minutes % 60:02d}m" if minutes >= 60 else f"{minutes}m"


def line(argv: Sequence[str]) -> str:
    """The status line for these arguments; _BadArgument or KestroSDKError when it cannot be had."""
    from .. import cache, config, pricing, reports

    args = _parser().parse_args(list(argv))
    conf = config.load_config()
    tz_name = args.timezone or conf.timezone
    if tz_name is not None:
        try:
            tz = config.zone(tz_name)
        except ValueError:
            raise _BadArgument(f"{tz_name!r} is not an IANA time zone such as Europe/Berlin or UTC") from None
    else:
        tz, _ = config.local_zone()
    env = [p for p in os.environ.get("KESTRO_PROJECTS", "").split(os.pathsep) if p]
    bases = [Path(b).expanduser() for b in (args.base or env or conf.base or [config.DEFAULT_BASE])]
    for base in bases:
        if not base.is_dir():
            raise config.ConfigError(f"base folder not found: {base}")
    source = args.prices or (None if os.environ.get("KESTRO_PRICES") else conf.prices)
    prices = pricing.load_prices(source)
    mode = args.mode or conf.mode or "auto"
    usage: reports.Usage | reports.Grouped
    if args.no_cache:
        usage = reports.price(cache.load_usage(bases, use_cache=False).rows, prices, mode)
    else:
        usage = reports.price_groups(cache.load_usage(bases, detail="groups").groups, prices, mode)
    session = args.session
    if session is not None and (session.endswith(".jsonl") or os.sep in session):
        session = Path(session).stem
    s = reports.status(usage, tz=tz, session=session)
    parts = [f"{_money(s.today_cost_usd, s.today_unpriced_replies)} today"]
    if s.window_time_left_seconds is None:
        parts.append("no active window")
    else:
        cost = _money(s.window_cost_usd, s.window_unpriced_replies)
        parts.append(f"{cost} window ({_left(s.window_time_left_seconds)} left)")
    if session is not None:
        parts.append(f"{_money(s.session_cost_usd, s.session_unpriced_replies)} session" if s.session_found
                     else "session not found")  # fmt: skip
    return " | ".join(parts)


def main(argv: Sequence[str]) -> int:
    """Prints the status line; returns the exit status."""
    from .._core import KestroSDKError

    if any(a in ("-h", "--help") for a in argv):
        _parser().print_help()
        return 0
    try:
        text = line(argv)
    except _BadArgument as e:
        print(f"kestro-sdk: error: {' '.join(str(e).split())}", file=sys.stderr)
        return 2
    except KestroSDKError as e:
        print(f"kestro-sdk: error: {' '.join(str(e).split())}", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"kestro-sdk: error: {e.strerror or e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    print(text)
    return 0
