"""Connection life: attributes, connect, events, reset, disconnect and keep-alive, over real TCP
against the loopback trading server."""
import asyncio
import collections
import gc
import logging
import socket
import threading
import types

import pytest

import dorvane.backend.socket.protocol as protocol
from dorvane.backend.socket import client
from dorvane.backend.socket.connect import Connection, Socket
from support.connect_fixtures import PERSON, Recorder, closed_loop, logs, loop, make_connection, server, until  # noqa: F401
from servers.trading_server import Reply
from support.sanitized import scaled


def run(loop, coro, timeout=5):
    return loop.run_until_complete(asyncio.wait_for(coro, timeout))


STATE = ("connected", "error", "disconnected")  # the events that keep-alive replies do not add to


def listener_count(emitter):
    return sum(len(emitter.listeners(name)) for name in Recorder.NAMES)


def assert_unconnected(conn):
    assert conn.is_alive() is None
    assert conn._socket is None and conn.local_port is None
    assert conn.ip4 == "127.0.0.1" and conn.nHandle == 0
    assert conn.req_map == {} and isinstance(conn.unsolicited, collections.deque) and not conn.unsolicited


# ---------------------------------------------------------------------------------------------
# Construction and connect

def test_new_connection_state(loop):
    conn = Connection("h", "9", "P1")
    assert (conn.host, conn.port, conn._person_id, conn._ping_duration) == ("h", "9", "P1", 10)
    assert conn._loop is loop and conn.proto is protocol
    assert_unconnected(conn)
    assert listener_count(conn.event) == 0
    conn2 = Connection(host="h", port=1, person_id="P", loop=loop, ping_duration=3)
    assert conn2._ping_duration == 3 and conn2._loop is loop
    assert Connection.__doc__ == ("\n    Events:\n        - data\n        - error\n        - connected\n"
                                  "        - disconnected \n    ")
    assert asyncio.iscoroutinefunction(Connection.ping_aliveAsync)
    assert issubclass(Socket, asyncio.Protocol) and Connection.__mro__ == (Connection, object)


def test_connect_sets_attributes_emits_and_starts_keepalive(loop, server):
    conn = make_connection(loop, server)
    rec = Recorder(conn.event, STATE)

    async def main():
        transport, sock = await conn.connect()
        # The done-callback ran before the awaiter resumed.
        assert rec.names() == ["connected"]
        assert isinstance(sock, Socket) and sock.transport is transport and conn._socket is sock
        assert sock.connection is conn and sock.header is protocol.HEADER and sock.header_size == 48
        local = transport.get_extra_info("sockname")
        assert conn.local_port == str(local[1]) and conn.ip4 == local[0] == "127.0.0.1"
        assert conn.is_alive() is True
        ping = (await server.wait_requests(1, nKIVO=2))[0]
        assert ping.raw == b"" and ping.header.net_length == 0 and ping.header.bCompress == 0
        assert ping.person_id == PERSON and ping.nHandle == 0
        # A second connect answers "connected" and changes nothing.
        again = await conn.connect()
        assert again == "connected" and rec.names() == ["connected"] and conn._socket is sock
        await asyncio.sleep(0.05)
        assert server.accepted == 1 and len([r for r in server.requests if r.nKIVO == 2]) == 1

    run(loop, main())


def test_connect_while_pending_joins_the_pending_connect(loop, server):
    conn = make_connection(loop, server)
    rec = Recorder(conn.event, STATE)

    async def main():
        first = conn.connect()
        second = conn.connect()
        assert second is not first  # each caller has an awaitable of its own
        assert await first == await second
        await server.wait_requests(1, nKIVO=2)
        await asyncio.sleep(0.05)  # room for a second connection or keep-alive loop to show up
        assert server.accepted == 1 and rec.names() == ["connected"]
        assert len([r for r in server.requests if r.nKIVO == 2]) == 1  # one keep-alive loop

    run(loop, main())


@pytest.mark.parametrize("cancelled", [(0,), (1,), (0, 1)], ids=["first", "second", "both"])
def test_cancelling_one_caller_of_a_joined_connect_touches_nobody_else(loop, server, cancelled):
    conn = make_connection(loop, server)
    errors = []
    loop.set_exception_handler(lambda lp, ctx: errors.append(ctx))

    async def main():
        callers = [conn.connect(), conn.connect(), conn.connect()]
        for i in cancelled:
            callers[i].cancel()
        for i, caller in enumerate(callers):
            if i in cancelled:
                with pytest.raises(asyncio.CancelledError):
                    await caller
            else:
                transport, sock = await caller
                assert conn._socket is sock
        await until(lambda: conn._socket is not None)
        await asyncio.sleep(0.02)

    run(loop, main())
    # The connect itself went on: connected once, for whoever still waits and for later requests.
    assert errors == [] and conn.is_alive() is True and server.accepted == 1 and conn._connecting is None

def test_failed_connect_leaves_connection_unconnected(loop, logs):
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()  # nothing listens there now
    conn = Connection("127.0.0.1", port, PERSON, loop=loop)
    rec = Recorder(conn.event, STATE)
    with pytest.raises(OSError):
        run(loop, conn.connect())
    assert_unconnected(conn) and rec.events == [] and conn._connecting is None
    # A later connect tries again.
    with pytest.raises(OSError):
        run(loop, conn.connect())


def test_cancelled_connect_task_is_quiet(loop, server):
    conn = make_connection(loop, server)
    errors = []
    loop.set_exception_handler(lambda lp, ctx: errors.append(ctx))

    async def main():
        caller = conn.connect()
        conn._connecting.cancel()  # the connect itself (as a loop that shuts down does)
        with pytest.raises(asyncio.CancelledError):
            await caller
        await asyncio.sleep(0.02)

    run(loop, main())
    assert errors == [] and conn._socket is None and conn._connecting is None


def test_connect_starts_the_tcp_connect_in_the_call(loop):
    # The TCP connect goes out from connect() itself, before the loop runs again: a plain
    # listener sees it arrive while the loop stands still.
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    listener.settimeout(1.0)
    conn = Connection("127.0.0.1", listener.getsockname()[1], PERSON, loop=loop)
    caller = conn.connect()
    try:
        accepted, _ = listener.accept()
    finally:
        listener.close()
    transport, sock = run(loop, caller)
    assert conn._socket is sock and conn._connecting is None
    conn.disconnect()
    accepted.close()


def test_raising_connected_listener_still_answers_every_caller(loop, server):
    # The listener's exception is the loop's to report; the keep-alive stays unstarted, and each
    # caller of the joined connect still gets the connection.
    conn = make_connection(loop, server)
    errors = []
    loop.set_exception_handler(lambda lp, ctx: errors.append(ctx["exception"]))
    boom = LookupError("listener failed")

    def listener():
        raise boom

    conn.event.on("connected", f=listener)

    async def main():
        results = await asyncio.gather(conn.connect(), conn.connect())
        await asyncio.sleep(0.05)
        return results

    (t1, s1), (t2, s2) = run(loop, main())
    assert s1 is s2 is conn._socket and t1 is t2 and errors == [boom]
    assert keepalive_tasks(loop) == [] and server.requests == []


def bare_yields_first(real, count=1):
    async def create_connection(factory, host, port):
        for _ in range(count):
            await asyncio.sleep(0)  # a bare yield: resumed an iteration later
        return await real(factory, host, port)
    return create_connection


def bad_yield(real):
    @types.coroutine
    def create_connection(factory, host, port):
        yield 42
    return create_connection


def other_loops_future(real):
    async def create_connection(factory, host, port):
        other = asyncio.new_event_loop()
        try:
            await other.create_future()
        finally:
            other.close()
    return create_connection


@pytest.mark.parametrize("maker, outcome", [
    (bare_yields_first, "connected"),
    (bad_yield, "Task got bad yield: 42"),
    (other_loops_future, "attached to a different loop"),
])
def test_connect_awaits_what_the_loop_connect_awaits(loop, server, monkeypatch, maker, outcome):
    monkeypatch.setattr(loop, "create_connection", maker(loop.create_connection), raising=False)
    conn = make_connection(loop, server)
    callers = [conn.connect(), conn.connect()]
    if outcome == "connected":
        results = run(loop, asyncio.gather(*callers))
        assert [sock for _, sock in results] == [conn._socket] * 2
    else:
        for caller in callers:
            with pytest.raises(RuntimeError, match=outcome):
                run(loop, caller)
        assert conn._socket is None
    assert conn._connecting is None


def test_connect_given_up_before_its_first_wait_ends_cancelled(loop, server, monkeypatch):
    # The only caller gives up while the connect is between two steps (no future to cancel): the
    # connect ends with the cancellation at its next step, before any TCP connect goes out.
    monkeypatch.setattr(loop, "create_connection", bare_yields_first(loop.create_connection, 2),
                        raising=False)
    conn = make_connection(loop, server)

    async def main():
        caller = conn.connect()
        caller.cancel()
        with pytest.raises(asyncio.CancelledError):
            await caller
        await asyncio.sleep(0.05)

    run(loop, main())
    assert conn._socket is None and conn._connecting is None and server.accepted == 0


def test_callbacks_bound_to_state_refuse_other_objects(loop, server):
    # The done-callbacks the modules hand to futures are one function bound to each piece of C++
    # state (the connect attempt's wakeup and abandon, a wrapped call's reply filter). Their
    # function is reachable as __func__: called with anything but its own kind of state it raises
    # TypeError, and the connect under way goes on.
    handed = []
    loop.run_until_complete(client.api()(lambda cb=None, loop=None: handed.append(cb))())
    (reply_filter,) = handed
    conn = make_connection(loop, server)
    caller = conn.connect()
    bound = [r for r in gc.get_referents(conn._connect_attempt) if isinstance(r, types.MethodType)]
    names = sorted(m.__func__.__qualname__ for m in bound)
    assert names == ["Connection.connect.<locals>.abandon", "LoopDriver.wakeup"]
    for method in bound + [reply_filter]:
        # The other kind of state: the two modules' boxes are of one name but different types.
        other = reply_filter.__self__ if method in bound else conn._connect_attempt
        for wrong in (None, object(), caller, other):
            with pytest.raises(TypeError, match="expected the state this function is bound to"):
                method.__func__(wrong, caller)
    transport, sock = run(loop, caller)
    assert conn._socket is sock and conn._connecting is None


def test_handles_count_from_zero_and_restart_at_reset(loop):
    conn = Connection("h", 1, PERSON, loop=loop)
    assert [conn._get_handle() for _ in range(3)] == [0, 1, 2]
    conn.reset()
    assert conn._get_handle() == 0


# ---------------------------------------------------------------------------------------------
# Losing the connection

@pytest.mark.parametrize("how", ["close", "abort"])
def test_peer_close_resets_once_and_removes_listeners(loop, server, how):
    # The peer closes right after the second keep-alive; the period leaves no third one in flight
    # at that moment (its reset would add an "error"), also on a slow (sanitized) run, where the
    # period is scaled.
    conn = make_connection(loop, server, ping_duration=scaled(0.25))
    rec = Recorder(conn.event, STATE)
    seen = []
    conn.event.on("disconnected", f=lambda: seen.append((conn._socket, conn.local_port, conn.ip4)))

    async def main():
        await conn.connect()
        conn.nHandle = 7
        conn.unsolicited.append({"header": None, "msg": b""})
        await server.wait_requests(2, nKIVO=2)
        server.drop(abort=(how == "abort"))
        await until(lambda: conn._socket is None)
        count = len(server.requests)
        await asyncio.sleep(scaled(0.3))
        assert len(server.requests) == count  # the keep-alive has stopped

    run(loop, main())
    assert rec.names() == ["connected", "disconnected"]
    assert seen == [(None, None, "127.0.0.1")]  # listeners see the reset attributes
    assert_unconnected(conn)
    assert listener_count(conn.event) == 0


def test_loss_with_error_emits_error_then_disconnected(loop, server, logs):
    conn = make_connection(loop, server)
    rec = Recorder(conn.event, STATE)

    async def main():
        await conn.connect()
        server.drop(reset=True)
        await until(lambda: conn._socket is None)

    run(loop, main())
    assert rec.names() == ["connected", "error", "disconnected"]
    assert isinstance(rec.events[1][1], ConnectionResetError)
    assert "disconnected" in logs.messages(logging.DEBUG)


def test_loss_with_error_after_first_reset_still_resets(loop, server):
    # After the first reset nothing listens to "error"; a later loss with an error must still
    # reach the reset instead of leaving the connection half-closed.
    conn = make_connection(loop, server)

    async def main():
        await conn.connect()
        server.drop()
        await until(lambda: conn._socket is None)
        await conn.connect()
        assert conn.is_alive()
        server.drop(reset=True)
        await until(lambda: conn._socket is None)
        assert (await conn.connect())[1] is conn._socket  # a fresh connection, not "connected"

    run(loop, main())


def test_pending_requests_fail_with_connection_error_on_reset(loop, server):
    conn = make_connection(loop, server)
    server.handle(5, lambda req: None)  # never answered
    done = []

    async def main():
        await conn.connect()
        futs = [conn.send(5, PERSON, b"x", cb=done.append) for _ in range(3)]
        await server.wait_requests(3, nKIVO=5)
        server.drop()
        results = await asyncio.gather(*futs, return_exceptions=True)
        for exc in results:
            assert isinstance(exc, ConnectionError) and "lost" in str(exc)
        assert done == futs

    run(loop, main())


def test_reset_completes_when_one_pending_future_cannot_be_failed(loop, server, closed_loop):
    conn = make_connection(loop, server)
    server.handle(5, lambda req: None)  # never answered
    rec = Recorder(conn.event, STATE)

    async def main():
        await conn.connect()
        before = conn.send(5, PERSON, b"x")
        odd = conn.send(5, PERSON, b"x", loop=closed_loop, cb=lambda fut: None)
        after = conn.send(5, PERSON, b"x")
        await server.wait_requests(3, nKIVO=5)
        server.drop()
        results = await asyncio.wait_for(asyncio.gather(before, after, return_exceptions=True), 5)
        assert all(isinstance(exc, ConnectionError) for exc in results)
        return odd

    odd = run(loop, main())
    assert rec.names() == ["connected", "disconnected"]
    assert listener_count(conn.event) == 0
    assert_unconnected(conn)
    (report,) = closed_loop.reports  # the odd future's failure, through its own loop's handler
    assert report["future"] is odd and isinstance(report["exception"], RuntimeError)


def test_events_after_first_reset_reach_nobody_until_subscribed_again(loop, server):
    conn = make_connection(loop, server)
    rec = Recorder(conn.event, STATE)

    async def main():
        # Each drop follows the connection's keep-alive, which the server has read by then (a
        # drop with unread bytes would reset the connection and add an "error").
        await conn.connect()
        await server.wait_requests(1, nKIVO=2)
        server.drop()
        await until(lambda: conn._socket is None)
        await conn.connect()
        await server.wait_requests(2, nKIVO=2)
        server.drop()
        await until(lambda: conn._socket is None)
        again = Recorder(conn.event)
        await conn.connect()
        assert again.names() == ["connected"]

    run(loop, main())
    assert rec.names() == ["connected", "disconnected"]


def test_superseded_socket_does_not_reset_the_live_connection(loop, server):
    conn = make_connection(loop, server)

    async def main():
        await conn.connect()
        live = conn._socket
        # A stray Socket of the same connection, wired as a completed connect would wire it.
        _, stray = await loop.create_connection(lambda: Socket(conn), server.host, server.port)
        stray.event.on("disconnected", f=conn.reset)
        stray.event.on("error", f=conn._onError)
        lost = []
        stray_lost = stray.connection_lost

        def connection_lost(exc):  # the stray's own handling, then a note that it ran
            stray_lost(exc)
            lost.append(exc)
        stray.connection_lost = connection_lost
        await until(lambda: len(server.connections) == 2)
        server.connections[-1].reset()
        await until(lambda: lost)
        assert conn._socket is live and conn.is_alive()

    run(loop, main())


# ---------------------------------------------------------------------------------------------
# Disconnect

def test_disconnect_from_callback_sharing_its_loop_iteration(loop, server):
    conn = make_connection(loop, server)
    rec = Recorder(conn.event, STATE)
    ran = []
    errors = []
    loop.set_exception_handler(lambda lp, ctx: errors.append(ctx))

    def disconnect_now():
        sock = conn._socket
        conn.disconnect()
        ran.append(("disconnect", rec.names()[-1], conn.ip4, conn._socket, conn.local_port))
        assert sock.transport.is_closing()

    async def main():
        await conn.connect()
        pending = conn.send(5, PERSON, b"pending")  # unsent data may still sit in the transport
        loop.call_soon(ran.append, "before")
        loop.call_soon(disconnect_now)
        loop.call_soon(ran.append, "after1")
        loop.call_soon(ran.append, "after2")
        await asyncio.sleep(0.05)
        assert isinstance(pending.exception(), ConnectionError)

    run(loop, main())
    assert errors == []
    assert ran == ["before", ("disconnect", "disconnected", "127.0.0.1", None, None), "after1", "after2"]
    assert rec.names() == ["connected", "disconnected"]  # the transport's own loss did nothing more
    assert conn.nHandle == 0


def test_disconnect_unconnected_does_nothing(loop):
    conn = Connection("h", 1, PERSON, loop=loop)
    rec = Recorder(conn.event, STATE)
    conn.nHandle = 4
    assert conn.disconnect() is None
    assert rec.events == [] and conn.nHandle == 4


def test_disconnect_then_reconnect_works(loop, server):
    conn = make_connection(loop, server)

    async def main():
        await conn.connect()
        conn.disconnect()
        _, sock = await conn.connect()
        assert conn._socket is sock and conn.is_alive()
        assert await conn.send(9, PERSON, b"ok") == b"ok"

    run(loop, main())


# ---------------------------------------------------------------------------------------------
# Keep-alive

def test_keepalive_period_and_person_id(loop, server):
    conn = make_connection(loop, server, ping_duration=0.05)

    async def main():
        await conn.connect()
        t0 = loop.time()
        pings = await server.wait_requests(3, nKIVO=2)
        elapsed = loop.time() - t0
        assert 0.08 <= elapsed < 1.0
        assert [p.nHandle for p in pings] == [0, 1, 2]
        assert all(p.person_id == PERSON and p.raw == b"" for p in pings)

    run(loop, main())


def test_keepalive_error_waits_its_period(loop, server, logs):
    conn = make_connection(loop, server, ping_duration=0.05)
    calls = []

    def failing_send(*args, **kwargs):
        calls.append((loop.time(), args))
        raise RuntimeError("send failed")

    async def main():
        await conn.connect()
        await server.wait_requests(1, nKIVO=2)
        conn.send = failing_send  # what the keep-alive calls from now on
        await until(lambda: len(calls) >= 3)

    run(loop, main())
    times = [t for t, _ in calls]
    assert all(later - earlier >= 0.04 for earlier, later in zip(times, times[1:]))  # one per period, not a spin
    assert calls[0][1] == (2, PERSON, b"")
    errors = logs.messages(logging.ERROR)
    assert errors and all(isinstance(e, RuntimeError) for e in errors)


def test_keepalive_ends_on_cancel_and_on_unusable_period(loop, server, logs):
    conn = make_connection(loop, server, ping_duration=30)

    async def main():
        await conn.connect()
        task = asyncio.ensure_future(conn.ping_aliveAsync(PERSON))
        await server.wait_requests(2, nKIVO=2)  # its first keep-alive: it now waits its period
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        conn._ping_duration = "soon"
        assert await asyncio.wait_for(conn.ping_aliveAsync(PERSON), 5) is None
        assert any(isinstance(m, TypeError) for m in logs.messages(logging.ERROR))

    run(loop, main())


def test_keepalive_ends_when_not_alive(loop):
    conn = Connection("h", 1, PERSON, loop=loop)
    assert run(loop, conn.ping_aliveAsync(PERSON)) is None


class _FailingCheck(type):
    def __subclasscheck__(cls, sub):
        raise LookupError("subclass check failed")


class _Refused(Exception, metaclass=_FailingCheck):
    pass


@pytest.mark.parametrize("typ, val, expected", [
    (KeyError, "k", KeyError),             # class and value: the class is called with the value
    (KeyError, KeyError("k"), KeyError),   # the value already is an instance of the class
    (_Refused, ValueError("v"), LookupError),  # the class check of the value fails: its error goes on
    (3, None, TypeError),                  # neither a class nor an instance
])
def test_coroutine_throw_arguments(loop, typ, val, expected):
    coro = Connection("h", 1, PERSON, loop=loop).ping_aliveAsync(PERSON)
    with pytest.raises(expected) as info:
        coro.throw(typ, val)
    if expected is KeyError:
        assert info.value.args == ("k",)
    coro.close()


def test_ping_alive_from_another_thread(loop, server):
    conn = make_connection(loop, server, ping_duration=30)

    async def main():
        await conn.connect()
        await server.wait_requests(1, nKIVO=2)
        thread = threading.Thread(target=conn.ping_alive, args=("OTHER",))
        thread.start()
        thread.join()
        pings = await server.wait_requests(2, nKIVO=2)
        assert pings[1].person_id == "OTHER"

    run(loop, main())


def test_ping_alive_on_the_loops_thread_starts_the_keepalive_at_once(loop, server):
    # On the loop's own thread the keep-alive is the loop's task when ping_alive returns; one that
    # ends with an exception (here its period cannot be read) is not reported as never retrieved.
    conn = make_connection(loop, server, ping_duration=30)
    errors = []
    loop.set_exception_handler(lambda lp, ctx: errors.append(ctx))

    async def main():
        await conn.connect()
        await server.wait_requests(1, nKIVO=2)
        conn.ping_alive("AGAIN")
        assert len(keepalive_tasks()) == 2
        pings = await server.wait_requests(2, nKIVO=2)
        assert pings[1].person_id == "AGAIN"
        del conn._ping_duration
        conn.ping_alive("LAST")
        (ending,) = [t for t in keepalive_tasks() if not t.get_coro().cr_await]
        await until(ending.done)
        assert not ending.cancelled()  # it ended with its exception, which nobody asks for

    run(loop, main())
    gc.collect()
    assert errors == []


def test_ping_alive_submits_through_a_replaced_submission_on_any_thread(loop, server, monkeypatch):
    # asyncio.run_coroutine_threadsafe is read at each call: a replaced one is what submits the
    # keep-alive, on the loop's own thread (the connect's completion) as on any other.
    real = asyncio.run_coroutine_threadsafe
    submitted = []

    def submit(coro, loop):
        submitted.append((coro.__qualname__, loop, threading.current_thread()))
        return real(coro, loop)

    monkeypatch.setattr(asyncio, "run_coroutine_threadsafe", submit)
    conn = make_connection(loop, server, ping_duration=30)
    thread = threading.Thread(target=conn.ping_alive, args=("OTHER",))

    async def main():
        await conn.connect()
        await server.wait_requests(1, nKIVO=2)
        thread.start()
        thread.join()
        await server.wait_requests(2, nKIVO=2)

    run(loop, main())
    assert submitted == [("Connection.ping_aliveAsync", loop, threading.current_thread()),
                         ("Connection.ping_aliveAsync", loop, thread)]


def test_keepalive_reply_failures_are_not_reported_as_unretrieved(loop, server):
    conn = make_connection(loop, server, ping_duration=30)
    server.handle(2, lambda req: Reply(ret=30023))
    errors = []
    loop.set_exception_handler(lambda lp, ctx: errors.append(ctx))
    rec = Recorder(conn.event, STATE)

    async def main():
        await conn.connect()
        await until(lambda: "error" in rec.names())
        import gc
        gc.collect()
        await asyncio.sleep(0.01)

    run(loop, main())
    assert errors == []
    assert rec.events[1][1].code == 30023


def test_connection_is_collected_after_its_life(loop, server):
    import gc
    import weakref
    conn = make_connection(loop, server, ping_duration=0.01)

    async def main():
        before = asyncio.all_tasks()
        await conn.connect()
        await conn.send(9, PERSON, b"x")
        await server.wait_requests(2, nKIVO=2)
        conn.disconnect()
        await until(lambda: asyncio.all_tasks() <= before)  # the keep-alive sees the reset and ends

    run(loop, main())
    ref = weakref.ref(conn)
    sock_ref = weakref.ref(conn.unsolicited)
    del conn
    gc.collect()
    assert ref() is None and sock_ref() is None


def keepalive_tasks(loop=None):
    return [t for t in asyncio.all_tasks(loop) if t.get_coro().__qualname__ == "Connection.ping_aliveAsync"]


def test_unanswered_keepalives_leave_only_the_latest_pending(loop, server):
    server.handle(2, lambda req: None)  # a server that never answers pings
    conn = make_connection(loop, server, ping_duration=0.01)

    async def main():
        await conn.connect()
        pings = await server.wait_requests(6, nKIVO=2)
        assert len(conn.req_map) == 1 and min(conn.req_map) >= pings[4].nHandle
        # The reply to a keep-alive that was given up arrives late: it matches nothing now.
        first = conn.nHandle
        server.push(Reply(b"", nKIVO=2, nHandle=pings[0].nHandle))
        await until(lambda: conn.unsolicited)
        assert conn.unsolicited[0]["header"].nHandle == pings[0].nHandle and conn.nHandle >= first

    run(loop, main())


@pytest.mark.parametrize("drop", ["peer-closes", "disconnect"])
def test_reset_ends_the_keepalive_at_once(loop, server, drop):
    conn = make_connection(loop, server, ping_duration=30)

    async def main():
        await conn.connect()
        await server.wait_requests(1, nKIVO=2)
        [running] = keepalive_tasks()  # now in its 30 s wait
        if drop == "disconnect":
            conn.disconnect()
        else:
            server.drop()
        # The task leaves the connection's set through its done-callback, a loop iteration
        # after it ended.
        await until(lambda: running.done() and not conn._keepalives, timeout=2)
        assert keepalive_tasks() == []
        # A new connection has one keep-alive of its own.
        await conn.connect()
        await server.wait_requests(2, nKIVO=2)
        assert len(keepalive_tasks()) == 1

    run(loop, main())


def full_listener():
    """A loopback listener whose accept queue is full: a connect to it stays under way (its SYNs
    go unanswered) until the queue is emptied, when the next SYN the client retransmits (about a
    second later) completes it."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    filler = socket.create_connection(listener.getsockname())
    return listener, filler


def connects_completed_after_release(listener, filler, wait=2.0):
    """Empties the accept queue, then counts the connections that still arrive within `wait`."""
    filler.close()
    listener.accept()[0].close()
    listener.settimeout(wait)
    arrived = 0
    try:
        while True:
            listener.accept()[0].close()
            arrived += 1
    except socket.timeout:
        return arrived
    finally:
        listener.close()


def test_connect_under_way_when_its_loop_closed_does_not_hold_later_connects(loop, server):
    # A connect still under way when its loop is closed (the loop's run ended with nobody awaiting
    # it) can never end: a later connect opens a connection of its own instead of joining it.
    listener, filler = full_listener()
    conn = make_connection(loop, server)
    conn.port = listener.getsockname()[1]
    other = asyncio.new_event_loop()
    try:
        abandoned = conn.connect(other)
        other.run_until_complete(asyncio.sleep(0.05))
        assert not abandoned.done()
    finally:
        other.close()
        listener.close()
        filler.close()
    conn.port = server.port
    transport, sock = run(loop, conn.connect())
    assert conn._socket is sock and conn._connecting is None and not abandoned.done()
    conn.disconnect()


def test_connect_whose_only_caller_gave_up_is_cancelled(loop):
    listener, filler = full_listener()
    conn = Connection("127.0.0.1", listener.getsockname()[1], PERSON, loop=loop)

    async def main():
        caller = conn.connect()
        await asyncio.sleep(0.1)
        assert not caller.done() and conn._connecting is not None  # under way
        caller.cancel()
        await asyncio.sleep(0.01)
        return conn._connecting

    assert run(loop, main()) is None
    assert connects_completed_after_release(listener, filler) == 0
    run(loop, asyncio.sleep(0.05))
    assert conn._socket is None and keepalive_tasks(loop) == []
