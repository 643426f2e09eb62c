"""Programs that end while other threads are inside the extension modules end cleanly.

Each scenario (tests/support/exit_scenarios.py) runs in fresh interpreter processes, side by side,
and every run must exit with status 0 (no signal) within its time limit, with no fault reported on
standard error. A fault that shows once in
ten runs is caught with 30 runs; DORVANE_EXIT_RUNS sets another count (tools/exit_safety.py runs
100 of each and prints the counts).

Each run is bounded by its scenario's limit (scaled for the sanitized build), so the test as a whole
is bounded by its runs: its time-out is what they may take at worst, one batch of side-by-side runs
after another, each run at its limit; the suite's common time-out would take a slow but sound
sanitized pass for a hang.
"""
import math
import os

import pytest

from support.exit_scenarios import ABORT_GRACE, SCENARIOS, run_many

RUNS = int(os.environ.get("DORVANE_EXIT_RUNS", "30"))


def worker_budget():
    """The interpreters one test may start side by side: this process's share of the cores among
    the suite's xdist workers (each of which may be running such a test at the same time)."""
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 4)
    workers = int(os.environ.get("PYTEST_XDIST_WORKER_COUNT", "1"))
    return max(1, cores // max(1, workers))


def clipped(text, head=2500, tail=3000):
    """The start of a failed run's report (the runner's timeline) and its end (the thread dump)."""
    return text if len(text) <= head + tail else text[:head] + "\n[...]\n" + text[-tail:]


def time_budget(name):
    """The most the runs of one scenario take when every run reaches its limit (seconds)."""
    batches = math.ceil(RUNS / worker_budget())
    return math.ceil(batches * (SCENARIOS[name].worst_case() + ABORT_GRACE)) + 60


@pytest.mark.parametrize("name", [pytest.param(name, marks=pytest.mark.timeout(time_budget(name)))
                                  for name in SCENARIOS])
def test_program_ends_cleanly(name):
    tally = run_many(name, RUNS, jobs=worker_budget())[name]
    details = "\n".join("---- a failed run:\n" + clipped(sample) for sample in tally.samples)
    assert (tally.crashes, tally.hangs, tally.faults) == (0, 0, 0), "{}\n{}".format(tally, details)

