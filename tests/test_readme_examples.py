"""The README's "Using the library" examples and the `make run` tour, run as a user runs them,
against the bundled local servers (on free ports, through tests/support/local_run.py), and what the
README says about the files they leave and about how a program with a socket facade ends."""
import os
import re
import subprocess
import sys
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUNNER = os.path.join(ROOT, "tests", "support", "local_run.py")


def readme_blocks():
    """(language, code) of each fenced block of the README's "Using the library" section."""
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        text = f.read()
    section = text.split("## Using the library", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```(\w+)\n(.*?)```", section, re.S)


PYTHON_BLOCKS = [code for lang, code in readme_blocks() if lang == "python"]
SHELL_BLOCKS = [code for lang, code in readme_blocks() if lang == "sh"]


def run_local(program, cwd, timeout=60):
    env = dict(os.environ)
    env.pop("DORVANE_HTTP_BASE_URL", None)
    return subprocess.run([sys.executable, RUNNER, program], cwd=cwd, env=env, timeout=timeout,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    """A working folder where the README's shell blocks (the certificate) have run."""
    folder = tmp_path_factory.mktemp("readme")
    for code in SHELL_BLOCKS:
        subprocess.run(code, shell=True, cwd=folder, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return folder


def test_the_section_has_its_examples():
    # socket with quotes, stock order and signature, the builders, HTTP orders, reports, logging
    assert len(PYTHON_BLOCKS) == 6 and SHELL_BLOCKS


def example(word):
    """The index of the one Python block that holds `word`."""
    (index,) = [i for i, code in enumerate(PYTHON_BLOCKS) if word in code]
    return index


@pytest.mark.parametrize("index", range(len(PYTHON_BLOCKS)))
def test_readme_example_runs(index, workdir):
    program = workdir / "example{}.py".format(index)
    program.write_text(PYTHON_BLOCKS[index], encoding="utf-8")
    result = run_local(str(program), workdir)
    assert result.returncode == 0, result.stderr
    # What the examples leave in their working folder: the programs, the certificate folder local/
    # of the shell block, and the signing log (nothing else, as the README says).
    left = {name for name in os.listdir(workdir) if not re.fullmatch(r"example\d+\.py", name)}
    assert left <= {"local", "logs"}, left
    if os.path.exists(workdir / "logs"):
        assert all(name.startswith("vexa.log.") for name in os.listdir(workdir / "logs"))
    if index == example("openssl"):
        assert (workdir / "local" / "signed.txt").read_bytes() == b"buy 2330"
        assert "Vexa Initial Done." in result.stdout.splitlines()
    if index == example("logging.getLogger"):
        assert re.search(r" dorvane INFO Connecting to 127\.0\.0\.1:\d+\.\n", result.stderr), result.stderr
    if index == example("place_order"):
        lines = result.stdout.splitlines()
        assert lines[1].startswith("['TSE', 'OTC'] 2 ") and lines[-1] == "Status.Failed price must be a positive number"
    if index == example("calls = ["):
        assert [line.split()[1] for line in result.stdout.splitlines()] == ["01", "02", "03", "03", "04", "04",
                                                                           "01", "03", "04"]


# A login that times out against a server that accepts and never answers; the README says that
# `del api` then stops nothing (the program waits at exit) and `api._stop()` ends the program.
TIMED_OUT_LOGIN = """
    import configparser, socket
    from dorvane.backend.socket import wrapper
    silent = socket.socket()
    silent.bind(("127.0.0.1", 0))
    silent.listen()
    config = configparser.ConfigParser()
    config["UAT"] = {{"host": "127.0.0.1", "port": str(silent.getsockname()[1])}}
    wrapper.config = config
    api = wrapper.Wrapper(simulation=True)
    try:
        api.login("A123456789", "secret", timeout=0.5)
    except TimeoutError:
        print("timed out", flush=True)
    {end}
"""


@pytest.mark.parametrize("end, ends", [("api._stop()", True), ("del api", False)], ids=["stop", "del"])
def test_after_a_timed_out_login(end, ends):
    source = textwrap.dedent(TIMED_OUT_LOGIN.format(end=end)) + "print('main end', flush=True)\n"
    proc = subprocess.Popen([sys.executable, "-c", source], cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    try:
        assert [proc.stdout.readline(), proc.stdout.readline()] == ["timed out\n", "main end\n"]
        try:
            proc.wait(timeout=10 if ends else 3)
        except subprocess.TimeoutExpired:
            assert not ends, "the program did not end after api._stop()"
        else:
            assert ends, "the program ended after del api"
            assert (proc.returncode, proc.stderr.read()) == (0, "")
    finally:
        proc.kill()
        proc.communicate()


def test_tour_shows_every_step_and_ends_by_itself():
    result = run_local(os.path.join(ROOT, "examples", "trading_tour.py"), ROOT, timeout=120)
    assert result.returncode == 0, result.stderr
    lines = [line for line in result.stdout.splitlines() if not line.startswith("subscribed")]
    expected = ["socket login", "  tick 2330", "  tick 2330", "  tick 2330", "Vexa Initial Done.", "certificate ",
                "stock order TSE", "stock order OTC", "signature checked by openssl cms -verify: verified",
                "socket logout", "HTTP login: accounts 9A95-0012345 (stock), F002000-7654321 (futures)",
                "catalogue: 60 indexes, 1800 stocks, 620 futures, 2322 options",
                "futures order", "price changed to 22050: Submitted", "order cancelled: Cancelled", "margin: ",
                "open position: "]
    assert len(lines) == len(expected) and all(map(str.startswith, lines, expected)), result.stdout
