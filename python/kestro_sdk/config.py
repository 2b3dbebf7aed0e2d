"""Defaults from the config file, days and time zones: what the command and its lean status line share.

The config file is TOML, ``config.toml`` in the user config folder of kestro-sdk
(``$KESTRO_CONFIG`` names another file)::

    timezone = "Europe/Berlin"                 # an IANA name
    base = ["~/.kestro/projects", "/mnt/old"]  # or one string
    prices = "~/prices.toml"
    mode = "calculate"                         # auto, calculate or display
"""

from __future__ import annotations

import datetime as dt
import os
import re
from dataclasses import dataclass
from pathlib import Path
from typing import Final, cast

from . import pricing
from ._core import KestroSDKError

DEFAULT_BASE: Final = "~/.kestro/projects"
CONFIG_KEYS: Final = ("timezone", "base", "prices", "mode")


class ConfigError(KestroSDKError):
    """The config file cannot be read or holds a wrong value."""


_DATE = re.compile(r"(\d{4})-?(\d{2})-?(\d{2})")


def parse_date(text: str) -> dt.date:
    """A day written YYYY-MM-DD or YYYYMMDD; ValueError otherwise."""
    m = _DATE.fullmatch(text.strip())
    if m is None or (len(text.strip()) == 9):  # one dash but not the other
        raise ValueError(text)
    return dt.date(int(m[1]), int(m[2]), int(m[3]))


def zone(name: str) -> dt.tzinfo:
    """The IANA time zone of that name; ValueError when there is none."""
    from zoneinfo import ZoneInfo

    try:
        return ZoneInfo(name)
    except (ValueError, OSError, KeyError):  # an unknown name raises a KeyError
        raise ValueError(name) from None


def _is_zone(name: str) -> bool:
    try:
        zone(name)
    except ValueError:
        return False
    return True


def local_zone() -> tuple[dt.tzinfo, str]:
    """This machine's time zone with its daylight-saving rules where they can be found, and its name."""
    from zoneinfo import ZoneInfo

    name = os.environ.get("TZ", "").lstrip(":")
    if name:
        try:
            return zone(name), name
        except ValueError:
            pass
    try:
        target = os.path.realpath("/etc/localtime")
        if "/zoneinfo/" in target:
            name = target.split("/zoneinfo/", 1)[1]
            return zone(name), name
        with open("/etc/localtime", "rb") as f:
            return ZoneInfo.from_file(f, key="localtime"), "localtime"
    except (OSError, ValueError):
        pass
    # No zone database: a fixed offset is the best the platform tells.
    fixed = dt.datetime.now().astimezone().tzinfo or dt.UTC
    return fixed, str(fixed)


def config_path() -> Path:
    override = os.environ.get("KESTRO_CONFIG")
    if override:
        return Path(override).expanduser()
    import platformdirs

    return Path(platformdirs.user_config_dir("kestro-sdk", appauthor=False)) / "config.toml"


@dataclass(frozen=True, slots=True)
class Config:
    timezone: str | None = None
    base: tuple[str, ...] = ()
    prices: str | None = None
    mode: pricing.Mode | None = None


def load_config(path: Path | None = None) -> Config:
    """The defaults from the config file; none when it does not exist; ConfigError when it is wrong."""
    import tomllib

    path = config_path() if path is None else path
    try:
        doc = tomllib.loads(path.read_text(encoding="utf-8"))
    except FileNotFoundError:
        return Config()
    except (OSError, UnicodeDecodeError, tomllib.TOMLDecodeError) as e:
        raise ConfigError(f"config file {path}: {e}") from None

    def bad(key: str, what: str) -> ConfigError:
        return ConfigError(f"config file {path}: {key!r} must be {what}")

    unknown = sorted(set(doc) - set(CONFIG_KEYS))
    if unknown:
        raise ConfigError(f"config file {path}: unknown key {unknown[0]!r} (known: {', '.join(CONFIG_KEYS)})")
    timezone, base, prices, mode = (doc.get(k) for k in CONFIG_KEYS)
    if timezone is not None and not (isinstance(timezone, str) and _is_zone(timezone)):
        raise bad("timezone", "an IANA time zone name")
    if isinstance(base, str):
        base = [base]
    if base is not None and not (isinstance(base, list) and base and all(isinstance(b, str) for b in base)):
        raise bad("base", "a folder or a list of folders")
    if prices is not None and not isinstance(prices, str):
        raise bad("prices", "a file name")
    if mode is not None and mode not in pricing.MODES:
        raise bad("mode", "one of " + ", ".join(pricing.MODES))
    return Config(timezone, tuple(base or ()), prices, cast("pricing.Mode | None", mode))
