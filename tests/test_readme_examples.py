"""The README's "Using the library" examples and the `make run` tour, run as a user runs them,
against the bundled local servers (on free ports, through tests/support/local_run.py)."""
import os
import re
import subprocess
import sys

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


def test_the_section_has_an_example_per_subsystem():
    assert len(PYTHON_BLOCKS) == 4 and SHELL_BLOCKS


@pytest.mark.parametrize("index", range(len(PYTHON_BLOCKS)))
def test_readme_example_runs(index, workdir):
    program = workdir / "example{}.py".format(index)
    program.write_text(PYTHON_BLOCKS[index], encoding="utf-8")
    result = run_local(str(program), workdir)
    assert result.returncode == 0, result.stderr
    if "cms" in PYTHON_BLOCKS[index]:
        assert (workdir / "signed.txt").read_bytes() == b"buy 2330"


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
