"""A module whose import fails lets the original exception through (not a bare ImportError that
only carries it as its cause). Each case breaks a copy of the package tree and imports from it in
a fresh interpreter."""
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def link_modules(source, target):
    """Built extension modules are linked, not copied (under the sanitizer run each is large); a
    module's folder is then still the tree's, where its config.ini is read."""
    if source.endswith(".so"):
        os.symlink(source, target)
    else:
        shutil.copy2(source, target)


@pytest.fixture
def tree(tmp_path):
    """A tree of the packages that a case may break: the Python files and data copied, the built
    modules linked, the C++ sources left out."""
    ignore = shutil.ignore_patterns("__pycache__", "*.cpp", "*.hpp", "CMakeLists.txt")
    for package in ("dorvane", "quillmesh"):
        shutil.copytree(os.path.join(ROOT, package), tmp_path / package, ignore=ignore,
                        copy_function=link_modules)
    shutil.copy(os.path.join(ROOT, "dorv.py"), tmp_path / "dorv.py")
    return tmp_path


def import_in(tree, module):
    source = textwrap.dedent("""
        import configparser, json, sys
        sys.path.insert(0, %r)
        try:
            import %s
            outcome = {"imported": True}
        except BaseException as exc:
            outcome = {"type": type(exc).__name__, "text": str(exc), "cause": exc.__cause__ is not None,
                       "config_error": isinstance(exc, configparser.Error)}
        print(json.dumps(outcome))
    """) % (str(tree), module)
    proc = subprocess.run([sys.executable, "-c", source], cwd=str(tree), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=60)
    assert proc.returncode == 0, proc.stderr.decode("utf-8", "replace")
    return json.loads(proc.stdout.decode("utf-8").splitlines()[-1])


@pytest.mark.parametrize("path, content, module, error", [
    # config.ini beside the socket facade that the parser cannot read: the parser's own error
    ("dorvane/backend/socket/config.ini", "host = 127.0.0.1\n", "dorvane.backend.socket.wrapper",
     "MissingSectionHeaderError"),
    ("dorvane/backend/socket/config.ini", "[UAT]\nhost = a\n[UAT]\nhost = b\n", "dorvane.backend.socket.wrapper",
     "DuplicateSectionError"),
])
def test_failed_import_raises_the_original_error(tree, path, content, module, error):
    broken = tree / path
    assert not broken.is_symlink()  # the case writes into its own copy, never through a link
    broken.write_text(content)
    outcome = import_in(tree, module)
    assert outcome["type"] == error, outcome
    assert outcome["cause"] is False


@pytest.mark.parametrize("module", [
    "dorvane.backend.http.contract",
    "dorvane.backend.http.futureoption.order",
    "dorvane.backend.http.main",
    "dorvane.backend.socket.client",
    "dorvane.backend.socket.connect",
    "dorvane.backend.socket.wrapper",
])
def test_a_missing_library_name_fails_as_from_import_does(tree, module):
    """Every module that takes the library's `log` fails as `from dorvane.utils import log` would
    when the library module lacks it: ImportError naming the name and the module."""
    (tree / "dorvane/utils.py").write_text("")
    outcome = import_in(tree, module)
    assert outcome["type"] == "ImportError", outcome
    assert outcome["text"].startswith("cannot import name 'log' from 'dorvane.utils'"), outcome
    assert outcome["cause"] is False


def extension_modules():
    """The dotted names of the built extension modules: the package's and the glue's probe."""
    found = glob.glob(os.path.join(ROOT, "dorvane", "**", "*.cpython-*.so"), recursive=True)
    names = [os.path.relpath(p, ROOT).split(".")[0].replace(os.sep, ".") for p in found]
    return sorted(names) + ["glue_probe"]


def test_import_in_a_subinterpreter_is_refused_at_once():
    # Each module's first import in the process happens in a subinterpreter of its own.
    paths = [ROOT, os.path.join(ROOT, "tests", "glue_probe")]
    source = textwrap.dedent("""
        import json, sys, _xxsubinterpreters as subinterpreters
        outcomes = {}
        for name in %r:
            interp = subinterpreters.create()
            try:
                subinterpreters.run_string(interp, "import sys; sys.path[:0] = %r; import " + name)
                outcomes[name] = "imported"
            except subinterpreters.RunFailedError as e:
                outcomes[name] = str(e)
            subinterpreters.destroy(interp)
        print(json.dumps(outcomes))
    """) % (extension_modules(), paths)
    proc = subprocess.run([sys.executable, "-c", source], cwd=ROOT, capture_output=True, text=True,
                          timeout=60)
    assert proc.returncode == 0, proc.stderr
    outcomes = json.loads(proc.stdout)
    assert len(outcomes) >= 16
    # The text names the first extension module the import reached (a module may import another).
    refused = re.compile(r"<class 'ImportError'>: \w+: the extension modules run in the main interpreter "
                         r"only, not in a subinterpreter$")
    assert {name: text for name, text in outcomes.items() if not refused.match(text)} == {}
