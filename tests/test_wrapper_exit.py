"""The facade's exit hook, seen from programs that run in a process of their own."""
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from support.sanitized import scaled

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

PRELUDE = """\
import signal, sys, threading, time
signal.signal(signal.SIGINT, signal.default_int_handler)  # as in a terminal, whatever the parent ignores
from dorvane.backend.socket import wrapper
"""


class Program:
    """A program in a process of its own; its output is read by threads, so no wait can block.
    `seen` maps each line of its output to the time (time.monotonic) it was first read."""

    def __init__(self, body):
        source = PRELUDE + textwrap.dedent(body) + "\nprint('main end', flush=True)\n"
        # -X faulthandler: a program that has to be killed shows where it stood (SIGABRT).
        self.proc = subprocess.Popen([sys.executable, "-X", "faulthandler", "-c", source], cwd=ROOT,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.out, self.err, self.seen = [], [], {}
        self.readers = [threading.Thread(target=self._read, args=(stream, into), daemon=True)
                        for stream, into in ((self.proc.stdout, self.out), (self.proc.stderr, self.err))]
        for reader in self.readers:
            reader.start()

    def _read(self, stream, into):
        for line in stream:
            line = line.rstrip("\n")
            self.seen.setdefault(line, time.monotonic())
            into.append(line)

    def wait_for_line(self, line, timeout=scaled(10)):
        end = time.monotonic() + timeout
        while line not in self.out:
            ended = self.proc.poll() is not None
            if ended:
                for reader in self.readers:
                    reader.join(5)
            if ended and line not in self.out or time.monotonic() > end:
                self.kill()
                pytest.fail("no line {!r}:\n{}".format(line, "\n".join(self.err)))
            time.sleep(0.01)

    def finish(self, timeout=scaled(10)):
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            pytest.fail("the program did not end:\n" + "\n".join(self.err))
        for reader in self.readers:
            reader.join(5)
        return self.proc.returncode, self.out, "\n".join(self.err)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGABRT)  # faulthandler prints the threads' stacks
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for reader in self.readers:
            reader.join(5)


STARTED = []


@pytest.fixture(autouse=True)
def kill_leftovers():
    """A program that a failed test leaves running is killed."""
    yield
    while STARTED:
        STARTED.pop().kill()


def start(body):
    program = Program(body)
    STARTED.append(program)
    return program


def test_program_holding_a_wrapper_stays_alive_until_interrupted():
    proc = start("""
        w = wrapper.Wrapper(True)
    """)
    proc.wait_for_line("main end")
    time.sleep(1.5)
    assert proc.proc.poll() is None  # main code ended, the process waits for the loop thread
    proc.proc.send_signal(signal.SIGINT)
    started = time.monotonic()
    code, out, err = proc.finish(timeout=5)
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
         "threading.Thread(target=lambda: (time.sleep(2.0), print('worker joined', flush=True))).start()\n"
         "w._stop()\n",
         ["main end", "registered exit call ran", "worker joined"], 2.0, 5.0),
    ],
    ids=["stop", "del", "loop-stops-itself", "stop-from-a-timer", "interpreter-shutdown-chained"],
)
def test_program_ends(body, lines, least, most):
    started = time.monotonic()
    program = start(body)
    code, out, err = program.finish()
    ended = time.monotonic()
    assert (code, out, err) == (0, lines, "")
    # The least from the start, the most from the end of the main code: the interpreter's start-up
    # and the imports (slow under a sanitizer or a loaded machine) are no part of the exit wait.
    assert least <= ended - started
    assert ended - program.seen["main end"] < scaled(most)


def test_failed_construction_does_not_hang():
    code, out, err = start("""
        import configparser
        wrapper.config = configparser.ConfigParser()   # as with config.ini absent
        before = threading._shutdown
        try:
            wrapper.Wrapper(True)
        except configparser.NoSectionError as exc:
            print(type(exc).__name__, exc.section, threading._shutdown is before, flush=True)
    """).finish(timeout=10)
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
    code, out, err = proc.finish()
    # The process waited for the held object's loop, which the restored hook watches.
    assert (code, out, err) == (0, ["second failed", "main end"], "")
    assert time.monotonic() - started >= 1.0


@pytest.mark.parametrize("busy, lines, most", [
    (0.5, ["busy", "main end", "loop done"], 2.5),   # the loop thread finishes its callback
    (30.0, ["busy", "main end"], 3.0),               # the wait is bounded
], ids=["finishes", "bounded"])
def test_interrupt_gives_the_loop_thread_a_bounded_moment(busy, lines, most):
    proc = start("""
        w = wrapper.Wrapper(True)
        def busy(seconds):
            print('busy', flush=True)
            time.sleep(seconds)
            print('loop done', flush=True)
        w._loop.call_soon_threadsafe(busy, {})
        time.sleep(0.2)
    """.format(busy))
    proc.wait_for_line("main end")
    proc.proc.send_signal(signal.SIGINT)
    started = time.monotonic()
    code, out, err = proc.finish(timeout=10)
    assert (code, out, err) == (0, lines, "")
    assert time.monotonic() - started < scaled(most)


def test_a_loop_closed_under_the_hook_still_lets_the_interpreter_join_its_threads():
    # The hook watches a thread whose loop was closed meanwhile: asking it to stop fails, and that
    # failure is reported after the interpreter's own shutdown wait has joined the program's
    # non-daemon thread, not in its place.
    proc = start("""
        import asyncio, functools
        closed = asyncio.new_event_loop()
        closed.close()
        watched = threading.Thread(target=threading.Event().wait, daemon=True)
        watched.start()
        threading.Thread(target=lambda: (time.sleep(scaled_worker), print('worker joined', flush=True))).start()
        threading._shutdown = functools.partial(wrapper._exitCheckfunc, watched, closed)
    """.replace("scaled_worker", repr(scaled(2.0))))
    proc.wait_for_line("main end")
    time.sleep(0.3)
    proc.proc.send_signal(signal.SIGINT)
    code, out, err = proc.finish()
    assert out == ["main end", "worker joined"]
    assert "RuntimeError: Event loop is closed" in err
