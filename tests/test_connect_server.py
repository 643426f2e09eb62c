"""The loopback trading server itself, as other tests use it: its codec, its handlers, and its
threaded form driven by a Connection on a loop of another thread."""
import asyncio
import threading
import zlib

from dorvane.backend.socket.connect import Connection
from support.connect_fixtures import until
from servers.trading_server import (HEADER_SIZE, Reply, ThreadedTradingServer, pack_header, pack_message,
                                    parse_header)


def test_codec_round_trip():
    raw = pack_message(b"body", compress=True, nKIVO=3, nHandle=-4, person_id="\u4e2d", ret=2**32 - 1)
    h = parse_header(raw)
    assert len(pack_header()) == HEADER_SIZE == 48
    assert (h.nKIVO, h.nHandle, h.person_id.decode("cp950"), h.ret, h.bCompress) == (3, -4, "\u4e2d", 2**32 - 1, 1)
    assert zlib.decompress(raw[48:]) == b"body" and h.net_length == len(raw) - 48 and h.nDecompressLength == 4


def test_threaded_server_with_a_connection_on_a_loop_thread():
    with ThreadedTradingServer() as srv:
        @srv.server.handle(31)
        async def answer(req):
            await asyncio.sleep(0.01)
            return [Reply(req.body[::-1]), Reply(b"extra", nHandle=999)]

        loop = asyncio.new_event_loop()
        thread = threading.Thread(target=loop.run_forever, daemon=True)
        thread.start()
        try:
            async def make_and_connect():
                conn = Connection(srv.host, srv.port, "P1", ping_duration=30)
                await conn.connect()
                return conn

            conn = asyncio.run_coroutine_threadsafe(make_and_connect(), loop).result(5)

            async def ask():
                return await conn.send(31, "P1", b"abc")

            assert asyncio.run_coroutine_threadsafe(ask(), loop).result(5) == b"cba"
            asyncio.run_coroutine_threadsafe(until(lambda: conn.unsolicited), loop).result(10)
            assert [k["msg"] for k in conn.unsolicited] == [b"extra"]  # the same write, unmatched
            pings = srv.wait_requests(1, nKIVO=2)
            assert pings[0].person_id == "P1"
            conn.ping_alive("P2")  # from this thread
            assert srv.wait_requests(2, nKIVO=2)[1].person_id == "P2"
            loop.call_soon_threadsafe(conn.disconnect)
            srv.run(lambda: None)
            asyncio.run_coroutine_threadsafe(asyncio.sleep(0.02), loop).result(5)
            assert conn._socket is None and not conn.unsolicited
        finally:
            loop.call_soon_threadsafe(loop.stop)
            thread.join(5)
            loop.close()
