"""Test configuration: the repository root and tests/ are importable."""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
for path in (ROOT, HERE):
    if path not in sys.path:
        sys.path.insert(0, path)


import faulthandler

import pytest

# A test that hangs ends the run with every thread's traceback instead of stalling CI.
HANG_SECONDS = 120


@pytest.fixture(autouse=True)
def _hang_watchdog():
    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()
