"""HttpApi's order dispatch and trade book against the loopback HTTP back end, through the HTTP
order module: booking by order id, refreshes before and after changes and cancellations, what
each method returns, and failures."""
import pytest

import dorvane.backend.http.main as main
from dorvane.backend.http.utils import hash_orderid
from dorvane.contracts import Future
from dorvane.order import Order, OrderStatus, Status, Trade
from support.http_api_fixtures import PATHS, Recorder, future_account, make_api
from servers.http_server import Reply

PLACE, CHPRICE, CHQTY, CANCEL, QUERY = (PATHS[k] for k in (
    "f_order_uri", "f_order_chprice_uri", "f_order_chqty_uri", "f_order_cancel_uri", "f_query_order_uri"))
ORDER_PATHS = {PLACE, CHPRICE, CHQTY, CANCEL, QUERY}


def placed(code="TXFA4", seqno="000123", ordno="", success="true"):
    return {"success": success, "result": {"stock_id": code, "seqno": seqno, "ordno": ordno, "msg": "m"}}


def query_rows(*rows):
    return {"success": "true", "result": list(rows)}


def row(code="TXFA4", seqno="000123", ordno="X0001", **fields):
    return dict(st_comno=code, st_seqno=seqno, st_ordno=ordno, **fields)


def contract(code="TXFA4"):
    return Future(code=code, name="TX " + code)


def order(**fields):
    values = dict(action="Buy", price_type="LMT", order_type="ROD", price=17000, quantity=2, ordno="", seqno="",
                  account=future_account())
    values.update(fields)
    return Order(**values)


def order_paths(backend):
    return [r.path for r in backend.requests if r.path in ORDER_PATHS]


@pytest.fixture
def api(http_backend):
    http_backend.route("POST", QUERY, query_rows())
    http_backend.route("POST", CHPRICE, placed())
    http_backend.route("POST", CHQTY, placed())
    http_backend.route("POST", CANCEL, placed())
    api = make_api(http_backend)
    api.client.accounts = [future_account()]  # the refresh queries the futures accounts
    return api


def test_place_order_books_the_trade(api, http_backend):
    http_backend.route("POST", PLACE, placed())
    c, o = contract(), order()
    trade = api.place_order(c, o)
    assert isinstance(trade, Trade) and trade.contract is c and trade.order is o
    assert trade.status.order_id == hash_orderid("TXFA4", "000123")
    assert api._trades == {trade.status.order_id: trade} and api.trades[0] is trade
    assert http_backend.requests_to(PLACE)[0].json["stock_id"] == "TXFA4"
    assert order_paths(http_backend) == [PLACE]
    assert api.place_order(contract=c, order=order()) is not trade


def test_failed_placing_is_booked_and_returned(api, http_backend):
    http_backend.route("POST", PLACE, {"success": "false", "result": {"msg": "rejected"}})
    trade = api.place_order(contract("TXFB4"), order())
    assert trade.status.status == Status.Failed
    assert api.trades == [trade]


def test_same_order_id_replaces_the_booked_trade(api, http_backend):
    http_backend.route("POST", PLACE, placed())
    first = api.place_order(contract(), order())
    second = api.place_order(contract(), order())
    assert first.status.order_id == second.status.order_id
    assert api.trades == [second] and api.trades[0] is second


@pytest.mark.parametrize("ordno, expected", [
    ("X0001", [CHPRICE, QUERY]),
    ("", [QUERY, CHPRICE, QUERY]),
    (None, [QUERY, CHPRICE, QUERY]),
    (0, [QUERY, CHPRICE, QUERY]),
])
def test_update_order_refreshes_before_only_without_order_number(ordno, expected, api, http_backend):
    http_backend.route("POST", PLACE, placed(ordno="X0001"))
    trade = api.place_order(contract(), order())
    trade.order._ordno = ordno
    http_backend.clear()
    assert api.update_order(trade, 17100, None) is trade
    assert order_paths(http_backend) == expected
    assert http_backend.requests_to(CHPRICE)[0].json["price"] == 17100


@pytest.mark.parametrize("ordno, expected", [("X0001", [CANCEL, QUERY]), ("", [QUERY, CANCEL, QUERY])])
def test_cancel_order_refreshes_and_returns_the_module_result(ordno, expected, api, http_backend):
    http_backend.route("POST", PLACE, placed(ordno=ordno))
    trade = api.place_order(contract(), order())
    http_backend.clear()
    cancelled = api.cancel_order(trade)
    assert cancelled is not trade and cancelled.status.order_id == trade.status.order_id
    assert order_paths(http_backend) == expected
    assert api.trades == [trade]


def test_update_order_of_a_trade_not_in_the_book(api, http_backend):
    http_backend.route("POST", CHQTY, placed(code="OTHER", seqno="9"))
    foreign = Trade(contract=contract("OTHER"), order=order(ordno="Z9"),
                    status=OrderStatus(order_id=hash_orderid("OTHER", "9"), order_datetime=None,
                                       status=Status.Submitted))
    result = api.update_order(trade=foreign, price=None, qty=1)
    assert result is not foreign and result.status.order_id == hash_orderid("OTHER", "9")
    assert order_paths(http_backend) == [CHQTY, QUERY]
    assert http_backend.requests_to(CHQTY)[0].json["quantity"] == 1
    assert api._trades == {}


def test_update_status_hands_over_the_book_and_refreshes_in_place(api, http_backend, monkeypatch):
    refresh = Recorder(main, "update_status", monkeypatch)
    assert api.update_status() is None
    assert refresh.calls == [(api._trades, api.client)] and refresh.calls[0][0] is api._trades
    assert order_paths(http_backend) == [QUERY]
    assert http_backend.requests_to(QUERY)[0].json["token"] == api.client._token

    http_backend.route("POST", PLACE, placed())
    trade = api.place_order(contract(), order())
    assert trade.order.ordno == ""
    http_backend.route("POST", QUERY, query_rows(row(st_code="0000", st_ord_match_qty="1")))
    api.update_status()
    assert trade.order.ordno == "X0001" and trade.status.status == Status.PartFilled
    assert refresh.calls[1][0] is api._trades


def test_order_module_failures_pass_out(api, http_backend):
    http_backend.route("POST", PLACE, Reply(500, "down", "text/plain"))
    with pytest.raises(ValueError):
        api.place_order(contract(), order())
    assert api._trades == {}

    http_backend.route("POST", PLACE, placed())
    trade = api.place_order(contract(), order())
    # The first refresh fails: the change is not sent.
    http_backend.route("POST", QUERY, Reply(500, "down", "text/plain"))
    http_backend.clear()
    with pytest.raises(ValueError):
        api.update_order(trade, 1, None)
    assert order_paths(http_backend) == [QUERY]
    # The change fails: no refresh afterwards.
    trade.order._ordno = "X1"
    http_backend.route("POST", CANCEL, Reply(500, "down", "text/plain"))
    http_backend.clear()
    with pytest.raises(ValueError):
        api.cancel_order(trade)
    assert order_paths(http_backend) == [CANCEL]
    # The refresh after the change fails: the change went out and the caller gets the error.
    http_backend.clear()
    with pytest.raises(ValueError):
        api.update_order(trade, 1, None)
    assert order_paths(http_backend) == [CHPRICE, QUERY]


def test_argument_errors(api, http_backend):
    with pytest.raises(AttributeError):
        api.update_order("not a trade", 1, 1)
    with pytest.raises(AttributeError):
        api.cancel_order(None)
    with pytest.raises(TypeError):
        api.update_order(None, 1)
    with pytest.raises(TypeError):
        api.update_status(1)
    assert http_backend.requests == []
