"""Benchmark inputs: the shared generator's standard files, the floor binary and the long chain.

Everything lands in one work folder and is made only when missing, so a second
run reuses the first run's files. Each file is written under a temporary name
and renamed at the end: an interrupted run never leaves a half-written input
that a later run would mistake for a complete one.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
# The yardsticks are fixed and live beside the repository, not in it.
DEFAULT_SHARED = REPO.parent / "shared" / "bench"

SESSION_100MB = "s100.jsonl"
PROJECT_TREE = "projects"
FLOOR = "floor"

# Sizes the shared generator documents for the standard arguments; a mismatch
# means the generator changed and the figures would not compare with older runs.
SESSION_100MB_BYTES = 100_010_029
PROJECT_TREE_BYTES = 200_749_692


def shared_dir() -> Path:
    return Path(os.environ.get("KESTRO_BENCH_SHARED", DEFAULT_SHARED))


def default_workdir() -> Path:
    return Path(tempfile.gettempdir()) / "kestro-bench"


def generator() -> Path:
    path = shared_dir() / "gen_sessions.py"
    if not path.is_file():
        raise FileNotFoundError(f"{path} not found: set KESTRO_BENCH_SHARED to the folder holding gen_sessions.py")
    return path


def _run(cmd: list, what: str) -> None:
    r = subprocess.run(cmd, capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError(f"{what} failed (exit {r.returncode}): {r.stderr.strip()}")


def generate_session(out: Path, size_mb: float, seed: int) -> Path:
    """Writes gen_sessions.py's session of that size and seed to out unless it exists."""
    if out.exists():
        return out
    tmp = out.with_name(out.name + ".part")
    _run(
        [sys.executable, str(generator()), "session", str(tmp), "--size-mb", str(size_mb), "--seed", str(seed)],
        f"generating {out.name}",
    )
    os.replace(tmp, out)
    return out


def generate_project_tree(base: Path) -> Path:
    """Writes the standard base directory (6 projects, 300 sessions, ~200 MB) unless it exists."""
    if base.exists():
        return base
    tmp = base.with_name(base.name + ".part")
    shutil.rmtree(tmp, ignore_errors=True)
    _run(
        [
            sys.executable,
            str(generator()),
            "project",
            str(tmp),
            "--projects",
            "6",
            "--sessions",
            "300",
            "--size-mb",
            "0.65",
            "--seed",
            "1",
        ],
        "generating the project tree",
    )
    os.replace(tmp, base)
    return base


def build_floor(out: Path) -> Path:
    if out.exists():
        return out
    tmp = out.with_name(out.name + ".part")
    _run(
        ["g++", "-O3", "-march=native", "-std=c++17", str(shared_dir() / "floor.cpp"), "-lsimdjson", "-o", str(tmp)],
        "building the floor",
    )
    os.replace(tmp, out)
    return out


def tree_bytes(base: Path) -> int:
    return sum(p.stat().st_size for p in base.rglob("*.jsonl"))


def uid(n: int) -> str:
    return f"00000000-0000-4000-8000-{n:012x}"


_EPOCH_2025 = 1_735_689_600  # 2025-01-01T00:00:00Z


def _rfc3339(seconds: int) -> str:
    days, rest = divmod(seconds, 86400)
    # Civil date from a day count in integer arithmetic: far cheaper than a
    # datetime per line when a million lines are written.
    z = days + 719468
    era = z // 146097
    doe = z - era * 146097
    yoe = (doe - doe // 1460 + doe // 36524 - doe // 146096) // 365
    doy = doe - (365 * yoe + yoe // 4 - yoe // 100)
    mp = (5 * doy + 2) // 153
    day = doy - (153 * mp + 2) // 5 + 1
    month = mp + 3 if mp < 10 else mp - 9
    year = yoe + era * 400 + (month <= 2)
    h, rest = divmod(rest, 3600)
    m, s = divmod(rest, 60)
    return f"{year:04d}-{month:02d}-{day:02d}T{h:02d}:{m:02d}:{s:02d}.000Z"


def chain_line(i: int) -> str:
    """Record i (0-based) of the long chain: small, alternating user/assistant, parent = record i-1."""
    parent = "null" if i == 0 else f'"{uid(i)}"'
    ts = _rfc3339(_EPOCH_2025 + i)
    if i % 2 == 0:
        kind, body = "user", f'{{"role":"user","content":"q{i}"}}'
    else:
        kind, body = (
            "assistant",
            (
                f'{{"role":"assistant","content":[{{"type":"text","text":"a{i}"}}],'
                f'"usage":{{"input_tokens":3,"output_tokens":2}}}}'
            ),
        )
    return (
        f'{{"parentUuid":{parent},"isSidechain":false,"userType":"external","cwd":"/c",'
        f'"sessionId":"chain","version":"1","type":"{kind}","message":{body},'
        f'"uuid":"{uid(i + 1)}","timestamp":"{ts}"}}\n'
    )


def write_chain(out: Path, messages: int) -> Path:
    """A single reply chain of that many messages; the file for n is a prefix of the one for n+1."""
    if out.exists():
        return out
    tmp = out.with_name(out.name + ".part")
    with open(tmp, "w", encoding="ascii", buffering=1 << 20) as f:
        batch = []
        for i in range(messages):
            batch.append(chain_line(i))
            if len(batch) == 4096:
                f.write("".join(batch))
                batch.clear()
        f.write("".join(batch))
    os.replace(tmp, out)
    return out
