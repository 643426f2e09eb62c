"""Test configuration: the repository root and tests/ are importable; Hypothesis settings.

The per-test time-out is pytest-timeout's, set in pytest.ini."""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
for path in (ROOT, HERE):
    if path not in sys.path:
        sys.path.insert(0, path)

from hypothesis import HealthCheck, settings  # noqa: E402

# Property tests: a few hundred examples each, no example database written into the checkout, and
# no per-example deadline (the sanitizer run and a loaded machine are several times slower).
settings.register_profile("dorvane", max_examples=200, deadline=None, database=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("dorvane")
