"""Whether the tests run against the sanitized build (tools/sanitize_tests.sh sets DORVANE_SANITIZED=1),
and waits scaled for it.

A sanitized interpreter allocates through the checking allocator and keeps freed memory in
quarantine, so its processes are several times larger: a fork copies far more page tables (while
the forking thread holds the interpreter lock) and every page written afterwards is copied again.
Scenarios that fork many children or wait on loopback work give such runs more time, or fewer
children, without changing what they check."""
import os

SANITIZED = os.environ.get("DORVANE_SANITIZED") == "1"
FACTOR = 4 if SANITIZED else 1


def scaled(seconds):
    """`seconds` for the normal build, FACTOR times as long in a sanitized run."""
    return seconds * FACTOR
