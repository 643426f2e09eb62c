#!/usr/bin/python3
"""Runs the exit-safety scenarios many times each and prints the counts of crashes, hangs and faults.

    /usr/bin/python3 tools/exit_safety.py                  100 runs of every scenario
    /usr/bin/python3 tools/exit_safety.py --runs 30 connection quote-callback
    /usr/bin/python3 tools/exit_safety.py --jobs 8 --show  also print the stderr of a few failures

The scenarios are described in tests/support/exit_scenarios.py; the test suite runs fewer of them.
A run that exits with status 0 but reports a fault on standard error (a fatal error, std::terminate,
an exception the interpreter ignored, a sanitizer report) counts as a fault. Exits with status 1
when any run crashed, hung or reported a fault.
"""
import argparse
import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))

from support.exit_scenarios import SCENARIOS, run_many  # noqa: E402


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("scenarios", nargs="*", choices=[[]] + list(SCENARIOS), default=[],
                        help="scenarios to run (default: all)")
    parser.add_argument("--runs", type=int, default=100, help="runs per scenario (default 100)")
    parser.add_argument("--jobs", type=int, default=None, help="processes side by side")
    parser.add_argument("--show", action="store_true", help="print the stderr of some failed runs")
    args = parser.parse_args(argv)
    names = args.scenarios or list(SCENARIOS)
    started = time.monotonic()
    tallies = run_many(names, args.runs, args.jobs)
    failed = False
    for tally in tallies.values():
        print(tally)
        failed = failed or tally.crashes or tally.hangs or tally.faults
        if args.show:
            for sample in tally.samples:
                print("---- a failed run of {}:\n{}".format(tally.name, sample[:2500] + "\n[...]\n" + sample[-4000:]
                                                          if len(sample) > 6500 else sample))
    print("{:.1f} s".format(time.monotonic() - started))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
