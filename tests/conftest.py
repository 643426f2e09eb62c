"""Test configuration: the repository root (dorvane, servers) and tests/ (support) are importable;
Hypothesis settings, the loopback HTTP back end fixture `http_backend`, the test certificates `pki`
and the test locales serve every test. The per-test time-out is pytest-timeout's, set in pytest.ini."""
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
for path in (ROOT, HERE):
    if path not in sys.path:
        sys.path.insert(0, path)


import pytest  # noqa: E402
from hypothesis import HealthCheck, settings  # noqa: E402

from support.sanitized import examples  # noqa: E402

# Property tests: a few hundred examples each, no example database written into the checkout, and
# no per-example deadline (the sanitizer run and a loaded machine are several times slower). The
# sanitized pass, where every example costs several times as much (the interpreter's objects come
# from the checking allocator), runs a share of them, so that a property test stays well inside the
# per-test time-out while the suite's other workers load the machine.
settings.register_profile("dorvane", max_examples=examples(200), deadline=None, database=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("dorvane")


@pytest.fixture
def http_backend():
    """A fresh loopback HTTP back end (servers.http_server.HttpBackend) per test, closed afterwards."""
    from servers.http_server import HttpBackend

    backend = HttpBackend()
    try:
        yield backend
    finally:
        backend.close()


@pytest.fixture
def silent_backend():
    """The base URL of a back end that accepts connections and never answers: a listening socket
    that nobody reads (the kernel completes each connection in its backlog). Closing it at the end
    resets the connections, so a client still waiting fails then."""
    import socket

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        listener.bind(("127.0.0.1", 0))
        listener.listen(64)
        yield "http://127.0.0.1:{}".format(listener.getsockname()[1])
    finally:
        listener.close()


class CommaLocale:
    """Runs Python source in a child interpreter that first sets de_DE.UTF-8 (decimal comma) with
    locale.setlocale, as a desktop program does. The source reports by printing one JSON line."""

    def __init__(self, env):
        self.env = env

    def run(self, source, cwd=None):
        prelude = (
            "import json, locale, sys\n"
            "sys.path.insert(0, %r)\n"
            "locale.setlocale(locale.LC_ALL, 'de_DE.UTF-8')\n"
            "assert locale.localeconv()['decimal_point'] == ','\n" % ROOT
        )
        proc = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(source)], env=self.env, cwd=cwd,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        assert proc.returncode == 0, proc.stderr.decode("utf-8", "replace")
        return json.loads(proc.stdout.decode("utf-8").splitlines()[-1])


class LocaleSet:
    """Locales compiled at test time, each on first use, into one folder (LOCPATH), so the tests
    need no locale installed on the machine beyond the `locales` package's sources. A name is
    "<source>.<charset>" (de_DE.UTF-8, zh_TW.BIG5); "C" needs nothing compiled. Test processes
    share the folder: each locale is compiled into a staging folder and renamed into place, and a
    process that finds it there already (or loses the rename) uses that one."""

    def __init__(self, folder):
        self.folder = folder
        self.env = dict(os.environ, LOCPATH=str(folder))

    def build(self, name):
        target = self.folder / name
        if name != "C" and not target.exists():
            source, charset = name.split(".")
            staging = tempfile.mkdtemp(prefix=".staging-", dir=str(self.folder))
            try:
                subprocess.run(["localedef", "-i", source, "-f", charset, os.path.join(staging, name)], check=True,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                try:
                    os.rename(os.path.join(staging, name), str(target))
                except OSError:
                    if not target.exists():
                        raise
            finally:
                shutil.rmtree(staging, ignore_errors=True)
        return self.env


@pytest.fixture(scope="session")
def pki(tmp_path_factory):
    """The test certificates and PKCS#12 files of support/make_pki.py, made once per test process
    (read only: a test that needs a changed file copies it)."""
    from support import make_pki

    return make_pki.make(tmp_path_factory.mktemp("pki"))


@pytest.fixture(scope="session")
def test_locales():
    # One folder under the temporary folder for every run: a locale is compiled once and kept, not
    # again by each worker of each run.
    shared = pathlib.Path(tempfile.gettempdir()) / "dorvane-test-locales"
    shared.mkdir(exist_ok=True)
    return LocaleSet(shared)


@pytest.fixture(scope="session")
def comma_locale(test_locales):
    """A child interpreter under the comma-decimal locale de_DE.UTF-8."""
    return CommaLocale(test_locales.build("de_DE.UTF-8"))
