"""Prices per model and the cost of each reply.

A price table gives, per model, US dollars per million tokens for five kinds of
token: input, output, cache writes kept 5 minutes, cache writes kept 1 hour and
cache reads. A model may also have a higher tier: when a reply's prompt (input
plus cache creation plus cache read tokens) is above the tier's threshold, every
token of that reply is priced at the tier's rates.

Where the table comes from (:func:`load_prices`), first match wins:

1. the argument given to the call (a file path or a :class:`PriceTable`);
2. ``$KESTRO_PRICES``, a file;
3. the user cache file (see :func:`cache_path`), which :func:`fetch` fills from
   a URL (its argument, else ``$KESTRO_PRICES_URL``);
4. the example table bundled with the package, which prices the models of the
   bundled sample logs.

Two file formats are read; the format is told by the first non-blank
character (``{`` for JSON), so a file's name does not matter.

Our TOML format, rates per million tokens::

    [models."kestro-large-2"]
    input = 3.00            # required
    output = 15.00          # required
    cache_write_5m = 3.75   # optional, like the two below
    cache_write_1h = 6.00
    cache_read = 0.30

    [models."kestro-large-2".tier]   # optional higher tier
    above = 200000          # prompt tokens; the tier applies strictly above
    input = 6.00            # the five rates again, same rules
    output = 22.50

Unknown keys are an error, so that a typo does not silently drop a rate.

The shared JSON price-file format: one object keyed by model name whose values
give rates per token: ``input_cost_per_token``, ``output_cost_per_token``,
``cache_creation_input_token_cost`` (5-minute writes),
``cache_creation_input_token_cost_above_1hr`` (1-hour writes),
``cache_read_input_token_cost``, and the same names with
``_above_200k_tokens`` appended for a tier above 200,000 prompt tokens. Other
keys, entries that are not objects, and rates that are not non-negative numbers
are ignored; an entry with no usable rate is skipped.

Nothing is guessed. A rate that a table leaves out is unknown, not zero: a reply
that has tokens of that kind gets no computed cost. In a tier, a rate left out
is unknown as well (it does not fall back to the base rate).

A reply whose cache writes are not split into 5-minute and 1-hour counts has
its writes priced at the 5-minute rate; so are the writes that a split leaves
unaccounted for.

Model names match exactly first, then by normal form: a provider prefix ending
in ``/`` (``vendor/kestro-large-2``) and a trailing date of eight digits after
``-`` or ``@`` (``kestro-large-2-20250514``, ``kestro-large-2@20250514``) are
removed from both the name asked for and the names in the table. When several
names in the table share a normal form, the one already in normal form wins;
otherwise they must agree on every rate, or the name stays unpriced.

Costs by mode: ``"auto"`` takes the cost logged with the reply where there is
one and computes it otherwise; ``"calculate"`` always computes; ``"display"``
only takes the logged cost. A reply whose token counts are all zero costs 0 in
every mode, whatever its model; any other reply with no cost gets ``None``,
never 0, and its model is reported as unpriced.
"""

from __future__ import annotations

import math
import os
import re
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass, field, fields
from pathlib import Path
from typing import Any, Final, Literal, Protocol

from ._core import KestroSDKError

__all__ = [
    "Costs",
    "Mode",
    "ModelPrice",
    "PriceTable",
    "PricingError",
    "Rates",
    "UsageRow",
    "bundled_prices",
    "cache_dir",
    "cache_path",
    "compute_cost",
    "costs",
    "fetch",
    "load_prices",
    "normalise_model",
    "parse_prices",
    "read_prices",
    "reply_cost",
]

Mode = Literal["auto", "calculate", "display"]
MODES: Final = ("auto", "calculate", "display")

PER_MILLION: Final = 1_000_000
JSON_TIER_THRESHOLD: Final = 200_000
# A price file is a few megabytes at most; the cap keeps a wrong URL from filling memory.
MAX_FETCH_BYTES: Final = 64 * 1024 * 1024


class PricingError(KestroSDKError):
    """A price table could not be read, parsed or fetched."""


class UsageRow(Protocol):
    """What a cost needs from a reply: the usage scan's columns, by attribute."""

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


@dataclass(frozen=True, slots=True)
class Rates:
    """US dollars per million tokens; None where the table does not say."""

    input: float | None = None
    output: float | None = None
    cache_write_5m: float | None = None
    cache_write_1h: float | None = None
    cache_read: float | None = None


@dataclass(frozen=True, slots=True)
class ModelPrice:
    """The rates of one model, with an optional tier above a prompt size."""

    base: Rates
    tier: Rates | None = None
    tier_above: int | None = None

    def rates_for(self, prompt_tokens: int) -> Rates:
        if self.tier is not None and self.tier_above is not None and prompt_tokens > self.tier_above:
            return self.tier
        return self.base


_DATE_SUFFIX = re.compile(r"[-@]\d{8}$")


def normalise_model(name: str) -> str:
    """The normal form a model name is matched by: no provider prefix, no trailing date."""
    name = name.rsplit("/", 1)[-1]
    return _DATE_SUFFIX.sub("", name)


class PriceTable(Mapping[str, ModelPrice]):
    """Model name -> :class:`ModelPrice`, with lookup by normal form; ``source`` says where it came from."""

    __slots__ = ("_prices", "_by_normal", "_memo", "source")

    def __init__(self, prices: Mapping[str, ModelPrice], source: str = "") -> None:
        self._prices: dict[str, ModelPrice] = dict(prices)
        self.source = source
        self._memo: dict[str, ModelPrice | None] = {}
        candidates: dict[str, list[str]] = {}
        for name in self._prices:
            candidates.setdefault(normalise_model(name), []).append(name)
        self._by_normal: dict[str, ModelPrice] = {}
        for normal, names in candidates.items():
            if normal in self._prices:
                self._by_normal[normal] = self._prices[normal]
            elif all(self._prices[n] == self._prices[names[0]] for n in names):
                self._by_normal[normal] = self._prices[names[0]]
            # Otherwise the dated or prefixed variants disagree: choosing one would be a guess.

    def __getitem__(self, name: str) -> ModelPrice:
        return self._prices[name]

    def __iter__(self) -> Iterator[str]:
        return iter(self._prices)

    def __len__(self) -> int:
        return len(self._prices)

    def __repr__(self) -> str:
        return f"PriceTable({len(self)} models from {self.source or 'memory'})"

    def lookup(self, model: str | None) -> ModelPrice | None:
        """The price of a model: by exact name, then by normal form; None when the table has none."""
        if model is None:
            return None
        try:
            return self._memo[model]
        except KeyError:
            pass
        price = self._prices.get(model)
        if price is None:
            price = self._by_normal.get(normalise_model(model))
        self._memo[model] = price
        return price

    def match(self, model: str) -> str | None:
        """The table's own name for a model, following the same rules as :meth:`lookup`."""
        if model in self._prices:
            return model
        normal = normalise_model(model)
        if normal not in self._by_normal:
            return None
        if normal in self._prices:
            return normal
        return next(name for name in self._prices if normalise_model(name) == normal)


# ---------------------------------------------------------------------------------------------
# Reading tables

_RATE_KEYS: Final = tuple(f.name for f in fields(Rates))


def _rate(value: object, where: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) or value < 0:
        raise PricingError(f"{where}: a rate must be a non-negative number, not {value!r}")
    return float(value)


def _toml_rates(table: Mapping[str, Any], where: str) -> Rates:
    unknown = sorted(set(table) - set(_RATE_KEYS))
    if unknown:
        raise PricingError(f"{where}: unknown key {unknown[0]!r}")
    missing = [k for k in ("input", "output") if k not in table]
    if missing:
        raise PricingError(f"{where}: missing {missing[0]!r}")
    return Rates(**{k: _rate(table[k], f"{where}.{k}") for k in _RATE_KEYS if k in table})


def _from_toml(text: str, origin: str) -> dict[str, ModelPrice]:
    import tomllib

    try:
        doc = tomllib.loads(text)
    except tomllib.TOMLDecodeError as e:
        raise PricingError(f"{origin}: not valid TOML: {e}") from None
    unknown = sorted(set(doc) - {"models"})
    if unknown:
        raise PricingError(f"{origin}: unknown key {unknown[0]!r}")
    models = doc.get("models", {})
    if not isinstance(models, dict):
        raise PricingError(f"{origin}: 'models' must be a table")
    out: dict[str, ModelPrice] = {}
    for name, entry in models.items():
        where = f"{origin}: models.{name}"
        if not isinstance(entry, dict):
            raise PricingError(f"{where}: must be a table")
        tier_doc = entry.get("tier")
        base = _toml_rates({k: v for k, v in entry.items() if k != "tier"}, where)
        if tier_doc is None:
            out[name] = ModelPrice(base)
            continue
        if not isinstance(tier_doc, dict):
            raise PricingError(f"{where}.tier: must be a table")
        above = tier_doc.get("above")
        if isinstance(above, bool) or not isinstance(above, int) or above < 0:
            raise PricingError(f"{where}.tier.above: must be a non-negative whole number of tokens")
        tier = _toml_rates({k: v for k, v in tier_doc.items() if k != "above"}, f"{where}.tier")
        out[name] = ModelPrice(base, tier, above)
    return out


_JSON_FIELDS: Final = {
    "input": "input_cost_per_token",
    "output": "output_cost_per_token",
    "cache_write_5m": "cache_creation_input_token_cost",
    "cache_write_1h": "cache_creation_input_token_cost_above_1hr",
    "cache_read": "cache_read_input_token_cost",
}


def _json_rates(entry: Mapping[str, Any], suffix: str) -> Rates | None:
    values: dict[str, float] = {}
    for name, key in _JSON_FIELDS.items():
        v = entry.get(key + suffix)
        if isinstance(v, bool) or not isinstance(v, (int, float)) or not math.isfinite(v) or v < 0:
            continue
        # Per token to per million; rounding undoes the binary noise of e.g. 3e-06 * 1e6.
        values[name] = round(v * PER_MILLION, 9)
    return Rates(**values) if values else None


def _from_json(text: str, origin: str) -> dict[str, ModelPrice]:
    import json

    try:
        doc = json.loads(text)
    except ValueError as e:
        raise PricingError(f"{origin}: not valid JSON: {e}") from None
    if not isinstance(doc, dict):
        raise PricingError(f"{origin}: a JSON price file is an object keyed by model name")
    out: dict[str, ModelPrice] = {}
    for name, entry in doc.items():
        if not isinstance(entry, dict):
            continue
        base = _json_rates(entry, "")
        if base is None:
            continue
        tier = _json_rates(entry, "_above_200k_tokens")
        out[name] = ModelPrice(base, tier, JSON_TIER_THRESHOLD if tier else None)
    return out


def parse_prices(text: str, origin: str = "<text>") -> PriceTable:
    """A table from the text of a TOML or JSON price file; raises PricingError naming ``origin``."""
    parse = _from_json if text.lstrip().startswith("{") else _from_toml
    return PriceTable(parse(text, origin), origin)


def read_prices(path: str | os.PathLike[str]) -> PriceTable:
    """A table from a TOML or JSON price file; raises PricingError when it cannot be read or parsed."""
    p = Path(path).expanduser()
    try:
        text = p.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as e:
        reason = e.strerror if isinstance(e, OSError) and e.strerror else str(e)
        raise PricingError(f"cannot read price file {p}: {reason}") from None
    return parse_prices(text, str(p))


def bundled_prices() -> PriceTable:
    """The example table shipped with the package (the models of the bundled sample logs)."""
    # Beside this file rather than through importlib.resources, whose import costs more than the read.
    text = Path(__file__).with_name("prices.toml").read_text(encoding="utf-8")
    return parse_prices(text, "bundled example prices")


def cache_dir() -> Path:
    """The user cache folder of kestro-sdk: ``$KESTRO_CACHE_DIR`` if set, else the platform's."""
    override = os.environ.get("KESTRO_CACHE_DIR")
    if override:
        return Path(override).expanduser()
    import platformdirs

    return Path(platformdirs.user_cache_dir("kestro-sdk", appauthor=False))


def cache_path() -> Path:
    """Where :func:`fetch` keeps the fetched price file."""
    return cache_dir() / "prices"


def load_prices(source: str | os.PathLike[str] | PriceTable | None = None) -> PriceTable:
    """The price table from the first source that is given: argument, $KESTRO_PRICES, cache, bundled.

    A file named by the argument or by $KESTRO_PRICES must be readable; an unreadable
    cache file gives a warning and the bundled table.
    """
    if isinstance(source, PriceTable):
        return source
    if source is not None:
        return read_prices(source)
    env = os.environ.get("KESTRO_PRICES")
    if env:
        return read_prices(env)
    cached = cache_path()
    if cached.exists():
        try:
            return read_prices(cached)
        except PricingError as e:
            import warnings

            warnings.warn(f"{e}; using the bundled example prices", RuntimeWarning, stacklevel=2)
    return bundled_prices()


def fetch(url: str | None = None, *, timeout: float = 30.0) -> PriceTable:
    """Downloads a price file into the user cache and returns its table.

    The URL is the argument, else ``$KESTRO_PRICES_URL``. The body must parse as a
    price table with at least one model before it replaces the cached file, which is
    written atomically; on any failure the old file stays and PricingError says why.
    """
    url = url or os.environ.get("KESTRO_PRICES_URL")
    if not url:
        raise PricingError("no price URL: give one or set $KESTRO_PRICES_URL")
    body = _download(url, timeout)
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError:
        raise PricingError(f"cannot use prices from {url}: the body is not UTF-8 text") from None
    try:
        table = parse_prices(text, url)
    except PricingError as e:
        raise PricingError(f"cannot use prices from {e}") from None
    if not table:
        raise PricingError(f"cannot use prices from {url}: it prices no model")
    target = cache_path()
    _write_atomically(target, body)
    table.source = str(target)
    return table


def _download(url: str, timeout: float) -> bytes:
    import urllib.error
    import urllib.parse
    import urllib.request

    parts = urllib.parse.urlsplit(url)
    if parts.scheme not in ("http", "https", "file"):
        raise PricingError(f"cannot fetch prices from {url}: only http, https and file URLs are supported")
    handlers: list[urllib.request.BaseHandler] = []
    if _is_loopback(parts.hostname):
        # A proxy cannot reach this machine's own loopback interface.
        handlers.append(urllib.request.ProxyHandler({}))
    opener = urllib.request.build_opener(*handlers)
    request = urllib.request.Request(url, headers={"User-Agent": "kestro-sdk"})
    try:
        with opener.open(request, timeout=timeout) as response:
            body: bytes = response.read(MAX_FETCH_BYTES + 1)
    except urllib.error.HTTPError as e:
        raise PricingError(f"cannot fetch prices from {url}: HTTP {e.code} {e.reason}") from None
    except urllib.error.URLError as e:
        raise PricingError(f"cannot fetch prices from {url}: {e.reason}") from None
    except (OSError, ValueError) as e:
        raise PricingError(f"cannot fetch prices from {url}: {e}") from None
    if len(body) > MAX_FETCH_BYTES:
        raise PricingError(f"cannot fetch prices from {url}: larger than {MAX_FETCH_BYTES // 2**20} MiB")
    return body


def _is_loopback(host: str | None) -> bool:
    if host is None:
        return False
    if host == "localhost":
        return True
    import ipaddress

    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _write_atomically(target: Path, data: bytes) -> None:
    import tempfile

    try:
        target.parent.mkdir(parents=True, exist_ok=True)
        fd, tmp = tempfile.mkstemp(dir=target.parent, prefix=".prices-", suffix=".tmp")
        try:
            with os.fdopen(fd, "wb") as f:
                f.write(data)
                f.flush()
                os.fsync(f.fileno())
            os.replace(tmp, target)
        except BaseException:
            os.unlink(tmp)
            raise
    except OSError as e:
        raise PricingError(f"cannot write the price cache {target}: {e.strerror or e}") from None


# ---------------------------------------------------------------------------------------------
# Costs


def compute_cost(row: UsageRow, price: ModelPrice) -> float | None:
    """The cost of a reply from its token counts; None when a rate it needs is unknown."""
    inp, out, read = row.input_tokens, row.output_tokens, row.cache_read_tokens
    w5, w1 = row.cache_creation_5m_tokens, row.cache_creation_1h_tokens
    # Writes the split does not account for (all of them when there is no split) are 5-minute writes.
    w5 += max(row.cache_creation_tokens - w5 - w1, 0)
    rates = price.rates_for(inp + w5 + w1 + read)
    total = 0.0
    for tokens, rate in (
        (inp, rates.input),
        (out, rates.output),
        (w5, rates.cache_write_5m),
        (w1, rates.cache_write_1h),
        (read, rates.cache_read),
    ):
        if tokens:
            if rate is None:
                return None
            total += tokens * rate
    return total / PER_MILLION


def _is_empty(row: UsageRow) -> bool:
    return not (
        row.input_tokens
        or row.output_tokens
        or row.cache_creation_tokens
        or row.cache_creation_5m_tokens
        or row.cache_creation_1h_tokens
        or row.cache_read_tokens
    )


def _check_mode(mode: str) -> None:
    if mode not in MODES:
        raise ValueError(f"mode must be one of {', '.join(MODES)}, not {mode!r}")


def _cost(row: UsageRow, prices: PriceTable, mode: str) -> float | None:
    logged = row.logged_cost_usd
    if logged is not None and mode != "calculate":
        return logged
    if _is_empty(row):
        return 0.0
    if mode == "display":
        return None
    price = prices.lookup(row.model)
    return None if price is None else compute_cost(row, price)


def reply_cost(row: UsageRow, prices: PriceTable, mode: Mode = "auto") -> float | None:
    """The cost of one reply in US dollars by ``mode``; None when it has none (see the module's notes)."""
    _check_mode(mode)
    return _cost(row, prices, mode)


@dataclass(slots=True)
class Costs:
    """Per-reply costs in the order of the rows, and the models of the replies left unpriced."""

    costs: list[float | None] = field(default_factory=list)
    # Model (None for a reply that names none) -> how many of its replies have no cost.
    unpriced: dict[str | None, int] = field(default_factory=dict)

    @property
    def unpriced_models(self) -> list[str | None]:
        return list(self.unpriced)

    @property
    def total(self) -> float:
        """The sum over the priced replies."""
        return math.fsum(c for c in self.costs if c is not None)


def _dense(rates: Rates | None) -> tuple[float, float, float, float, float] | None:
    if rates is None:
        return None
    r = (rates.input, rates.output, rates.cache_write_5m, rates.cache_write_1h, rates.cache_read)
    return None if None in r else r  # type: ignore[return-value]


Dense = tuple[float, float, float, float, float]


def plan(prices: PriceTable, model: str | None) -> tuple[Dense | None, Dense | None, int | None] | None:
    """A model's base and tier rates as plain tuples (None when some rate is unknown) and its tier threshold.

    None when the model has no price.
    """
    price = prices.lookup(model)
    if price is None:
        return None
    return _dense(price.base), _dense(price.tier), None if price.tier is None else price.tier_above


check_mode = _check_mode


def costs(rows: Iterable[UsageRow], prices: PriceTable, mode: Mode = "auto") -> Costs:
    """The cost of every row by ``mode``, and which models were left unpriced, in first-seen order.

    The same costs as :func:`reply_cost` row by row, with the per-row work cut down for
    tables of millions of replies.
    """
    _check_mode(mode)
    result = Costs()
    append, unpriced = result.costs.append, result.unpriced
    take_logged, compute = mode != "calculate", mode != "display"
    # Model -> its price with the rates as plain tuples (None when some rate is unknown).
    plans: dict[str | None, tuple[ModelPrice, Any, Any, int | None] | None] = {}
    for row in rows:
        if take_logged:
            logged = row.logged_cost_usd
            if logged is not None:
                append(logged)
                continue
        inp, out, read = row.input_tokens, row.output_tokens, row.cache_read_tokens
        created, w5, w1 = row.cache_creation_tokens, row.cache_creation_5m_tokens, row.cache_creation_1h_tokens
        if not (inp or out or created or w5 or w1 or read):
            append(0.0)
            continue
        cost = None
        if compute:
            model = row.model
            try:
                plan = plans[model]
            except KeyError:
                price = prices.lookup(model)
                above = None if price is None or price.tier is None else price.tier_above
                plan = plans[model] = None if price is None else (price, _dense(price.base), _dense(price.tier), above)
            if plan is not None:
                price, base, tier, above = plan
                rest = created - w5 - w1
                if rest > 0:
                    w5 += rest
                r = tier if above is not None and inp + w5 + w1 + read > above else base
                if r is None:
                    cost = compute_cost(row, price)  # some rate is unknown: only the careful path knows if it matters
                else:
                    cost = (inp * r[0] + out * r[1] + w5 * r[2] + w1 * r[3] + read * r[4]) / PER_MILLION
        append(cost)
        if cost is None:
            unpriced[row.model] = unpriced.get(row.model, 0) + 1
    return result
