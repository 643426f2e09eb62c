"""Runs one program in many fresh interpreters side by side, all within one time limit:
for faults that show only on first use in a process (a hang while types are made), which a single
run catches only now and then.

    outcomes = run_fresh_interpreters(source, runs=30)   # one per run: "ended", "hang" or
                                                        # (exit status, end of standard error)

A run has "ended" when it exits with status 0 and its last line of output is "ended".
"""
import os
import subprocess
import sys
import textwrap
import time

HEADER = """\
import sys, threading
sys.path[:0] = {paths!r}
sys.setswitchinterval(1e-6)  # the threads take turns as often as they can
"""


def threads_program(paths, setup, first_use, teardown="", threads=8):
    """A program that runs `setup`, then `first_use` (the body of a function) on `threads` threads
    released together, then `teardown`, and prints "ended"."""
    body = textwrap.indent(textwrap.dedent(first_use).strip(), "    ")
    return (HEADER.format(paths=list(paths)) + setup.strip() + "\n"
            + "start = threading.Barrier({})\n".format(threads)
            + "def first_use():\n    start.wait()\n" + body + "\n"
            + "workers = [threading.Thread(target=first_use) for _ in range({})]\n".format(threads)
            + "for t in workers:\n    t.start()\nfor t in workers:\n    t.join()\n"
            + textwrap.dedent(teardown).strip() + "\nprint('ended', flush=True)\n")


# Interpreters with the sanitizer runtimes preloaded (tools/sanitize_tests.sh) start and run
# several times slower; a hung run waits the whole limit either way.
SLOWER = 3 if "libasan" in os.environ.get("LD_PRELOAD", "") else 1


def run_fresh_interpreters(source, runs, timeout=20.0, cwd=None):
    timeout *= SLOWER
    procs = [subprocess.Popen([sys.executable, "-c", source], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, cwd=cwd) for _ in range(runs)]
    deadline = time.monotonic() + timeout
    outcomes = []
    for proc in procs:
        try:
            out, err = proc.communicate(timeout=max(0.1, deadline - time.monotonic()))
            lines = out.split()
            ended = proc.returncode == 0 and lines and lines[-1] == "ended"
            outcomes.append("ended" if ended else (proc.returncode, err[-2000:]))
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.communicate()
            outcomes.append("hang")
    return outcomes
