"""Test configuration: the repository root (dorvane, servers) and tests/ (support) are importable;
the hang watchdog and the loopback HTTP back end fixture `http_backend` serve every test."""
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


@pytest.fixture
def http_backend():
    """A fresh loopback HTTP back end (servers.http_server.HttpBackend) per test, closed afterwards."""
    from servers.http_server import HttpBackend

    backend = HttpBackend()
    try:
        yield backend
    finally:
        backend.close()
