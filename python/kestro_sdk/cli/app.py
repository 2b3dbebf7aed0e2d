"""The command group: error handling that keeps every expected failure to one line, --version, completion."""

from __future__ import annotations

import errno
import sys
import warnings
from collections.abc import Sequence
from typing import Any, Final

import click

from .. import __version__
from .._core import KestroSDKError

PROG: Final = "kestro-sdk"

# Subcommand -> (module in this package, attribute): each module is imported when one of its
# commands runs (or help lists them), so a report does not pay for the others' imports.
LAZY: Final = {
    **{
        name: ("reports", name)
        for name in ("daily", "weekly", "monthly", "sessions", "projects", "models", "tools", "blocks")
    },  # fmt: skip
    "prices": ("prices", "prices"),
    "show": ("conversations", "show"),
    "search": ("conversations", "search"),
    "export": ("conversations", "export_command"),
}

HELP = f"""Usage and cost reports for Kestro Code session logs.

\b
Examples:
  {PROG} daily                         cost and tokens per day
  {PROG} daily --since 2025-06-01 --breakdown
  {PROG} weekly --start-of-week sunday
  {PROG} sessions app --order desc     one project's sessions
  {PROG} blocks --active --token-limit max
  {PROG} statusline                    one line for a shell prompt
  {PROG} prices show                   the price table in use
  {PROG} prices show kestro-large-2    one model's rates
  {PROG} prices fetch https://example.org/prices.json
  {PROG} prices path                   where fetched prices are kept
  {PROG} show 1f2e                     read a session back (id, prefix or path)
  {PROG} search "retry budget"         find the sessions that mention it
  {PROG} export 1f2e --format html --out shared/

\b
Shell completion (bash, zsh or fish), e.g. in ~/.bashrc:
  eval "$({PROG} completion bash)"

Defaults for the shared options (time zone, base folders, price file, mode)
can be set in config.toml in the user config folder; see '{PROG} config-path'.
"""


def _one_line(message: str) -> str:
    return " ".join(message.split())


class Group(click.Group):
    """Runs a command and turns every expected failure into one line on standard error.

    Exit status: 0 on success, 2 for a bad argument, 1 for a failure at run time,
    130 when interrupted.
    """

    def list_commands(self, ctx: click.Context) -> list[str]:
        return sorted({*self.commands, *LAZY})

    def get_command(self, ctx: click.Context, cmd_name: str) -> click.Command | None:
        if cmd_name not in self.commands and cmd_name in LAZY:
            import importlib

            module, attribute = LAZY[cmd_name]
            self.add_command(getattr(importlib.import_module(f"{__package__}.{module}"), attribute), cmd_name)
        return super().get_command(ctx, cmd_name)

    def main(  # type: ignore[override]
        self,
        args: Sequence[str] | None = None,
        prog_name: str | None = None,
        complete_var: str | None = None,
        standalone_mode: bool = True,
        **extra: Any,
    ) -> int:
        try:
            with warnings.catch_warnings():
                warnings.showwarning = _warning
                result = super().main(args, prog_name or PROG, complete_var, standalone_mode=False, **extra)
            code = result if isinstance(result, int) else 0
        except click.ClickException as e:  # UsageError (2) included
            _error(e.format_message())
            code = e.exit_code
        except KestroSDKError as e:
            _error(str(e))
            code = 1
        except click.Abort:
            _error("interrupted")
            code = 130
        except OSError as e:
            if e.errno == errno.EPIPE:
                code = 1  # the reader went away; nothing more to say
            else:
                _error(f"{e.strerror or e}" + (f": {e.filename}" if e.filename else ""))
                code = 1
        if standalone_mode:
            sys.exit(code)
        return code


def _error(message: str) -> None:
    click.echo(f"{PROG}: error: {_one_line(message)}", err=True)


def _warning(message: Warning | str, category: type[Warning], *args: Any, **kwargs: Any) -> None:
    # The library warns through `warnings`; here that becomes one line, without source lines.
    click.echo(f"{PROG}: warning: {_one_line(str(message))}", err=True)


@click.group(
    cls=Group, help=HELP, invoke_without_command=True, context_settings={"help_option_names": ["-h", "--help"]}
)
@click.version_option(__version__, "--version", "-V", prog_name=PROG, message="%(prog)s %(version)s")
@click.pass_context
def main(ctx: click.Context) -> None:
    if ctx.invoked_subcommand is None:
        click.echo(ctx.get_help())


@main.command()
@click.argument("shell", type=click.Choice(["bash", "zsh", "fish"]))
def completion(shell: str) -> None:
    """Print the shell completion script for SHELL.

    \b
    bash: eval "$(kestro-sdk completion bash)"   in ~/.bashrc
    zsh:  eval "$(kestro-sdk completion zsh)"    in ~/.zshrc
    fish: kestro-sdk completion fish > ~/.config/fish/completions/kestro-sdk.fish
    """
    from click.shell_completion import get_completion_class

    cls = get_completion_class(shell)
    assert cls is not None  # every choice has a class
    click.echo(cls(main, {}, PROG, "_KESTRO_SDK_COMPLETE").source())


@main.command("config-path")
def config_path_command() -> None:
    """Print where the config file is read from."""
    from ..config import config_path

    click.echo(str(config_path()))


@main.command(
    context_settings={"ignore_unknown_options": True, "allow_extra_args": True, "help_option_names": []},
    add_help_option=False,
)
@click.pass_context
def statusline(ctx: click.Context) -> int:
    """One short line for a shell prompt: today's cost, the active window's, a session's (--help for options)."""
    from .statusline import main as status

    return status(ctx.args)
