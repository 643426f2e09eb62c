"""A stock order request built by a builder travels through a real connection to the loopback
trading server, which checks it with its own header codec, and its reply is parsed back."""
import asyncio

import pytest

from dorvane.backend.constant import MarketType
from dorvane.backend.socket import protocol
from dorvane.backend.socket.connect import Connection
from dorvane.backend.socket.protocol.stock import handler
from dorvane.backend.socket.protocol.stock import kivo
from servers.trading_server import Reply, TradingServer

CODE = kivo.KIVO_STOCK_IN["kivo"]
SIGNATURE = b"MIIBsignature=="
PERSON = "A123456789"

PLACE = dict(vexa=SIGNATURE, exchange=MarketType.OTC, person_id=PERSON, account="9A95-1234567",
             stock_id="6488", order_type="Common", order_cond="Cash", price=402.5, quantity=2,
             ord_bs="Sell", price_type="LimitPrice")
CANCEL = dict(vexa=SIGNATURE, exchange=MarketType.TSE, person_id=PERSON, account="9A95-1234567",
              stock_id="2330", ordno="B0042", seqno="000777", action="Buy")


def field(text, width):
    raw = text.encode("cp950")
    return raw + b"\x00" * (width - len(raw))


def reply_body(seqno, ordno, code, message):
    return (field(seqno, 6) + field(ordno, 6) + field("20261210", 8) + field("093015", 6)
            + field(code, 4) + field(message, 70))


@pytest.fixture
def own_table(monkeypatch):
    """The test's own request-code table: the stock order code with the dispatchers' parser."""
    table = {}
    monkeypatch.setattr(protocol, "kivo_map", table)
    return table


@pytest.mark.parametrize("dispatcher, order, answer", [
    (handler.placeorder, PLACE, ("000321", "A0001", "0000", "委託成功")),
    (handler.cancelorder, CANCEL, ("000777", "B0042", "0000", "刪單成功")),
])
def test_order_round_trip(own_table, dispatcher, order, answer):
    own_table[CODE] = (dispatcher, handler.order_out)

    async def scenario():
        server = TradingServer()
        await server.start()
        # The server answers the stock order with a compressed reply under the request's handle.
        server.handle(CODE, lambda request: Reply(reply_body(*answer), compress=True))
        connection = Connection("127.0.0.1", server.port, PERSON,
                                loop=asyncio.get_running_loop(), ping_duration=3600)
        try:
            await connection.connect()
            future = connection.send(CODE, PERSON, dict(order))
            reply = await asyncio.wait_for(future, 5)
            (request,) = await server.wait_requests(1, nKIVO=CODE)
            return reply, request
        finally:
            connection.disconnect()
            await server.close()

    reply, request = asyncio.run(scenario())

    # On the wire: the header the connection made, and the body exactly as the builder makes it.
    assert request.nKIVO == CODE
    assert request.person_id == PERSON
    assert request.header.bCompress == 1
    _, payload = dispatcher(**order)
    assert request.body == payload
    assert request.body.startswith(SIGNATURE)
    body = kivo.KIVO_STOCK_IN["struct"].parse(request.body[len(SIGNATURE):])
    assert (body.stock_id, body.seqno, body.ordno) == (order["stock_id"], order.get("seqno", ""),
                                                       order.get("ordno", ""))

    # The reply, decompressed and parsed by the table's parser.
    assert (reply.seqno, reply.ordno, reply.err_code, reply.err_msg) == answer
    assert (reply.ord_date, reply.ord_time) == ("20261210", "093015")


def test_refused_order_is_not_sent(own_table):
    own_table[CODE] = (handler.placeorder, handler.order_out)

    async def scenario():
        server = TradingServer()
        await server.start()
        connection = Connection("127.0.0.1", server.port, PERSON,
                                loop=asyncio.get_running_loop(), ping_duration=3600)
        try:
            await connection.connect()
            with pytest.raises(AssertionError):
                connection.send(CODE, PERSON, dict(PLACE, quantity=10000))
            with pytest.raises(ValueError):
                connection.send(CODE, PERSON, dict(PLACE, ord_bs="Hold"))
            # The connection stays usable: a sound order goes through afterwards.
            server.handle(CODE, lambda request: Reply(reply_body("000001", "A0002", "0000", "")))
            reply = await asyncio.wait_for(connection.send(CODE, PERSON, dict(PLACE)), 5)
            requests = [r for r in server.requests if r.nKIVO == CODE]
            return reply, requests
        finally:
            connection.disconnect()
            await server.close()

    reply, requests = asyncio.run(scenario())
    assert len(requests) == 1
    assert reply.ordno == "A0002"
