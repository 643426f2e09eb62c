"""Turning futures and option order replies into orders, order statuses and trades."""
import datetime

import pytest

from dorvane.account import FutureAccount
from dorvane.backend.http.utils import hash_orderid
from dorvane.contracts import Contract, Future, Option
from dorvane.order import Order, OrderStatus, Status, Trade
from support.fo_fixtures import ORDER_PATH, QUERY_PATH, _server, backend, client, fo  # noqa: F401

PLACED = {"success": "true", "result": {"seqno": "000123", "ordno": "k0001", "stock_id": "TXFA4",
                                         "ord_date": "20240105", "ord_time": "09:01:02"}}
ROW = {"st_comtype": "O", "st_comno": "TXO17500A4", "name_zh": "臺指選 17500", "st_ps": "S",
       "st_ordknd": "ROD", "st_price1": 88.5, "st_ordqty": 4, "st_ordno": "k0009", "st_seqno": "000456",
       "st_orddt": "20240105", "st_ordtm": "101112", "st_code": "0000", "st_errmsg": "  accepted \t ",
       "st_ord_match_qty": "1", "st_ord_match_amt": 88.5, "st_ord_match_avg_prc": 88.5,
       "st_cancel_qty": 0, "st_chg_price1": 0}


def new_order():
    return Order(action="Buy", price_type="LMT", order_type="ROD", price=1, quantity=1, ordno="", seqno="")


@pytest.mark.parametrize("success, flag", [
    ("true", True), ("True", True), ("TRUE", True),
    ("false", False), ("yes", False), (None, False),  # None: the key is missing
])
def test_placing_reply_flag_and_status(fo, success, flag):
    reply = dict(PLACED)
    if success is None:
        del reply["success"]
    else:
        reply["success"] = success
    o = new_order()
    got_order, status, successed = fo.futopt_resp2order_status(reply, o)
    assert got_order is o and successed is flag
    assert status.status == (Status.PendingSubmit if flag else Status.Failed)
    assert (o.seqno, o.ordno) == ("000123", "k0001")
    assert status.order_id == hash_orderid("TXFA4", "000123")
    assert status.order_datetime == datetime.datetime(2024, 1, 5, 9, 1, 2)


def test_placing_reply_without_result(fo):
    o = new_order()
    o._ordno, o._seqno = "old", "old"
    _, status, successed = fo.futopt_resp2order_status({"success": "false"}, o)
    assert (o.ordno, o.seqno, successed, status.status) == ("", "", False, Status.Failed)
    assert status.order_id == hash_orderid("", "") and status.order_datetime is None


@pytest.mark.parametrize("result", ["系統忙碌", None, ["seqno"], 42])
def test_failed_placing_reply_takes_the_failure_path_whatever_its_result(fo, result):
    o = new_order()
    got_order, status, successed = fo.futopt_resp2order_status({"success": "false", "result": result}, o)
    assert got_order is o and (successed, status.status) == (False, Status.Failed)
    assert (o.ordno, o.seqno) == ("", "")
    assert status.order_id == hash_orderid("", "") and status.order_datetime is None
    assert status.msg == (result if isinstance(result, str) else "")  # the server's message text


@pytest.mark.parametrize("success, result, msg", [
    ("false", {"msg": "price must be a positive number"}, "price must be a positive number"),
    ("FALSE", {"msg": "product not found: XYZ99", "stock_id": "XYZ99"}, "product not found: XYZ99"),
    ("false", {"msg": 42}, ""),                        # not text: no message
    ("false", {"stock_id": "TXFA4"}, ""),
    ("true", dict(PLACED["result"], msg="委託成功"), ""),  # an accepted placing carries no message
])
def test_placing_reply_gives_the_servers_reason_for_a_refusal(fo, success, result, msg):
    _, status, _ = fo.futopt_resp2order_status({"success": success, "result": result}, new_order())
    assert status.msg == msg
    assert fo.res2orderstatus(result, success.lower() == "true").msg == msg


@pytest.mark.parametrize("reply, error", [
    ({"success": "true", "result": {"ord_date": "20240105"}}, ValueError),  # no time
    ({"success": "true", "result": {"ord_date": "20240105", "ord_time": "090102"}}, ValueError),
    ({"success": 1}, AttributeError),
    ({"success": "true", "result": None}, AttributeError),
    (["not", "a", "mapping"], AttributeError),
])
def test_placing_reply_failures(fo, reply, error):
    with pytest.raises(error):
        fo.futopt_resp2order_status(reply, new_order())


def test_res2orderstatus_and_res2order_by_keyword(fo):
    o = fo.res2order(resp_result={"seqno": "9", "ordno": "n"}, order=new_order())
    assert (o.seqno, o.ordno) == ("9", "n")
    status = fo.res2orderstatus(resp_result={}, successed=0)
    assert status.status == Status.Failed and status.order_datetime is None


@pytest.mark.parametrize("comtype, cls", [("F", Future), ("O", Option), ("S", Contract), ("f", Contract),
                                          (None, Contract)])
def test_query_row_contract(fo, comtype, cls):
    row = {"st_comno": "C1", "name_zh": "名稱"}
    if comtype is not None:
        row["st_comtype"] = comtype
    contract = fo.queryresp2contract(row)
    assert type(contract) is cls and (contract.code, contract.name) == ("C1", "名稱")


@pytest.mark.parametrize("row, expected", [
    ({"st_ps": "S", "st_ordknd": "ROD"}, ("Sell", "ROD", "LMT")),
    ({"st_ps": "B", "st_ordknd": "FOK"}, ("Buy", "FOK", "LMT")),
    ({"st_ordknd": "IOC"}, ("Buy", "IOC", "MKT")),
    ({}, ("Buy", "IOC", "MKT")),
])
def test_query_row_order(fo, row, expected):
    o = fo.queryresp2order(dict(row, st_price1=5, st_ordqty=2, st_ordno="n", st_seqno="s"))
    assert (o.action, o.order_type, o.price_type) == expected
    assert (o.price, o.quantity, o.ordno, o.seqno) == (5, 2, "n", "s")
    empty = fo.queryresp2order({})
    assert (empty.price, empty.quantity, empty.ordno, empty.seqno) == (0, 0, "", "")


@pytest.mark.parametrize("row", [{"st_ps": "X"}, {"st_ordknd": "GTC"}])
def test_query_row_unknown_code(fo, row):
    with pytest.raises(AttributeError):
        fo.queryresp2order(row)


def test_query_row_status(fo):
    status = fo.queryresp2orderstatus(ROW)
    assert status.order_id == hash_orderid("TXO17500A4", "000456")
    assert status.order_datetime == datetime.datetime(2024, 1, 5, 10, 11, 12)
    assert status.status == Status.PendingSubmit
    assert fo.queryresp2orderstatus({}).order_datetime is None
    with pytest.raises(ValueError):
        fo.queryresp2orderstatus({"st_orddt": "20240105"})
    with pytest.raises(TypeError):
        fo.queryresp2orderstatus(resp=ROW)  # positional only


def test_resp2trade_builds_a_trade(fo):
    t = fo.resp2trade(ROW, None)
    assert isinstance(t, Trade) and type(t.contract) is Option
    assert (t.order.action, t.order.order_type, t.order.ordno, t.order.quantity) == ("Sell", "ROD", "k0009", 4)
    s = t.status
    assert (s._status_code, s._msg, s._deal_quantity, s._deal_amount, s._avg_deal_price, s._cancel_quantity,
            s._modified_price) == ("0000", "accepted \t", 1, 88.5, 88.5, 0, 0)
    assert t.remain_quantity == 3 and s.status == Status.PartFilled  # the trade's own methods ran


def test_resp2trade_refreshes_the_given_trade(fo):
    contract, order, status = Future(code="TXFA4"), new_order(), OrderStatus(order_id="kept")
    t = Trade(contract=contract, order=order, status=status)
    same = fo.resp2trade({"st_ord_match_qty": 2.9, "st_errmsg": "\n x \n"}, t)
    assert same is t and (t.contract, t.order, t.status) == (contract, order, status)
    assert (order.ordno, status._status_code, status._msg, status._deal_quantity, status._cancel_quantity,
            status._deal_amount) == ("", "", "\n x \n", 2, 0, 0)
    assert status.order_id == "kept"


@pytest.mark.parametrize("field, value, error", [
    ("st_ord_match_qty", "2.5", ValueError),
    ("st_cancel_qty", "one", ValueError),
    ("st_ord_match_qty", None, TypeError),
    ("st_errmsg", 5, AttributeError),
])
def test_resp2trade_failures(fo, field, value, error):
    t = Trade(contract=Future(code="X"), order=new_order(), status=OrderStatus(order_id="i"))
    with pytest.raises(error):
        fo.resp2trade(dict(ROW, **{field: value}), t)


def test_placing_and_query_give_one_order_id(fo, backend, client):
    """The id a placed order gets from its reply is the key of its row in the order query."""
    backend.route("POST", ORDER_PATH, {"success": "true", "result": {
        "seqno": "000777", "ordno": "", "stock_id": "TXFA4", "ord_date": "20240105", "ord_time": "09:00:00"}})
    backend.route("POST", QUERY_PATH, {"success": "true", "result": [dict(
        ROW, st_comtype="F", st_comno="TXFA4", st_seqno="000777", st_ordno="k0777", st_ps="B", st_ordqty=2,
        st_ord_match_qty=2)]})
    o = Order(action="Buy", price_type="LMT", order_type="ROD", price=17000, quantity=2, octype="Auto",
              account=client.accounts[1])
    reply = fo.place_future_order(Future(code="TXFA4"), o, "VX", client)
    _, status, ok = fo.futopt_resp2order_status(reply, o)
    t = Trade(contract=Future(code="TXFA4"), order=o, status=status)
    rows = fo.query_futopt_order(client)
    assert ok and status.order_id in rows
    assert fo.resp2trade(rows[status.order_id], t) is t
    assert (o.ordno, status.status) == ("k0777", Status.Filled)
    assert isinstance(client.accounts[1], FutureAccount)


class _Reading(dict):
    """A reply mapping that notes the keys it is asked for, in order."""

    def __init__(self, data, asked):
        super().__init__(data)
        self.asked = asked

    def get(self, key, default=None):
        self.asked.append(key)
        return super().get(key, default)


@pytest.mark.parametrize("parse, data, order", [
    (lambda fo, r: fo.res2orderstatus(r, True), PLACED["result"], ["stock_id", "seqno", "ord_date", "ord_time"]),
    (lambda fo, r: fo.queryresp2orderstatus(r), ROW, ["st_comno", "st_seqno", "st_orddt", "st_ordtm"]),
])
def test_reply_fields_are_read_in_source_order(fo, parse, data, order):
    # The fields of a reply are read one after another as the expressions that read them are
    # written, whatever order the compiler gives a call's arguments.
    asked = []
    parse(fo, _Reading(data, asked))
    assert asked[:len(order)] == order
