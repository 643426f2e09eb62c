"""The facade's exit hook, seen from programs that run in a process of their own."""
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

PRELUDE = """\
import signal, sys, threading, time
signal.signal(signal.SIGINT, signal.default_int_handler)  # as in a terminal, whatever the parent ignores
from dorvane.backend.socket import wrapper
"""


STARTED = []


@pytest.fixture(autouse=True)
def kill_leftovers():
    """A program that a failed test leaves running is killed."""
    yield
    while STARTED:
        proc = STARTED.pop()
        if proc.poll() is None:
            proc.kill()
        proc.communicate()


def start(body):
    program = PRELUDE + textwrap.dedent(body) + "\nprint('main end', flush=True)\n"
    proc = subprocess.Popen([sys.executable, "-c", program], cwd=ROOT, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    STARTED.append(proc)
    return proc


def finish(proc, timeout=10):
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        pytest.fail("the program did not end")
    return proc.returncode, out.splitlines(), err


def wait_for_line(proc, line, timeout=10):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        got = proc.stdout.readline()
        if got.rstrip("\n") == line:
            return
        if not got:
            break  # the program closed its output
    pytest.fail("no line {!r}".format(line))


def test_program_holding_a_wrapper_stays_alive_until_interrupted():
    proc = start("""
        w = wrapper.Wrapper(True)
        w._loop.call_soon_threadsafe(print, 'loop serves')
    """)
    wait_for_line(proc, "main end")
    time.sleep(1.5)
    assert proc.poll() is None  # main code ended, the process waits for the loop thread
    proc.send_signal(signal.SIGINT)
    started = time.monotonic()
    code, out, err = finish(proc, timeout=5)
    assert code == 0 and err == ""
    assert time.monotonic() - started < 3


@pytest.mark.parametrize(
    "body, lines, least, most",
    [
        ("w = wrapper.Wrapper(True)\nw._stop()\n", ["main end"], 0.0, 3.0),
        ("w = wrapper.Wrapper(True)\ndel w\n", ["main end"], 0.0, 3.0),
        # The loop goes on serving after the main code until it is stopped.
        ("w = wrapper.Wrapper(True)\n"
         "w._loop.call_soon_threadsafe(w._loop.call_later, 1.0, lambda: (print('late', flush=True), w._stop()))\n",
         ["main end", "late"], 1.0, 4.0),
        ("w = wrapper.Wrapper(True)\nthreading.Timer(1.0, w._stop).start()\n", ["main end"], 1.0, 4.0),
        # The interpreter's own shutdown work still runs after the hook: non-daemon threads are
        # joined and threading's registered exit calls are made.
        ("w = wrapper.Wrapper(True)\n"
         "threading._register_atexit(print, 'registered exit call ran', flush=True)\n"
         "threading.Thread(target=lambda: (time.sleep(1.0), print('worker joined', flush=True))).start()\n"
         "w._stop()\n",
         ["main end", "registered exit call ran", "worker joined"], 1.0, 5.0),
    ],
    ids=["stop", "del", "loop-stops-itself", "stop-from-a-timer", "interpreter-shutdown-chained"],
)
def test_program_ends(body, lines, least, most):
    started = time.monotonic()
    code, out, err = finish(start(body))
    took = time.monotonic() - started
    assert (code, err) == (0, "")
    assert out[0] == lines[0] and sorted(out[1:]) == sorted(lines[1:])
    assert least <= took < most


def test_failed_construction_does_not_hang():
    code, out, err = finish(start("""
        import configparser
        wrapper.config = configparser.ConfigParser()   # as with config.ini absent
        before = threading._shutdown
        try:
            wrapper.Wrapper(True)
        except configparser.NoSectionError as exc:
            print(type(exc).__name__, exc.section, threading._shutdown is before, flush=True)
    """), timeout=10)
    assert (code, err) == (0, "")
    assert out == ["NoSectionError UAT True", "main end"]


def test_failed_construction_puts_the_previous_hook_back():
    proc = start("""
        import configparser
        held = wrapper.Wrapper(True)
        wrapper.config = configparser.ConfigParser()
        try:
            wrapper.Wrapper(False)
        except configparser.NoSectionError:
            print('second failed', flush=True)
        threading.Timer(1.0, held._stop).start()
    """)
    started = time.monotonic()
    code, out, err = finish(proc)
    # The process waited for the held object's loop, which the restored hook watches.
    assert (code, out, err) == (0, ["second failed", "main end"], "")
    assert time.monotonic() - started >= 1.0
