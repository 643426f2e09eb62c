"""Fixtures for tests of the socket facade Wrapper.

Import them into a test module: `from support.facade_fixtures import stop_facades, server, facade`.

- `stop_facades` (autouse where imported): after the test, ends the tasks left on every Wrapper
  loop thread still running, then stops its loop, joins the thread and puts the interpreter's `threading._shutdown` back,
  so pytest is not held at exit. It then closes every loop made during the test that is no longer
  running. The facade itself never closes its loop, and an unclosed selector loop sits in a
  reference cycle (its self-pipe reader refers back to it): left to the cycle collector, the loop's
  `__del__` may run after its self-pipe socket was finalised and raise `ValueError: Invalid file
  descriptor: -1` into whichever later test happens to trigger a collection. A Wrapper released
  after its loop was closed stays silent.
- `server`: the loopback trading server on a thread of its own, answering logins and logouts
  (`server.session` is its SessionService).
- `facade`: a factory `facade(simulation=True, **kwargs)` of Wrappers whose config points at
  `server`.
- `wait_until(predicate, timeout=5.0)`: polls `predicate` every 10 ms until it holds or the time is
  up; returns its last value.
"""
import asyncio
import configparser
import threading
import time

import pytest

from servers.session_server import SessionService
from servers.trading_server import ThreadedTradingServer


def wait_until(predicate, timeout=5.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.01)
    return predicate()


def config_for(uat=None, production=None):
    """A ConfigParser with the given (host, port) per section; a None section is left out."""
    config = configparser.ConfigParser()
    for section, address in (("UAT", uat), ("PRODUCTION", production)):
        if address is not None:
            config[section] = {"host": address[0], "port": str(address[1])}
    return config


def loop_threads():
    """The running loop threads of Wrappers, with their loops."""
    from dorvane.backend.socket import wrapper
    found = []
    for thread in threading.enumerate():
        if getattr(thread, "_target", None) is wrapper.start_loop:
            found.append((thread, thread._args[0]))
    return found


def end_tasks_then_stop(loop):
    """On the loop: cancels the tasks still running there and stops the loop once they have
    ended. A stop alone may land in the batch of callbacks that also cancels a task (a connection
    lost as the server closes), and the loop then stops before the task takes its last step:
    collected later, the task reports "Task was destroyed but it is pending!" into another test's
    output."""
    tasks = asyncio.all_tasks(loop)
    if not tasks:
        loop.stop()
        return
    for task in tasks:
        task.cancel()
    asyncio.gather(*tasks, return_exceptions=True).add_done_callback(lambda _: loop.stop())


@pytest.fixture(autouse=True)
def stop_facades(monkeypatch):
    hook = threading._shutdown
    made = []
    new_event_loop = asyncio.new_event_loop

    def recorded_new_event_loop():
        made.append(new_event_loop())
        return made[-1]

    monkeypatch.setattr(asyncio, "new_event_loop", recorded_new_event_loop)
    try:
        yield
    finally:
        threading._shutdown = hook
        for thread, loop in loop_threads():
            loop.call_soon_threadsafe(end_tasks_then_stop, loop)
            thread.join(5)
        for loop in made:
            if not loop.is_running():
                loop.close()


@pytest.fixture
def server():
    srv = ThreadedTradingServer().start()
    srv.session = srv.run(SessionService, srv.server)
    try:
        yield srv
    finally:
        srv.stop()


@pytest.fixture
def facade(server, monkeypatch):
    from dorvane.backend.socket import wrapper
    monkeypatch.setattr(wrapper, "config", config_for(uat=(server.host, server.port),
                                                      production=(server.host, server.port)))

    def make(simulation=True, **kwargs):
        return wrapper.Wrapper(simulation, **kwargs)
    return make
