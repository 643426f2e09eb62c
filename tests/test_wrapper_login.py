"""Socket facade login and logout over real TCP against the loopback trading server, with the quote
login against the in-process loopback broker."""
import asyncio
import gc
import json
import logging
import os
import re
import socket
import subprocess
import sys
import threading
import time

import pytest

from dorvane.backend.error import ServerError
from dorvane.backend.socket import client, wrapper
from dorvane.backend.solace.quote import Quote
from dorvane.contracts import Stock
from quillmesh import solclient
from support.facade_fixtures import config_for, facade, server, stop_facades, wait_until  # noqa: F401

PERSON, PASSWORD = "A123456789", "pw"
QUOTE_VPN = "dorvane_uat"  # the loopback server's sol_vpn
TSMC = Stock(code="2330", exchange="TSE")


@pytest.fixture
def broker(monkeypatch):
    fresh = solclient.Broker()
    fresh.add_account(QUOTE_VPN, "dorvane", "qerwunt482")
    monkeypatch.setattr(solclient, "broker", fresh)
    return fresh


@pytest.fixture
def logs(caplog):
    caplog.set_level(logging.INFO, logger="dorvane")
    return caplog


def login_lines(w, person_id=PERSON):
    return ["Connecting to {}:{}.".format(w._host, w._port), "Connected.", "Logging in {}.".format(person_id),
            "Log in successed.", "Logging in solace.", "Log in solace successed.", "Request accounts."]


FACADE_TEXTS = ("Connecting to ", "Connected.", "Logging in ", "Log in successed.", "Log in solace successed.",
                "Request accounts.", "Logout...", "Logout  successed.")


def facade_lines(caplog):
    """The facade's information lines, in order (the session client writes its own as well)."""
    return [r.getMessage() for r in caplog.records
            if r.name == "dorvane" and r.levelno == logging.INFO and r.getMessage().startswith(FACADE_TEXTS)]


def logged_exceptions(caplog):
    """Error records whose message is an exception object (the facade's guarded parts)."""
    return [r.msg for r in caplog.records if r.levelno == logging.ERROR and isinstance(r.msg, BaseException)]


def loop_thread():
    thread, _ = threading._shutdown.args
    return thread


class RecordingQuote(Quote):
    """A real Quote that notes the thread of its login."""

    def connect(self, host, vpn, user, password):
        self.connect_thread = threading.current_thread()
        return super().connect(host, vpn, user, password)


def test_login_road_end_to_end(facade, server, broker, logs):
    w = facade()
    q = RecordingQuote()
    ticks, got = [], threading.Event()

    def on_quote(topic, msg):
        ticks.append((topic, msg, broker.on_delivery_thread()))
        got.set()

    q.set_callback(on_quote)
    assert w.login(PERSON, PASSWORD, quote=q) is None
    assert [(b["person_id"], b["passwd"]) for b in server.session.logins] == [(PERSON, PASSWORD)]
    session = broker.session(q.client)
    assert session.connected and (session.host, session.vpn, session.user) == (wrapper.QUOTE_HOST, QUOTE_VPN, "dorvane")
    assert q.connect_thread is loop_thread()  # the quote login runs on the loop thread
    assert facade_lines(logs) == login_lines(w)
    assert logged_exceptions(logs) == []

    q.subscribe(TSMC)
    tick = {"Code": "2330", "Close": [601.0], "Volume": [2], "Time": "09:00:01"}
    assert solclient.publish("MKT/idc01/TSE/2330", tick) == 1
    assert got.wait(5)
    assert ticks == [("MKT/idc01/TSE/2330", tick, True)]

    assert w.logout() is None
    assert server.session.logouts == [{"person_id": PERSON}]
    assert facade_lines(logs)[-2:] == ["Logout...", "Logout  successed."]
    assert wait_until(lambda: server.server.connections == [])


def test_login_without_quote_writes_every_line(facade, server, logs):
    w = facade()
    w.login(person_id=PERSON, passwd=PASSWORD, quote=None, timeout=5)
    assert facade_lines(logs) == login_lines(w)


class FalseQuote:
    def __bool__(self):
        return False

    def connect(self, *args):
        raise AssertionError("a false quote object must not be logged in")


def test_false_quote_is_not_logged_in(facade, server, logs):
    w = facade()
    w.login(PERSON, PASSWORD, FalseQuote())
    w.login(PERSON, PASSWORD, [])
    assert facade_lines(logs) == login_lines(w) * 2


def test_second_login_reuses_the_connection_and_the_client(facade, server, logs):
    w = facade()
    w.login(PERSON, PASSWORD)
    session_client = w._client
    w.login("B987654321", "other")
    assert w._client is session_client and server.server.accepted == 1
    assert [(b["person_id"], b["passwd"]) for b in server.session.logins] == [(PERSON, PASSWORD), ("B987654321", "other")]
    assert server.session.login_requests[1].person_id == "B987654321"
    w.logout()
    assert server.session.logouts == [{"person_id": PERSON}]  # the person of the first login
    # After a logout the same client connects again.
    w.login(PERSON, PASSWORD)
    assert w._client is session_client and server.server.accepted == 2


def test_login_coroutine_on_the_loop_uses_its_loop(facade, server):
    w = facade()
    assert asyncio.run_coroutine_threadsafe(w.loginAsync(PERSON, PASSWORD), w._loop).result(5) is None
    assert asyncio.run_coroutine_threadsafe(w.logoutAsync(), w._loop).result(5) is None
    assert server.session.logouts == [{"person_id": PERSON}]


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Answer:
    """Quote objects whose connect answers with a fixed result."""

    def __init__(self, result):
        self.result = result

    def connect(self, host, vpn, user, password):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


def refused(w, server, broker, monkeypatch):
    monkeypatch.setattr(w, "_port", str(closed_port()))
    return {}


def no_local_port(w, server, broker, monkeypatch):
    # A session client whose connect resolves without a connection: it has no local port.
    session_client = client.Client(PERSON, w._host, w._port, w._loop)

    def connect(loop=None):
        fut = loop.create_future()
        fut.set_result("connected")
        return fut

    session_client.connect = connect
    w._client = session_client
    return {}


def server_error(w, server, broker, monkeypatch):
    server.session.login_ret = 8
    return {}


def quote_login_failed(w, server, broker, monkeypatch):
    broker.remove_account(QUOTE_VPN, "dorvane")
    return {"quote": Quote()}


def quote_answers(result):
    def setup(w, server, broker, monkeypatch):
        return {"quote": Answer(result)}
    return setup


@pytest.mark.parametrize(
    "setup, error, text, code",
    [
        (refused, ConnectionRefusedError, None, None),
        (no_local_port, Exception, "Please connect first.", None),
        (server_error, ServerError, None, 8),
        (quote_login_failed, ServerError, "{} : Solace login failed".format(solclient.LOGIN_FAILED), solclient.LOGIN_FAILED),
        (quote_answers(5), ServerError, "5 : Solace login failed", 5),
        (quote_answers(None), ServerError, "None : Solace login failed", None),
        (quote_answers(ValueError("quote broke")), ValueError, "quote broke", None),
    ],
    ids=["refused", "no-local-port", "server-error", "quote-login-failed", "quote-5", "quote-None", "quote-raises"],
)
def test_login_failures_are_logged_once_and_reraised(facade, server, broker, logs, monkeypatch, setup, error, text, code):
    w = facade()
    extra = setup(w, server, broker, monkeypatch)
    with pytest.raises(error) as info:
        w.login(PERSON, PASSWORD, timeout=5, **extra)
    assert type(info.value) is error
    if text is not None:
        assert str(info.value) == text
    if error is ServerError:
        assert info.value.code == code
        if "quote" in extra:
            assert info.value.message == "Solace login failed"
    logged = logged_exceptions(logs)
    assert len(logged) == 1 and logged[0] is info.value
    assert "Request accounts." not in facade_lines(logs)


class Recorder:
    """A quote object that notes how its connect was called and answers with `result`."""

    def __init__(self, result):
        self.result, self.calls = result, []

    def connect(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result


@pytest.mark.parametrize("result", [0, 0.0, False])
def test_quote_login_call_and_results_equal_to_zero(facade, server, logs, result):
    w = facade()
    q = Recorder(result)
    assert w.login(PERSON, PASSWORD, quote=q) is None
    # Four positional arguments: the built-in endpoint, the reply's VPN, the built-in user and password.
    assert q.calls == [((wrapper.QUOTE_HOST, QUOTE_VPN, "dorvane", "qerwunt482"), {})]
    assert facade_lines(logs) == login_lines(w) and logged_exceptions(logs) == []


class Unawaitable:
    """A stand-in session client whose calls give objects that cannot be awaited."""

    def connect(self, loop=None):
        return None

    def logout(self, loop=None):
        return 5


@pytest.mark.parametrize("call", ["login", "logout"])
def test_await_of_a_non_awaitable_is_logged_and_reraised(facade, server, logs, call):
    w = facade()
    w._client = Unawaitable()
    with pytest.raises(TypeError, match="can't be used in 'await' expression") as info:
        w.login(PERSON, PASSWORD) if call == "login" else w.logout()
    assert logged_exceptions(logs) == [info.value]


def test_failed_quote_login_leaves_the_session_logged_in(facade, server, broker, logs):
    w = facade()
    with pytest.raises(ServerError):
        w.login(PERSON, PASSWORD, quote=Answer(3))
    assert w._client.isLogined is True and server.session.logouts == []


def test_login_while_the_connection_closes(facade, server, logs):
    """The connection is still held but closing when the login request goes out."""
    w = facade()
    w.login(PERSON, PASSWORD)
    holder = {}

    def stage():
        # Runs on the loop: the login starts after the transport's close and before its loss is
        # handled, so the request finds the connection not alive.
        transport = w._client.conn._socket.transport
        holder["future"] = asyncio.run_coroutine_threadsafe(w.loginAsync(PERSON, PASSWORD), w._loop)
        w._loop.call_soon(transport.close)

    w._loop.call_soon_threadsafe(stage)
    assert wait_until(lambda: "future" in holder)
    with pytest.raises(Exception) as info:
        holder["future"].result(5)
    assert type(info.value) is Exception and str(info.value) == "Please login first."
    assert logged_exceptions(logs) == [info.value]


def test_timeout_leaves_the_login_running(facade, server, logs):
    w = facade()
    server.session.hold_login = True
    start = time.monotonic()
    with pytest.raises(TimeoutError):
        w.login(PERSON, PASSWORD, timeout=0.2)
    assert time.monotonic() - start < 2
    assert wait_until(lambda: len(server.session.logins) == 1)
    assert facade_lines(logs) == login_lines(w)[:3]
    # The login goes on: when the connection is lost its pending request fails, and the
    # coroutine logs that failure although nobody waits for it any more.
    server.run(server.server.drop)
    assert wait_until(lambda: len(logged_exceptions(logs)) == 1)
    assert isinstance(logged_exceptions(logs)[0], ConnectionError)


@pytest.mark.parametrize("call, timeout, text", [
    ("login", 0.25, "login did not finish within 0.25 s"),
    ("login", 1, "login did not finish within 1 s"),
    ("logout", 0.5, "logout did not finish within 0.5 s"),
])
def test_timeout_names_the_call_and_the_time(facade, server, call, timeout, text):
    w = facade()
    if call == "login":
        server.session.hold_login = True
    else:
        w.login(PERSON, PASSWORD)
        server.run(server.server.handle, 12, lambda req: None)  # a logout that gets no answer
    with pytest.raises(TimeoutError) as info:
        getattr(w, call)(*((PERSON, PASSWORD) if call == "login" else ()), timeout=timeout)
    assert type(info.value) is TimeoutError and str(info.value) == text


def test_login_timed_out_while_connecting_leaves_no_connection(monkeypatch):
    # The trading server's accept queue is full: the connect stays under way while the login
    # waits, and the login's time-out must take the connect with it.
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    filler = socket.create_connection(listener.getsockname())
    monkeypatch.setattr(wrapper, "config", config_for(uat=listener.getsockname()))
    w = wrapper.Wrapper(True)

    async def attempt():
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(w.loginAsync(PERSON, PASSWORD), 0.3)

    asyncio.run_coroutine_threadsafe(attempt(), w._loop).result(5)
    filler.close()
    listener.accept()[0].close()
    listener.settimeout(2.0)  # a connect still under way completes with the SYN it sends again
    with pytest.raises(socket.timeout):
        listener.accept()
    listener.close()

    async def held():
        conn = w._client.conn
        return conn._socket, conn._connecting, [t for t in asyncio.all_tasks() if "ping_aliveAsync" in repr(t)]

    assert asyncio.run_coroutine_threadsafe(held(), w._loop).result(5) == (None, None, [])


def test_loss_before_the_reply_fails_the_login(facade, server, logs):
    w = facade()
    server.session.hold_login = True
    outcome = {}

    def call():
        try:
            w.login(PERSON, PASSWORD, timeout=5)
        except BaseException as exc:  # noqa: B902 - handed to the test thread
            outcome["error"] = exc

    caller = threading.Thread(target=call)
    caller.start()
    assert wait_until(lambda: len(server.session.logins) == 1)
    server.run(server.server.drop)
    caller.join(5)
    assert isinstance(outcome["error"], ConnectionError)
    assert logged_exceptions(logs) == [outcome["error"]]


def test_cancelled_login_is_not_logged(facade, server, logs):
    w = facade()
    server.session.hold_login = True
    coro = w.loginAsync(PERSON, PASSWORD)
    future = asyncio.run_coroutine_threadsafe(coro, w._loop)
    assert wait_until(lambda: len(server.session.logins) == 1)
    assert future.cancel()
    # The cancellation reaches the coroutine, which ends with it; not being of the Exception
    # kind, it passes without an error line.
    assert wait_until(lambda: not asyncio.run_coroutine_threadsafe(_tasks_of(coro), w._loop).result(5))
    assert logged_exceptions(logs) == []
    assert "Log in successed." not in facade_lines(logs)


def test_login_cancelled_while_connecting_leaves_the_other_login_running(facade, server, logs):
    w = facade()

    async def two_logins():
        first = asyncio.ensure_future(w.loginAsync(PERSON, PASSWORD))
        second = asyncio.ensure_future(w.loginAsync(PERSON, PASSWORD))
        await asyncio.sleep(0)  # both now await the one connect under way
        assert w._client.conn._connecting is not None and w._client.conn._socket is None
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(first, 0)
        assert await second is None
        return first.cancelled()

    assert asyncio.run_coroutine_threadsafe(two_logins(), w._loop).result(5) is True
    assert len(server.session.logins) == 1 and server.server.accepted == 1
    assert w._client.isLogined is True and logged_exceptions(logs) == []


async def _tasks_of(coro):
    return [t for t in asyncio.all_tasks() if t.get_coro() is coro]


def test_logout_before_login(facade, server, logs):
    w = facade()
    with pytest.raises(AttributeError) as info:
        w.logout()
    assert "NoneType" in str(info.value)
    assert facade_lines(logs) == ["Logout..."]
    assert logged_exceptions(logs) == [info.value]


def test_second_logout_is_refused(facade, server, logs):
    w = facade()
    w.login(PERSON, PASSWORD)
    w.logout(timeout=5)
    with pytest.raises(Exception) as info:
        w.logout(5)
    assert type(info.value) is Exception and str(info.value) == "Please login first."
    assert facade_lines(logs)[-3:] == ["Logout...", "Logout  successed.", "Logout..."]
    assert logged_exceptions(logs) == [info.value]


def test_logout_refused_by_the_server(facade, server, logs):
    w = facade()
    w.login(PERSON, PASSWORD)
    server.session.logout_ret = 8
    with pytest.raises(ServerError) as info:
        w.logout()
    assert info.value.code == 8
    assert logged_exceptions(logs) == [info.value]


def test_after_stop_calls_time_out(facade, server, logs):
    w = facade()
    w._stop()
    assert wait_until(lambda: not loop_thread().is_alive())
    # The time-out says why nothing could finish: the loop that would run the call has stopped.
    stopped = (" s: the facade's event loop is not running (Wrapper._stop() and the facade's release stop it), "
               "so nothing runs the call")
    with pytest.raises(TimeoutError, match=r"^login did not finish within 0\.05" + re.escape(stopped) + "$"):
        w.login(PERSON, PASSWORD, timeout=0.05)
    with pytest.raises(TimeoutError, match=r"^logout did not finish within 0\.05" + re.escape(stopped) + "$"):
        w.logout(timeout=0.05)
    assert server.session.logins == [] and facade_lines(logs) == []
    # The two calls' coroutines wait in the stopped loop; closing it drops them, never awaited.
    with pytest.warns(RuntimeWarning) as dropped:
        w._loop.close()
        gc.collect()
    # The block records every warning; the collector may meet an unrelated ResourceWarning.
    assert sorted(str(d.message) for d in dropped if d.category is RuntimeWarning) == [
        "coroutine 'Wrapper.loginAsync' was never awaited", "coroutine 'Wrapper.logoutAsync' was never awaited"]


# The start of a program run in a fresh interpreter: the loopback trading server answering logins
# on a thread of its own, and the facade's configuration pointing at it.
FACADE_PROGRAM = """
import asyncio, configparser, gc, json, os, sys, threading, time
sys.path[:0] = [{root!r}, {tests!r}]
from servers.session_server import SessionService
from servers.trading_server import ThreadedTradingServer
from dorvane.backend.socket import wrapper
from dorvane.backend.socket.connect import Connection

server = ThreadedTradingServer().start()
server.run(SessionService, server.server)
wrapper.config = configparser.ConfigParser()
wrapper.config["UAT"] = {{"host": server.host, "port": str(server.port)}}
"""


def facade_program(body):
    tests = os.path.dirname(os.path.abspath(__file__))
    return FACADE_PROGRAM.format(root=os.path.dirname(tests), tests=tests) + body


# A program that logs in with 20 facades and drops them without logging out, then prints what it
# holds (descriptors, connections, loops, transports, threads) before and after, as JSON.
DROPPED_FACADES = """
hook = threading._shutdown


def held():
    gc.collect()
    objects = gc.get_objects()
    return {"descriptors": len(os.listdir("/proc/self/fd")),
            "connections": sum(isinstance(o, Connection) for o in objects),
            "loops": sum(isinstance(o, asyncio.AbstractEventLoop) for o in objects),
            # open ones: the server keeps its records (and so its closed transports)
            "transports": sum(isinstance(o, asyncio.BaseTransport) and not o.is_closing() for o in objects),
            "threads": threading.active_count()}


def log_in_and_drop(count):
    for _ in range(count):
        w = wrapper.Wrapper(True)
        w.login("A123456789", "pw", timeout=10)
        del w


log_in_and_drop(1)  # what the first facade imports or caches for good belongs to the baseline
before = held()
log_in_and_drop(20)
after = held()
# The loops' threads end and the server closes its side a moment later (the wait counts from the
# last drop, however long the logins took).
end = time.monotonic() + 3
while any(after[k] > before[k] for k in before) and time.monotonic() < end:
    time.sleep(0.05)
    after = held()
threading._shutdown = hook
print(json.dumps({"before": before, "after": after}))
"""


def test_facades_dropped_logged_in_release_everything():
    # Each facade logged in holds a loop, its thread, a Connection, its transport and their
    # descriptors; once dropped without logout and collected, all of it is gone.
    source = facade_program(DROPPED_FACADES)
    proc = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    counts = json.loads(proc.stdout.splitlines()[-1])
    before, after = counts["before"], counts["after"]
    assert {k: after[k] - before[k] for k in before if after[k] > before[k]} == {}, counts


# Programs that end a facade in each documented way, in a fresh interpreter whose stderr must stay
# free of asyncio's report of a task collected while pending.
ENDINGS = """
def stopped(w):
    thread = threading._shutdown.args[0]
    w._stop()
    thread.join(5)
"""


@pytest.mark.parametrize("body", [
    # logout, _stop, del, then a second facade
    "w = wrapper.Wrapper(True)\nw.login('A123456789', 'pw')\nw.logout()\nstopped(w)\ndel w\n",
    # the collector frees a facade stopped while logged in
    "w = wrapper.Wrapper(True)\nw.login('A123456789', 'pw')\nstopped(w)\ndel w\n",
    # the server drops the connection, then the facade is stopped and freed
    "w = wrapper.Wrapper(True)\nw.login('A123456789', 'pw')\nserver.run(server.server.drop)\ntime.sleep(0.2)\n"
    "stopped(w)\ndel w\n",
    # a facade freed without _stop
    "w = wrapper.Wrapper(True)\nw.login('A123456789', 'pw')\ndel w\ntime.sleep(0.3)\n",
], ids=["logout-stop-del-second", "stopped-logged-in", "connection-reset", "del-logged-in"])
def test_ended_facades_leave_no_pending_task(tmp_path, body):
    # A later facade takes the exit hook (which holds the last loop) over, so the collector can
    # free the first one's loop and what it holds.
    epilogue = "last = wrapper.Wrapper(True)\nstopped(last)\ngc.collect()\nprint('end')\n"
    source = facade_program(ENDINGS + body + epilogue)
    proc = subprocess.run([sys.executable, "-c", source], cwd=tmp_path, capture_output=True, text=True,
                          timeout=60)
    assert (proc.returncode, proc.stdout) == (0, "end\n"), proc.stderr
    assert "Task was destroyed" not in proc.stderr and "never retrieved" not in proc.stderr, proc.stderr
