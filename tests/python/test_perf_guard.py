"""Instruction-count guard on load(), and the benchmark helpers it and bench/run.py rely on."""

from __future__ import annotations

import shutil
import sys
from pathlib import Path

import pytest
from conftest import image, record, text, thinking, tool_result, tool_use

import kestro_sdk

BENCH = Path(__file__).resolve().parents[2] / "bench"
sys.path.insert(0, str(BENCH))
import inputs  # noqa: E402
import instructions  # noqa: E402
import probes  # noqa: E402
import run  # noqa: E402


@pytest.mark.skipif(shutil.which("valgrind") is None, reason="valgrind is not installed")
def test_load_instructions_within_budget(tmp_path: Path) -> None:
    ok, message, _ = instructions.check(tmp_path, instructions.load_budget())
    assert ok, message


CALLGRIND_OUTPUTS = {
    "totals_line": ("version: 1\ncreator: callgrind-3.19.0\nevents: Ir\n"
                    "fn=(1) main\n0 12\nsummary: 900\ntotals: 74557327\n", 74557327),
    "summary_only": ("events: Ir\nfn=main\n16 3\nsummary: 145512349\n", 145512349),
    "several_events_takes_ir": ("events: Ir Dr Dw\nfn=main\n0 5 2 1\ntotals: 5000 2000 1000\n", 5000),
}


@pytest.mark.parametrize("text, total", CALLGRIND_OUTPUTS.values(), ids=CALLGRIND_OUTPUTS.keys())
def test_callgrind_total_reads_the_instruction_count(text: str, total: int) -> None:
    assert instructions.callgrind_total(text) == total


def test_callgrind_total_without_totals_fails() -> None:
    with pytest.raises(instructions.GuardError, match="no totals or summary"):
        instructions.callgrind_total("events: Ir\nfn=main\n0 12\n")


VERDICTS = {
    "unchanged": (14.88, 14.88, True),
    "nine_percent_over": (16.2, 14.88, True),
    "exactly_at_the_limit": (11.0, 10.0, True),
    "just_over_the_limit": (11.01, 10.0, False),
    "doubled": (29.76, 14.88, False),
    "much_cheaper_still_passes": (5.0, 14.88, True),
}


@pytest.mark.parametrize("measured, budget, passed", VERDICTS.values(), ids=VERDICTS.keys())
def test_verdict_allows_ten_percent(measured: float, budget: float, passed: bool) -> None:
    ok, message = instructions.verdict(measured, budget, 0.10)
    assert ok is passed
    assert ("raise the budget" in message) is not passed


def test_verdict_suggests_lowering_a_budget_that_is_far_too_high() -> None:
    _, message = instructions.verdict(5.0, 14.88, 0.10)
    assert "-66.4%" in message and "lowering the budget" in message


def test_budget_file_describes_the_guard_input() -> None:
    budget = instructions.load_budget()
    assert budget["tolerance"] == 0.10
    assert budget["input"]["generator"] == "gen_sessions.py session FILE --size-mb 5 --seed 3"
    assert budget["instructions_per_byte"] > 0


TIMESTAMPS = {
    "epoch_of_the_chain": (0, "2025-01-01T00:00:00.000Z"),
    "end_of_first_day": (86399, "2025-01-01T23:59:59.000Z"),
    "march_after_28_day_february": (59 * 86400 + 5, "2025-03-01T00:00:05.000Z"),
    "a_million_seconds": (1_000_000, "2025-01-12T13:46:40.000Z"),
    "into_2028_leap_year": (3 * 365 * 86400 + 59 * 86400, "2028-02-29T00:00:00.000Z"),
}


@pytest.mark.parametrize("offset, text", TIMESTAMPS.values(), ids=TIMESTAMPS.keys())
def test_chain_timestamps_are_rfc3339(offset: int, text: str) -> None:
    assert inputs._rfc3339(inputs._EPOCH_2025 + offset) == text


@pytest.mark.parametrize("messages", [1, 2, 7], ids=["one", "two", "seven"])
def test_chain_loads_as_one_unbranched_chain(tmp_path: Path, messages: int) -> None:
    path = inputs.write_chain(tmp_path / "chain.jsonl", messages)
    s = kestro_sdk.load(str(path))
    stats = s.conversation_tree.stats
    assert (len(s), stats.total_messages, stats.max_depth) == (messages, messages, messages)
    assert (stats.num_branches, stats.leaf_count) == (0, 1)
    ms = s.messages
    assert ms[0].parent_uuid is None
    assert [m.parent_uuid for m in ms[1:]] == [m.uuid for m in ms[:-1]]
    assert [m.role for m in ms[:3]] == ["user", "assistant", "user"][:messages]


def test_chain_file_is_a_prefix_of_a_longer_chain(tmp_path: Path) -> None:
    short = inputs.write_chain(tmp_path / "short.jsonl", 3).read_bytes()
    long = inputs.write_chain(tmp_path / "long.jsonl", 5).read_bytes()
    assert long.startswith(short) and len(long) > len(short)


def test_chain_is_not_rewritten_when_present(tmp_path: Path) -> None:
    path = tmp_path / "chain.jsonl"
    path.write_text("kept\n")
    inputs.write_chain(path, 3)
    assert path.read_text() == "kept\n"


def branched_lines() -> list:
    """Root 1 with two answers (2, 3); 3 answered by 4; 5 names a parent absent from the file."""
    return [
        record("user", 1, content=[text("q"), image()]),
        record("assistant", 2, parent=1, content=[thinking("t"), text("a"), tool_use("t1", "Read")]),
        record("assistant", 3, parent=1, content=[]),
        record("user", 4, parent=3, content=[tool_result("t1", "done"), tool_result("t2", None, True)]),
        record("user", 5, parent=99, content="orphan"),
    ]


def test_read_probe_reads_every_message_property_and_block(load_lines) -> None:
    s = load_lines(branched_lines())
    assert probes.read_messages(s) == 5 * 15
    assert probes.read_blocks(s) == 2 + 3 + 0 + 2 + 1


def test_tree_walk_visits_each_linked_node_once(load_lines) -> None:
    # The orphan is not in the tree, so four nodes, each once although the root branches.
    assert probes.walk_tree(load_lines(branched_lines())) == 4


def test_block_property_table_matches_the_block_classes() -> None:
    for name, props in probes.BLOCK_PROPERTIES.items():
        cls = getattr(kestro_sdk, name)
        assert [p for p in props if not hasattr(cls, p)] == [], name


def test_message_property_table_matches_the_message_class() -> None:
    missing = [p for p in probes.MESSAGE_PROPERTIES if not hasattr(kestro_sdk.Message, p)]
    assert missing == []


def results(floor: float, orjson: float, rss: float, project: float, read: float, load: float,
            import_ms: float, growth: float) -> dict:
    return {"compare": {"ratios": {"product / floor parse": floor, "product / baseline (orjson)": orjson},
                        "peak_rss": {"product": {"peak_per_file_byte": rss}}},
            "project": {"time_ratio": project}, "read": {"read_total_s": read, "load_s": load},
            "import": {"median_s": import_ms / 1e3}, "chain": {"rss_growth_ratio": growth}}


TARGET_CASES = {
    "all_met_at_the_limits": (results(0.6, 30, 1.5, 1.5, 0.2, 0.2, 5.0, 1.25), [True] * 7),
    "all_missed": (results(0.59, 29.9, 1.51, 1.51, 0.3, 0.2, 5.1, 1.3), [False] * 7),
    "measured_here": (results(0.28, 3.9, 1.64, 7.88, 0.119, 0.329, 1.33, 0.98),
                      [False, False, False, False, True, True, True]),
}


@pytest.mark.parametrize("res, met", TARGET_CASES.values(), ids=TARGET_CASES.keys())
def test_targets_compare_in_the_right_direction(res: dict, met: list) -> None:
    assert [row[3] for row in run.targets(res)] == met


def test_targets_skip_what_was_not_measured() -> None:
    assert run.targets({"compare": {"error": "no product"}, "read": {"error": "x"}}) == []


CHILD_OUTCOMES = {
    "json_object": ("print('{\"a\": 1}')", {"a": 1}),
    "failure_with_json_keeps_the_figures": ("print('{\"a\": 1}'); raise SystemExit(3)",
                                            {"a": 1, "exit_status": 3}),
    "crash_reports_the_last_stderr_line": ("import sys; sys.exit('first\\nboom')", {"error": "boom"}),
}


@pytest.mark.parametrize("code, expected", CHILD_OUTCOMES.values(), ids=CHILD_OUTCOMES.keys())
def test_child_results_are_values(code: str, expected: dict) -> None:
    assert run.run_json([sys.executable, "-c", code], timeout=60) == expected


def test_child_that_runs_too_long_is_stopped() -> None:
    out = run.run_json([sys.executable, "-c", "import time; time.sleep(30)"], timeout=0.5)
    assert out == {"error": "timed out after 0 s"}


def test_floor_time_is_summed_over_every_file(tmp_path: Path) -> None:
    for name, size in (("a/1.jsonl", 10), ("a/2.jsonl", 20), ("b/3.jsonl", 5)):
        (tmp_path / "base" / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "base" / name).write_bytes(b"x" * size)
    fake = tmp_path / "floor"
    # Reports a parse time of 1/1024 s per byte (exact in binary), as the real floor's --json would.
    fake.write_text(f"#!{sys.executable}\nimport json, os, sys\nn = os.path.getsize(sys.argv[1])\n"
                    "print(json.dumps({'file_bytes': n, 'parse_s': n / 1024}))\n")
    fake.chmod(0o755)
    assert run.floor_over_tree(fake, tmp_path / "base", 1) == {"files": 3, "bytes": 35, "parse_s": 0.0341796875}
