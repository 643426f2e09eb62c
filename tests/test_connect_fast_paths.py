"""The connection's direct paths against its general ones, over TCP against the loopback trading
server: emissions on pyee's own emitters, the Socket handing replies to its connection, and the
header filled without gen_header's dict. Each scenario runs with the objects the direct path
knows and with objects it must not take for them (an emitter whose emission was replaced on the
instance or on its class, a gen_header that is not the core's own); the results, the order of
listener calls, `once`, "error" with nobody listening and the exceptions are the same."""
import asyncio
import functools
import logging
import sys
import threading
import types
from collections import OrderedDict

import pytest
from pyee import EventEmitter, PyeeException

import dorvane.backend.socket.protocol as protocol
import dorvane.backend.socket.protocol.core as core
from dorvane.backend.error import ServerError
from servers.trading_server import Reply, pack_message
from support.connect_fixtures import PERSON, connected_idle, logs, loop, make_connection, server  # noqa: F401

PLAIN = 7  # not in the request table: a reply resolves with its body


def run(loop, coro, timeout=5):
    return loop.run_until_complete(asyncio.wait_for(coro, timeout))


class PyeeCalls:
    """Counts the calls that enter pyee's emission (its emit method)."""

    def __init__(self):
        self.count = 0

    def __enter__(self):
        def profile(frame, event, arg):
            if event == "call" and frame.f_code is EventEmitter.emit.__code__:
                self.count += 1
        sys.setprofile(profile)
        return self

    def __exit__(self, *exc):
        sys.setprofile(None)


@pytest.fixture(params=["own", "instance", "class"])
def emitters(request, monkeypatch):
    """How the connection's emitters are made: pyee's own (the direct path), with emit bound on
    the instance, or with the class's _emit_run replaced by an equivalent (the general path)."""
    def prepare(conn):
        for emitter in (conn.event, conn._socket.event):
            if request.param == "instance":
                emitter.emit = types.MethodType(EventEmitter.emit, emitter)
        if request.param == "class":
            monkeypatch.setattr(EventEmitter, "_emit_run", lambda self, f, args, kwargs: f(*args, **kwargs))
    prepare.direct = request.param == "own"
    return prepare


@pytest.fixture
def conn(loop, server, emitters):
    c = connected_idle(loop, server)
    emitters(c)
    return c


def test_listeners_order_once_and_a_failing_listener(loop, conn, emitters, logs):
    calls = []
    conn.event.on("data", f=lambda msg: calls.append(("a", msg)))
    conn.event.once("data", lambda msg: calls.append(("once", msg)))

    def failing(msg):
        calls.append(("fails", msg))
        if msg == b"two":
            raise ValueError("listener failed")
    conn.event.on("data", f=failing)
    conn.event.on("data", f=lambda msg: calls.append(("last", msg)))

    async def main():
        return [await conn.send(PLAIN, PERSON, body) for body in (b"one", b"two", b"three")]

    with PyeeCalls() as pyee:
        assert run(loop, main()) == [b"one", b"two", b"three"]
    assert calls == [("a", b"one"), ("once", b"one"), ("fails", b"one"), ("last", b"one"),
                     ("a", b"two"), ("fails", b"two"),  # the failure ends that emission, as in pyee
                     ("a", b"three"), ("fails", b"three"), ("last", b"three")]
    assert [str(m) for m in logs.messages(logging.ERROR)] == ["listener failed"]
    assert (pyee.count == 0) == emitters.direct


@pytest.mark.parametrize("value, raised, text", [
    (ConnectionResetError("gone"), ConnectionResetError, "gone"),
    ("a text", PyeeException, "Uncaught, unspecified 'error' event: a text"),
])
def test_error_with_nobody_listening(loop, conn, value, raised, text):
    with pytest.raises(raised) as info:
        conn._onError(value)
    assert str(info.value) == text
    if isinstance(value, BaseException):
        assert info.value is value
    seen = []
    conn.event.on("error", f=seen.append)
    conn._onError(value)
    assert seen == [value]


def test_failed_reply_with_nobody_listening(loop, server, conn):
    server.handle(PLAIN, lambda request: Reply(b"", ret=1))
    reports = []
    loop.set_exception_handler(lambda _, context: reports.append(context))

    async def main():
        with pytest.raises(ServerError):
            await conn.send(PLAIN, PERSON, b"x")
        return await conn.send(2, PERSON, b"", compress=False)

    assert run(loop, main()) == b""  # the stream goes on
    assert reports == []


def test_unmatched_reply_keeps_the_structures_record(loop, server, conn):
    message = pack_message(b"unasked", nHandle=4242, nKIVO=PLAIN, person_id=PERSON.encode())
    server.push(message)
    run(loop, asyncio.wait_for(_until(lambda: len(conn.unsolicited) == 1), 5))
    kept = conn.unsolicited[0]
    expected = protocol.HEADER.parse(message[:protocol.HEADER_SIZE])
    assert type(kept["header"]) is type(expected) and kept["header"] == expected
    assert kept["msg"] == b"unasked"


async def _until(predicate):
    while not predicate():
        await asyncio.sleep(0.002)


def test_emission_waits_for_the_emitters_lock(loop, conn):
    seen = []
    held = threading.Event()
    lock = conn.event._lock

    def other_thread():
        with lock:
            held.set()
            threading.Event().wait(0.05)
            conn.event._events.setdefault("error", OrderedDict())[seen.append] = seen.append

    thread = threading.Thread(target=other_thread)
    thread.start()
    held.wait(5)
    exc = RuntimeError("late listener")
    conn._onError(exc)  # waits for the lock, then finds the listener added under it
    thread.join(5)
    assert seen == [exc]


# ---------------------------------------------------------------------------------------------
# The header filled without gen_header's dict, against gen_header itself

@pytest.fixture(params=["own", "wrapped"])
def gen_header(request, monkeypatch):
    if request.param == "wrapped":
        monkeypatch.setattr(protocol, "gen_header", functools.partial(core.gen_header))


@pytest.mark.parametrize("body, kwargs", [
    (b"abc", {}),
    (b"abc", {"compress": False}),
    (b"", {"compress": False, "bHts": 0, "nOutHandle": 7, "bContinue": 1, "bEncrypt": 2}),
    (b"abc", {"compress": False, "bCompress": 3, "nDecodeLength": 9}),
    (b"abc", {"bCompress": 3, "net_length": 99, "nDecompressLength": 5}),  # overwritten
])
def test_header_fields(loop, server, gen_header, monkeypatch, body, kwargs):
    monkeypatch.setattr(core, "ip_convert", lambda ip4: 0x01020304)  # read at each call, both ways
    conn = make_connection(loop, server, ping_duration=60)
    run(loop, conn.connect())
    run(loop, server.wait_requests(1, nKIVO=2))
    server.requests.clear()
    assert run(loop, conn.send(PLAIN, PERSON, body, **kwargs)) == body
    h = run(loop, server.wait_requests(1))[0].header
    compressed = kwargs.get("compress", True) is True and body
    assert h.ip4 == 0x01020304 and h.nKIVO == PLAIN and h.person_id == PERSON.encode()
    assert h.bCompress == (1 if compressed else kwargs.get("bCompress", 0))
    assert h.nDecompressLength == (len(body) if compressed else 0)
    assert (h.bHts, h.nOutHandle, h.bContinue, h.bEncrypt, h.nDecodeLength) == (
        kwargs.get("bHts", 1), kwargs.get("nOutHandle", 105), kwargs.get("bContinue", 0),
        kwargs.get("bEncrypt", 0), kwargs.get("nDecodeLength", 0))
    conn.disconnect()


@pytest.mark.parametrize("nKIVO, person_id, kwargs", [
    (PLAIN, PERSON, {"ret": 1}),                # not a gen_header keyword
    (PLAIN, PERSON, {"bogus": 1}),
    (2 ** 40, PERSON, {}),                      # does not fit its field
    (PLAIN, "X" * 13, {}),                      # too long for the person id
    (PLAIN, PERSON, {"bHts": 256}),
    (PLAIN, PERSON, {"nOutHandle": "105"}),
])
def test_header_errors_match(loop, server, monkeypatch, nKIVO, person_id, kwargs):
    conn = make_connection(loop, server, ping_duration=60)
    run(loop, conn.connect())
    outcomes = []
    for wrapped in (False, True):
        if wrapped:
            monkeypatch.setattr(protocol, "gen_header", functools.partial(core.gen_header))
        with pytest.raises(Exception) as info:
            conn.send(nKIVO, person_id, b"abc", **kwargs)
        outcomes.append((type(info.value), str(info.value)))
    assert outcomes[0] == outcomes[1]
    conn.disconnect()


class GettingDict(dict):
    """A request table whose look-ups go through its own get (the general path)."""

    def get(self, key, default=None):
        self.asked = getattr(self, "asked", 0) + 1
        return dict.get(self, key, default)


@pytest.mark.parametrize("table", [dict, GettingDict, types.MappingProxyType], ids=lambda t: t.__name__)
def test_request_table_kinds_give_the_same_outcomes(loop, server, monkeypatch, table):
    """The request table read directly (an exact dict) or through its get: same builders, parsers
    and errors (a code without an entry, a code that cannot be a key)."""
    kivo_map = table(dict(protocol.kivo_map))
    monkeypatch.setattr(protocol, "kivo_map", kivo_map)
    conn = make_connection(loop, server, ping_duration=60)
    run(loop, conn.connect())
    echoed = run(loop, conn.send(protocol.requests.KIVO_ECHO, PERSON, {"b": 2, "a": "x"}))
    assert dict(echoed) == {"a": "x", "b": 2}
    assert run(loop, conn.send(PLAIN, PERSON, b"raw")) == b"raw"
    failures = []
    for nKIVO in (77, [1]):
        with pytest.raises(Exception) as info:
            conn.send(nKIVO, PERSON, {"a": 1})
        failures.append((type(info.value), str(info.value)))
    assert failures == [(Exception, "KIVO[77] handler is not exist."),
                        (TypeError, "unhashable type: 'list'")]
    if table is GettingDict:
        assert kivo_map.asked >= 4
    conn.disconnect()
