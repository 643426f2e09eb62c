"""Fixtures for tests that drive a real Connection over TCP against the loopback trading server.

Import the fixtures into a test module: `from support.connect_fixtures import loop, server`.
"""
import asyncio
import logging

import pytest

from servers.trading_server import TradingServer

PERSON = "A123456789"


@pytest.fixture
def loop():
    """A fresh event loop, current while the test runs; closed afterwards with its tasks ended."""
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    try:
        yield loop
    finally:
        loop.run_until_complete(asyncio.sleep(0.01))  # let closed transports report their loss
        tasks = asyncio.all_tasks(loop)
        for task in tasks:
            task.cancel()
        if tasks:
            loop.run_until_complete(asyncio.gather(*tasks, return_exceptions=True))
        loop.run_until_complete(loop.shutdown_asyncgens())
        asyncio.set_event_loop(None)
        loop.close()


@pytest.fixture
def server(loop):
    """A started TradingServer on the test's loop."""
    srv = TradingServer()
    loop.run_until_complete(srv.start())
    try:
        yield srv
    finally:
        loop.run_until_complete(srv.close())


@pytest.fixture
def closed_loop():
    """A closed event loop whose exception handler records what reaches it: a future of it raises
    from set_result or set_exception once it has a callback to schedule."""
    other = asyncio.new_event_loop()
    reports = []
    other.set_exception_handler(lambda _, context: reports.append(context))
    other.close()
    other.reports = reports
    return other


async def until(predicate, timeout=5.0):
    """Wait on the running loop, looking every 5 ms, until `predicate()` holds; fails after
    `timeout` seconds (a bound for slow runs, not a measurement)."""
    deadline = asyncio.get_running_loop().time() + timeout
    while not predicate():
        if asyncio.get_running_loop().time() > deadline:
            raise AssertionError("condition not reached")
        await asyncio.sleep(0.005)


def make_connection(loop, server, person_id=PERSON, **kwargs):
    from dorvane.backend.socket.connect import Connection
    return Connection(server.host, server.port, person_id, loop=loop, **kwargs)


def connected_idle(loop, server, timeout=5):
    """A connected Connection whose keep-alive stays out of the way: its first (and, within a
    test, only) keep-alive has taken handle 0 and been answered, so requests start at handle 1;
    the server's record of requests starts empty."""
    c = make_connection(loop, server, ping_duration=60)
    loop.run_until_complete(asyncio.wait_for(c.connect(), timeout))
    loop.run_until_complete(asyncio.wait_for(server.wait_requests(1, nKIVO=2), timeout))
    while c.req_map:
        loop.run_until_complete(asyncio.sleep(0.001))
    server.requests.clear()
    return c


class Recorder:
    """Records the events of an emitter in order: ("connected",), ("data", body), ..."""

    NAMES = ("connected", "data", "error", "disconnected")

    def __init__(self, emitter, names=NAMES):
        self.events = []
        for name in names:
            emitter.on(name, f=self._listener(name))

    def _listener(self, name):
        def listener(*args):
            self.events.append((name,) + args)
        return listener

    def names(self):
        return [e[0] for e in self.events]


class LogCapture(logging.Handler):
    """Collects the records of the library's logger."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)

    def messages(self, level=None):
        return [r.msg for r in self.records if level is None or r.levelno == level]


@pytest.fixture
def logs():
    logger = logging.getLogger("dorvane")
    handler = LogCapture()
    old = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    try:
        yield handler
    finally:
        logger.removeHandler(handler)
        logger.setLevel(old)
