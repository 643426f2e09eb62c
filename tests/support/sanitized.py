"""Whether the tests run against the sanitized build, and time limits scaled for it.

tools/sanitize_tests.sh sets DORVANE_SANITIZED=1 for the tests it runs. There every interpreter
loads modules built with AddressSanitizer and UndefinedBehaviorSanitizer and takes each object from
malloc, while the whole suite runs on as many workers as there are cores: a program that the normal
build ends in two seconds may take several times as long, and much longer still when other work
shares the machine. A limit that bounds a run of the normal build is scaled by SLOWDOWN there, so
that a slow run is not taken for a hang while a real hang is still caught. Its processes are also
several times larger (the checking allocator's quarantine), so a fork copies far more page tables
while the forking thread holds the interpreter lock: scenarios that fork many children give such
runs fewer children as well.
"""
import os

SANITIZED = os.environ.get("DORVANE_SANITIZED") == "1"
SLOWDOWN = 4 if SANITIZED else 1


def scaled(seconds):
    """`seconds`, a limit for the normal build, for the build the tests run against."""
    return seconds * SLOWDOWN


def examples(count):
    """A property test's number of examples, `count` for the normal build: the sanitized pass runs
    a share of them, since each example costs it several times as much."""
    return max(10, count // SLOWDOWN)
