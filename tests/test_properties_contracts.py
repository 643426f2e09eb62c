"""Property tests of the contract record conversion: any product lists give exactly what the plain
conversion written here gives, group order, key order and value types included."""
from hypothesis import given, strategies as st

from dorvane.backend.http.contract import (future_dict_convert, option_dict_convert, stock_dict_convert,
                                           tw_index_dict_convert)


# ---------------------------------------------------------------------------------------------
# The reference conversion

def _append(result, key, record):
    result.setdefault(key, []).append(record)


def ref_stocks(entries):
    result = {}
    for e in entries:
        _append(result, e["exchange"], {
            "symbol": "{exchange}{code}".format(**e), "security_type": "STK", "currency": "TWD",
            "exchange": e["exchange"], "code": e["code"], "name": e["name"].strip(" "), "category": e["industry"]})
    return result


def _derivative(e, symbol, security_type, strike_price, option_right):
    return {"symbol": symbol, "security_type": security_type, "currency": "TWD", "exchange": "TAIFEX",
            "code": e["code"], "name": e["csname"], "category": e["category"], "delivery_month": e["deliverymonth"],
            "strike_price": strike_price, "option_right": option_right, "underlying_kind": e["prod_kind"],
            "underlying_code": e["ostock"], "unit": float(e["basic"]), "multiplier": 0}


def ref_futures(products):
    result = {}
    for product, entries in products.items():
        for e in entries:
            _append(result, product, _derivative(e, "{ename}{deliverymonth}".format(**e), "FUT", 0, ""))
    return result


def ref_options(products):
    result = {}
    for product, entries in products.items():
        for e in entries:
            shown = e.get("eprice", "")
            if shown.endswith(".0"):
                shown = shown.rstrip("0").rstrip(".")
            symbol = "{category}{deliverymonth}{poc}{eprice}".format(**dict(e, eprice=shown))
            _append(result, product, _derivative(e, symbol, "OPT", e["eprice"], e["poc"]))
    return result


def ref_indexes(index_dict):
    result = {"TSE": [], "OTC": []}
    for code, name in index_dict.items():
        exchange = {"0": "TSE", "1": "OTC"}[code[0]]
        result[exchange].append({"symbol": exchange + code, "security_type": "IND", "currency": "TWD",
                                 "exchange": exchange, "code": code, "name": name})
    return result


def typed(result):
    """The result with every group's and record's order and every value's type made visible."""
    return [(group, [[(k, type(v), v) for k, v in record.items()] for record in records])
            for group, records in result.items()]


# ---------------------------------------------------------------------------------------------
# Product lists as the back end might send them

words = st.text(alphabet="AZaz09 .-\t台指選期\u3000", max_size=8)
numbers = st.one_of(st.integers(-10**6, 10**12), st.floats(allow_nan=False, allow_infinity=False))
values = st.one_of(words, numbers)      # a field that is read as it is, or formatted into a symbol
basics = st.one_of(st.integers(0, 10**6), st.floats(0, 1e6), st.integers(0, 10**6).map(str),
                   st.floats(0, 1e6).map(repr), st.sampled_from([" 200 ", "1e3", "0.5"]))
eprices = st.one_of(st.from_regex(r"\A[0-9]{0,5}(\.[0-9]{0,3})?\Z"),
                    st.sampled_from(["9800.0", "10.0", "0.0", ".0", "100.00", "9800.50", "1.00.0", "0"]), words)
extra = st.dictionaries(st.sampled_from(["note", "id", "x"]), values, max_size=2)
exchanges = st.sampled_from(["TSE", "OTC", "OES", ""])


def entries(required):
    return st.builds(lambda fields, more: dict(more, **fields), st.fixed_dictionaries(required), extra)


stock_lists = st.lists(entries({"exchange": exchanges, "code": values, "name": words, "industry": values}),
                       max_size=8)
future_lists = st.dictionaries(words, st.lists(entries({
    "ename": values, "deliverymonth": values, "code": values, "csname": values, "category": values,
    "prod_kind": values, "ostock": values, "basic": basics}), max_size=4), max_size=4)
option_lists = st.dictionaries(words, st.lists(entries({
    "category": values, "deliverymonth": values, "poc": st.sampled_from(["C", "P", ""]), "eprice": eprices,
    "code": values, "csname": values, "prod_kind": values, "ostock": values, "basic": basics}), max_size=4),
    max_size=4)
index_lists = st.dictionaries(st.tuples(st.sampled_from("01"), st.text(alphabet="0123456789", max_size=4)).map("".join),
                              words, max_size=8)


@given(stocks=stock_lists, futures=future_lists, options=option_lists, indexes=index_lists)
def test_conversions_match_the_plain_reference(stocks, futures, options, indexes):
    for convert, reference, data in ((stock_dict_convert, ref_stocks, stocks),
                                     (future_dict_convert, ref_futures, futures),
                                     (option_dict_convert, ref_options, options),
                                     (tw_index_dict_convert, ref_indexes, indexes)):
        assert typed(convert(data)) == typed(reference(data)), convert.__name__
