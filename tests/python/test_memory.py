"""Running out of memory: every call ends in its result or MemoryError, never a signal, an exit or
a parse error of valid data, and the interpreter goes on working afterwards.

Each sweep runs in a child interpreter that, once kestro_sdk is imported, lowers its own
address-space limit (RLIMIT_AS) to a series of margins above what it already uses and makes the
call under each. The sweeps are skipped under AddressSanitizer: its shadow memory reserves
terabytes of address space, so the limit means nothing there.
"""

from __future__ import annotations

import json
import os
from pathlib import Path

import pytest

from conftest import chain, dumps, record, rich_lines, run_isolated, write_log

pytestmark = pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""), reason="address-space limits mean nothing under AddressSanitizer"
)

# The child: the call under each margin (MiB above the address space in use), then once more
# with no limit, which must give the result it gives in a process that never ran short.
SWEEP = """
import json, resource, sys, kestro_sdk

def address_space():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) << 10 for line in f if line.startswith("VmSize:"))

def call():
    return CALL

outcomes = []
limited = True
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
for margin in MARGINS:
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + (margin << 20), hard))
    try:
        outcome = call()
    except MemoryError:
        outcome = "MemoryError"
    except BaseException as e:
        outcome = f"{type(e).__name__}: {e}"
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    outcomes.append(outcome)
limited = False
print(json.dumps({"outcomes": outcomes, "after": call()}))
"""


def sweep(call: str, margins: list[int]) -> tuple[list[object], object, str]:
    out = run_isolated(SWEEP.replace("CALL", call).replace("MARGINS", repr(margins)))
    assert out.returncode == 0, f"exit {out.returncode}: {out.stderr[-2000:]}"
    result = json.loads(out.stdout)
    return result["outcomes"], result["after"], out.stderr


def big_number_line(size: int) -> str:
    """One valid record whose text is `size` bytes and which holds 2**64, beyond the fast reader's
    integers, so the whole line goes the precise way."""
    return dumps(record(content="x" * size, counter=2**64))


def project(d: Path) -> Path:
    for i in range(12):
        write_log(d / "-p" / f"s{i}.jsonl", rich_lines(1500))
    return d / "-p"


def many_projects(d: Path) -> Path:
    for p in range(20):
        for s in range(50):
            write_log(d / f"-p{p}" / f"{s}.jsonl", chain(1))
    return d


def many_bad_logs(d: Path) -> Path:
    for p in range(20):
        for s in range(50):
            (d / f"-p{p}" / f"{s}").mkdir(parents=True)
            (d / f"-p{p}" / f"{s}.jsonl").write_text("not json\n")
    return d


SWEEPS = {
    "load_precise_path_30_mb_line": (lambda d: write_log(d / "s.jsonl", [record(), big_number_line(30 << 20)]),
                                     "len(kestro_sdk.load(PATH))", 2, range(0, 1000, 50)),
    "load_fast_path_many_lines": (lambda d: write_log(d / "s.jsonl", rich_lines(3000)),
                                  "len(kestro_sdk.load(PATH))", 9000, range(0, 120, 4)),
    "load_project": (project, "len(kestro_sdk.load_project(PATH).sessions)", 12, range(0, 100, 5)),
    "find_sessions": (many_projects, "len(kestro_sdk.find_sessions(PATH))", 1000, range(0, 8)),
    # Every log read, none of its folders skipped: each holds one bad line.
    "scan_usage": (many_bad_logs, "sum(n for _, n, _ in kestro_sdk.scan_usage(PATH).problems)", 1000, range(0, 40, 2)),
}  # fmt: skip


@pytest.mark.parametrize("write,call,expected,margins", SWEEPS.values(), ids=SWEEPS.keys())
def test_under_a_memory_sweep(tmp_path: Path, write, call: str, expected: int, margins: range) -> None:
    outcomes, after, stderr = sweep(call.replace("PATH", repr(str(write(tmp_path)))), list(margins))
    assert after == expected
    assert set(outcomes) <= {expected, "MemoryError"}, outcomes
    assert outcomes[0] == "MemoryError" and outcomes[-1] == expected, outcomes
    # Out of memory is no fault of a file: nothing is reported as unparsable and dropped.
    assert "Failed to parse session" not in stderr


def test_load_of_an_endless_device_ends_in_memory_error() -> None:
    outcomes, after, _ = sweep("kestro_sdk.load('/dev/zero') if limited else 'usable'", [200])
    assert (outcomes, after) == (["MemoryError"], "usable")
