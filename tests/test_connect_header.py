"""The connection's headers equal the protocol header structure's own build and parse, for every
field value, whether the connection uses the structure's compiled form or the structure itself."""
import asyncio
import os
import random
import subprocess
import sys

import construct
import pytest

import dorvane.backend.socket.protocol as protocol
from support.connect_fixtures import PERSON, loop, make_connection, server  # noqa: F401
from servers.trading_server import HEADER as WIRE

FIELDS = ["net_length", "bEncrypt", "bCompress", "bContinue", "bHts", "nDecompressLength", "nKIVO",
          "nHandle", "ip4", "person_id", "nDecodeLength", "nOutHandle", "ret"]
TEXTS = ["", "A", "A123456789", "ABCDEFGHIJKL", "\u4e2d\u6587", "a\u53f0\u7a4d", "\u53f0\u7a4d\u96fb\u80a1\u4efd\u6709"]


def run(loop, coro, timeout=5):
    return loop.run_until_complete(asyncio.wait_for(coro, timeout))


def random_fields(rnd):
    return dict(bEncrypt=rnd.randrange(256), bContinue=rnd.randrange(256), bHts=rnd.randrange(256),
                nDecodeLength=rnd.choice([0, 1, 2**32 - 1, rnd.randrange(2**32)]),
                nOutHandle=rnd.choice([0, -1, -2**31, 2**31 - 1, rnd.randrange(-2**31, 2**31)]),
                bCompress=rnd.randrange(256))


@pytest.fixture
def conn(loop, server):
    c = make_connection(loop, server, ping_duration=60)
    run(loop, c.connect())
    run(loop, server.wait_requests(1, nKIVO=2))
    server.requests.clear()
    server.default = lambda req: None
    return c


def test_request_headers_equal_the_structures_build(loop, server, conn):
    rnd = random.Random(5)
    sent = []
    for i in range(200):
        fields = random_fields(rnd)
        person = rnd.choice(TEXTS)
        nkivo = rnd.choice([0, 2, -7, 2**31 - 1, -2**31])
        conn.send(nkivo, person, b"p" * rnd.randrange(3), compress=False, **fields)
        sent.append((nkivo, person, fields))
    reqs = run(loop, server.wait_requests(len(sent)))
    for req, (nkivo, person, fields) in zip(reqs, sent):
        expected = protocol.gen_header(nKIVO=nkivo, person_id=person, ip4=conn.ip4, **fields)
        expected.update(nHandle=req.nHandle, net_length=len(req.raw), nDecompressLength=0)
        raw = WIRE.pack(*req.header[:9], req.header.person_id.ljust(12, b"\0"), *req.header[10:])
        assert raw == protocol.HEADER.build(expected)
        assert req.person_id == person


def test_parsed_reply_headers_equal_the_structures_parse(loop, server, conn):
    rnd = random.Random(7)
    raws = []
    for i in range(200):
        person = rnd.choice(TEXTS).encode("cp950")
        raw = WIRE.pack(0, rnd.randrange(256), rnd.choice([0, 2]), rnd.randrange(256), rnd.randrange(256),
                        rnd.randrange(-2**31, 2**31), rnd.randrange(-2**31, 2**31), 10_000 + i,
                        rnd.randrange(2**32), person, rnd.randrange(2**32), rnd.randrange(-2**31, 2**31),
                        rnd.choice([0, 1, 2**32 - 1]))
        raws.append(raw)
    server.push(b"".join(raws))

    async def main():
        while len(conn.unsolicited) < len(raws):
            await asyncio.sleep(0.005)

    run(loop, main())
    for raw, kept in zip(raws, conn.unsolicited):
        ours, theirs = kept["header"], protocol.HEADER.parse(raw)
        assert type(ours) is type(theirs)
        assert [(n, ours[n], type(ours[n])) for n in FIELDS] == [(n, theirs[n], type(theirs[n])) for n in FIELDS]


def test_replaced_structure_methods_are_used(loop, server, conn, monkeypatch):
    built, parsed = [], []
    original_build, original_parse = protocol.HEADER.build, protocol.HEADER.parse
    monkeypatch.setattr(protocol.HEADER, "build", lambda d: built.append(d) or original_build(d), raising=False)
    monkeypatch.setattr(protocol.HEADER, "parse", lambda b: parsed.append(b) or original_parse(b), raising=False)
    server.default = lambda req: req.body
    conn._socket.header = protocol.HEADER
    assert run(loop, conn.send(7, PERSON, b"spied")) == b"spied"
    assert len(built) == 1 and built[0]["nKIVO"] == 7 and len(parsed) == 1


def test_another_header_structure_is_used_as_it_stands(loop, server, conn, monkeypatch):
    """Only the structure seen at load is built natively: another one, even with the same field
    names, builds the requests (here with a little-endian nOutHandle) and parses the replies."""
    subcons = ["nOutHandle" / construct.Int32ul if sc.name == "nOutHandle" else sc
               for sc in protocol.HEADER.subcons]
    monkeypatch.setattr(protocol, "HEADER", construct.Struct(*subcons))
    server.default = lambda req: req.body
    conn._socket.header = protocol.HEADER
    assert run(loop, conn.send(7, PERSON, b"other", compress=False)) == b"other"
    [req] = server.requests
    assert req.header.nOutHandle == int.from_bytes((105).to_bytes(4, "little"), "big")
    assert type(conn._socket.header.parse(bytes(48))) is type(protocol.HEADER.parse(bytes(48)))


@pytest.mark.parametrize("fields", [{"bEncrypt": 256}, {"nOutHandle": 2**31}, {"nDecodeLength": -1},
                                    {"bHts": 1.0}, {"bContinue": "1"}])
def test_unencodable_values_fail_as_the_structure_fails(loop, conn, fields):
    expected = protocol.gen_header(nKIVO=7, person_id=PERSON, ip4=conn.ip4, **fields)
    with pytest.raises(Exception) as theirs:
        protocol.HEADER.build(expected)
    with pytest.raises(Exception) as ours:
        conn.send(7, PERSON, b"", **fields)
    assert type(ours.value) is type(theirs.value)


def test_person_id_that_does_not_encode_fails_as_the_structure_fails(loop, conn):
    for person in ["\U0001F600", "X" * 13, b"bytes"]:
        with pytest.raises(Exception) as theirs:
            protocol.HEADER.build(protocol.gen_header(person_id=person))
        with pytest.raises(Exception) as ours:
            conn.send(7, person, b"")
        assert type(ours.value) is type(theirs.value)


PROBE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "support", "header_variant_probe.py")
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(PROBE)))


# Each variant differs from the known layout only where values of one format trade places or where
# the text encoding differs from code page 950 on a character Big5 lacks: the load-time check must
# see that and leave the headers to the structure, in a fresh interpreter where the variant is in
# place before the connection module loads.
@pytest.mark.parametrize("variant, path", [
    ("as-is", "native"),
    ("big5", "structure"),
    ("swap:nHandle,nOutHandle", "structure"),
    ("swap:net_length,nOutHandle", "structure"),
    ("swap:ip4,ret", "structure"),
    ("swap:ip4,nDecodeLength", "structure"),
    ("swap:bEncrypt,bHts", "structure"),
])
def test_load_check_tells_the_layout_apart(variant, path):
    env = dict(os.environ, PYTHONPATH=ROOT)
    done = subprocess.run([sys.executable, PROBE, variant], env=env, capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout.strip()) == (0, path), done.stdout + done.stderr
