"""The local broker's HTTP back end through the library's HTTP side (HttpApi, the HTTP order
module and the futures and option order functions): the catalogue, the order life cycle, refusals
and the reports that follow from deals."""
import datetime
import logging

import pytest

from dorvane.backend.http import order as order_module
from dorvane.backend.http.client import LoginError
from dorvane.backend.http.futureoption.constant import FutOptProps as P
from dorvane.contracts import Future
from dorvane.order import Order, Status
from servers.broker_backend import LocalBroker
from servers.catalogue import Catalogue
from support.http_api_fixtures import make_api


@pytest.fixture
def api(http_backend):
    LocalBroker(http_backend, catalogue=Catalogue(today=datetime.date(2026, 12, 10)))
    api = make_api(http_backend)
    api.login("A123456789", "pw")
    return api


def futures_account(api):
    return next(a for a in api.list_accounts() if a.account_type == "F")


def order(api, action=P.action.Buy, price_type=P.price_type.LMT, order_type=P.order_type.ROD, price=22000,
          quantity=2):
    return Order(action=action, price_type=price_type, order_type=order_type, octype=P.octype.Auto, price=price,
                 quantity=quantity, account=futures_account(api))


def txf(api):
    return api.Contracts.Futures.TXF["TXFL6"]


def test_catalogue_is_the_same_every_time():
    one, two = Catalogue(today=datetime.date(2026, 12, 10)), Catalogue(today=datetime.date(2026, 12, 10))
    assert one.stocks == two.stocks and one.options == two.options
    assert one.counts() == Catalogue(today=datetime.date(2027, 5, 1)).counts() == {"I": 60, "S": 1800, "F": 620,
                                                                                  "O": 2322}


def test_login_loads_the_catalogue_and_refuses_an_empty_password(http_backend, api):
    assert len(api.Contracts.Options.TXO) == 3 * 81 * 2 and "TXO22800L6" in api.Contracts.Options.TXO
    # Every product code names one product: the flat table holds every stock, future and option.
    assert len(api.fetch_products()) == 1800 + 620 + 2322
    with pytest.raises(LoginError):
        make_api(http_backend).login("A123456789", "")


def test_order_life_cycle_in_the_trade_book(api):
    trade = api.place_order(txf(api), order(api, quantity=3))
    api.update_status()
    assert trade.status.status == Status.Submitted and trade.order.ordno
    assert api.update_order(trade, 22100, None) is trade and trade.status.modified_price == 22100
    api.update_order(trade, None, 1)
    assert (trade.status.status, trade.remain_quantity, trade.status.cancel_quantity) == (Status.Submitted, 1, 2)
    api.cancel_order(trade)
    assert (trade.status.status, trade.remain_quantity) == (Status.Cancelled, 0)


@pytest.mark.parametrize("price, qty, reason", [
    (None, 5, "quantity can only be reduced"),
    (-1, None, "price must be a positive number"),
    (-1, 1, "price must be a positive number"),     # the quantity change is not tried after a refusal
])
def test_refused_changes_leave_the_order_and_give_the_reason(api, price, qty, reason):
    trade = api.place_order(txf(api), order(api, quantity=3))
    refused = order_module.update_order(trade, api.client, price, qty)
    assert (refused.status.status, refused.status.msg) == (Status.Failed, reason)
    api.cancel_order(trade)
    refused = order_module.cancel_order(trade, api.client)
    assert (refused.status.status, refused.status.msg) == (Status.Failed, "order is no longer open")
    assert (trade.status.status, trade.status.cancel_quantity, trade.status.modified_price) == (Status.Cancelled, 3, 0)


def refusals(caplog):
    return [(r.name, r.levelname, r.getMessage()) for r in caplog.records if r.levelno >= logging.ERROR]


def test_refusals_through_the_facade_are_logged_with_order_and_reason(api, caplog):
    trade = api.place_order(txf(api), order(api, quantity=3))
    api.update_status()
    caplog.set_level(logging.ERROR, logger="dorvane")
    assert api.update_order(trade, None, 5) is trade                      # the booked trade, as before
    assert (trade.status.status, trade.remain_quantity) == (Status.Submitted, 3)
    oid = trade.status.order_id
    assert refusals(caplog) == [("dorvane", "ERROR",
                                 "Change of order {} refused: quantity can only be reduced".format(oid))]
    caplog.clear()
    assert api.update_order(trade, None, 2) is trade and refusals(caplog) == []   # accepted: nothing logged
    api.cancel_order(trade)
    assert refusals(caplog) == []
    cancelled = api.cancel_order(trade)
    assert (cancelled.status.status, cancelled.status.msg) == (Status.Failed, "order is no longer open")
    assert refusals(caplog) == [("dorvane", "ERROR", "Cancel of order {} refused: order is no longer open".format(oid))]
    failed = api.place_order(txf(api), order(api, price=-5))
    caplog.clear()
    assert api.update_order(failed, None, None) is failed and refusals(caplog) == []  # nothing was asked


@pytest.mark.parametrize("contract, price, reason", [
    (lambda api: Future(code="XYZ99", name="", security_type="FUT"), 22000, "product not found: XYZ99"),
    (txf, -5, "price must be a positive number"),
    (lambda api: api.Contracts.Options.TXO["TXO22800L6"], 5, ""),  # accepted
])
def test_placings_carry_the_brokers_reason(api, contract, price, reason):
    trade = api.place_order(contract(api), order(api, price=price))
    assert (trade.status.status, trade.status.msg) == (Status.Failed if reason else Status.PendingSubmit, reason)


def test_a_stale_token_fails_the_placing(api):
    api.client._token = "stale"
    status = api.place_order(txf(api), order(api)).status
    assert (status.status, status.msg) == (Status.Failed, "token invalid, please log in")


def test_deals_move_positions_margin_and_settled_profit(api):
    account = futures_account(api)
    held = api.get_account_openposition(0, 0, account).data()
    assert [(r["code"], r["action"], r["quantity"]) for r in held] == [("TXFL6", "B", 2)]
    ioc = api.place_order(txf(api), order(api, order_type=P.order_type.IOC, price=1))   # does not reach: cancelled
    sold = api.place_order(txf(api), order(api, action=P.action.Sell, price_type=P.price_type.MKT, price=0,
                                           quantity=1))
    api.update_status()
    assert ioc.status.status == Status.Cancelled and sold.status.status == Status.Filled
    assert api.get_account_openposition(0, 0, account).data()[0]["quantity"] == 1
    today = datetime.date.today().strftime("%Y%m%d")
    settled = api.get_account_settle_profitloss(0, "Y", today, today, "NTD", account).data()
    assert [row["profit_loss"] for row in settled] == [120 * 200.0]
    assert api.get_account_margin("NTD", "1", account).data()["realised_profit_loss"] == 120 * 200.0
