"""``kestro-sdk prices``: fetch a price file into the cache, show the table in use, say where it is kept."""

from __future__ import annotations

from dataclasses import dataclass

import click

from .. import pricing
from ..config import load_config
from .options import Failure, resolve_prices
from .render import Report, column, render


@dataclass(slots=True)
class PriceRow:
    """One model's rates in US dollars per million tokens; its tiers below it."""

    model: str = column("Model")
    input: float | None = column("Input", "rate")
    output: float | None = column("Output", "rate")
    cache_write_5m: float | None = column("Write 5m", "rate")
    cache_write_1h: float | None = column("Write 1h", "rate", compact=False)
    cache_read: float | None = column("Read", "rate")
    above: int | None = column("Prompt above", "int", default=None)
    tiers: list[PriceRow] = column("Tiers", breakdown=True, default_factory=list)

    @classmethod
    def of(cls, model: str, price: pricing.ModelPrice) -> PriceRow:
        def row(r: pricing.Rates, above: int | None) -> PriceRow:
            return cls(model, r.input, r.output, r.cache_write_5m, r.cache_write_1h, r.cache_read, above)

        top = row(price.base, None)
        if price.tier is not None:
            top.tiers.append(row(price.tier, price.tier_above))
        return top


@click.group()
def prices() -> None:
    """The price table that turns tokens into dollars.

    \b
    Where it comes from, first found wins: --prices FILE, $KESTRO_PRICES,
    'prices' in the config file, the file 'prices fetch' keeps, the bundled
    example table.
    """


@prices.command()
@click.argument("url", required=False)
@click.option("--timeout", type=click.FloatRange(min=0.1), default=30.0, show_default=True, help="Seconds.")
def fetch(url: str | None, timeout: float) -> None:
    """Download a price file (TOML or the shared JSON format) from URL into the cache.

    URL defaults to $KESTRO_PRICES_URL. The file must parse and price at least
    one model before it replaces the cached one.
    """
    table = pricing.fetch(url, timeout=timeout)
    count = len(table)
    click.echo(f"saved prices for {count} model{'' if count == 1 else 's'} to {table.source}")


@prices.command()
@click.argument("model", required=False)
@click.option("--prices", "price_file", metavar="FILE", help="Price file (TOML or JSON) instead of the default table.")
@click.option("--json", "as_json", is_flag=True, help="Print one JSON object.")
@click.option("--csv", "as_csv", is_flag=True, help="Print CSV rows.")
def show(model: str | None, price_file: str | None, as_json: bool, as_csv: bool) -> None:
    """Show the rates of every model, or of MODEL (matched as costs match it).

    \b
    Examples:
      kestro-sdk prices show
      kestro-sdk prices show vendor/kestro-large-2-20250514 --json
    """
    if as_json and as_csv:
        raise click.UsageError("--json and --csv cannot be used together")
    table = resolve_prices(price_file, load_config())
    names = list(table)
    if model is not None:
        name = table.match(model)
        if name is None:
            raise Failure(f"no price for model {model!r} in {table.source}")
        names = [name]
    report = Report(
        key="prices",
        row_type=PriceRow,
        rows=[PriceRow.of(n, table[n]) for n in names],
        title=f"US dollars per million tokens, from {table.source}",
        extra={"source": table.source},
    )
    render(report, "json" if as_json else "csv" if as_csv else "table")


@prices.command()
def path() -> None:
    """Print the file that 'prices fetch' writes and costs read when no other table is given."""
    click.echo(str(pricing.cache_path()))
