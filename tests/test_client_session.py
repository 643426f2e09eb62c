"""The session client `Client` against the loopback trading server over real TCP."""
import asyncio
import json
import logging
import os
import types

import pytest

from dorvane.backend.error import ServerError
from dorvane.backend.socket import client
from servers.session_server import EXTRA_KEYS, LOGIN_KEYS, LOGIN_KIVO, LOGOUT_KIVO, SessionService
from servers.trading_server import TradingServer
from support.connect_fixtures import until

PERSON = "A123456789"
CONNECTED = "connection created."
LOST = "connection lost...\nPlease log in again."


@pytest.fixture
def logs(caplog):
    caplog.set_level(logging.DEBUG, logger="dorvane")

    def lines(level=None):
        return [r.getMessage() for r in caplog.records
                if r.name == "dorvane" and (level is None or r.levelname == level)]
    return lines


def run(body, **server_options):
    """Run body(server, session) on a fresh loop with a started loopback server."""
    async def main():
        server = TradingServer()
        await server.start()
        session = SessionService(server, **server_options)
        try:
            return await asyncio.wait_for(body(server, session), 10)
        finally:
            await server.close()
    return asyncio.run(main())


async def settle(rounds=3):
    for _ in range(rounds):
        await asyncio.sleep(0)


def make_client(server, person_id=PERSON):
    return client.Client(person_id, server.host, server.port, asyncio.get_running_loop())


async def login(c, person_id=PERSON, passwd="pw", **kwargs):
    fut = await c.login(person_id, passwd, **kwargs)
    return await fut


# ---------------------------------------------------------------------------------------------
# Construction

def test_construction_builds_the_session_without_network():
    async def body(server, session):
        loop = asyncio.get_running_loop()
        c = client.Client(PERSON, server.host, server.port)
        assert list(vars(c)) == ["_host", "_port", "_person_id", "_loop", "_simulation", "isLogined",
                                 "event", "conn", "reconnection", "activated_vexa"]
        assert c._loop is loop and c.conn._loop is loop            # the current loop by default
        assert (c._host, c._port, c._person_id) == (server.host, server.port, PERSON)
        assert c._simulation is True and c.reconnection is False and c.isLogined is False
        assert c.activated_vexa == {} and isinstance(c.activated_vexa, dict)
        assert c.conn.local_port is None
        assert [c.conn.event.listeners(name) for name in ("data", "error", "connected", "disconnected")] \
            == [[c._onData], [c._onError], [c._onConnected], [c._onDisconnected]]
        await settle()
        assert server.accepted == 0
        other = client.Client("B1", "h", "1", loop, simulation=False, reconnection=True)
        assert other._simulation is False and other.reconnection is True
        assert c.close() is None and c.conn.local_port is None    # never connected: no effect
    run(body)


def test_connect_without_loop_uses_the_clients_loop(logs):
    async def body(server, session):
        c = make_client(server)
        result = await c.connect()
        assert isinstance(result, tuple)                            # (transport, Socket)
        assert c.conn.local_port == str(result[0].get_extra_info("sockname")[1])
        assert await c.connect() == "connected"                     # already up
        c.close()
    run(body)
    assert logs("INFO").count(CONNECTED) == 1


def test_connect_refused_fails_the_connect_future():
    async def body(server, session):
        await server.close()
        c = make_client(server)
        with pytest.raises(OSError):
            await c.connect()
        assert c.conn.local_port is None
    run(body)


# ---------------------------------------------------------------------------------------------
# Login

def test_login_trims_the_reply_and_sends_the_session_fields(logs):
    async def body(server, session):
        c = make_client(server)
        await c.connect()
        reply = await login(c, passwd="secret")
        assert c.isLogined is True
        assert list(reply.keys()) == list(LOGIN_KEYS)               # extras gone, order kept
        assert reply.sol_vpn == "dorvane_uat" and reply.person_id == PERSON
        sent = session.logins[0]
        assert sent == {"person_id": PERSON, "passwd": "secret", "flag": "V", "sol": True,
                        "sol_opt": {"pid": str(os.getpid()), "port": c.conn.local_port}}
        request = session.login_requests[0]
        assert request.person_id == PERSON and request.header.bCompress == 1
        c.close()
    run(body)
    assert CONNECTED in logs("INFO")


def test_login_reply_lacking_keys_stays_without_them():
    async def body(server, session):
        session.extra = {"token": "x"}
        c = make_client(server)
        await c.connect()
        server.handle(LOGIN_KIVO, lambda req: json.dumps({"person_id": PERSON, "sol_vpn": "v",
                                                          "token": "t"}).encode())
        reply = await login(c)
        assert dict(reply) == {"person_id": PERSON, "sol_vpn": "v"}
        c.close()
    run(body)


@pytest.mark.parametrize("reply_body", [b"not json", b"[1, 2]", b"\xff\xfe"])
def test_unreadable_login_reply_fails_the_login(reply_body):
    async def body(server, session):
        c = make_client(server)
        await c.connect()
        await login(c)
        server.handle(LOGIN_KIVO, lambda req: reply_body)
        with pytest.raises(ValueError, match="not a JSON object"):
            await login(c)
        assert c.isLogined is False
        c.close()
    run(body)


def test_login_before_connect_fails_with_please_connect_first():
    async def body(server, session):
        c = make_client(server)
        fut = await c.login(PERSON, "pw")
        with pytest.raises(Exception, match="^Please connect first.$") as info:
            await fut
        assert type(info.value) is Exception
        assert c.isLogined is False
        await settle()
        assert session.logins == [] and server.accepted == 0
    run(body)


def test_login_coroutine_never_run_sends_nothing():
    async def body(server, session):
        c = make_client(server)
        await c.connect()
        c.login(PERSON, "pw").close()
        await asyncio.sleep(0.05)
        assert session.logins == []
        c.close()
    run(body)


def test_login_refused_by_the_server(logs):
    async def body(server, session):
        c = make_client(server)
        await c.connect()
        await login(c)
        assert c.isLogined is True
        session.login_ret = 20000
        with pytest.raises(ServerError) as info:
            await login(c)
        assert info.value.code == 20000
        assert c.isLogined is False
        c.close()
        return str(info.value)
    text = run(body)
    assert "Client hasError: {}".format(text) in logs("ERROR")


def test_wrong_password_is_refused():
    async def body(server, session):
        c = make_client(server)
        await c.connect()
        with pytest.raises(ServerError) as info:
            await login(c, passwd="wrong")
        assert info.value.code == 1 and c.isLogined is False
        await login(c, passwd="right")
        assert c.isLogined is True
        c.close()
    run(body, passwords={PERSON: "right"})


def test_login_reply_with_empty_person_id_keeps_the_login_state():
    async def body(server, session):
        c = make_client(server)
        await c.connect()
        session.login_person_id = ""
        reply = await login(c)
        assert reply.person_id == "" and c.isLogined is False
        session.login_person_id = None
        await login(c)
        session.login_person_id = ""
        await login(c)
        assert c.isLogined is True
        c.close()
    run(body)


@pytest.mark.parametrize("body", [b"", b'{"sol_vpn": "v"}', b'{"idno": "A123456789", "person_id": null}'])
def test_login_reply_without_person_id_keeps_the_login_state_quietly(body):
    async def run_logins(server, session):
        reports = []
        asyncio.get_running_loop().set_exception_handler(lambda _, context: reports.append(context))
        c = make_client(server)
        await c.connect()
        await login(c)
        server.handle(LOGIN_KIVO, lambda req: body)
        reply = await login(c)
        await settle()
        assert "person_id" not in reply or reply["person_id"] is None
        assert c.isLogined is True and reports == []   # unchanged, and nothing raised on the loop
        c.reset()
        await login(c)
        await settle()
        assert c.isLogined is False and reports == []
        c.close()
    run(run_logins)


def test_callback_order_caller_sees_the_login_state():
    async def body(server, session):
        c = make_client(server)
        await c.connect()
        seen = []
        fut = await c.login(PERSON, "pw", cb=lambda f: seen.append((f, c.isLogined, dict(f.result()))))
        reply = await fut
        assert c.isLogined is True
        assert seen == [(fut, True, dict(reply))]                   # after filter and login_cb
        assert set(seen[0][2]) == set(LOGIN_KEYS)
        c.close()
    run(body)


def test_login_with_another_person_id_while_logout_carries_the_first(logs):
    async def body(server, session):
        c = make_client(server)
        await c.connect()
        reply = await login(c, person_id="B987654321")
        assert reply.person_id == "B987654321"
        assert session.login_requests[0].person_id == "B987654321"
        bye = await (await c.logout())
        assert session.logouts == [{"person_id": PERSON}]
        assert bye == {"person_id": PERSON, "status": "bye"}        # untrimmed
        ping = [r.person_id for r in server.requests if r.nKIVO == 2]
        assert ping and set(ping) == {PERSON}
    run(body)


# ---------------------------------------------------------------------------------------------
# Logout

def test_logout_closes_the_connection_and_logs_the_loss(logs):
    async def body(server, session):
        c = make_client(server)
        await c.connect()
        await login(c)
        fut = await c.logout()
        reply = await fut
        assert reply.status == "bye" and set(reply) == {"person_id", "status"}
        assert c.isLogined is False
        assert c.conn.local_port is None and c.conn.is_alive() is None
        await server.wait_closed_connections()
        assert [r.nKIVO for r in server.requests if r.nKIVO != 2] == [LOGIN_KIVO, LOGOUT_KIVO]
    run(body)
    assert logs("INFO").count(LOST) == 1


def test_logout_callbacks_run_after_the_client_closed_and_reset():
    async def body(server, session):
        c = make_client(server)
        await c.connect()
        await login(c)
        seen = []
        fut = await c.logout(cb=lambda f: seen.append((c.isLogined, c.conn.local_port, dict(f.result()))))
        reply = await fut
        assert seen == [(False, None, dict(reply))]                # filter, logout_cb, then the caller's
    run(body)


def test_logout_refused_still_closes_and_resets(logs):
    async def body(server, session):
        c = make_client(server)
        await c.connect()
        await login(c)
        session.logout_ret = 1
        with pytest.raises(ServerError):
            await (await c.logout())
        assert c.isLogined is False and c.conn.local_port is None
        await server.wait_closed_connections()
    run(body)
    assert any(line.startswith("Client hasError: 1 : ") for line in logs("ERROR"))


@pytest.mark.parametrize("connected_before", [False, True])
def test_logout_while_down_fails_with_please_login_first(connected_before):
    async def body(server, session):
        c = make_client(server)
        if connected_before:
            await c.connect()
            await login(c)
            await (await c.logout())                               # closes the connection
        c.isLogined = True
        with pytest.raises(Exception, match="^Please login first.$"):
            await (await c.logout())
        assert c.isLogined is False                                 # reset ran anyway
        assert len(session.logouts) == int(connected_before)
    run(body)


# ---------------------------------------------------------------------------------------------
# Losses and logging in again

def test_lost_connection_fails_a_pending_login(logs):
    async def body(server, session):
        c = make_client(server)
        await c.connect()
        session.hold_login = True
        fut = await c.login(PERSON, "pw")
        await server.wait_requests(1, nKIVO=LOGIN_KIVO)
        server.drop()
        with pytest.raises(ConnectionError, match="(?i)lost"):
            await asyncio.wait_for(fut, 5)
        assert c.isLogined is False and c.conn.local_port is None
    run(body)
    assert logs("INFO").count(LOST) == 1


def test_cancelled_login_request_cancels_the_callers_future_and_logs_out():
    async def body(server, session):
        errors = []
        asyncio.get_running_loop().set_exception_handler(lambda loop, ctx: errors.append(ctx))
        c = make_client(server)
        await c.connect()
        await login(c)
        session.hold_login = True
        fut = await c.login(PERSON, "pw")
        await server.wait_requests(2, nKIVO=LOGIN_KIVO)
        c.conn.req_map[session.login_requests[-1].nHandle].cancel()
        with pytest.raises(asyncio.CancelledError):
            await fut
        await settle()
        assert fut.cancelled() and c.isLogined is False
        assert errors == []                                         # no error in any callback
        c.close()
    run(body)


def test_login_again_after_every_loss_stays_in_step(logs):
    """The client listens again on each connect, so every loss is seen."""
    async def body(server, session):
        c = make_client(server)
        for attempt in range(3):
            await c.connect()
            await login(c)
            assert c.isLogined is True
            server.drop()
            await server.wait_closed_connections()
            await until(lambda: c.conn.local_port is None)
            await settle()
            assert c.isLogined is False, attempt
        await c.connect()
        await login(c)
        await (await c.logout())
        assert c.isLogined is False
    run(body)
    assert logs("INFO").count(CONNECTED) == 4
    assert logs("INFO").count(LOST) == 4


def test_connection_errors_are_logged_before_the_loss_after_every_connect(caplog, logs):
    async def body(server, session):
        c = make_client(server)
        for _ in range(2):
            await c.connect()
            await login(c)
            server.drop(reset=True)                                 # lost with an error
            await server.wait_closed_connections()
            await until(lambda: c.conn.local_port is None)
    run(body)
    lines = [(r.levelname, r.getMessage()) for r in caplog.records
             if r.name == "dorvane" and r.levelname in ("ERROR", "INFO") and r.getMessage() != CONNECTED]
    assert len(lines) == 4
    for (level, text), (next_level, next_text) in zip(lines[::2], lines[1::2]):
        assert level == "ERROR" and text.startswith("Client hasError: ") and "reset" in text.lower()
        assert (next_level, next_text) == ("INFO", LOST)


def test_connect_twice_does_not_subscribe_twice(logs):
    async def body(server, session):
        c = make_client(server)
        await c.connect()
        await c.connect()
        for name in ("data", "error", "connected", "disconnected"):
            assert len(c.conn.event.listeners(name)) == 1
        c.close()
    run(body)
    assert logs("INFO").count(CONNECTED) == 1
    assert logs("INFO").count(LOST) == 1


# ---------------------------------------------------------------------------------------------
# The protocol layer's answers, looked up at each call

@pytest.mark.parametrize("login_in, error", [
    (lambda *a, **k: (_ for _ in ()).throw(RuntimeError("no login")), RuntimeError),
    (lambda *a, **k: ({"nKIVO": LOGIN_KIVO},), ValueError),                # not two items
    (lambda *a, **k: None, TypeError),                                      # not iterable
    (lambda *a, **k: (None, b""), TypeError),                               # header not a mapping
    (lambda *a, **k: ({"nKIVO": LOGIN_KIVO, "person_id": PERSON, "data": b""}, b""), TypeError),
    (lambda *a, **k: ({"nKIVO": LOGIN_KIVO, "person_id": PERSON, "bogus": 1}, b""), TypeError),
])
def test_bad_login_request_fails_the_callers_future_only(monkeypatch, login_in, error):
    async def body(server, session):
        c = make_client(server)
        await c.connect()
        await login(c)
        monkeypatch.setattr(client, "protocol", types.SimpleNamespace(login_in=login_in))
        fut = await c.login(PERSON, "pw")
        with pytest.raises(error):
            await fut
        assert c.isLogined is True                                  # login_cb never attached
        c.close()
    run(body)


def test_bad_logout_request_neither_closes_nor_resets(monkeypatch):
    async def body(server, session):
        c = make_client(server)
        await c.connect()
        await login(c)
        monkeypatch.setattr(client, "protocol",
                            types.SimpleNamespace(logout_in=lambda person_id: 42))
        with pytest.raises(TypeError):
            await (await c.logout())
        await settle()
        assert c.isLogined is True and c.conn.local_port is not None
        c.close()
    run(body)


def test_log_is_looked_up_at_call_time(monkeypatch):
    lines = []
    monkeypatch.setattr(client, "log", types.SimpleNamespace(info=lines.append, error=lines.append))

    async def body(server, session):
        c = make_client(server)
        await c.connect()
        c.close()
        c._onError(ValueError("x"))
    run(body)
    assert lines == [CONNECTED, LOST, "Client hasError: x"]
