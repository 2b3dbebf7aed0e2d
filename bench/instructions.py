"""Instruction-count regression guard for load(), immune to a noisy machine.

    python3 bench/instructions.py [--workdir DIR] [--update-budget] [--json]

Counts the instructions that load() executes on a fixed 5 MB session, made by
the test helpers' generator (tests/python/generated.py) so that the guard runs
on a clone of the repository alone, under callgrind: one child interpreter imports kestro_sdk and loads the file,
a second one only imports; the difference, divided by the file size, is the
figure kept in instructions_budget.json. Exit status 1 when it exceeds the
budget by more than the tolerance there (10 %).

Why the subtraction and not --toggle-collect: a toggle needs the name of an
internal function of the binding, which changes with its code and may be
inlined away; the two runs share every instruction of interpreter start-up,
import and shutdown, and differ only by the call.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "python"))
import generated  # noqa: E402

BUDGET_FILE = HERE / "instructions_budget.json"
INPUT_NAME = "guard-5mb-seed3.jsonl"
INPUT_SIZE_BYTES = 5_000_000
INPUT_SEED = 3

# One script for both runs so they execute the same bytecode up to the call;
# an empty path means import only. The result is dropped at once, so freeing
# the session is counted with the load: a user pays for both.
CHILD = "import sys, kestro_sdk\nif sys.argv[1]:\n    kestro_sdk.load(sys.argv[1])\n"


class GuardError(RuntimeError):
    pass


def callgrind_total(text: str) -> int:
    """The instruction total of a callgrind output file (its 'totals:' or 'summary:' line).

    With several events the first column is Ir, the event callgrind counts by default.
    """
    total = None
    for line in text.splitlines():
        if line.startswith("totals:"):
            return int(line.split()[1])
        if line.startswith("summary:"):
            total = int(line.split()[1])
    if total is None:
        raise GuardError("callgrind output has no totals or summary line")
    return total


def child_env() -> dict:
    env = dict(os.environ)
    # Hash randomisation changes dict layouts and with them the instruction count.
    env["PYTHONHASHSEED"] = "0"
    env.pop("PYTHONMALLOC", None)
    return env


def count_instructions(path: str, workdir: Path, python: str = sys.executable) -> int:
    """Instructions of one child interpreter running CHILD with path ('' = import only)."""
    out = workdir / f"callgrind.{'load' if path else 'import'}.out"
    cmd = [
        "valgrind",
        "--tool=callgrind",
        f"--callgrind-out-file={out}",
        "--dump-instr=no",
        "--compress-strings=no",
        python,
        "-c",
        CHILD,
        path,
    ]
    r = subprocess.run(cmd, capture_output=True, text=True, env=child_env())
    if r.returncode != 0:
        raise GuardError(f"valgrind exit {r.returncode}: {r.stderr.strip()[-2000:]}")
    return callgrind_total(out.read_text())


def sha256_of(path: Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def guard_input(workdir: Path) -> Path:
    return generated.write_session(workdir / INPUT_NAME, INPUT_SIZE_BYTES, INPUT_SEED)


def measure(workdir: Path) -> dict:
    if shutil.which("valgrind") is None:
        raise GuardError("valgrind is not installed")
    path = guard_input(workdir)
    # A first plain import compiles and caches the package's bytecode, so that
    # neither counted run pays for compiling it.
    subprocess.run([sys.executable, "-c", CHILD, ""], check=True, env=child_env())
    with_load = count_instructions(str(path), workdir)
    import_only = count_instructions("", workdir)
    size = path.stat().st_size
    return {
        "input_bytes": size,
        "input_sha256": sha256_of(path),
        "instructions_load_and_import": with_load,
        "instructions_import_only": import_only,
        "instructions": with_load - import_only,
        "instructions_per_byte": round((with_load - import_only) / size, 2),
    }


def load_budget(path: Path = BUDGET_FILE) -> dict:
    with open(path) as f:
        return json.load(f)


def verdict(measured_per_byte: float, budget_per_byte: float, tolerance: float) -> tuple:
    """(passed, message). Passes up to budget * (1 + tolerance) inclusive."""
    limit = budget_per_byte * (1 + tolerance)
    change = measured_per_byte / budget_per_byte - 1
    if measured_per_byte > limit:
        return False, (
            f"load() runs {measured_per_byte:.2f} instructions per input byte, "
            f"{change:+.1%} against the budget of {budget_per_byte:.2f} "
            f"(limit {limit:.2f}); profile with callgrind_annotate, or raise the budget "
            f"with bench/instructions.py --update-budget if the cost is intended"
        )
    note = ""
    if change < -tolerance:
        note = "; consider lowering the budget with bench/instructions.py --update-budget"
    return True, (
        f"load() runs {measured_per_byte:.2f} instructions per input byte, "
        f"{change:+.1%} against the budget of {budget_per_byte:.2f}{note}"
    )


def check(workdir: Path, budget: dict) -> tuple:
    """Measures and compares with the budget: (passed, message, measurement)."""
    m = measure(workdir)
    want = budget["input"]
    if (m["input_bytes"], m["input_sha256"]) != (want["bytes"], want["sha256"]):
        raise GuardError(
            f"the generated input differs from the one the budget was measured on "
            f"({m['input_bytes']} bytes, sha256 {m['input_sha256'][:12]}..., expected "
            f"{want['bytes']} bytes, {want['sha256'][:12]}...): the generator changed; "
            f"re-measure with --update-budget"
        )
    ok, msg = verdict(m["instructions_per_byte"], budget["instructions_per_byte"], budget["tolerance"])
    return ok, msg, m


def write_budget(m: dict, tolerance: float, path: Path = BUDGET_FILE) -> dict:
    budget = {
        "instructions_per_byte": m["instructions_per_byte"],
        "tolerance": tolerance,
        "input": {
            "generator": f"tests/python/generated.py write_session(FILE, {INPUT_SIZE_BYTES}, {INPUT_SEED})",
            "bytes": m["input_bytes"],
            "sha256": m["input_sha256"],
        },
        "measured": {
            "instructions": m["instructions"],
            "python": platform.python_version(),
            "machine": platform.machine(),
            "note": "callgrind, load and import minus import only; simdjson runs its AVX2 kernel under valgrind",
        },
    }
    with open(path, "w") as f:
        json.dump(budget, f, indent=2)
        f.write("\n")
    return budget


def main(argv: list) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument(
        "--workdir", type=Path, default=None, help="where the input is generated (default: a fresh temporary folder)"
    )
    ap.add_argument("--update-budget", action="store_true", help=f"write the measured figure to {BUDGET_FILE.name}")
    ap.add_argument("--json", action="store_true")
    a = ap.parse_args(argv)
    with tempfile.TemporaryDirectory(prefix="kestro-guard-") as tmp:
        workdir = a.workdir or Path(tmp)
        workdir.mkdir(parents=True, exist_ok=True)
        if a.update_budget:
            m = measure(workdir)
            old = load_budget() if BUDGET_FILE.exists() else {}
            write_budget(m, old.get("tolerance", 0.10))
            ok, msg = True, f"budget set to {m['instructions_per_byte']:.2f} instructions per byte"
        else:
            ok, msg, m = check(workdir, load_budget())
    if a.json:
        print(json.dumps({"passed": ok, "message": msg, **m}, indent=2))
    else:
        print(msg)
        print(
            f"  load + import {m['instructions_load_and_import']:,}, import only "
            f"{m['instructions_import_only']:,}, difference {m['instructions']:,} "
            f"over {m['input_bytes']:,} bytes"
        )
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
