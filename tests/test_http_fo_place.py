"""Futures and option order placing against the loopback HTTP back end."""
import re
import types

import pytest

from dorvane.account import FutureAccount
from dorvane.contracts import Contract, Future, Option
from dorvane.order import Order
from support.fo_fixtures import (ORDER_PATH, PERSON_ID, PUBLIC_IP, TOKEN, _server, backend, client,  # noqa: F401
                                 fo, only_body)

BODY_KEYS = ["token", "ID", "IP", "broker_id", "account", "fut_futopt", "stock_id", "fut_callput", "ord_bs",
             "price", "price_type", "quantity", "ord_type", "octype", "mttype", "composit", "web_id",
             "vexa_content"]
ACCOUNT = FutureAccount("F002000", "7654321")
OK = {"success": "true", "result": {"seqno": "000123", "ordno": "k0001", "stock_id": "TXFA4",
                                     "ord_date": "20240105", "ord_time": "09:01:02"}}


def future():
    return Future(code="TXFA4", name="TX 2024/01")


def option(right="C"):
    return Option(code="TXO17500A4", name="TXO 17500", option_right=right)


def order(**changes):
    fields = dict(action="Buy", price_type="LMT", order_type="ROD", price=17512.5, quantity=2,
                  octype="New", account=ACCOUNT)
    fields.update(changes)
    return Order(**fields)


@pytest.fixture
def placing(backend):
    backend.route("POST", ORDER_PATH, OK)
    return backend


@pytest.mark.parametrize("name, contract, futopt, callput", [
    ("place_future_order", future(), "F", " "),
    ("place_future_order", option("P"), "O", " "),   # the future variant never reads option_right
    ("place_option_order", option("P"), "O", "P"),
    ("place_option_order", option(""), "O", ""),
    ("place_futopt_order", option("C"), "O", "C"),
    ("place_futopt_order", option(""), "O", " "),
    ("place_futopt_order", future(), "F", " "),
])
def test_placing_body(fo, placing, client, name, contract, futopt, callput):
    reply = getattr(fo, name)(contract, order(), "SIG+/=", client)
    assert reply == OK
    body = only_body(placing, ORDER_PATH)
    assert list(body) == BODY_KEYS
    assert body == {
        "token": TOKEN, "ID": PERSON_ID, "IP": PUBLIC_IP, "broker_id": "F002000", "account": "7654321",
        "fut_futopt": futopt, "stock_id": contract.code, "fut_callput": callput, "ord_bs": "B",
        "price": 17512.5, "price_type": "LMT", "quantity": 2, "ord_type": "ROD", "octype": "0",
        "mttype": " ", "composit": "00", "web_id": "Z", "vexa_content": "SIG+/=",
    }


@pytest.mark.parametrize("changes, expected", [
    (dict(action="Sell", price_type="MKP", order_type="FOK", octype="DayTrade"),
     dict(ord_bs="S", price_type="MKP", ord_type="FOK", octype="6")),
    (dict(price_type="MKT", order_type="IOC", octype="Auto"), dict(price_type="MKT", ord_type="IOC", octype=" ")),
    (dict(octype="Cover", price=9, quantity=1), dict(octype="1", price=9, quantity=1)),
    # a false option value is not converted: it goes out as the order holds it
    (dict(octype=""), dict(octype="")),
])
def test_order_values_become_request_codes(fo, placing, client, changes, expected):
    fo.place_futopt_order(future(), order(**changes), "v", client)
    body = only_body(placing, ORDER_PATH)
    assert {k: body[k] for k in expected} == expected


def test_plain_dict_order_is_sent_unconverted_and_overridden(fo, placing, client):
    given = dict(action="Buy", price_type="LMT", order_type="ROD", price=1, quantity=3, octype=" ",
                 account=ACCOUNT, ordno="X1", seqno="X2", product_id="WRONG", product_type="Q",
                 opt_type="Q", vexa_content="old")
    snapshot = dict(given)
    fo.place_option_order(option("P"), given, "new", client)
    body = only_body(placing, ORDER_PATH)
    assert given == snapshot  # the caller's dictionary is not changed
    assert (body["ord_bs"], body["octype"], body["stock_id"], body["fut_futopt"], body["fut_callput"],
            body["vexa_content"]) == ("Buy", " ", "TXO17500A4", "O", "P", "new")
    assert "ordno" not in body and "seqno" not in body


def test_prepare_inputs(fo):
    o = order()
    for name, callput in [("prepare_future_input", " "), ("prepare_option_input", ""),
                          ("prepare_futopt_input", " ")]:
        made = getattr(fo, name)(option(""), o, "vx")
        assert made == dict(action="B", price_type="LMT", order_type="ROD", octype="0", price=17512.5,
                            quantity=2, account=ACCOUNT, ordno="", seqno="", product_id="TXO17500A4",
                            product_type="O", opt_type=callput, vexa_content="vx")


def test_convert_order_props(fo):
    assert fo.convert_order_props(order(action="Sell", octype="")) == dict(
        action="S", price_type="LMT", order_type="ROD")
    assert fo.convert_order_props({"action": "Buy"}) == {}  # a dictionary has no such attributes
    with pytest.raises(TypeError):
        fo.convert_order_props(order=order())  # positional only


def test_table_and_web_id_are_read_when_called(fo, placing, client, monkeypatch):
    from dorvane.backend.http.constant import BaseProps

    class Table(BaseProps):
        octype = types.SimpleNamespace(**{" ": "AUTO"})   # a blank option value is true: converted
        action = None                                       # a false sub-table: not converted
        price_type = types.SimpleNamespace(LMT="L")        # a false order value: not converted

    monkeypatch.setattr(fo, "foprops", Table)
    monkeypatch.setattr(fo, "get_web_id", lambda: "Q")
    o = types.SimpleNamespace(octype=" ", action="Buy", price_type=None)
    assert fo.convert_order_props(o) == {"octype": "AUTO"}
    fo.place_future_order(future(), order(octype=" "), "v", client)
    body = only_body(placing, ORDER_PATH)
    assert (body["octype"], body["ord_bs"], body["web_id"]) == ("AUTO", "Buy", "Q")


def test_field_missing_on_order_is_left_out(fo, monkeypatch):
    from dorvane.backend.http.constant import BaseProps

    class Table(BaseProps):
        side = types.SimpleNamespace(Buy="B")

    monkeypatch.setattr(fo, "foprops", Table)
    assert fo.convert_order_props(order()) == {}


@pytest.mark.parametrize("reply", [
    {"success": "false", "result": {"msg": "rejected"}},
    {"success": "true"},
])
def test_reply_is_returned_unread(fo, backend, client, reply):
    from servers.http_server import Reply

    backend.route("POST", ORDER_PATH, Reply(500, reply))
    assert fo.place_future_order(future(), order(), "v", client) == reply


def test_body_that_is_not_json_raises(fo, backend, client):
    from servers.http_server import Reply

    backend.route("POST", ORDER_PATH, Reply(502, b"<html>bad gateway</html>", "text/html"))
    with pytest.raises(ValueError):
        fo.place_future_order(future(), order(), "v", client)


def _no_account():
    o = order()
    o.account = types.SimpleNamespace(account_id="1")
    return o


@pytest.mark.parametrize("contract, given, error, text", [
    (future(), None, TypeError, "argument after ** must be a mapping, not NoneType"),
    (future(), order(action="Hold"), AttributeError, "Hold"),
    (Contract(code="X", security_type=""), order(), IndexError, ""),
    (future(), {"action": "B", "price_type": "LMT", "order_type": "ROD", "price": 1, "octype": " ",
                "account": ACCOUNT}, TypeError, "quantity"),
    (future(), dict(dict(order()), client="other"), TypeError, "multiple values for keyword argument 'client'"),
    (future(), _no_account(), AttributeError, "broker_id"),
    (types.SimpleNamespace(security_type="FUT"), order(), AttributeError, "code"),
])
def test_failures_send_nothing(fo, placing, client, contract, given, error, text):
    with pytest.raises(error, match=re.escape(text)):
        fo.place_futopt_order(contract, given, "v", client)
    assert placing.requests == []


def test_sender_takes_extra_keywords(fo, placing, client):
    fo._place_futopt_order(product_id="P", product_type="F", opt_type=" ", price=1, price_type="LMT",
                           action="B", order_type="ROD", octype=" ", quantity=1, account=ACCOUNT,
                           vexa_content="v", client=client, ordno="ignored", anything=1)
    assert list(only_body(placing, ORDER_PATH)) == BODY_KEYS
    with pytest.raises(TypeError):
        fo._place_futopt_order("P", "F", " ", 1, "LMT", "B", "ROD", " ", 1, ACCOUNT, "v")  # no client


def test_module_surface(fo):
    assert fo.get_web_id() == "Z"
    assert fo._place_futopt_order.__doc__.startswith("place future or option order")
    names = list(vars(fo))
    imported = ["dt", "log", "FutureAccount", "Future", "Contract", "Option", "Order", "Trade",
                "OrderStatus", "Status", "hash_orderid", "foprops"]
    functions = ["get_web_id", "convert_order_props", "prepare_future_input", "prepare_option_input",
                 "prepare_futopt_input", "place_future_order", "place_option_order", "place_futopt_order",
                 "_place_futopt_order", "_cancel_futopt_order", "cancel_futopt_order",
                 "_update_futopt_order_price", "update_futopt_order_price", "_update_futopt_order_qty",
                 "update_futopt_order_qty", "_query_futopt_order", "query_futopt_order",
                 "queryresp2contract", "queryresp2order", "queryresp2orderstatus", "res2order",
                 "res2orderstatus", "futopt_resp2order_status", "resp2trade"]
    assert [n for n in names if n in imported + functions] == imported + functions
    import datetime
    from dorvane.backend.http.futureoption.constant import oprops
    assert fo.dt is datetime and fo.foprops is oprops


def test_functions_are_found_by_name_when_called(fo, monkeypatch, client):
    seen = []
    monkeypatch.setattr(fo, "_place_futopt_order", lambda **kw: seen.append(kw) or "sent")
    monkeypatch.setattr(fo, "prepare_future_input", lambda c, o, v: {"from": "stand-in", "vexa_content": v})
    assert fo.place_future_order(future(), order(), "v", client) == "sent"
    assert seen == [{"from": "stand-in", "vexa_content": "v", "client": client}]


def test_import_fails_without_the_option_table(tmp_path):
    import os
    import subprocess
    import sys

    script = (
        "import sys, types\n"
        "sys.modules['dorvane.backend.http.futureoption.constant'] = types.ModuleType('stand-in')\n"
        "try:\n"
        "    import dorvane.backend.http.futureoption.order\n"
        "except ImportError as exc:\n"
        "    print('ImportError', exc.__cause__ or exc)\n")
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = subprocess.run([sys.executable, "-c", script], cwd=root, capture_output=True, text=True, timeout=60)
    assert out.stdout.startswith("ImportError cannot import name 'oprops'"), out.stdout + out.stderr
