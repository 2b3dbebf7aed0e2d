"""Redaction: home folders become ``~`` and strings that look like secrets become a marker.

Logs hold whatever passed through a terminal: keys pasted into prompts, tokens in command
output, passwords in connection URLs. Before a session is shared, :class:`Redactor` rewrites
every piece of text that an export writes. The patterns lean towards redacting too much: a
false alarm costs a reader one word, a miss leaks a credential.
"""

from __future__ import annotations

import os
import re
from collections.abc import Iterable
from typing import Any, Final

MARKER: Final = "[REDACTED]"

_NAME: Final = (
    r"[A-Za-z0-9_\-]*(?:api[_\-]?key|secret|token|password|passwd|access[_\-]?key|credential|private[_\-]?key)"
    r"[A-Za-z0-9_\-]*"
)
_ENV_NAME: Final = r"[A-Z0-9_]*(?:API_?KEY|SECRET|TOKEN|PASSWORD|PASSWD|ACCESS_?KEY|CREDENTIALS?)[A-Z0-9_]*"

# Each pattern's secret is its group "s" (or the whole match when it has none); what is
# around it, such as a URL's user name or a variable's name, is kept so the text still reads.
_PATTERNS: Final[tuple[tuple[str, str], ...]] = (
    # A PEM private key, whole, or from its first line to the end when it was cut short.
    ("private key", r"(?P<s>-----BEGIN[A-Z0-9 ]*PRIVATE KEY-----(?:.*?-----END[A-Z0-9 ]*PRIVATE KEY-----|.*\Z))"),
    # user:password@ in any scheme's URL.
    ("password in URL", r"\b[a-zA-Z][a-zA-Z0-9+.\-]*://[^\s:/@]*:(?P<s>[^\s@/]+)@"),
    # Keys whose prefix says what they are.
    ("api key", r"(?P<s>\bsk-[A-Za-z0-9][A-Za-z0-9_\-]{19,})"),
    ("access key id", r"(?P<s>\b(?:AKIA|ASIA)[0-9A-Z]{16}\b)"),
    (
        "code host token",
        r"(?P<s>\b(?:gh[pousr]_[A-Za-z0-9]{30,}|github_pat_[A-Za-z0-9_]{30,}|glpat-[A-Za-z0-9_\-]{20,}))",
    ),
    ("chat token", r"(?P<s>\bxox[abprs]-[A-Za-z0-9\-]{10,})"),
    ("cloud api key", r"(?P<s>\bAIza[0-9A-Za-z_\-]{35})"),
    ("payment key", r"(?P<s>\b[rs]k_(?:live|test)_[0-9A-Za-z]{16,})"),
    ("json web token", r"(?P<s>\beyJ[A-Za-z0-9_\-]{8,}\.eyJ[A-Za-z0-9_\-]{8,}\.[A-Za-z0-9_\-]{8,})"),
    # Authorization headers.
    ("bearer token", r"\b(?:[Bb]earer|[Tt]oken|[Bb]asic)\s+(?P<s>[A-Za-z0-9_\-.=+/]{16,})"),
    # Assignments whose name says secret: quoted values, environment-style NAME=value, and
    # unquoted values with letters and digits (so that `token = self.token` stays readable).
    ("quoted assignment", rf"(?i:\b{_NAME})[\"']?\s*[:=]\s*[\"'](?P<s>[^\"'\s]{{4,}})[\"']"),
    ("environment assignment", rf"\b{_ENV_NAME}=(?P<s>[^\s\"']{{4,}})"),
    (
        "assignment",
        rf"(?i:\b{_NAME})\s*[:=]\s*(?P<s>(?=[^\s\"',;]*\d)(?=[^\s\"',;]*[A-Za-z])[^\s\"',;{{}}]{{8,}})",
    ),
)


def home_folders(cwds: Iterable[str | None] = ()) -> list[str]:
    """The folders to write as ``~``: this user's home and the homes the logged working folders lie in."""
    found: list[str] = []
    home = os.path.expanduser("~")
    if home not in ("", "/", "~"):
        found.append(home.rstrip("/"))
    pattern = re.compile(r"^(/home/[^/]+|/Users/[^/]+|/root|[A-Za-z]:\\Users\\[^\\]+)")
    for cwd in cwds:
        if cwd:
            m = pattern.match(cwd)
            if m and m.group(1) not in found:
                found.append(m.group(1))
    # Longest first, so that /home/ann-lee is not written as ~-lee by /home/ann.
    return sorted(found, key=len, reverse=True)


class Redactor:
    """Rewrites text: homes become ``~``, secrets become :data:`MARKER`.

    Calling it on a string returns the string redacted; :meth:`json` does the same for
    every string inside a JSON value (keys included), without recursion.
    """

    def __init__(self, homes: Iterable[str] = (), marker: str = MARKER) -> None:
        self.marker = marker
        homes = [h for h in homes if h]
        self.homes = homes
        self._home = (
            re.compile("(?:" + "|".join(re.escape(h) for h in homes) + r")(?=[/\\\s\"'`:;,)\]}]|$)", re.M)
            if homes
            else None
        )
        self._secret = re.compile("|".join(f"(?:{p})".replace("(?P<s>", f"(?P<s{i}>") for i, (_, p) in
                                           enumerate(_PATTERNS)), re.S)  # fmt: skip
        self._groups = [f"s{i}" for i in range(len(_PATTERNS))]

    def _replace(self, m: re.Match[str]) -> str:
        for name in self._groups:
            start = m.start(name)
            if start >= 0:
                whole = m.group(0)
                return whole[: start - m.start()] + self.marker + whole[m.end(name) - m.start() :]
        return self.marker

    def __call__(self, text: str) -> str:
        if self._home is not None:
            text = self._home.sub("~", text)
        return self._secret.sub(self._replace, text)

    def project(self, name: str) -> str:
        """A project folder's name (its path with the separators as dashes) with the home as ``~``."""
        for home in self.homes:
            encoded = home.replace("/", "-").replace("\\", "-").replace(":", "-")
            if name == encoded or name.startswith(encoded + "-"):
                return "~" + name[len(encoded) :]
        return self(name)

    def json(self, value: Any) -> Any:
        """A copy of a JSON value with every string redacted."""
        if isinstance(value, str):
            return self(value)
        if not isinstance(value, dict | list):
            return value
        top: Any = {} if isinstance(value, dict) else []
        stack: list[tuple[Any, Any]] = [(value, top)]
        while stack:
            source, target = stack.pop()
            pairs = source.items() if isinstance(source, dict) else enumerate(source)
            for key, item in pairs:
                if isinstance(item, dict | list):
                    copy: Any = {} if isinstance(item, dict) else []
                    stack.append((item, copy))
                    item = copy
                elif isinstance(item, str):
                    item = self(item)
                if isinstance(target, dict):
                    target[self(key) if isinstance(key, str) else key] = item
                else:
                    target.append(item)
        return top


def pattern_names() -> list[str]:
    """The kinds of secret the patterns look for, in the order they are tried."""
    return [name for name, _ in _PATTERNS]
