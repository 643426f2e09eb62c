"""Programs that end while other threads are inside the extension modules end cleanly.

Each scenario (tests/support/exit_scenarios.py) runs in fresh interpreter processes, side by side,
and every run must exit with status 0 (no signal) within its time limit, with no fault reported on
standard error. A fault that shows once in
ten runs is caught with 30 runs; DORVANE_EXIT_RUNS sets another count (tools/exit_safety.py runs
100 of each and prints the counts).
"""
import os

import pytest

from support.exit_scenarios import SCENARIOS, run_many

RUNS = int(os.environ.get("DORVANE_EXIT_RUNS", "30"))


@pytest.mark.parametrize("name", list(SCENARIOS))
def test_program_ends_cleanly(name):
    tally = run_many(name, RUNS, jobs=os.cpu_count() or 4)[name]
    details = "\n".join("---- stderr of a failed run:\n" + sample[-3000:] for sample in tally.samples)
    assert (tally.crashes, tally.hangs, tally.faults) == (0, 0, 0), "{}\n{}".format(tally, details)

