"""Property test of the stock order request: any valid order fields give the payload that an
independent `struct`-based encoder written here gives, under the C locale and under a comma locale
(a program may set LC_NUMERIC; the body must not follow it)."""
import contextlib
import locale
import os
import shutil
import struct

import pytest
from hypothesis import given, strategies as st

from dorvane.backend.socket.protocol.stock import handler

# The request body's fields in wire order with their widths: code-page-950 text, NUL-padded.
LAYOUT = [("trade_type", 2), ("account", 12), ("password", 16), ("stock_id", 6), ("ord_type", 1),
          ("ord_cond", 1), ("market_id", 1), ("price", 12), ("quantity", 4), ("seqno", 6), ("ordno", 6),
          ("ord_bs", 1), ("price_type", 1), ("total_amount", 12), ("is_preorder", 1), ("web_id", 3),
          ("bts_ord_flag", 1), ("force_flag", 1), ("async_", 1), ("form_no", 4), ("fun_seq", 6),
          ("first_sell", 1), ("total_buy_amount", 12), ("total_sell_amount", 12)]
BODY = struct.Struct(">" + "".join("%ds" % width for _, width in LAYOUT))
STOCK_ORDER = 0x6F

# Option names and their wire codes.
CODES = {
    "trade_type": {"Buy": "01", "Sell": "02", "Update_Qty": "03", "Cancel": "04"},
    "ord_type": {"Common": "0", "Fixing": "P", "Odd": "2"},
    "ord_cond": {"Cash": "0", "MarginTrading": "3", "ShortSelling": "4"},
    "market_id": {"TSE": "S", "OTC": "O"},
    "ord_bs": {"Buy": "B", "Sell": "S"},
    "price_type": {"LimitPrice": " ", "Close": "1", "LimitUp": "2", "LimitDown": "3"},
    "first_sell": {"Yes": "Y", "No": "N"},
}
DEFAULTS = {"ord_type": "Common", "ord_cond": "Cash", "ord_bs": "", "price_type": "LimitPrice", "first_sell": "No",
            "price": 0, "quantity": 0, "seqno": "", "ordno": "", "total_amount": "0" * 12, "is_preorder": "N",
            "web_id": "150", "bts_ord_flag": "0", "force_flag": "0", "async_": "1", "form_no": "1561",
            "fun_seq": "", "total_buy_amount": "0" * 12, "total_sell_amount": "0" * 12}


def ref_payload(vexa, fields):
    values = dict(DEFAULTS, **fields, password="4093817265540291")
    for name, table in CODES.items():
        values[name] = "" if name == "ord_bs" and values[name] == "" else table[values[name]]
    values["price"] = "{:07.2f}".format(float(values["price"])).replace(".", "")
    values["quantity"] = "{:03d}".format(int(values["quantity"]))
    return vexa + BODY.pack(*(values[name].encode("cp950") for name, _ in LAYOUT))


def text(width, alphabet="0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ-台積"):
    return st.text(alphabet=alphabet, max_size=width).filter(lambda s: len(s.encode("cp950")) <= width)


prices = st.one_of(st.integers(0, 1000000), st.floats(0, 1000000), st.decimals(0, 1000000, places=3).map(str))
quantities = st.one_of(st.integers(0, 9999), st.floats(0, 9999.99), st.integers(0, 9999).map(str))
optional = {
    "ord_type": st.sampled_from(sorted(CODES["ord_type"])),
    "ord_cond": st.sampled_from(sorted(CODES["ord_cond"])),
    "ord_bs": st.sampled_from(["Buy", "Sell"]),
    "price_type": st.sampled_from(sorted(CODES["price_type"])),
    "first_sell": st.sampled_from(["Yes", "No"]),
    "price": prices, "quantity": quantities,
    "seqno": text(6), "ordno": text(6), "total_amount": text(12, "0123456789"), "is_preorder": text(1, "YN"),
    "web_id": text(3), "bts_ord_flag": text(1), "force_flag": text(1), "async_": text(1), "form_no": text(4),
    "fun_seq": text(6), "total_buy_amount": text(12, "0123456789"), "total_sell_amount": text(12, "0123456789"),
    "password": text(16), "exchange": st.just("TSE"),  # ignored keywords
}
orders = st.fixed_dictionaries(
    {"trade_type": st.sampled_from(sorted(CODES["trade_type"])), "market_id": st.sampled_from(["TSE", "OTC"]),
     "account": text(12), "stock_id": text(6)},
    optional=optional)


@pytest.fixture(scope="session")
def numeric_comma_locale(test_locales):
    """The de_DE locale (decimal comma) of the test locales: (LOCPATH, name)."""
    if shutil.which("localedef") is None:
        pytest.skip("localedef is not installed (Debian package locales)")
    test_locales.build("de_DE.UTF-8")
    return str(test_locales.folder), "de_DE.UTF-8"


@contextlib.contextmanager
def numeric_locale(locpath, name):
    saved_path, saved = os.environ.get("LOCPATH"), locale.setlocale(locale.LC_NUMERIC)
    os.environ["LOCPATH"] = locpath
    try:
        locale.setlocale(locale.LC_NUMERIC, name)
        yield
    finally:
        locale.setlocale(locale.LC_NUMERIC, saved)
        if saved_path is None:
            os.environ.pop("LOCPATH", None)
        else:
            os.environ["LOCPATH"] = saved_path


def check_order(vexa, order, person_id):
    header, payload = handler.order_in(vexa, person_id=person_id, **order)
    assert header == {"nKIVO": STOCK_ORDER, "person_id": person_id}
    assert payload == ref_payload(vexa, {k: v for k, v in order.items() if k not in ("password", "exchange")})


@given(order=orders, vexa=st.binary(max_size=40), person_id=st.one_of(st.none(), text(12)))
def test_stock_order_body_matches_struct_encoder(order, vexa, person_id):
    check_order(vexa, order, person_id)


@given(order=orders, vexa=st.binary(max_size=40))
def test_stock_order_body_ignores_a_comma_locale(numeric_comma_locale, order, vexa):
    with numeric_locale(*numeric_comma_locale):
        assert locale.localeconv()["decimal_point"] == ","
        check_order(vexa, order, "A123456789")
