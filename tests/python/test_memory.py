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


LOADS = {
    "precise_path_30_mb_line": (lambda d: write_log(d / "s.jsonl", [record(), big_number_line(30 << 20)]),
                                "len(kestro_sdk.load(PATH))", 2, list(range(0, 1000, 50))),
    "fast_path_many_lines": (lambda d: write_log(d / "s.jsonl", rich_lines(3000)),
                             "len(kestro_sdk.load(PATH))", 9000, list(range(0, 120, 4))),
}  # fmt: skip


@pytest.mark.parametrize("write,call,expected,margins", LOADS.values(), ids=LOADS.keys())
def test_load_under_a_memory_sweep(tmp_path: Path, write, call: str, expected: int, margins: list[int]) -> None:
    path = write(tmp_path)
    outcomes, after, _ = sweep(call.replace("PATH", repr(str(path))), margins)
    assert after == expected
    assert set(outcomes) <= {expected, "MemoryError"}, outcomes
    assert outcomes[0] == "MemoryError" and outcomes[-1] == expected, outcomes


def test_load_project_under_a_memory_sweep(tmp_path: Path) -> None:
    project = tmp_path / "-p"
    for i in range(12):
        write_log(project / f"s{i}.jsonl", rich_lines(1500))
    call = f"len(kestro_sdk.load_project({str(project)!r}).sessions)"
    outcomes, after, stderr = sweep(call, list(range(0, 100, 5)))
    assert after == 12
    assert set(outcomes) <= {12, "MemoryError"}, outcomes
    assert outcomes[0] == "MemoryError" and outcomes[-1] == 12, outcomes
    # Out of memory is no fault of a file: nothing is reported as unparsable and dropped.
    assert "Failed to parse session" not in stderr


def test_load_of_an_endless_device_ends_in_memory_error() -> None:
    outcomes, after, _ = sweep("kestro_sdk.load('/dev/zero') if limited else 'usable'", [200])
    assert (outcomes, after) == (["MemoryError"], "usable")


def test_discovery_under_a_memory_sweep(tmp_path: Path) -> None:
    for p in range(20):
        for s in range(50):
            write_log(tmp_path / f"-p{p}" / f"{s}.jsonl", chain(1))
    outcomes, after, _ = sweep(f"len(kestro_sdk.find_sessions({str(tmp_path)!r}))", list(range(0, 8)))
    assert after == 1000 and set(outcomes) <= {1000, "MemoryError"}, outcomes
