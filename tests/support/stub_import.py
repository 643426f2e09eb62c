"""Imports a library module in a fresh interpreter in which one of the modules it takes names from
is replaced by a stub, and reports how the import failed:

    from support.stub_import import import_with_stub
    line = import_with_stub("dorvane.backend.solace.quote", "dorvane.contracts", ["Stock"])
    # "ImportError dorvane.contracts True": the ImportError's type, its `name`, and whether it has
    # no __cause__ (the module's own failure, not wrapped in another ImportError)

The stub holds only the names given (each an empty class). The interpreter's failure (a non-zero
exit) fails the caller's test with its standard error.
"""
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

PROGRAM = """
import importlib, sys, types
target, stub_name, present = sys.argv[1], sys.argv[2], sys.argv[3:]
stub = types.ModuleType(stub_name)
for name in present:
    setattr(stub, name, type(name, (), {}))
sys.modules[stub_name] = stub
try:
    importlib.import_module(target)
except ImportError as exc:
    print(type(exc).__name__, exc.name, exc.__cause__ is None)
"""


def import_with_stub(target, stub, present=()):
    """The line the import of `target` printed, with module `stub` holding only `present`."""
    out = subprocess.run([sys.executable, "-c", PROGRAM, target, stub, *present], cwd=ROOT,
                         capture_output=True, text=True, timeout=30)
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()
