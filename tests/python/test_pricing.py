"""Price tables: both file formats, tiers, name matching, costs by mode, where the table comes from, fetch."""

from __future__ import annotations

import json
import warnings
from dataclasses import dataclass
from pathlib import Path

import pytest

import kestro_sdk
from conftest import Server
from kestro_sdk import pricing
from kestro_sdk.pricing import ModelPrice, PriceTable, PricingError, Rates


@dataclass
class Row:
    model: str | None = "kestro-large-2"
    input_tokens: int = 0
    output_tokens: int = 0
    cache_creation_tokens: int = 0
    cache_creation_5m_tokens: int = 0
    cache_creation_1h_tokens: int = 0
    cache_read_tokens: int = 0
    logged_cost_usd: float | None = None


@pytest.fixture(autouse=True)
def isolated(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """No price variables from the caller; the user cache in a fresh folder, returned."""
    monkeypatch.delenv("KESTRO_PRICES", raising=False)
    monkeypatch.delenv("KESTRO_PRICES_URL", raising=False)
    monkeypatch.setenv("KESTRO_CACHE_DIR", str(tmp_path / "cache"))
    return tmp_path / "cache"


TOML = """
[models."kestro-large-2"]
input = 3
output = 15.0
cache_write_5m = 3.75
cache_write_1h = 6.0
cache_read = 0.3
[models."kestro-large-2".tier]
above = 200000
input = 6.0
output = 22.5
cache_write_5m = 7.5
cache_write_1h = 12.0
cache_read = 0.6

[models."kestro-small-1"]
input = 0.8
output = 4.0
"""

JSON = json.dumps({
    "sample": "a string entry is not a model",
    "kestro-large-2": {
        "input_cost_per_token": 3e-06, "output_cost_per_token": 1.5e-05,
        "cache_creation_input_token_cost": 3.75e-06, "cache_creation_input_token_cost_above_1hr": 6e-06,
        "cache_read_input_token_cost": 3e-07,
        "input_cost_per_token_above_200k_tokens": 6e-06, "output_cost_per_token_above_200k_tokens": 2.25e-05,
        "cache_creation_input_token_cost_above_200k_tokens": 7.5e-06,
        "cache_creation_input_token_cost_above_1hr_above_200k_tokens": 1.2e-05,
        "cache_read_input_token_cost_above_200k_tokens": 6e-07,
        "max_tokens": 8192, "mode": "chat", "provider": "someone",
    },
    "kestro-small-1": {
        "input_cost_per_token": 8e-07, "output_cost_per_token": 4e-06, "cache_read_input_token_cost": None,
    },
    "kestro-embed": {"max_tokens": 512, "input_cost_per_token": "free"},
    "kestro-list": [1, 2],
})  # fmt: skip

LARGE = ModelPrice(Rates(3.0, 15.0, 3.75, 6.0, 0.3), Rates(6.0, 22.5, 7.5, 12.0, 0.6), 200_000)
SMALL = ModelPrice(Rates(input=0.8, output=4.0))


@pytest.mark.parametrize("text", [TOML, JSON], ids=["toml", "json"])
@pytest.mark.parametrize("suffix", [".toml", ".json", ".txt"])
def test_both_formats_give_the_same_table_whatever_the_file_is_called(tmp_path: Path, text: str, suffix: str) -> None:
    path = tmp_path / f"prices{suffix}"
    path.write_text("\n  " + text)
    table = pricing.read_prices(path)
    assert (dict(table), table.source) == ({"kestro-large-2": LARGE, "kestro-small-1": SMALL}, str(path))


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("[models", "not valid TOML"),
        ("{", "not valid JSON"),
        ("[1, 2]", "not valid TOML"),
        ('{"a": 1} ', None),  # an object with no model prices nothing, and that is not an error
        ("[models.a]\ninput = 1\noutput = 2\ncache_wrte_5m = 3", "models.a: unknown key 'cache_wrte_5m'"),
        ("[models.a]\ninput = 1", "models.a: missing 'output'"),
        ("[models.a]\ninput = -1\noutput = 2", "models.a.input: a rate must be a non-negative number"),
        ("[models.a]\ninput = true\noutput = 2", "models.a.input: a rate must be a non-negative number"),
        ("[models.a]\ninput = nan\noutput = 2", "models.a.input: a rate must be a non-negative number"),
        ("[models.a]\ninput = 1\noutput = 2\n[models.a.tier]\ninput = 1\noutput = 2", "tier.above: must be"),
        ("[models.a]\ninput = 1\noutput = 2\n[models.a.tier]\nabove = 1.5\ninput = 1\noutput = 2", "tier.above"),
        ("[models.a]\ninput = 1\noutput = 2\n[models.a.tier]\nabove = 5\ninput = 1", "tier: missing 'output'"),
        ("models = 3", "'models' must be a table"),
        ("[model.a]\ninput = 1", "unknown key 'model'"),
    ],
    ids=["bad-toml", "bad-json", "toml-array", "json-empty", "typo", "missing", "negative", "bool", "nan",
         "tier-no-threshold", "tier-float-threshold", "tier-missing", "models-not-table", "top-typo"],
)  # fmt: skip
def test_malformed_files_are_refused_with_where_and_why(text: str, message: str | None) -> None:
    if message is None:
        assert len(pricing.parse_prices(text)) == 0
        return
    with pytest.raises(PricingError, match="^f: .*" + message.replace("(", r"\(").replace(".", r"\.")):
        pricing.parse_prices(text, "f")


# Costs worked out by hand from the rates above (per million: large 3 / 15 / 3.75 / 6 / 0.30, tier
# above 200,000 prompt tokens 6 / 22.5 / 7.5 / 12 / 0.60; small 0.80 / 4 with no cache rates).
COSTS = [
    ("input-output", Row(input_tokens=1000, output_tokens=500), 0.003 + 0.0075),
    ("cache-read", Row(input_tokens=10, cache_read_tokens=100_000), 0.00003 + 0.03),
    ("unsplit-writes-at-5m", Row(cache_creation_tokens=10_000), 0.0375),
    ("split-writes", Row(cache_creation_tokens=3000, cache_creation_5m_tokens=1000, cache_creation_1h_tokens=2000),
     0.00375 + 0.012),
    ("split-short-rest-at-5m", Row(cache_creation_tokens=3000, cache_creation_1h_tokens=1000), 0.0075 + 0.006),
    ("only-1h", Row(cache_creation_tokens=1000, cache_creation_1h_tokens=1000), 0.006),
    ("at-threshold-base", Row(input_tokens=100_000, cache_read_tokens=100_000, output_tokens=1000),
     0.3 + 0.03 + 0.015),
    ("above-threshold-tier", Row(input_tokens=100_001, cache_read_tokens=100_000, output_tokens=1000),
     0.600006 + 0.06 + 0.0225),
    ("writes-count-in-prompt", Row(input_tokens=1, cache_creation_tokens=200_000), 0.000006 + 1.5),
    ("1h-writes-count-in-prompt", Row(input_tokens=1, cache_creation_tokens=200_000, cache_creation_1h_tokens=200_000),
     0.000006 + 2.4),
    ("small", Row("kestro-small-1", input_tokens=1_000_000, output_tokens=250_000), 0.8 + 1.0),
    ("small-unknown-cache-rate", Row("kestro-small-1", input_tokens=5, cache_read_tokens=1), None),
    ("unknown-model", Row("kestro-huge-9", input_tokens=5), None),
    ("no-model", Row(None, input_tokens=5), None),
    ("all-zero-unknown-model", Row("kestro-huge-9"), 0.0),
    ("all-zero-no-model", Row(None), 0.0),
]  # fmt: skip


@pytest.mark.parametrize(("row", "expected"), [c[1:] for c in COSTS], ids=[c[0] for c in COSTS])
def test_calculated_cost_equals_the_hand_computed_sum(row: Row, expected: float | None) -> None:
    table = pricing.parse_prices(TOML)
    got = pricing.reply_cost(row, table, "calculate")
    assert got == (None if expected is None else pytest.approx(expected, rel=1e-12, abs=1e-15))


@pytest.mark.parametrize(
    ("row", "auto", "calculate", "display"),
    [
        (Row(input_tokens=1000, logged_cost_usd=0.5), 0.5, 0.003, 0.5),
        (Row(input_tokens=1000), 0.003, 0.003, None),
        (Row(input_tokens=1000, logged_cost_usd=0.0), 0.0, 0.003, 0.0),
        (Row("kestro-huge-9", input_tokens=1000, logged_cost_usd=0.25), 0.25, None, 0.25),
        (Row("kestro-huge-9", input_tokens=1000), None, None, None),
        (Row("kestro-huge-9"), 0.0, 0.0, 0.0),
        (Row(), 0.0, 0.0, 0.0),
    ],
    ids=["logged", "not-logged", "logged-zero", "unknown-logged", "unknown", "zero-unknown", "zero"],
)
def test_modes(row: Row, auto: float | None, calculate: float | None, display: float | None) -> None:
    table = pricing.parse_prices(TOML)
    got = [pricing.reply_cost(row, table, mode) for mode in ("auto", "calculate", "display")]
    assert got == [None if v is None else pytest.approx(v) for v in (auto, calculate, display)]


def test_bulk_costs_keep_order_and_count_unpriced_models_in_first_seen_order() -> None:
    rows = [
        Row("kestro-huge-9", input_tokens=1),
        Row(input_tokens=100_000),
        Row(None, output_tokens=1),
        Row("kestro-huge-9", output_tokens=1),
        Row("kestro-huge-9"),
        Row("kestro-small-1", output_tokens=1_000_000, logged_cost_usd=9.0),
    ]
    result = pricing.costs(rows, pricing.parse_prices(TOML))
    assert result.costs == [None, pytest.approx(0.3), None, None, 0.0, 9.0]
    assert result.unpriced == {"kestro-huge-9": 2, None: 1}
    assert result.unpriced_models == ["kestro-huge-9", None]
    assert result.total == pytest.approx(9.3)
    display = pricing.costs(rows, pricing.parse_prices(TOML), "display")
    assert list(display.unpriced.items()) == [("kestro-huge-9", 2), ("kestro-large-2", 1), (None, 1)]


@pytest.mark.parametrize("mode", ["auto", "calculate", "display"])
def test_bulk_costs_equal_reply_costs_exactly(mode: pricing.Mode) -> None:
    partial = "[models.p]\ninput = 1.1\noutput = 2.3\n[models.p.tier]\nabove = 10\ninput = 3.7\noutput = 4.1\n"
    partial += "cache_read = 1\n"  # the tier knows a rate the base does not
    table = PriceTable({**pricing.parse_prices(TOML + partial), "no-threshold": ModelPrice(SMALL.base, LARGE.base)})
    rows = [c[1] for c in COSTS] + [
        Row("p", input_tokens=3, output_tokens=7),
        Row("p", input_tokens=11, output_tokens=7),
        Row("p", input_tokens=11, cache_read_tokens=5),
        Row("p", input_tokens=1, cache_read_tokens=5),
        Row("p", input_tokens=11, cache_creation_tokens=5),
        Row("no-threshold", input_tokens=10**6, output_tokens=333),
        Row("kestro-small-1", input_tokens=123, logged_cost_usd=0.125),
        Row("kestro-huge-9", input_tokens=123, logged_cost_usd=0.5),
    ]
    assert pricing.costs(rows, table, mode).costs == [pricing.reply_cost(r, table, mode) for r in rows]


@pytest.mark.parametrize("call", [pricing.reply_cost, pricing.costs], ids=["reply_cost", "costs"])
def test_unknown_mode_is_refused(call: object) -> None:
    with pytest.raises(ValueError, match="mode must be one of auto, calculate, display, not 'guess'"):
        call([Row()] if call is pricing.costs else Row(), pricing.parse_prices(TOML), "guess")  # type: ignore[operator]


NAMES = {"kestro-large-2": LARGE, "acme/kestro-mid-3-20250101": SMALL, "kestro-odd-1@20240101": SMALL}


@pytest.mark.parametrize(
    ("asked", "matched"),
    [
        ("kestro-large-2", "kestro-large-2"),
        ("kestro-large-2-20250514", "kestro-large-2"),
        ("kestro-large-2@20250514", "kestro-large-2"),
        ("vendor/kestro-large-2", "kestro-large-2"),
        ("region/vendor/kestro-large-2-20250514", "kestro-large-2"),
        ("kestro-mid-3", "acme/kestro-mid-3-20250101"),
        ("other/kestro-mid-3@20991231", "acme/kestro-mid-3-20250101"),
        ("kestro-odd-1", "kestro-odd-1@20240101"),
        ("kestro-large-2-2025051", None),  # seven digits are not a date
        ("kestro-large-2-20250514-beta", None),  # the date must end the name
        ("kestro-large", None),
        ("KESTRO-LARGE-2", None),
        ("", None),
    ],
)
def test_names_match_exactly_then_by_normal_form(asked: str, matched: str | None) -> None:
    table = PriceTable(NAMES)
    assert table.match(asked) == matched
    assert table.lookup(asked) == (None if matched is None else NAMES[matched])


@pytest.mark.parametrize(
    ("names", "asked", "expected"),
    [
        ({"m": LARGE, "m-20250101": SMALL}, "m-20990101", LARGE),  # the undated name wins
        ({"m-20240101": SMALL, "m-20250101": SMALL}, "m", SMALL),  # variants that agree
        ({"m-20240101": SMALL, "m-20250101": LARGE}, "m", None),  # variants that disagree: no guess
        ({"m-20240101": SMALL, "m-20250101": LARGE}, "m-20250101", LARGE),  # exact still matches
        ({"a/m": SMALL, "b/m": LARGE}, "m", None),
    ],
    ids=["normal-form-wins", "agree", "disagree", "exact-beats-ambiguity", "two-providers"],
)
def test_names_sharing_a_normal_form(names: dict[str, ModelPrice], asked: str, expected: ModelPrice | None) -> None:
    assert PriceTable(names).lookup(asked) == expected


def test_bundled_table_prices_every_model_of_the_sample_logs() -> None:
    table = pricing.bundled_prices()
    samples = Path(__file__).parents[2] / "examples" / "projects"
    models = {
        m.model for f in samples.glob("*/*.jsonl") for m in kestro_sdk.load(str(f)).messages if m.model is not None
    }
    assert models and all(table.lookup(m) for m in models)


# ---------------------------------------------------------------------------------------------
# Where the table comes from


def write(path: Path, price: float) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(f"[models.m]\ninput = {price}\noutput = 1\n")
    return path


@pytest.mark.parametrize(
    ("argument", "env", "cache", "expected"),
    [
        (True, True, True, 1.0),
        (False, True, True, 2.0),
        (False, False, True, 3.0),
        (False, False, False, None),
    ],
    ids=["argument", "env", "cache", "bundled"],
)
def test_sources_in_order(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, isolated: Path,
                          argument: bool, env: bool, cache: bool, expected: float | None) -> None:  # fmt: skip
    arg = write(tmp_path / "arg.toml", 1.0)
    if env:
        monkeypatch.setenv("KESTRO_PRICES", str(write(tmp_path / "env.toml", 2.0)))
    if cache:
        write(pricing.cache_path(), 3.0)
    table = pricing.load_prices(arg if argument else None)
    if expected is None:
        assert table.source == "bundled example prices" and "m" not in table
    else:
        assert table["m"].base.input == expected


@pytest.mark.parametrize("how", ["read", "argument", "environment"])
def test_a_named_file_that_cannot_be_read_is_one_clear_error_not_a_fallback(
        tmp_path: Path, monkeypatch: pytest.MonkeyPatch, how: str) -> None:  # fmt: skip
    write(pricing.cache_path(), 3.0)
    missing = tmp_path / "nope.toml"
    monkeypatch.setenv("KESTRO_PRICES", str(missing))
    call = {"read": lambda: pricing.read_prices(missing), "argument": lambda: pricing.load_prices(missing)}
    with pytest.raises(PricingError, match=r"^cannot read price file .*nope\.toml: No such file"):
        call.get(how, pricing.load_prices)()


def test_a_broken_cache_warns_and_falls_back_to_the_bundled_table() -> None:
    path = pricing.cache_path()
    path.parent.mkdir(parents=True)
    path.write_text("{broken")
    with pytest.warns(RuntimeWarning, match="prices: not valid JSON: .*; using the bundled example prices$"):
        table = pricing.load_prices()
    assert "kestro-large-2" in table


def test_a_table_passes_through() -> None:
    table = PriceTable({"m": SMALL}, "mine")
    assert pricing.load_prices(table) is table


# ---------------------------------------------------------------------------------------------
# Fetching into the cache, against a server on the loopback interface


@pytest.mark.parametrize(("body", "from_env"), [(JSON, False), (TOML, True)], ids=["argument-json", "environment-toml"])
def test_fetch_fills_the_cache_that_load_then_uses(server: Server, isolated: Path, monkeypatch: pytest.MonkeyPatch,
                                                   body: str, from_env: bool) -> None:  # fmt: skip
    server.body = body.encode()
    monkeypatch.setenv("KESTRO_PRICES_URL", server.url if from_env else "http://127.0.0.1:9/unused")
    table = pricing.fetch(None if from_env else server.url)
    assert (dict(table), table.source, server.requests) == (
        {"kestro-large-2": LARGE, "kestro-small-1": SMALL}, str(pricing.cache_path()), 1)  # fmt: skip
    assert pricing.cache_path().read_bytes() == server.body
    assert pricing.load_prices()["kestro-large-2"] == LARGE
    assert [p.name for p in isolated.iterdir()] == ["prices"]


@pytest.mark.parametrize(
    ("url", "status", "body", "message"),
    [
        (None, 200, b"", r"no price URL: give one or set \$KESTRO_PRICES_URL"),
        ("ftp://127.0.0.1/prices", 200, b"", "only http, https and file URLs"),
        ("http://127.0.0.1:9/prices", 200, b"", r"cannot fetch prices from http://127\.0\.0\.1:9/prices: .*refused"),
        ("{server}", 404, b"", r"cannot fetch prices from http://127\.0\.0\.1:\d+/prices: HTTP 404 Not Found"),
        ("{server}", 500, JSON.encode(), r"HTTP 500"),
        ("{server}", 200, b"<html>not prices</html>", r"cannot use prices from http://\S+: not valid TOML"),
        ("{server}", 200, b"{}", r"cannot use prices from http://\S+: it prices no model"),
        ("{server}", 200, b'{"m": {"max_tokens": 1}}', r"it prices no model"),
        ("{server}", 200, b"\xff\xfe", r"the body is not UTF-8 text"),
        ("{server}", 200, b"[models.a]\ninput = 1", r"models\.a: missing 'output'"),
    ],
    ids=["no-url", "scheme", "refused", "404", "500", "html", "empty-object", "no-rates", "not-utf8", "invalid-toml-table"],
)  # fmt: skip
def test_a_failed_fetch_leaves_the_cache_as_it_was(server: Server, isolated: Path, url: str | None,
                                                   status: int, body: bytes, message: str) -> None:  # fmt: skip
    old = write(pricing.cache_path(), 3.0).read_bytes()
    server.status, server.body = status, body
    with pytest.raises(PricingError, match=message) as info:
        pricing.fetch(url and url.format(server=server.url), timeout=5)
    assert "\n" not in str(info.value)
    assert pricing.cache_path().read_bytes() == old
    assert [p.name for p in isolated.iterdir()] == ["prices"]


def test_fetch_from_a_file_url(tmp_path: Path) -> None:
    source = tmp_path / "p.json"
    source.write_text(JSON)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert pricing.fetch(source.as_uri())["kestro-large-2"] == LARGE


def test_the_package_names_the_module_and_its_error() -> None:
    assert kestro_sdk.pricing is pricing and issubclass(PricingError, kestro_sdk.KestroSDKError)
