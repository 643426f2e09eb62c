"""Children forked from a process whose socket facades are at work (one logged in, one logging in
and out without pause) neither hang nor disturb the parent: each runs in a fresh interpreter of
tests/support/fork_probe.py, which kills and counts a child that does not end in time."""
import json
import os
import subprocess
import sys

PROBE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "support", "fork_probe.py")


def test_forked_children_neither_hang_nor_disturb_the_parent():
    done = subprocess.run([sys.executable, PROBE, "60"], capture_output=True, text=True, timeout=180)
    assert done.returncode == 0, done.stdout + done.stderr
    result = json.loads(done.stdout.strip().splitlines()[-1])
    assert result == {"hung": {"own": 0, "exit": 0, "inherited": 0},
                      "failed": {"own": 0, "exit": 0, "inherited": 0}, "parent": "ok",
                      "churn_alive": False}, done.stderr
