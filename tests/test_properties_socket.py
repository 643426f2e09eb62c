"""Property tests of the socket wire: the message header, the framing and matching of reply streams
cut into arbitrary arrivals, and hostile byte streams. Every expectation comes from a reference
written here with `struct` and `zlib`, never from the code under test."""
import asyncio
import ipaddress
import struct
import zlib

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from dorvane.backend.error import ServerError
from dorvane.backend.socket.protocol import HEADER, HEADER_SIZE, STATUS_CODE, gen_header
from support.connect_fixtures import PERSON, loop, make_connection, server  # noqa: F401
from support.sanitized import examples

REF = struct.Struct(">iBBBBiiiI12sIiI")
FIELDS = ("net_length", "bEncrypt", "bCompress", "bContinue", "bHts", "nDecompressLength", "nKIVO",
          "nHandle", "ip4", "person_id", "nDecodeLength", "nOutHandle", "ret")
PLAIN = 7            # a request code without builder or parser: a reply resolves with its body bytes
UNMATCHED = 1 << 20  # replies under handles from here on match no request

i32 = st.integers(-2**31, 2**31 - 1)
u32 = st.integers(0, 2**32 - 1)
u8 = st.integers(0, 255)
# Person ids: ASCII and Big5 characters, at most 12 bytes in code page 950, no trailing NUL.
person_ids = st.text(alphabet="AZaz0189-_ 台積電測試", max_size=12).filter(
    lambda s: len(s.encode("cp950")) <= 12 and not s.endswith(" "))
addresses = st.builds(lambda n: str(ipaddress.IPv4Address(n)), u32)


def ref_message(handle, body, compress=False, ret=0, nKIVO=PLAIN):
    """A reply as the trading server writes it: header by `struct`, body zlib-compressed on request."""
    wire = zlib.compress(body) if compress else body
    header = REF.pack(len(wire), 0, 1 if compress else 0, 0, 1, len(body) if compress else 0, nKIVO, handle,
                      0, b"", 0, 105, ret)
    return header + wire


def cut(stream, cuts):
    """The stream split at the given offsets into consecutive arrivals."""
    points = sorted({c for c in cuts if 0 < c < len(stream)})
    return [stream[a:b] for a, b in zip([0] + points, points + [len(stream)])]


# ---------------------------------------------------------------------------------------------
# The header

@given(fields=st.fixed_dictionaries(dict(
    net_length=i32, bEncrypt=u8, bCompress=u8, bContinue=u8, bHts=u8, nDecompressLength=i32, nKIVO=i32,
    nHandle=i32, ip4=addresses, person_id=person_ids, nDecodeLength=u32, nOutHandle=i32)), ret=u32)
def test_header_builds_as_struct_and_parses_back(fields, ret):
    values = gen_header(**fields)
    values["ret"] = ret
    wire = HEADER.build(values)
    ref = dict(fields, ip4=int(ipaddress.IPv4Address(fields["ip4"])), ret=ret)
    assert wire == REF.pack(*(ref[name].encode("cp950") if name == "person_id" else ref[name]
                              for name in FIELDS))
    assert HEADER_SIZE == len(wire) == 48
    parsed = HEADER.parse(wire)
    assert {name: getattr(parsed, name) for name in FIELDS} == ref


# ---------------------------------------------------------------------------------------------
# Framing and matching

@pytest.fixture
def conn(loop, server):
    """A connected Connection whose keep-alive stays silent for the whole test, so only the bytes
    that a test feeds reach its receive buffer."""
    server.handle(PLAIN, lambda req: None)
    c = make_connection(loop, server, ping_duration=3600)
    loop.run_until_complete(asyncio.wait_for(c.connect(), 5))
    loop.run_until_complete(asyncio.wait_for(server.wait_requests(1, nKIVO=2), 5))
    while c.req_map:
        loop.run_until_complete(asyncio.sleep(0.001))
    return c


def send_requests(conn, count):
    """`count` pending requests: their handles in order, and the futures by handle."""
    futures = {}
    for _ in range(count):
        before = set(conn.req_map)
        fut = conn.send(PLAIN, PERSON, b"", compress=False)
        [handle] = set(conn.req_map) - before
        futures[handle] = fut
    return list(futures), futures


replies = st.lists(st.tuples(
    st.one_of(st.integers(0, 7), st.integers(UNMATCHED, UNMATCHED + 3)),  # index of a request, or unmatched
    st.binary(max_size=120),
    st.booleans(),                                                         # compressed
    st.one_of(st.just(0), st.just(0), st.sampled_from([1, 30023, 4242]), u32),  # return code
), max_size=10)


@settings(suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(pending=st.integers(0, 8), script=replies, data=st.data())
def test_reply_stream_in_any_arrivals_settles_the_right_futures(loop, conn, pending, script, data):
    try:
        handles, futures = send_requests(conn, pending)
        stream = b""
        starts = []
        expected, queue, open_handles = {}, [], set(handles)
        for target, body, compress, ret in script:
            handle = handles[target] if target < len(handles) else UNMATCHED + target
            message = ref_message(handle, body, compress, ret)
            starts.append(len(stream))
            stream += message
            if handle in open_handles:
                open_handles.discard(handle)
                expected[handle] = ServerError(ret, STATUS_CODE.code.get(ret)) if ret else body
            else:
                queue.append((handle, ret, message[HEADER_SIZE:]))
        # Cuts anywhere, and often just around the header's end (46 to 49 bytes into a message).
        near_header = st.tuples(st.sampled_from(starts or [0]), st.sampled_from([1, 46, 47, 48, 49])).map(sum)
        cuts = data.draw(st.lists(st.one_of(st.integers(0, len(stream)), near_header), max_size=12))
        for arrival in cut(stream, cuts):
            conn._socket.data_received(arrival)
        for handle, fut in futures.items():
            if handle not in expected:
                assert not fut.done(), handle
            elif isinstance(expected[handle], ServerError):
                exc = fut.exception()
                assert type(exc) is ServerError and (exc.code, exc.message) == \
                    (expected[handle].code, expected[handle].message)
            else:
                assert fut.result() == expected[handle]
        assert [(k["header"].nHandle, k["header"].ret, k["msg"]) for k in conn.unsolicited] == queue
        assert conn._socket._data == b"" and set(conn.req_map) == open_handles
        assert conn.is_alive()
    finally:
        for handle in list(conn.req_map):
            conn.req_map.pop(handle).cancel()
        conn.unsolicited.clear()
        conn._socket._data = b""


# ---------------------------------------------------------------------------------------------
# Hostile streams

header_like = st.builds(
    lambda net_length, flag, handle, ret, body: REF.pack(net_length, 0, flag, 0, 1, 0, PLAIN, handle, 0,
                                                         b"", 0, 105, ret) + body,
    st.one_of(st.integers(-3, 200), i32), st.sampled_from([0, 1, 2]), st.integers(0, 6),
    st.sampled_from([0, 0, 1, 2**32 - 1]), st.binary(max_size=200))
hostile = st.lists(st.one_of(st.binary(max_size=200), header_like), max_size=6).map(b"".join)


@settings(max_examples=examples(150), suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(pending=st.integers(0, 5), stream=hostile, cuts=st.lists(st.integers(0, 1200), max_size=6))
def test_hostile_stream_then_close_settles_every_request(loop, server, pending, stream, cuts):
    server.handle(PLAIN, lambda req: None)
    errors = []
    loop.set_exception_handler(lambda lp, ctx: errors.append(ctx))
    conn = make_connection(loop, server, ping_duration=3600)
    loop.run_until_complete(asyncio.wait_for(conn.connect(), 5))
    _, futures = send_requests(conn, pending)
    sock = conn._socket
    for arrival in cut(stream, cuts):
        sock.data_received(arrival)
    if sock.transport is not None:
        sock.transport.close()

    async def settled():
        while not all(f.done() for f in futures.values()):
            await asyncio.sleep(0.001)
    # Neither a crash nor a spin: every request ends, answered or failed, within a bounded time.
    loop.run_until_complete(asyncio.wait_for(settled(), 5))
    loop.run_until_complete(asyncio.sleep(0))
    outcomes = [f.cancelled() or f.exception() for f in futures.values()]  # retrieved: nothing left unseen
    assert not conn.is_alive() and conn.req_map == {} and len(outcomes) == pending
    assert errors == []
