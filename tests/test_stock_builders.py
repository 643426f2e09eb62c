"""Stock order builders and dispatchers: place, change quantity and cancel on TSE and OTC."""

import pytest

from dorvane.backend.constant import MarketType
from dorvane.backend.socket.protocol.stock import handler
from dorvane.backend.socket.protocol.stock import kivo
from dorvane.orderprops import OrderProps
from support.stub_import import import_with_stub

REQUEST = kivo.KIVO_STOCK_IN["struct"]
CODE = kivo.KIVO_STOCK_IN["kivo"]
SIGNATURE = "MIIB簽章".encode("utf-8")  # the caller's signature bytes, taken as they come
ops = OrderProps.Stock

ORDER = dict(vexa=SIGNATURE, person_id="A123456789", account="9A95-1234567", stock_id="2330")
PLACE = dict(ORDER, order_type=ops.order_type.Common, order_cond=ops.order_cond.Cash, price=580.5,
             quantity=3, ord_bs=ops.action.Buy, price_type=ops.price_type.LimitPrice)
CHANGE = dict(ORDER, ordno="A0001", seqno="000321", price=0, quantity=2, action=ops.action.Sell)
CANCEL = dict(ORDER, ordno="A0001", seqno="000321", action=ops.action.Buy)

FIXED = {"account": "9A95-1234567", "password": "4093817265540291", "stock_id": "2330",
         "total_amount": "000000000000", "is_preorder": "N", "web_id": "150", "bts_ord_flag": "0",
         "force_flag": "0", "async_": "1", "form_no": "1561", "fun_seq": "",
         "total_buy_amount": "000000000000", "total_sell_amount": "000000000000"}


def parse(result):
    """Header mapping and parsed body of a builder's result; checks the signature at the head."""
    header, payload = result
    assert payload[:len(SIGNATURE)] == SIGNATURE
    body = payload[len(SIGNATURE):]
    assert len(body) == REQUEST.sizeof()
    parsed = REQUEST.parse(body)
    return header, {key: value for key, value in parsed.items() if not key.startswith("_")}


CASES = [
    # dispatcher, exchange, changed keywords, expected fields
    ("placeorder", MarketType.TSE, {}, dict(
        trade_type="01", market_id="S", price="058050", quantity="003", ord_bs="B", seqno="",
        ordno="", ord_type="0", ord_cond="0", price_type=" ", first_sell="N")),
    ("placeorder", MarketType.OTC, {}, dict(
        trade_type="01", market_id="O", price="058050", quantity="003", ord_bs="B", seqno="",
        ordno="", ord_type="0", ord_cond="0", price_type=" ", first_sell="N")),
    ("placeorder", MarketType.TSE, dict(ord_bs=ops.action.Sell, order_type=ops.order_type.Odd,
                                        order_cond=ops.order_cond.MarginTrading, price="12.5",
                                        quantity=999, price_type=ops.price_type.LimitDown,
                                        first_sell=ops.first_sell.Yes, is_preorder="Y"), dict(
        trade_type="02", market_id="S", price="001250", quantity="999", ord_bs="S", ord_type="2",
        ord_cond="3", price_type="3", first_sell="Y")),
    ("updateorder", MarketType.TSE, {}, dict(
        trade_type="03", market_id="S", price="000000", quantity="002", ord_bs="S",
        seqno="000321", ordno="A0001", ord_type="0", ord_cond="0", price_type=" ",
        first_sell="N")),
    ("updateorder", MarketType.OTC, dict(price=0.0, quantity="9", action=ops.action.Buy), dict(
        trade_type="03", market_id="O", price="000000", quantity="009", ord_bs="B")),
    ("cancelorder", MarketType.TSE, {}, dict(
        trade_type="04", market_id="S", price="000000", quantity="000", ord_bs="B",
        seqno="000321", ordno="A0001", ord_type="0", ord_cond="0", price_type=" ",
        first_sell="N")),
    ("cancelorder", MarketType.OTC, dict(price=99.5, quantity=5, is_preorder="Y",
                                         action=ops.action.Sell), dict(
        trade_type="04", market_id="O", price="000000", quantity="000", ord_bs="S")),
]

BASE = {"placeorder": PLACE, "updateorder": CHANGE, "cancelorder": CANCEL}


@pytest.mark.parametrize("dispatcher, exchange, changes, expected", CASES)
def test_requests_built_and_parsed_back(dispatcher, exchange, changes, expected):
    kwargs = dict(BASE[dispatcher], exchange=exchange, **changes)
    header, body = parse(getattr(handler, dispatcher)(**kwargs))
    assert header == {"nKIVO": CODE, "person_id": "A123456789"}
    assert {key: body[key] for key in expected} == expected
    assert {key: body[key] for key in FIXED} == FIXED


@pytest.mark.parametrize("dispatcher, tse, otc", [
    ("placeorder", "placetse", "placeotc"),
    ("updateorder", "updatetse", "updateotc"),
    ("cancelorder", "canceltse", "cancelotc"),
])
def test_markets_differ_only_in_market_id(dispatcher, tse, otc):
    kwargs = dict(BASE[dispatcher])
    on_tse = getattr(handler, dispatcher)(exchange=MarketType.TSE, **kwargs)
    on_otc = getattr(handler, dispatcher)(exchange=MarketType.OTC, **kwargs)
    assert getattr(handler, tse)(**kwargs) == on_tse
    assert getattr(handler, otc)(**kwargs) == on_otc
    _, tse_body = parse(on_tse)
    _, otc_body = parse(on_otc)
    assert (tse_body.pop("market_id"), otc_body.pop("market_id")) == ("S", "O")
    assert tse_body == otc_body


def test_place_builder_positional():
    result = handler.placeotc(SIGNATURE, "A123456789", "9A95-1234567", "6488", "Common", "Cash",
                              100, 1, "Sell", "LimitPrice", "Yes")
    _, body = parse(result)
    assert (body["trade_type"], body["ord_bs"], body["first_sell"], body["market_id"]) == (
        "02", "S", "Y", "O")


def test_first_sell_default_is_taken_at_import(monkeypatch):
    monkeypatch.setattr(OrderProps.Stock.first_sell, "No", "Yes")
    _, body = parse(handler.placetse(**PLACE))
    assert body["first_sell"] == "N"


@pytest.mark.parametrize("price, quantity, message", [
    (10.5, 0, "stock can't update price directly, please cancel order first and place new price."),
    (10.5, None, "stock can't update price directly, please cancel order first and place new price."),
    (10.5, 3, "updatetse accept only price or quantity at a time."),
    (0, 0, "updatetse accept only price or quantity at a time."),
    (None, "", "updatetse accept only price or quantity at a time."),
    ("0", 3, "updatetse accept only price or quantity at a time."),  # the text "0" is true
])
@pytest.mark.parametrize("exchange", [MarketType.TSE, MarketType.OTC])
def test_price_change_refused(exchange, price, quantity, message):
    kwargs = dict(CHANGE, exchange=exchange, price=price, quantity=quantity)
    with pytest.raises(Exception) as info:
        handler.updateorder(**kwargs)
    assert type(info.value) is Exception
    assert info.value.args == (message,)


@pytest.mark.parametrize("call, error", [
    # a quantity change with a price of None passes the truth test and fails in the formatting
    (lambda: handler.updateorder(**dict(CHANGE, exchange="TSE", price=None)), TypeError),
    # no side for a change or a cancellation
    (lambda: handler.updateorder(**{k: v for k, v in CHANGE.items() if k != "action"},
                                 exchange="TSE"), TypeError),
    (lambda: handler.cancelorder(**{k: v for k, v in CANCEL.items() if k != "action"},
                                 exchange="OTC"), TypeError),
    # an exchange of neither market: calling the missing builder
    (lambda: handler.placeorder(**dict(PLACE, exchange="OES")), TypeError),
    (lambda: handler.cancelorder(**dict(CANCEL, exchange="tse")), TypeError),
    # positional arguments to a dispatcher
    (lambda: handler.placeorder(PLACE), TypeError),
    # a builder without one of its parameters
    (lambda: handler.placetse(**{k: v for k, v in PLACE.items() if k != "price_type"}), TypeError),
    (lambda: handler.canceltse(SIGNATURE, "A123456789", "9A95-1234567", "2330", "A0001"),
     TypeError),
    # options that their tables lack
    (lambda: handler.placeorder(**dict(PLACE, exchange="TSE", order_type="Block")),
     AttributeError),
    (lambda: handler.placeorder(**dict(PLACE, exchange="TSE", price_type=None)), TypeError),
])
def test_failures(call, error):
    with pytest.raises(error):
        call()


@pytest.mark.parametrize("side", ["Hold", " ", "sell", "Cancel"])
def test_unknown_side_refused(side):
    with pytest.raises(ValueError, match="ord_bs"):
        handler.placeorder(**dict(PLACE, exchange=MarketType.TSE, ord_bs=side))
    with pytest.raises(ValueError, match="ord_bs"):
        handler.canceltse(**dict(CANCEL, action=side))


@pytest.mark.parametrize("dispatcher, changes", [
    ("placeorder", dict(price=1000000.01)),
    ("placeorder", dict(price=-1)),
    ("placeorder", dict(price=float("nan"))),
    ("placeorder", dict(price=float("inf"))),
    ("placeorder", dict(quantity=10000)),
    ("placeorder", dict(quantity=-3)),
    ("placeorder", dict(quantity=-1.5)),
    ("placeorder", dict(price=-0.0)),
    ("updateorder", dict(quantity=10000)),
    ("updateorder", dict(quantity=-1)),
])
def test_out_of_range_refused(dispatcher, changes):
    with pytest.raises(AssertionError):
        getattr(handler, dispatcher)(**dict(BASE[dispatcher], exchange=MarketType.TSE, **changes))


def test_bounds_inclusive():
    _, body = parse(handler.placeorder(**dict(PLACE, exchange="TSE", price=1000000, quantity=9999)))
    assert (body["price"], body["quantity"]) == ("100000000", "9999")


REQUIRED = {
    "placeorder": ["vexa", "exchange", "person_id", "account", "stock_id", "order_type",
                   "order_cond", "price", "quantity", "ord_bs", "price_type"],
    "updateorder": ["vexa", "exchange", "person_id", "account", "stock_id", "ordno", "seqno",
                    "price", "quantity"],
    "cancelorder": ["vexa", "exchange", "person_id", "account", "stock_id", "ordno", "seqno"],
}


@pytest.mark.parametrize("dispatcher", sorted(REQUIRED))
def test_required_keywords_checked(dispatcher, monkeypatch):
    seen = []
    monkeypatch.setattr(handler, "check_options", lambda options, required: seen.append(
        (dict(options), list(required))))
    kwargs = dict(BASE[dispatcher], exchange=MarketType.OTC)
    handler_result = getattr(handler, dispatcher)(**kwargs)
    assert seen == [(kwargs, REQUIRED[dispatcher])]
    assert parse(handler_result)[1]["market_id"] == "O"


@pytest.mark.parametrize("dispatcher", sorted(REQUIRED))
def test_missing_keyword_refused(dispatcher):
    for key in REQUIRED[dispatcher]:
        kwargs = dict(BASE[dispatcher], exchange=MarketType.TSE)
        del kwargs[key]
        with pytest.raises(TypeError, match=repr(key)):
            getattr(handler, dispatcher)(**kwargs)


def test_exchange_missing_after_check(monkeypatch):
    monkeypatch.setattr(handler, "check_options", lambda options, required: True)
    with pytest.raises(KeyError, match="exchange"):
        handler.placeorder(**PLACE)


def test_unknown_exchange_fails_after_check(monkeypatch):
    seen = []
    monkeypatch.setattr(handler, "check_options", lambda options, required: seen.append(1))
    with pytest.raises(TypeError, match="not callable"):
        handler.cancelorder(**dict(CANCEL, exchange="NYSE"))
    assert seen == [1]


def test_builders_are_read_at_each_call(monkeypatch):
    calls = []
    monkeypatch.setattr(handler, "updateotc", lambda **kwargs: calls.append(kwargs) or ("h", b"p"))
    kwargs = dict(CHANGE, exchange=MarketType.OTC, extra="kept")
    assert handler.updateorder(**kwargs) == ("h", b"p")
    assert calls == [kwargs]


def test_builders_have_no_doc():
    for name in ("placeorder", "updateorder", "cancelorder", "placetse", "placeotc", "updatetse",
                 "updateotc", "canceltse", "cancelotc", "order_out"):
        assert getattr(handler, name).__doc__ is None, name


def test_module_bindings():
    from dorvane.backend.socket.protocol import utils
    from dorvane.backend.socket.protocol.stock import constant

    assert handler.kivo is kivo
    assert handler.proto_ops is constant
    assert handler.check_options is utils.check_options
    assert handler.OrderProps is OrderProps
    assert handler.stock_ops is OrderProps.Stock
    assert handler.MarketType is MarketType


# A library module that lacks a name the handler imports fails the handler's import with the
# ImportError of that name, as `from ... import ...` does.
@pytest.mark.parametrize("module", ["dorvane.backend.constant", "dorvane.orderprops"])
def test_missing_import_name_fails_the_import(module):
    assert import_with_stub("dorvane.backend.socket.protocol.stock.handler", module) == "ImportError %s True" % module
