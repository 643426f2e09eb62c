"""Requests and replies of a Connection over real TCP against the loopback trading server: what
goes on the wire, how the reply stream is framed, matched, decompressed and parsed."""
import asyncio
import ipaddress
import logging
import zlib

import pytest

import dorvane.backend.socket.protocol as protocol
from dorvane.backend.error import ServerError
from support.connect_fixtures import (PERSON, Recorder, closed_loop, connected_idle, logs, loop,  # noqa: F401
                                      make_connection, server, until)
from servers.trading_server import Reply, pack_message

ECHO = 900      # registered in the request table with a builder and a parser
PLAIN = 7       # not registered: no builder, no parser


def run(loop, coro, timeout=5):
    return loop.run_until_complete(asyncio.wait_for(coro, timeout))


@pytest.fixture
def conn(loop, server):
    return connected_idle(loop, server)


@pytest.fixture
def kivo(monkeypatch):
    """Registers extra request codes for one test."""
    def register(code, builder=None, parser=None):
        monkeypatch.setitem(protocol.kivo_map, code, (builder, parser))
    return register


async def one_request(server):
    return (await server.wait_requests(1))[0]


# ---------------------------------------------------------------------------------------------
# What goes on the wire

@pytest.mark.parametrize("data, kwargs, body, compressed", [
    (b"abc", {}, b"abc", True),
    (b"abc", {"compress": False}, b"abc", False),
    (b"abc", {"compress": 1}, b"abc", False),              # only the True object compresses
    (b"", {"compress": False}, b"", False),                # the keep-alive's request
    (b"", {}, b"", False),                                 # empty stays empty, never an 8-byte stream
    (None, {}, b"", False),
    (None, {"compress": False}, b"", False),
    (bytearray(b"xyz"), {}, b"xyz", True),                 # bytes-like bodies send their bytes
    (memoryview(b"mv" * 50), {"compress": False}, b"mv" * 50, False),
    ({"a": 1, "b": "\u4e2d"}, {}, b'{"a": 1, "b": "\xe4\xb8\xad"}', True),  # built by the table's builder
], ids=["bytes", "plain", "compress-1", "empty-plain", "empty-compress", "none", "none-plain",
        "bytearray", "memoryview", "dict"])
def test_request_on_the_wire(loop, server, conn, data, kwargs, body, compressed):
    async def main():
        conn.send(ECHO, PERSON, data, **kwargs)
        return await one_request(server)

    req = run(loop, main())
    h = req.header
    assert req.body == body and h.nKIVO == ECHO and h.nHandle == 1
    if compressed:
        assert req.raw == zlib.compress(body)
        assert (h.net_length, h.nDecompressLength, h.bCompress) == (len(req.raw), len(body), 1)
    else:
        assert req.raw == body
        assert (h.net_length, h.nDecompressLength, h.bCompress) == (len(body), 0, 0)
    assert (h.bHts, h.nOutHandle, h.bEncrypt, h.bContinue, h.nDecodeLength, h.ret) == (1, 105, 0, 0, 0, 0)
    assert h.person_id == PERSON.encode() and h.ip4 == int(ipaddress.IPv4Address(conn.ip4))


def test_header_keywords_reach_the_header(loop, server, conn):
    async def main():
        conn.send(PLAIN, "B2", b"x", compress=False, bEncrypt=1, bContinue=2, bHts=0, nDecodeLength=9,
                  nOutHandle=-3, bCompress=5, net_length=999, nDecompressLength=999)
        return await one_request(server)

    h = run(loop, main()).header
    assert (h.bEncrypt, h.bContinue, h.bHts, h.nDecodeLength, h.nOutHandle) == (1, 2, 0, 9, -3)
    assert (h.bCompress, h.net_length, h.nDecompressLength) == (5, 1, 0)  # lengths always overwritten
    assert h.person_id == b"B2"


def test_handles_run_without_gaps_and_single_writes(loop, server, conn):
    async def main():
        futs = [conn.send(PLAIN, PERSON, bytes([i]) * 10) for i in range(5)]
        assert sorted(conn.req_map) == [1, 2, 3, 4, 5]
        return await asyncio.gather(*futs)

    assert run(loop, main()) == [bytes([i]) * 10 for i in range(5)]
    assert [r.nHandle for r in server.requests] == [1, 2, 3, 4, 5]
    assert conn.req_map == {}


def test_send_while_not_alive_fails_the_future_without_a_handle(loop):
    from dorvane.backend.socket.connect import Connection
    conn = Connection("127.0.0.1", 1, PERSON, loop=loop)
    seen = []
    fut = conn.send(ECHO, PERSON, {"a": 1}, cb=seen.append)
    with pytest.raises(Exception, match="^Please login first.$"):
        run(loop, fut)
    assert seen == [fut] and conn.nHandle == 0 and conn.req_map == {}
    assert type(fut.exception()) is Exception


@pytest.mark.parametrize("data, kwargs, error, message, handle_taken", [
    ({"a": 1}, {"nKIVO": 77}, Exception, r"^KIVO\[77\] handler is not exist\.$", False),
    ("text", {}, TypeError, "bytes-like", False),
    ([1, 2], {}, TypeError, "list", False),
    (b"x", {"payload": b"y"}, TypeError, "payload", False),
    (b"x", {"ret": 5}, TypeError, "ret", True),
    (b"x", {"ip4": "10.0.0.1"}, TypeError, "ip4", True),
    (b"x", {"nHandle": 3}, TypeError, "nHandle", True),
    (b"x", {"decompress_length": 3}, TypeError, "decompress_length", True),
    (b"x", {"bEncrypt": 300}, Exception, "", True),       # does not fit its 8-bit field
    (b"x", {"person_id": "X" * 13}, Exception, "", True),  # longer than its 12-byte field
], ids=["no-builder", "text", "list", "payload-kw", "ret", "ip4", "nHandle", "decompress_length",
        "out-of-range", "long-person"])
def test_send_errors_raise_and_leave_nothing_behind(loop, server, conn, data, kwargs, error, message,
                                                     handle_taken):
    called = []
    args = {"nKIVO": ECHO, "person_id": PERSON, "data": data, "cb": called.append}
    args.update(kwargs)
    with pytest.raises(error, match=message):
        conn.send(**args)
    run(loop, asyncio.sleep(0.02))
    assert conn.req_map == {} and called == [] and server.requests == []
    assert conn.nHandle == (2 if handle_taken else 1)
    # The connection goes on working.
    assert run(loop, conn.send(PLAIN, PERSON, b"ok")) == b"ok"


@pytest.mark.parametrize("builder, error", [
    (lambda **kw: (_ for _ in ()).throw(KeyError("field")), KeyError),
    (lambda **kw: ({}, b"a", b"b"), ValueError),
    (lambda **kw: b"x", ValueError),
    (lambda **kw: ({}, "text"), TypeError),
], ids=["raises", "three", "one", "text-payload"])
def test_builder_failures_propagate(loop, conn, kivo, builder, error):
    kivo(50, builder)
    with pytest.raises(error):
        conn.send(50, PERSON, {"a": 1})
    assert conn.req_map == {}


def test_builder_gets_fields_and_only_its_payload_is_used(loop, server, conn, kivo):
    got = []

    def builder(**fields):
        got.append(fields)
        return {"nKIVO": 1, "person_id": "IGNORED"}, b"payload"

    kivo(51, builder)
    run(loop, conn.send(51, PERSON, {"x": 1, "y": "z"}, compress=False))
    req = server.requests[0]
    assert got == [{"x": 1, "y": "z"}] and req.raw == b"payload"
    assert req.nKIVO == 51 and req.person_id == PERSON


# ---------------------------------------------------------------------------------------------
# Replies: framing and matching

def test_coalesced_replies_settle_their_own_futures_in_stream_order(loop, server, conn):
    server.coalesce(3)
    sock_rec = Recorder(conn._socket.event, ("data",))

    async def main():
        futs = [conn.send(PLAIN, PERSON, b"m%d" % i) for i in range(3)]
        return await asyncio.gather(*futs)

    assert run(loop, main()) == [b"m0", b"m1", b"m2"]
    assert [(h.nHandle, body) for _, (h, body) in sock_rec.events] == [(1, b"m0"), (2, b"m1"), (3, b"m2")]


def test_out_of_order_replies(loop, server, conn):
    fast_seen = asyncio.Event()

    async def after_the_fast_one(req):
        await fast_seen.wait()
        return Reply(req.body)

    server.handle(PLAIN, lambda req: after_the_fast_one(req) if req.body == b"slow" else Reply(req.body))

    async def main():
        slow = conn.send(PLAIN, PERSON, b"slow")
        fast = conn.send(PLAIN, PERSON, b"fast")
        done, _ = await asyncio.wait([slow, fast], return_when=asyncio.FIRST_COMPLETED)
        assert done == {fast}
        fast_seen.set()  # only now is the first request answered
        return await slow, await fast

    assert run(loop, main()) == (b"slow", b"fast")


@pytest.mark.parametrize("split", [1, 7, 47, 48, 49])
def test_reply_in_pieces_gives_one_message(loop, server, conn, split):
    server.handle(PLAIN, lambda req: Reply(b"0123456789" * 3, split=split, pause=0.001))
    sock_rec = Recorder(conn._socket.event, ("data",))
    assert run(loop, conn.send(PLAIN, PERSON, b"")) == b"0123456789" * 3
    assert len(sock_rec.events) == 1


def test_buffer_keeps_only_the_bytes_after_the_last_message(loop, server, conn):
    whole = pack_message(b"first", nKIVO=PLAIN, nHandle=1)
    following = pack_message(b"second", nKIVO=PLAIN, nHandle=2)
    server.handle(PLAIN, lambda req: None)

    async def main():
        a = conn.send(PLAIN, PERSON, b"")
        b = conn.send(PLAIN, PERSON, b"")
        await server.wait_requests(2)
        server.push(whole + following[:30])
        assert await a == b"first"
        await asyncio.sleep(0.02)
        assert conn._socket._data == following[:30] and not b.done()
        server.push(following[30:])
        assert await b == b"second"
        assert conn._socket._data == b""

    run(loop, main())


def test_empty_reply_body_reaches_the_parser(loop, server, conn, kivo):
    got = []
    kivo(52, None, lambda body: got.append(body) or "parsed")
    server.handle(52, lambda req: Reply(b""))
    assert run(loop, conn.send(52, PERSON, b"x")) == "parsed"
    assert got == [b""]


@pytest.mark.parametrize("reply, parsed", [
    (Reply(b"packed" * 20, compress=True), b"packed" * 20),
    (Reply(b"as-is", bCompress=0, nDecompressLength=99), b"as-is"),
    (Reply(b"as-is", bCompress=2, nDecompressLength=5), b"as-is"),
    (Reply(b"lie" * 30, compress=True, nDecompressLength=1), b"lie" * 30),  # the length is not read
], ids=["compressed", "flag-0", "flag-2", "decompress-length-lies"])
def test_reply_body_reaches_parser_and_data_event(loop, server, conn, kivo, reply, parsed):
    got = []
    kivo(53, None, lambda body: got.append(body) or {"ok": True})
    server.handle(53, lambda req: reply)
    rec = Recorder(conn.event, ("data", "error"))
    assert run(loop, conn.send(53, PERSON, b"q")) == {"ok": True}
    assert got == [parsed] and rec.events == [("data", parsed)]  # "data" carries the body, not the result


def test_reply_without_parser_gives_body_bytes(loop, server, conn):
    server.handle(PLAIN, lambda req: Reply(b"zipped" * 10, compress=True))
    assert run(loop, conn.send(PLAIN, PERSON, b"")) == b"zipped" * 10


def test_registered_echo_request_round_trip(loop, server, conn):
    reply = run(loop, conn.send(ECHO, PERSON, {"qty": 3, "name": "\u53f0\u7a4d\u96fb"}))
    assert reply.qty == 3 and reply.name == "\u53f0\u7a4d\u96fb"


@pytest.mark.parametrize("ret, message", [(1, protocol.STATUS_CODE.code[1]), (30023, "client connection timeout"),
                                          (4242, None)])
def test_failed_reply_fails_future_and_emits_error(loop, server, conn, ret, message, kivo):
    parsed = []
    kivo(54, None, parsed.append)
    server.handle(54, lambda req: Reply(b"not parsed", ret=ret, compress=True))
    rec = Recorder(conn.event, ("data", "error"))
    fut = conn.send(54, PERSON, b"")
    with pytest.raises(ServerError) as info:
        run(loop, fut)
    exc = info.value
    assert (exc.code, exc.message, str(exc)) == (ret, message, "{} : {}".format(ret, message))
    assert rec.events == [("error", exc)] and parsed == []


def test_reply_to_a_future_that_cannot_be_settled_leaves_the_stream_going(loop, server, conn, closed_loop):
    rec = Recorder(conn.event, ("data",))

    async def main():
        odd = conn.send(PLAIN, PERSON, b"one", loop=closed_loop, cb=lambda fut: None)
        assert await asyncio.wait_for(conn.send(PLAIN, PERSON, b"two"), 5) == b"two"
        return odd

    odd = run(loop, main())
    assert [event[1] for event in rec.events] == [b"one", b"two"]
    (report,) = closed_loop.reports
    assert report["future"] is odd and isinstance(report["exception"], RuntimeError)


def test_unmatched_replies_go_to_the_queue_silently(loop, server, conn):
    rec = Recorder(conn.event, ("data", "error"))
    body = zlib.compress(b"kept as received")

    async def main():
        server.push(pack_message(body, nKIVO=PLAIN, nHandle=12345, bCompress=1, ret=0))
        server.push(pack_message(b"refused", nKIVO=PLAIN, nHandle=777, ret=1))
        # A second reply under a handle already answered.
        server.handle(PLAIN, lambda req: [Reply(b"one"), Reply(b"two")])
        assert await conn.send(PLAIN, PERSON, b"") == b"one"
        await asyncio.sleep(0.02)

    run(loop, main())
    kept = list(conn.unsolicited)
    assert [(k["header"].nHandle, k["msg"]) for k in kept] == [(12345, body), (777, b"refused"), (1, b"two")]
    assert kept[1]["header"].ret == 1
    assert rec.events == [("data", b"one")]


KEPT, KEPT_BYTES = 1000, 4 * 1024 * 1024  # the bounds of the unmatched-reply queue


def drop_warnings(caplog):
    return [r for r in caplog.records if r.levelno == logging.WARNING and "Unmatched replies" in r.getMessage()]


@pytest.mark.parametrize("count, size", [(50_000, 0), (120, 100_000)], ids=["many", "large"])
def test_a_flood_of_unmatched_replies_keeps_the_most_recent(loop, server, conn, caplog, count, size):
    caplog.set_level(logging.WARNING, logger="dorvane")
    body = bytes(size)
    # One write of `count` whole messages with handles that match no request, then one request
    # whose reply follows them on the stream, so all of them have been read when it is answered.
    flood = b"".join(pack_message(body, nKIVO=PLAIN, nHandle=100_000 + i) for i in range(count))

    async def main():
        server.push(flood)
        assert await conn.send(PLAIN, PERSON, b"after") == b"after"

    run(loop, main(), timeout=120)  # a bound for slow (sanitizer) runs
    kept = [k["header"].nHandle - 100_000 for k in conn.unsolicited]
    expect = min(KEPT, KEPT_BYTES // size) if size else KEPT
    assert kept == list(range(count - expect, count))  # the newest, in order of arrival
    assert sum(len(k["msg"]) for k in conn.unsolicited) <= KEPT_BYTES
    assert len(drop_warnings(caplog)) == 1  # logged at the first drop only
    # A reset starts a fresh queue, which warns again at its own first drop.
    conn.reset()
    assert not conn.unsolicited and conn._unsolicited_dropped == 0


def test_replies_taken_from_the_queue_no_longer_count_against_its_bytes(loop, server, conn):
    body = bytes(KEPT_BYTES // 4 + 1)  # four such replies exceed the byte bound

    async def push(first, n):
        server.push(b"".join(pack_message(body, nKIVO=PLAIN, nHandle=200_000 + first + i) for i in range(n)))
        assert await conn.send(PLAIN, PERSON, b"after") == b"after"

    run(loop, push(0, 3))
    conn.unsolicited.popleft()  # a program takes two of the three replies
    conn.unsolicited.popleft()
    run(loop, push(3, 2))  # two more: 3 bodies held, within the bound, so nothing is dropped
    assert [k["header"].nHandle - 200_000 for k in conn.unsolicited] == [2, 3, 4]


# ---------------------------------------------------------------------------------------------
# Replies that fail on the client side

def test_failed_reply_without_error_listener_keeps_framing(loop, server, conn):
    conn.event.remove_all_listeners()
    server.coalesce(3)
    server.handle(PLAIN, lambda req: Reply(req.body, ret=1 if req.body == b"bad" else 0))
    errors = []
    loop.set_exception_handler(lambda lp, ctx: errors.append(ctx))

    async def main():
        futs = [conn.send(PLAIN, PERSON, b) for b in (b"bad", b"ok1", b"ok2")]
        return await asyncio.gather(*futs, return_exceptions=True)

    bad, ok1, ok2 = run(loop, main())
    assert isinstance(bad, ServerError) and (ok1, ok2) == (b"ok1", b"ok2")
    assert errors == [] and conn.is_alive()


@pytest.mark.parametrize("cause", ["parser", "zlib"])
def test_unreadable_reply_fails_only_its_request(loop, server, conn, kivo, cause):
    def parser(body):
        if body == b"boom":
            raise KeyError("bad reply")
        return body.upper()

    kivo(55, None, parser)
    if cause == "parser":
        server.handle(55, lambda req: Reply(req.body))
    else:
        server.handle(55, lambda req: Reply(raw=pack_message(b"not zlib", nKIVO=55, nHandle=req.nHandle,
                                                             bCompress=1))
                      if req.body == b"boom" else Reply(req.body))
    server.coalesce(3)
    rec = Recorder(conn.event, ("data", "error"))

    async def main():
        futs = [conn.send(55, PERSON, b) for b in (b"a", b"boom", b"c")]
        return await asyncio.gather(*futs, return_exceptions=True)

    a, boom, c = run(loop, main())
    assert (a, c) == (b"A", b"C")
    assert isinstance(boom, KeyError if cause == "parser" else zlib.error)
    assert [e[0] for e in rec.events] == ["data", "data"] and conn.is_alive()


def test_reply_to_cancelled_request_is_skipped(loop, server, conn, kivo):
    parsed = []
    kivo(56, None, lambda body: parsed.append(body) or body)
    server.handle(56, lambda req: Reply(req.body, delay=0.03))
    errors = []
    loop.set_exception_handler(lambda lp, ctx: errors.append(ctx))

    async def main():
        first = conn.send(56, PERSON, b"cancelled")
        second = conn.send(56, PERSON, b"kept")
        first.cancel()
        assert await second == b"kept"
        await until(lambda: not conn.req_map)  # the cancelled request's reply has arrived too

    run(loop, main())
    assert parsed == [b"kept"] and errors == [] and conn.req_map == {}


def test_raising_listeners_do_not_break_the_stream(loop, server, conn, logs):
    def bad_listener(*args):
        raise RuntimeError("listener failed")

    conn.event.on("data", f=bad_listener)
    conn._socket.event.on("data", f=bad_listener)
    server.coalesce(2)

    async def main():
        return await asyncio.gather(conn.send(PLAIN, PERSON, b"1"), conn.send(PLAIN, PERSON, b"2"))

    assert run(loop, main()) == [b"1", b"2"]
    assert conn.is_alive()
    assert sum(isinstance(m, RuntimeError) for m in logs.messages(logging.ERROR)) == 4


# ---------------------------------------------------------------------------------------------
# Bad input from the server

LIMIT = 64 * 1024 * 1024
BOMB = zlib.compress(b"\0" * (LIMIT + 1))          # a small body that inflates past the limit


def bad_header(**fields):
    return pack_message(b"", **fields)[:48]


@pytest.mark.parametrize("bad, fatal, error", [
    # The stream can no longer be trusted: the connection closes, every pending request fails.
    (lambda h: bad_header(net_length=-1, nKIVO=PLAIN, nHandle=h), True, "negative body length -1"),
    (lambda h: bad_header(net_length=LIMIT + 1, nKIVO=PLAIN, nHandle=h), True, "exceeds the limit"),
    (lambda h: bad_header(net_length=2**31 - 1, nKIVO=PLAIN, nHandle=h), True, "exceeds the limit"),
    (lambda h: pack_message(b"", nKIVO=PLAIN, nHandle=h, person_id=b"\xff\xff\xff"), True,
     "unreadable message header"),
    # One message cannot be read: its request fails, the stream goes on.
    (lambda h: pack_message(b"garbage!", nKIVO=PLAIN, nHandle=h, bCompress=1), False, zlib.error),
    (lambda h: pack_message(zlib.compress(b"abc" * 100)[:-6], nKIVO=PLAIN, nHandle=h, bCompress=1), False,
     zlib.error),
    (lambda h: pack_message(BOMB, nKIVO=PLAIN, nHandle=h, bCompress=1), False, ValueError),
    # Readable after all: a lying length and trailing bytes change nothing.
    (lambda h: pack_message(zlib.compress(b"fine"), nKIVO=PLAIN, nHandle=h, bCompress=1, nDecompressLength=-5),
     False, None),
    (lambda h: pack_message(b"fine", nKIVO=PLAIN, nHandle=h) + b"\x00\x00\x00", False, None),
], ids=["negative-length", "huge-length", "max-length", "unparsable-header", "not-zlib", "truncated-zlib",
        "zlib-bomb", "decompress-length-lies", "trailing-bytes"])
def test_bad_input_table(loop, server, conn, bad, fatal, error):
    server.handle(PLAIN, lambda req: None)
    rec = Recorder(conn.event, ("error", "disconnected"))
    loop_errors = []
    loop.set_exception_handler(lambda lp, ctx: loop_errors.append(ctx))

    async def main():
        before = conn.send(PLAIN, PERSON, b"")   # answered properly, before the bad message
        victim = conn.send(PLAIN, PERSON, b"")   # answered by the bad message
        waiting = conn.send(PLAIN, PERSON, b"")  # still waiting when it arrives
        await server.wait_requests(3)
        server.push(pack_message(b"good", nKIVO=PLAIN, nHandle=1) + bad(2))
        assert await before == b"good"
        outcome = await asyncio.gather(victim, return_exceptions=True)
        return outcome[0], waiting

    victim, waiting = run(loop, main())
    if fatal:
        assert isinstance(victim, ConnectionError) and error in str(victim)
        assert isinstance(waiting.exception(), ConnectionError) and error in str(waiting.exception())
        assert rec.names() == ["error", "disconnected"] and rec.events[0][1] is victim
        assert conn._socket is None
    else:
        if error is None:
            assert victim == b"fine"
        else:
            assert isinstance(victim, error)
        assert not waiting.done() and conn.is_alive() and rec.events == []
        # Later messages are still framed correctly.
        if error is not None or not bad(2).endswith(b"\x00\x00\x00"):
            server.push(pack_message(b"later", nKIVO=PLAIN, nHandle=3))
            assert run(loop, waiting) == b"later"
        else:
            waiting.cancel()
    assert loop_errors == []


def test_drop_mid_reply_fails_pending_requests(loop, server, conn):
    server.handle(PLAIN, lambda req: Reply(b"x" * 100, drop_after=60))
    rec = Recorder(conn.event, ("data", "disconnected"))

    async def main():
        futs = [conn.send(PLAIN, PERSON, b""), conn.send(5, PERSON, b"")]
        server.handle(5, lambda req: None)
        return await asyncio.gather(*futs, return_exceptions=True)

    results = run(loop, main())
    assert all(isinstance(r, ConnectionError) for r in results)
    assert rec.names() == ["disconnected"]


def test_large_reply_body(loop, server, conn):
    big = bytes(range(256)) * 40000  # ~10 MB, arriving in many pieces
    server.handle(PLAIN, lambda req: Reply(big))
    assert run(loop, conn.send(PLAIN, PERSON, b""), timeout=20) == big


# ---------------------------------------------------------------------------------------------
# A reply must answer the request filed under its handle

LOGIN = 11  # registered with the session reply parser


@pytest.mark.parametrize("asked, reply", [
    # A keep-alive answered as if it were a login, with a body that is not even zlib: it is
    # refused without being decompressed, and the login parser never sees it.
    (2, Reply(b"not zlib at all", nKIVO=LOGIN, bCompress=1)),
    # A request with a parser of its own answered under another request's code.
    (ECHO, Reply(b'{"person_id": "B"}', nKIVO=LOGIN)),
    # A failure under another code is not this request's failure either.
    (PLAIN, Reply(b"", nKIVO=LOGIN, ret=1)),
], ids=["keepalive-as-login", "echo-as-login", "failure-under-another-code"])
def test_reply_under_another_code_fails_its_request_unread(loop, server, conn, kivo, asked, reply):
    parsed = []
    kivo(LOGIN, None, lambda body: parsed.append(body) or "parsed as a login")
    server.handle(asked, lambda req: reply)
    server.handle(PLAIN + 1, lambda req: Reply(b"next"))
    rec = Recorder(conn.event, ("data", "error"))

    async def main():
        first = await asyncio.gather(conn.send(asked, PERSON, b"", compress=False), return_exceptions=True)
        # The stream and the matching go on: the next reply answers its own request.
        return first[0], await conn.send(PLAIN + 1, PERSON, b"")

    failure, after = run(loop, main())
    assert type(failure) is ValueError
    assert str(failure) == ("reply under request code 11 does not answer request 1 of code {}; "
                            "its body is not read".format(asked))
    assert parsed == [] and after == b"next" and conn.is_alive()
    assert rec.events == [("error", failure), ("data", b"next")]
    assert conn.req_map == {} and not conn.unsolicited


# A server answering each keep-alive as a login with a zlib body of about 65 KB that inflates to
# 64 MiB of "[[],[],...]" (a JSON parse of it takes well over a gigabyte), run in a fresh process
# whose peak resident size is read before and after.
KEEPALIVE_BOMB = """
import asyncio, json, os, resource, struct, sys, threading, zlib
sys.path.insert(0, {root!r})
from dorvane.backend.socket.connect import Connection

HEADER = struct.Struct(">iBBBBiiiI12sIiI")
SIZE = 64 * 1024 * 1024 - 16
packer = zlib.compressobj(9)
chunk = b"[]," * (1 << 18)
parts = [packer.compress(b"[")]
made = 1
while made + len(chunk) < SIZE - 3:
    parts.append(packer.compress(chunk))
    made += len(chunk)
tail = b"[]," * ((SIZE - 3 - made) // 3)
parts += [packer.compress(tail + b"[]]"), packer.flush()]
made += len(tail) + 3
BOMB = b"".join(parts)
del parts, chunk, tail


def peak_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


async def main():
    answered = []

    async def serve(reader, writer):
        while True:
            try:
                head = await reader.readexactly(48)
            except asyncio.IncompleteReadError:
                return
            fields = HEADER.unpack(head)
            await reader.readexactly(fields[0])
            if fields[6] == 2:  # a keep-alive: answered under the login's code 11
                writer.write(HEADER.pack(len(BOMB), 0, 1, 0, 1, made, 11, fields[7], 0, b"", 0, 105, 0) + BOMB)
                answered.append(fields[7])

    server = await asyncio.start_server(serve, "127.0.0.1", 0)
    conn = Connection("127.0.0.1", server.sockets[0].getsockname()[1], "A123456789", ping_duration=0.02)
    errors = []
    conn.event.on("error", f=errors.append)
    before = peak_kib()

    def report():
        print(json.dumps({{"growth_mib": (peak_kib() - before) / 1024, "bomb": len(BOMB), "inflates_to": made,
                          "answered": len(answered), "errors": sorted({{type(e).__name__ for e in errors}}),
                          "alive": bool(conn.is_alive()), "pending": len(conn.req_map)}}), flush=True)
        os._exit(0)

    # A client that parses the bombs stalls its loop for seconds each: report what it did by then.
    threading.Timer(20, report).start()
    await conn.connect()
    while len(answered) < 5:
        await asyncio.sleep(0.01)
    await asyncio.sleep(0.2)  # the last reply read
    report()


asyncio.run(main())
"""


def test_keepalives_answered_with_a_login_bomb_stay_small(tmp_path):
    import json
    import os
    import subprocess
    import sys
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    proc = subprocess.run([sys.executable, "-c", KEEPALIVE_BOMB.format(root=root)], cwd=tmp_path,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    seen = json.loads(proc.stdout.splitlines()[-1])
    assert seen["bomb"] < 100_000 and seen["inflates_to"] > 60 * 1024 * 1024
    assert seen["answered"] >= 5 and seen["errors"] == ["ValueError"] and seen["pending"] <= 1
    assert seen["alive"] is True
    assert seen["growth_mib"] < 300, seen
