"""The process stays responsive: native work runs without the interpreter lock, Ctrl-C ends a read
that blocks or a long parse, and load_project reads only regular files.

Everything that could hang runs in a child interpreter with a timeout (run_isolated), so a
regression fails its case instead of stopping the run.
"""

from __future__ import annotations

import os
import textwrap
from pathlib import Path

import pytest

from conftest import chain, dumps, rich_lines, run_isolated, write_log

# The child's helpers: a thread that counts while the main thread is in one call, and a timer that
# sends SIGINT to the process and notes when.
PRELUDE = """
import os, signal, sys, threading, time, kestro_sdk

# A child of a background job starts with SIGINT ignored, and the interpreter then keeps it
# ignored; the cases must not depend on how the suite was started.
signal.signal(signal.SIGINT, signal.default_int_handler)

def open_fds():
    return len(os.listdir("/proc/self/fd"))

class Ticker:
    def __init__(self):
        self.count, self.stop = 0, False
        self.thread = threading.Thread(target=self.run)
    def run(self):
        while not self.stop:
            self.count += 1
            time.sleep(0.001)
    def __enter__(self):
        self.thread.start()
        time.sleep(0.05)
        return self
    def __exit__(self, *exc):
        self.stop = True
        self.thread.join()

def interrupt_after(seconds):
    sent = []
    def send():
        time.sleep(seconds)
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)
    threading.Thread(target=send, daemon=True).start()
    return sent

def interrupted(call, after=0.3):
    # How the call ended and how long after the signal it did.
    sent = interrupt_after(after)
    try:
        call()
        return "returned", None
    except KeyboardInterrupt:
        return "KeyboardInterrupt", time.monotonic() - sent[0]
"""


def run(code: str, *args: str) -> list[str]:
    out = run_isolated(PRELUDE + textwrap.dedent(code).replace("ARGS", repr(list(args))))
    assert out.returncode == 0, f"exit {out.returncode}: {out.stderr[-2000:]}"
    return out.stdout.split("\n")[:-1]


def test_a_fifo_written_by_another_thread_of_the_same_process_loads(tmp_path: Path) -> None:
    # The writer is a Python thread: with the lock held during the read it could never write.
    fifo = tmp_path / "s.jsonl"
    os.mkfifo(fifo)
    lines = [dumps(line) + "\n" for line in chain(40)]
    assert run("""
        path, lines = ARGS[0], ARGS[1:]
        def write():
            with open(path, "w") as f:
                for line in lines:
                    f.write(line)
                    f.flush()
                    time.sleep(0.002)
        writer = threading.Thread(target=write)
        writer.start()
        print(len(kestro_sdk.load(path)))
        writer.join()
        """, str(fifo), *lines) == ["40"]  # fmt: skip


BLOCKING = {
    "fifo_with_a_silent_writer": "os.mkfifo(path); keep = os.open(path, os.O_RDWR)",
    "fifo_without_a_writer": "os.mkfifo(path)",
    "idle_pipe_as_dev_stdin": "r, keep = os.pipe(); os.dup2(r, 0); path = '/dev/stdin'",
}


@pytest.mark.parametrize("setup", BLOCKING.values(), ids=BLOCKING.keys())
def test_ctrl_c_ends_a_blocked_load_and_the_interpreter_goes_on(tmp_path: Path, setup: str) -> None:
    good = write_log(tmp_path / "good.jsonl", chain(3))
    out = run(f"""
        path = ARGS[0]
        {setup}
        before = open_fds()
        with Ticker() as ticker:
            outcome, delay = interrupted(lambda: kestro_sdk.load(path))
            ticks = ticker.count
        print(outcome, delay < 0.25, ticks > 50, open_fds() == before, len(kestro_sdk.load(ARGS[1])))
        """, str(tmp_path / "blocked.jsonl"), str(good))  # fmt: skip
    assert out == ["KeyboardInterrupt True True True 3"]


def test_ctrl_c_ends_an_endless_device_read() -> None:
    # The limit keeps a read that ignored Ctrl-C from taking the machine's memory with it.
    out = run("""
        import resource
        with open("/proc/self/status") as f:
            in_use = next(int(line.split()[1]) << 10 for line in f if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (in_use + (1 << 30), resource.RLIM_INFINITY))
        # Most of the delay is giving back what was read by then, so the signal comes early: on a
        # fast machine a later one could find the read already ended by the limit.
        outcome, delay = interrupted(lambda: kestro_sdk.load("/dev/zero"), after=0.05)
        print(outcome, delay < 0.3)
        """)
    assert out == ["KeyboardInterrupt True"]


def test_ctrl_c_ends_a_long_project_load(tmp_path: Path) -> None:
    for i in range(40):
        write_log(tmp_path / "-p" / f"s{i}.jsonl", rich_lines(2000))
    out = run("""
        project = ARGS[0]
        start = time.monotonic()
        whole = len(kestro_sdk.load_project(project).sessions)
        took = time.monotonic() - start
        outcome, delay = interrupted(lambda: kestro_sdk.load_project(project), after=took / 4)
        print(whole, outcome, delay < 0.3, len(kestro_sdk.load_project(project).sessions))
        """, str(tmp_path / "-p"))  # fmt: skip
    assert out == ["40 KeyboardInterrupt True 40"]


def test_other_threads_run_while_module_functions_work(tmp_path: Path) -> None:
    for i in range(30):
        write_log(tmp_path / "-big" / f"s{i}.jsonl", rich_lines(1500))
    small = dumps(chain(1)[0]) + "\n"
    for i in range(3000):
        (tmp_path / f"-d{i}").mkdir()
        (tmp_path / f"-d{i}" / "s.jsonl").write_text(small)
    big = write_log(tmp_path / "big.jsonl", rich_lines(15000))
    out = run("""
        base, big = ARGS
        calls = {
            "load": lambda: kestro_sdk.load(big),
            "load_project": lambda: kestro_sdk.load_project(base + "/-big"),
            "find_sessions": lambda: kestro_sdk.find_sessions(base),
            "find_projects": lambda: kestro_sdk.find_projects(base),
        }
        for name, call in calls.items():
            with Ticker() as ticker:
                before = ticker.count
                start = time.monotonic()
                call()
                took, ticks = time.monotonic() - start, ticker.count - before
            # Held for the whole call, the lock would let the ticker count once at most.
            print(name, ticks >= 3 or took < 0.01)
        """, str(tmp_path), str(big))  # fmt: skip
    assert out == ["load True", "load_project True", "find_sessions True", "find_projects True"]


def test_load_project_threads_follow_the_cores_allowed(tmp_path: Path) -> None:
    for i in range(24):
        write_log(tmp_path / "-p" / f"s{i}.jsonl", rich_lines(1500))
    out = run("""
        project = ARGS[0]
        def extra_threads(cores):
            # The most threads seen at once during the call, beyond those before it.
            os.sched_setaffinity(0, cores)
            before, seen, done = len(os.listdir("/proc/self/task")), [], []
            def sample():
                while not done:
                    seen.append(len(os.listdir("/proc/self/task")))
                    time.sleep(0.001)
            sampler = threading.Thread(target=sample)
            sampler.start()
            time.sleep(0.02)
            kestro_sdk.load_project(project)
            done.append(True)
            sampler.join()
            return max(seen) - before - 1
        cores = os.sched_getaffinity(0)
        print(extra_threads({min(cores)}), extra_threads(cores) == min(len(cores), 24) - 1)
        """, str(tmp_path / "-p"))  # fmt: skip
    assert out == ["0 True"]
