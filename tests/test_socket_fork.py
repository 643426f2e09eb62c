"""Children forked from a process whose socket facades are at work (one logged in, one logging in
and out without pause) neither hang nor disturb the parent: each runs in a fresh interpreter of
tests/support/fork_probe.py, which kills and counts a child that does not end in time."""
import json
import os
import subprocess
import sys

from support.sanitized import SANITIZED

PROBE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "support", "fork_probe.py")


# Twenty children of each kind; five in the sanitized build, where each fork of the much larger
# parent holds its interpreter lock for long enough that sixty forks alone outlast the children's waits.
CHILDREN = 15 if SANITIZED else 60


def test_forked_children_neither_hang_nor_disturb_the_parent():
    done = subprocess.run([sys.executable, PROBE, str(CHILDREN)], capture_output=True, text=True,
                          timeout=300 if SANITIZED else 180)
    assert done.returncode == 0, done.stdout + done.stderr
    result = json.loads(done.stdout.strip().splitlines()[-1])
    assert result == {"hung": {"own": 0, "exit": 0, "inherited": 0},
                      "failed": {"own": 0, "exit": 0, "inherited": 0}, "parent": "ok",
                      "churn_alive": False}, done.stderr
