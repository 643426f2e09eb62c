"""Futures and option order price change, quantity change and cancellation against the loopback
HTTP back end."""
import types

import pytest

from dorvane.account import FutureAccount
from dorvane.contracts import Contract, Future, Option
from dorvane.order import Order, OrderStatus, Trade
from support.fo_fixtures import (CANCEL_PATH, CHPRICE_PATH, CHQTY_PATH, PERSON_ID, PUBLIC_IP, TOKEN,  # noqa: F401
                                 _server, backend, client, fo, only_body)

HEAD = {"token": TOKEN, "ID": PERSON_ID, "IP": PUBLIC_IP, "broker_id": "F002000", "account": "7654321"}


def trade(contract=None, account=None, ordno="k0001", seqno="000123"):
    order = Order(action="Buy", price_type="LMT", order_type="ROD", price=100, quantity=3,
                  ordno=ordno, seqno=seqno)
    order.account = FutureAccount("F002000", "7654321") if account is None else account
    return Trade(contract=contract or Future(code="TXFA4", name="TX"), order=order,
                 status=OrderStatus(order_id="id-1"))


def expected_cancel(**head):
    return dict(HEAD, **head, stock_id="TXFA4", ordno="k0001", seqno="000123", web_id="Z", vexa_content="VX")


def expected_price(futopt="F", **head):
    return dict(HEAD, **head, stock_id="TXFA4", fut_futopt=futopt, price=101.5, price_type="LMT",
                ord_type="ROD", ordno="k0001", seqno="000123", web_id="Z", vexa_content="VX")


def expected_qty(futopt="F", **head):
    return dict(HEAD, **head, stock_id="TXFA4", fut_futopt=futopt, quantity=1, ordno="k0001",
                seqno="000123", web_id="Z", vexa_content="VX")


CALLS = {
    "cancel": ("cancel_futopt_order", CANCEL_PATH, ()),
    "price": ("update_futopt_order_price", CHPRICE_PATH, (101.5,)),
    "qty": ("update_futopt_order_qty", CHQTY_PATH, (1,)),
}


@pytest.fixture
def routed(backend):
    for _, path, _ in CALLS.values():
        backend.route("POST", path, lambda req: {"success": "true", "result": {"echo": req.path}})
    return backend


def call(fo, kind, t, client):
    name, _, extra = CALLS[kind]
    return getattr(fo, name)(t, "VX", client, *extra)


@pytest.mark.parametrize("kind, t, expected", [
    ("cancel", trade(), expected_cancel()),
    ("price", trade(), expected_price()),
    ("qty", trade(), expected_qty()),
    ("price", trade(Option(code="TXFA4", option_right="C")), expected_price("O")),
    ("qty", trade(Contract(code="TXFA4", security_type="OPT")), expected_qty("O")),
    # an account that holds neither field sends empty text for both
    ("cancel", trade(account={}), expected_cancel(broker_id="", account="")),
    ("price", trade(account={}), expected_price(broker_id="", account="")),
    ("qty", trade(account=types.SimpleNamespace(get=lambda k, d: d)), expected_qty(broker_id="", account="")),
])
def test_change_bodies(fo, routed, client, kind, t, expected):
    reply = call(fo, kind, t, client)
    path = CALLS[kind][1]
    assert reply == {"success": "true", "result": {"echo": path}}
    body = only_body(routed, path)
    assert list(body) == list(expected)  # 10, 14 and 12 keys, in this order
    assert body == expected


def test_empty_numbers_are_sent_as_they_are(fo, routed, client):
    fo.cancel_futopt_order(trade(ordno="", seqno=""), "VX", client)
    body = only_body(routed, CANCEL_PATH)
    assert (body["ordno"], body["seqno"]) == ("", "")


@pytest.mark.parametrize("kind", ["cancel", "price", "qty"])
def test_failed_reply_is_returned_and_trade_left_alone(fo, backend, client, kind):
    reply = {"success": "false", "result": {"msg": "no such order"}}
    backend.route("POST", CALLS[kind][1], reply)
    t = trade()
    before = (t.order.ordno, t.order.seqno, t.status.status, t.order.price, t.order.quantity)
    assert call(fo, kind, t, client) == reply
    assert (t.order.ordno, t.order.seqno, t.status.status, t.order.price, t.order.quantity) == before


@pytest.mark.parametrize("kind, t, error", [
    ("cancel", trade(account=object()), AttributeError),  # no get
    ("price", trade(Contract(code="X", security_type="")), IndexError),
    ("qty", trade(Contract(code="X", security_type="")), IndexError),
    ("cancel", types.SimpleNamespace(contract=Future(code="X")), AttributeError),  # no order
])
def test_failures_send_nothing(fo, routed, client, kind, t, error):
    with pytest.raises(error):
        call(fo, kind, t, client)
    assert routed.requests == []


def test_senders_take_extra_keywords_and_require_their_own(fo, routed, client):
    account = FutureAccount("B", "A")
    fo._update_futopt_order_qty(product_id="P", product_type="O", qty=2, ordno="o", seqno="s",
                                vexa_content="v", account=account, client=client, price=9, unused=1)
    body = only_body(routed, CHQTY_PATH)
    assert (body["quantity"], body["broker_id"], body["account"]) == (2, "B", "A")
    assert "price" not in body
    with pytest.raises(TypeError):
        fo._cancel_futopt_order("P", "o", "s", "v", account)  # no client
    with pytest.raises(TypeError):
        fo.update_futopt_order_price(trade(), "v", client)  # no price
