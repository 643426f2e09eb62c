"""Programs that end while other threads are inside the extension modules end cleanly.

Each scenario (tests/support/exit_scenarios.py) runs in fresh interpreter processes, side by side,
and every run must exit with status 0 (no signal) within its time limit, with no fault reported on
standard error. A fault that shows once in
ten runs is caught with 30 runs; DORVANE_EXIT_RUNS sets another count (tools/exit_safety.py runs
100 of each and prints the counts).
"""
import glob
import os
import re
import subprocess

import pytest

from support.exit_scenarios import ROOT, SCENARIOS, run_many

RUNS = int(os.environ.get("DORVANE_EXIT_RUNS", "30"))


def worker_budget():
    """The interpreters one test may start side by side: this process's share of the cores among
    the suite's xdist workers (each of which may be running such a test at the same time)."""
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 4)
    workers = int(os.environ.get("PYTEST_XDIST_WORKER_COUNT", "1"))
    return max(1, cores // max(1, workers))


@pytest.mark.parametrize("name", list(SCENARIOS))
def test_program_ends_cleanly(name):
    tally = run_many(name, RUNS, jobs=worker_budget())[name]
    details = "\n".join("---- stderr of a failed run:\n" + sample[-3000:] for sample in tally.samples)
    assert (tally.crashes, tally.hangs, tally.faults) == (0, 0, 0), "{}\n{}".format(tally, details)


def test_every_module_releases_through_the_glue():
    # The glue's release is what asks whether the interpreter is finalising: a module built
    # without it would not import that function.
    modules = glob.glob(os.path.join(ROOT, "dorvane", "**", "*.cpython-*.so"), recursive=True)
    assert len(modules) >= 15
    for path in modules:
        symbols = subprocess.run(["nm", "-D", "--undefined-only", path], capture_output=True,
                                 text=True, check=True).stdout
        assert "_Py_IsFinalizing" in symbols, path

    # Module sources reach Python and pybind11 through the glue only, so the glue's guard (an
    # #error when pybind11 came first) holds in every translation unit even outside the build's
    # forced include.
    direct = re.compile(r'^\s*#\s*include\s*[<"](Python\.h|pybind11/)', re.M)
    sources = [p for ext in ("cpp", "hpp", "h")
               for p in glob.glob(os.path.join(ROOT, "dorvane", "**", "*." + ext), recursive=True)]
    assert [p for p in sources if direct.search(open(p, encoding="utf-8").read())] == []


def test_forced_unwind_handlers_are_built_without_the_null_check():
    # A handler of abi::__forced_unwind binds a reference to no object: the undefined-behaviour
    # sanitizer reports it whenever a daemon thread is ended inside the modules, which fails the
    # sanitized run at random. Only the glue's functions marked to let the unwind pass hold such a
    # handler (each function head at the start of a line); everything else uses pyglue::on_failure.
    handler = re.compile(r"catch\s*\(\s*(const\s+)?abi::__forced_unwind")
    head = re.compile(r"^\S[^;{}]*\)\s*\{\s*$", re.M)
    sources = [p for folder in ("dorvane", "include") for ext in ("cpp", "hpp", "h")
               for p in glob.glob(os.path.join(ROOT, folder, "**", "*." + ext), recursive=True)]
    unmarked = []
    for path in sources:
        text = open(path, encoding="utf-8").read()
        for found in handler.finditer(text):
            heads = head.findall(text, 0, found.start())
            if not heads or "PYGLUE_LETS_FORCED_UNWIND_PASS" not in heads[-1]:
                unmarked.append((os.path.relpath(path, ROOT), text.count("\n", 0, found.start()) + 1))
    assert unmarked == []
