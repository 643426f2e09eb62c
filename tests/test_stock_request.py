"""order_in and order_out: the stock order request body behind the signature, and the reply."""
import types

import construct
import pytest

from dorvane.backend.socket.protocol.stock import handler
from dorvane.backend.socket.protocol.stock import kivo

REQUEST = kivo.KIVO_STOCK_IN["struct"]
REPLY = kivo.KIVO_STOCK_OUT["struct"]

BODY_FIELDS = [
    "trade_type", "account", "password", "stock_id", "ord_type", "ord_cond", "market_id", "price",
    "quantity", "seqno", "ordno", "ord_bs", "price_type", "total_amount", "is_preorder", "web_id",
    "bts_ord_flag", "force_flag", "async_", "form_no", "fun_seq", "first_sell",
    "total_buy_amount", "total_sell_amount",
]


class Recorder:
    """A request structure that keeps the body it is handed."""

    def __init__(self):
        self.bodies = []

    def build(self, body):
        self.bodies.append(dict(body))
        return b"<body>"


@pytest.fixture
def recorder(monkeypatch):
    rec = Recorder()
    monkeypatch.setattr(handler, "kivo", types.SimpleNamespace(
        KIVO_STOCK_IN={"struct": rec, "kivo": 4242}, KIVO_STOCK_OUT={"struct": None}))
    return rec


def test_defaults_handed_to_the_structure(recorder):
    header, payload = handler.order_in(trade_type="Buy", market_id="TSE")
    assert header == {"nKIVO": 4242, "person_id": None}
    assert payload == b"<body>"
    (body,) = recorder.bodies
    assert list(body) == BODY_FIELDS
    assert body == {
        "trade_type": "01", "account": None, "password": "4093817265540291", "stock_id": None,
        "ord_type": "0", "ord_cond": "0", "market_id": "S", "price": "000000", "quantity": "000",
        "seqno": "", "ordno": "", "ord_bs": "", "price_type": " ",
        "total_amount": "000000000000", "is_preorder": "N", "web_id": "150", "bts_ord_flag": "0",
        "force_flag": "0", "async_": "1", "form_no": "1561", "fun_seq": "", "first_sell": "N",
        "total_buy_amount": "000000000000", "total_sell_amount": "000000000000",
    }


def test_keywords_fill_the_body(recorder):
    header, payload = handler.order_in(
        b"SIGNATURE", trade_type="Sell", market_id="OTC", person_id="A123456789",
        account="9A95-1234567", stock_id="6488", ord_type="Odd", ord_cond="ShortSelling",
        price="101.5", quantity=7.9, seqno="000321", ordno="A0001", ord_bs="Sell",
        price_type="LimitUp", total_amount=None, is_preorder="Y", web_id="151", bts_ord_flag="1",
        force_flag="1", async_="0", form_no="9999", fun_seq="F1", first_sell="Yes",
        total_buy_amount="1", total_sell_amount="2",
        password="secret", exchange="TSE", unrelated=object())
    assert header == {"nKIVO": 4242, "person_id": "A123456789"}
    assert payload == b"SIGNATURE<body>"
    (body,) = recorder.bodies
    assert list(body) == BODY_FIELDS
    assert body == {
        "trade_type": "02", "account": "9A95-1234567", "password": "4093817265540291",
        "stock_id": "6488", "ord_type": "2", "ord_cond": "4", "market_id": "O", "price": "010150",
        "quantity": "007", "seqno": "000321", "ordno": "A0001", "ord_bs": "S", "price_type": "2",
        "total_amount": None, "is_preorder": "Y", "web_id": "151", "bts_ord_flag": "1",
        "force_flag": "1", "async_": "0", "form_no": "9999", "fun_seq": "F1", "first_sell": "Y",
        "total_buy_amount": "1", "total_sell_amount": "2",
    }


def test_vexa_by_keyword_and_built_body():
    fields = dict(trade_type="Cancel", market_id="TSE", account="9A95-1234567", stock_id="2330",
                  ordno="A0001", seqno="000321", ord_bs="Buy")
    header, bare = handler.order_in(**fields)
    assert header["nKIVO"] == kivo.KIVO_STOCK_IN["kivo"]
    _, signed = handler.order_in(vexa=b"\x00\xffsig", **fields)
    assert signed == b"\x00\xffsig" + bare
    assert len(bare) == REQUEST.sizeof()
    parsed = REQUEST.parse(bare)
    assert (parsed.trade_type, parsed.market_id, parsed.ord_bs, parsed.ordno) == (
        "04", "S", "B", "A0001")


@pytest.mark.parametrize("kwargs, error", [
    ({}, TypeError),  # no trade_type: the look-up of None
    ({"trade_type": "Buy"}, TypeError),  # no market_id
    ({"trade_type": "Buy", "market_id": "TSE", "ord_type": None}, TypeError),
    ({"trade_type": "Buy", "market_id": "TSE", "ord_bs": None}, TypeError),
    ({"trade_type": "Buy", "market_id": "TSE", "ord_bs": 1}, TypeError),
    ({"trade_type": "Hold", "market_id": "TSE"}, AttributeError),
    ({"trade_type": "Buy", "market_id": "OES"}, AttributeError),  # no wire code for OES
    ({"trade_type": "Buy", "market_id": "TSE", "price_type": "Market"}, AttributeError),
    ({"trade_type": "Buy", "market_id": "TSE", "first_sell": "Maybe"}, AttributeError),
    ({"trade_type": "Buy", "market_id": "TSE", "price": None}, TypeError),
    ({"trade_type": "Buy", "market_id": "TSE", "quantity": "1.5"}, ValueError),
    ({"trade_type": "Buy", "market_id": "TSE", "price": 1e7}, AssertionError),
    ({"trade_type": "Buy", "market_id": "TSE", "quantity": 10000}, AssertionError),
])
def test_order_in_refusals(recorder, kwargs, error):
    with pytest.raises(error):
        handler.order_in(**kwargs)
    assert recorder.bodies == []


def test_empty_side_given_or_omitted_is_the_empty_field(recorder):
    handler.order_in(trade_type="Buy", market_id="TSE")
    handler.order_in(trade_type="Buy", market_id="TSE", ord_bs="")
    assert [body["ord_bs"] for body in recorder.bodies] == ["", ""]


@pytest.mark.parametrize("side", ["Hold", " ", "buy", "Update_Qty"])
def test_unknown_side_is_refused(recorder, side):
    with pytest.raises(ValueError, match="ord_bs") as info:
        handler.order_in(trade_type="Buy", market_id="TSE", ord_bs=side)
    assert isinstance(info.value.__cause__, AttributeError)
    assert recorder.bodies == []


@pytest.mark.parametrize("vexa", ["text", None, 5])
def test_signature_must_be_bytes(vexa):
    with pytest.raises(TypeError):
        handler.order_in(vexa, trade_type="Buy", market_id="TSE", account="1", stock_id="2330")


def test_second_positional_argument_is_refused():
    with pytest.raises(TypeError):
        handler.order_in(b"", b"", trade_type="Buy", market_id="TSE")


@pytest.mark.parametrize("fields", [
    {"account": "X" * 13, "stock_id": "2330"},  # does not fit its field
    {"stock_id": "2330"},  # account None
    {"account": "9A95-1234567", "stock_id": 2330},  # not text
])
def test_structure_errors_propagate(fields):
    with pytest.raises(construct.ConstructError):
        handler.order_in(trade_type="Buy", market_id="TSE", **fields)


def test_tables_and_options_are_read_at_each_call(monkeypatch, recorder):
    from dorvane.backend.socket.protocol.stock import constant

    monkeypatch.setattr(handler, "proto_ops", types.SimpleNamespace(
        trade_type=types.SimpleNamespace(Buy="B1"), order_type=constant.order_type,
        order_cond=constant.order_cond, market_type=types.SimpleNamespace(TSE="T"),
        bs=constant.bs, price_type=constant.price_type, first_sell=constant.first_sell))
    monkeypatch.setattr(handler.stock_ops.order_type, "Common", "Odd")
    handler.order_in(trade_type="Buy", market_id="TSE")
    body = recorder.bodies[-1]
    assert (body["trade_type"], body["market_id"], body["ord_type"]) == ("B1", "T", "2")


def test_order_in_doc_lists_the_wire_codes():
    doc = handler.order_in.__doc__
    lines = [line.strip() for line in doc.splitlines()]
    for entry in ("trade_type:", "ord_type:", "ord_cond:", "market_id:", "price_type:",
                  "is_first_sell:"):
        assert entry in lines
    for item in ("- 買進: '01'", "- 賣出: '02'", "- 改量: '03'", "- 刪單: '04'", "# 改價必須刪單再下單",
                 "- 整股: '0'", "- 定盤: 'P'", "- 零股: '2'", "- 現股: '0'", "- 融資: '3'",
                 "- 融券: '4'", "- TSE: 'S'", "- OTC: 'O'", "- 指定價: ' '", "- 漲停: '2'",
                 "- 跌停: '3'", "- YES: 'Y'", "- NO: 'N'"):
        assert item in lines
    assert lines.index("trade_type:") < lines.index("ord_type:") < lines.index("is_first_sell:")


def reply_bytes(seqno, ordno, date, time, code, message):
    def field(text, width):
        raw = text.encode("cp950")
        assert len(raw) <= width
        return raw + b"\x00" * (width - len(raw))

    return (field(seqno, 6) + field(ordno, 6) + field(date, 8) + field(time, 6) + field(code, 4)
            + field(message, 70))


def test_reply_parsed_from_bytes():
    payload = reply_bytes("000321", "A0001", "20261210", "093015", "0000", "委託成功")
    reply = handler.order_out(payload)
    assert (reply.seqno, reply.ordno, reply.ord_date, reply.ord_time, reply.err_code,
            reply.err_msg) == ("000321", "A0001", "20261210", "093015", "0000", "委託成功")


def test_reply_parser_is_the_structure(monkeypatch):
    sentinel = object()
    seen = []

    class Parser:
        def parse(self, payload):
            seen.append(payload)
            return sentinel

    monkeypatch.setattr(handler, "kivo", types.SimpleNamespace(KIVO_STOCK_OUT={"struct": Parser()}))
    assert handler.order_out(b"raw") is sentinel
    assert seen == [b"raw"]


def test_short_reply_fails():
    with pytest.raises(Exception):
        handler.order_out(b"000321")


def test_order_out_takes_one_argument():
    with pytest.raises(TypeError):
        handler.order_out()
    with pytest.raises(TypeError):
        handler.order_out(b"", b"")
