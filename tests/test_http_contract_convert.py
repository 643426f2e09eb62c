"""Contract record conversion: keys and their order, values, grouping, option price trimming and
the failures that end a conversion."""
import collections.abc
import copy
import gc
import logging
import pickle

import pytest

from dorvane.backend.http.contract import (future_dict_convert, option_dict_convert, stock_dict_convert,
                                           tw_index_dict_convert)

FUT_KEYS = ["symbol", "security_type", "currency", "exchange", "code", "name", "category", "delivery_month",
            "strike_price", "option_right", "underlying_kind", "underlying_code", "unit", "multiplier"]


def stock(exchange="TSE", code="2330", name="TSMC", industry="24", **extra):
    return dict(exchange=exchange, code=code, name=name, industry=industry, **extra)


def future(**over):
    entry = {"ename": "TXF", "deliverymonth": "202406", "code": "TXFF4", "csname": "台指期",
             "category": "TXF", "prod_kind": "I", "ostock": "#001", "basic": 200}
    entry.update(over)
    return entry


def option(eprice="18000.0", **over):
    entry = {"category": "TXO", "deliverymonth": "202406", "poc": "C", "eprice": eprice, "code": "TXO1",
             "csname": "台指選", "prod_kind": "I", "ostock": "#001", "basic": "50"}
    entry.update(over)
    return entry


def test_stock_record():
    [record] = stock_dict_convert([stock(extra="ignored")])["TSE"]
    assert list(record.items()) == [("symbol", "TSE2330"), ("security_type", "STK"), ("currency", "TWD"),
                                    ("exchange", "TSE"), ("code", "2330"), ("name", "TSMC"),
                                    ("category", "24")]


def test_stock_grouping_keeps_input_order():
    entries = [stock(code="1"), stock(exchange="OTC", code="2"), stock(code="3")]
    result = stock_dict_convert(entries)
    assert list(result) == ["TSE", "OTC"]
    assert [r["code"] for r in result["TSE"]] == ["1", "3"]
    assert [r["code"] for r in result["OTC"]] == ["2"]


@pytest.mark.parametrize("name, expected", [
    ("  TSMC  ", "TSMC"), ("TSMC\t", "TSMC\t"), (" A B \t ", "A B \t"), ("", ""), ("   ", ""),
    ("\u3000x ", "\u3000x"),
])
def test_stock_name_loses_only_spaces(name, expected):
    assert stock_dict_convert([stock(name=name)])["TSE"][0]["name"] == expected


def test_stock_symbol_formats_non_text_fields():
    [record] = stock_dict_convert([stock(code=2330)])["TSE"]
    assert record["symbol"] == "TSE2330" and record["code"] == 2330


def test_future_record():
    [record] = future_dict_convert({"TXF": [future()]})["TXF"]
    assert list(record) == FUT_KEYS
    assert record == {"symbol": "TXF202406", "security_type": "FUT", "currency": "TWD", "exchange": "TAIFEX",
                      "code": "TXFF4", "name": "台指期", "category": "TXF", "delivery_month": "202406",
                      "strike_price": 0, "option_right": "", "underlying_kind": "I", "underlying_code": "#001",
                      "unit": 200.0, "multiplier": 0}
    assert type(record["unit"]) is float


@pytest.mark.parametrize("basic, unit", [("200", 200.0), (50, 50.0), ("0.5", 0.5), (1.25, 1.25)])
def test_unit_is_float(basic, unit):
    assert future_dict_convert({"P": [future(basic=basic)]})["P"][0]["unit"] == unit


def test_grouped_by_product_name_not_entry():
    result = future_dict_convert({"A": [future(ename="X")], "EMPTY": [], "B": [future(), future(code="2")]})
    assert list(result) == ["A", "B"]
    assert [r["code"] for r in result["B"]] == ["TXFF4", "2"]


def test_option_record():
    [record] = option_dict_convert({"TXO": [option()]})["TXO"]
    assert list(record) == FUT_KEYS
    assert record["symbol"] == "TXO202406C18000"
    assert (record["strike_price"], record["option_right"], record["unit"], record["multiplier"]) == \
        ("18000.0", "C", 50.0, 0)
    assert (record["security_type"], record["exchange"], record["name"]) == ("OPT", "TAIFEX", "台指選")


@pytest.mark.parametrize("eprice, shown", [
    ("9800.0", "9800"), ("10.0", "10"), ("0.0", "0"), (".0", ""), ("100.0", "100"),
    ("9800.5", "9800.5"), ("9800.50", "9800.50"), ("100.00", "100.00"), ("9800", "9800"), ("", ""),
])
def test_option_price_trimming(eprice, shown):
    [record] = option_dict_convert({"TXO": [option(eprice=eprice)]})["TXO"]
    assert record["symbol"] == "TXO202406C" + shown
    assert record["strike_price"] == eprice


class Entry(collections.abc.Mapping):
    """A read-only mapping that is not a dict, with a default for no key."""

    def __init__(self, data):
        self._data = dict(data)

    def __getitem__(self, key):
        return self._data[key]

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)


class Text(str):
    def __format__(self, spec):
        return "<" + str(self) + ">"


class Subclass(dict):
    pass


def _with_gap(entry):
    # A dict whose table has a removed pair before the fields.
    d = {"gap": 0}
    d.update(entry)
    del d["gap"]
    return d


def _with_other_key(entry):
    # A key that is not text: the dict's table is a general one, read through its own lookups.
    d = {1: "one"}
    d.update(entry)
    return d


class _Attributes:
    pass


def _shared_table(entry):
    # An instance's attribute dict: its key table is shared with the class's other instances, and
    # it is walked as any dict is where the table's layout is not read directly.
    holder = _Attributes()
    for key, value in entry.items():
        setattr(holder, key, value)
    return holder.__dict__


@pytest.mark.parametrize("wrap", [Entry, Subclass, _with_gap, _with_other_key, _shared_table],
                         ids=["mapping", "dict-subclass", "removed-pair", "non-text-key", "shared-table"])
@pytest.mark.parametrize("convert, make, group", [
    (stock_dict_convert, lambda wrap: [wrap(stock(code=Text("2330")))], "TSE"),
    (stock_dict_convert, lambda wrap: [wrap(stock(name=" 台積電 ", code="２３３０"))], "TSE"),
    (future_dict_convert, lambda wrap: {"TXF": [wrap(future(deliverymonth=202406))]}, "TXF"),
    (option_dict_convert, lambda wrap: {"TXO": [wrap(option(poc=Text("C")))]}, "TXO"),
    (option_dict_convert, lambda wrap: {"TXO": [wrap(option(category="台指", eprice="9800.0")), wrap(option())]},
     "TXO"),
    (option_dict_convert, lambda wrap: {"TXO": [wrap({k: v for k, v in option().items() if k != "eprice"})]}, None),
    (future_dict_convert, lambda wrap: {"TXF": [wrap(future()), wrap(future(basic="x"))]}, None),
])
def test_entries_of_every_layout_convert_alike(convert, make, group, wrap):
    """A dict of text keys is read from its table directly; a dict of any other layout, a dict
    subclass, any other mapping, and values that format themselves, must give the same records, or
    fail the same way."""
    def outcome(wrap):
        try:
            result = convert(make(wrap))
        except Exception as exc:  # noqa: BLE001
            return type(exc), str(exc)
        return [(list(r.items()), [type(v) for v in r.values()]) for r in result[group]]

    plain, other = outcome(dict), outcome(wrap)
    assert plain == other
    if group is None:
        assert plain[0] in (KeyError, ValueError)


def _fresh_keys(entry):
    return {"".join(list(k)): v for k, v in entry.items()}  # equal keys, objects of their own


def _reordered(entry):
    return dict(reversed(list(entry.items())))


def _without(entry, key):
    return {k: v for k, v in entry.items() if k != key}


def _renamed(entry, key):
    return {("note" if k == key else k): v for k, v in entry.items()}


def _removed_pair(entry):
    d = dict(entry, gap=0)
    d.pop("gap")
    return d


def _many_keys(entry):
    return dict(entry, **{"x%d" % i: i for i in range(30)})


@pytest.mark.parametrize("layouts", [
    [dict, dict, dict],
    [dict, _fresh_keys, dict],
    [dict, _reordered, dict, _reordered],
    [lambda e: dict(e, note=1), dict, lambda e: dict(e, note=1)],
    [_removed_pair, dict, _removed_pair],
    [_many_keys, _many_keys, dict],
    [dict, lambda e: _without(e, "basic")],
    [dict, lambda e: _renamed(e, "poc")],
    [lambda e: _renamed(e, "poc"), dict, lambda e: _renamed(e, "ostock")],
], ids=["same", "fresh-keys", "reordered", "extra-key", "removed-pair", "many-keys", "missing", "renamed",
        "renamed-back"])
def test_each_entry_of_a_list_converts_as_it_would_alone(layouts):
    """Entries that follow one another with the same key objects in the same order are read by the
    positions found in the first; any other layout after them (keys changed, removed, reordered,
    equal but other objects) is read as an entry alone is, or fails as it alone fails."""
    entries = [make(option(eprice="%d.0" % (9800 + i), code="C%d" % i, basic=str(50 + i)))
               for i, make in enumerate(layouts)]

    def outcome(data):
        try:
            return [(list(r.items()), [type(v) for v in r.values()]) for r in option_dict_convert(data)["P"]]
        except KeyError as exc:
            return exc.args

    alone = []
    for entry in entries:
        one = outcome({"P": [entry]})
        if isinstance(one, tuple):
            alone = one
            break
        alone += one
    assert outcome({"P": entries}) == alone


@pytest.mark.parametrize("category, eprice, symbol", [
    ("TXO", "9800.0", "TXO202406C9800"), ("台指", "9800.0", "台指202406C9800"), ("TXO", "98\u00e9.0", "TXO202406C98\u00e9"),
    ("台指", ".0", "台指202406C"), ("TXO", "", "TXO202406C"), ("\U0001f600", "1.0", "\U0001f600202406C1"),
])
def test_option_symbol_of_any_text(category, eprice, symbol):
    [record] = option_dict_convert({"TXO": [option(category=category, eprice=eprice)]})["TXO"]
    assert record["symbol"] == symbol and type(record["symbol"]) is str


class Clearing(str):
    """A field's value whose formatting empties the list its entry came from, so that the entry
    and its other fields have no other owner than the conversion."""

    entries = None

    def __format__(self, spec):
        Clearing.entries.clear()
        return str(self)


def _fresh(text):
    return "".join(list(text))  # a text object no other code holds


@pytest.mark.parametrize("wrap", [dict, _with_other_key], ids=["text-keys", "non-text-key"])
@pytest.mark.parametrize("convert, make, group, key, expected", [
    (stock_dict_convert, lambda wrap: [wrap(stock(code=Clearing("2330"), name=_fresh(" name ")))], "TSE", "name",
     "name"),
    (future_dict_convert, lambda wrap: {"TXF": [wrap(future(ename=Clearing("TXF"), csname=_fresh("期貨")))]}, "TXF",
     "name", "期貨"),
    (option_dict_convert, lambda wrap: {"TXO": [wrap(option(poc=Clearing("C"), ostock=_fresh("#0050")))]}, "TXO",
     "underlying_code", "#0050"),
])
def test_an_entry_dropped_by_its_list_while_read_stays_alive(convert, make, group, key, expected, wrap):
    """A list's entries are read without a reference of their own until Python code may run: the
    entry, and every field read from it before or after, stays alive."""
    data = make(wrap)
    Clearing.entries = data if isinstance(data, list) else next(iter(data.values()))
    try:
        result = convert(data)
    finally:
        Clearing.entries = None
    assert not data or not next(iter(data.values()))
    [record] = result[group]
    assert record[key] == expected


def _fresh_fields(entry):
    return {key: _fresh(value) if isinstance(value, str) else value for key, value in entry.items()}


@pytest.mark.parametrize("convert, make, group", [
    (stock_dict_convert, lambda: [_fresh_fields(stock())], "TSE"),
    (future_dict_convert, lambda: {"TXF": [_fresh_fields(future())]}, "TXF"),
    (option_dict_convert, lambda: {"TXO": [_fresh_fields(option(eprice="9800.0"))]}, "TXO"),
])
def test_the_collector_running_inside_a_conversion_releases_nothing_it_reads(convert, make, group):
    """Any allocation of a tracked object (a record, a list) may start the collector, whose
    callbacks and finalisers run Python code: here each collection in turn empties the entries'
    list and fills the memory they held with other texts. Every conversion either fails for the
    fields already gone or gives exactly the records of the untouched entries."""
    expected = convert(make())
    old = gc.get_threshold()
    outcomes = set()
    for at in range(1, 12):
        data = make()
        entries = data if isinstance(data, list) else next(iter(data.values()))
        seen, filler = [0], []

        def collecting(phase, info):
            if phase == "start":
                seen[0] += 1
                if seen[0] == at:
                    for entry in entries:
                        entry.clear()
                    filler.extend("Z%d" % i for i in range(1000))

        # The collections counted from a fresh start: what earlier tests of this process left
        # (counts of tracked objects made and freed) does not move them.
        gc.collect()
        gc.callbacks.append(collecting)
        gc.set_threshold(1)
        try:
            result = convert(data)
        except KeyError:
            result = KeyError
        finally:
            gc.set_threshold(*old)
            gc.callbacks.remove(collecting)
        if seen[0] < at:
            break
        alike = result is KeyError or result == expected  # a wrong record is not shown: it may be unsound
        assert alike, "collection %d" % at
        outcomes.add(result is KeyError)
    assert False in outcomes  # a collection came after the fields were read


class Inventing(dict):
    """A dict subclass that answers every missing key (as a defaultdict does) and notes it."""

    asked = []

    def __missing__(self, key):
        Inventing.asked.append(key)
        self[key] = ""
        return ""


class Asking(Entry):
    """A mapping (not a dict) that notes every key it is asked for."""

    def __getitem__(self, key):
        Inventing.asked.append(key)
        return self._data[key]


@pytest.mark.parametrize("wrap", [lambda d: collections.defaultdict(str, d), Inventing, Asking],
                         ids=["defaultdict", "dict-missing", "mapping"])
@pytest.mark.parametrize("convert, make, missing", [
    (stock_dict_convert, lambda wrap: [wrap({k: v for k, v in stock().items() if k != "code"})], "code"),
    (stock_dict_convert, lambda wrap: [wrap({k: v for k, v in stock().items() if k != "name"})], "name"),
    (future_dict_convert, lambda wrap: {"TXF": [wrap({k: v for k, v in future().items() if k != "ename"})]}, "ename"),
    (future_dict_convert, lambda wrap: {"TXF": [wrap({k: v for k, v in future().items() if k != "basic"})]}, "basic"),
    (option_dict_convert, lambda wrap: {"TXO": [wrap({k: v for k, v in option().items() if k != "eprice"})]}, "eprice"),
    (option_dict_convert, lambda wrap: {"TXO": [wrap({k: v for k, v in option().items() if k != "poc"})]}, "poc"),
])
def test_a_mapping_with_defaults_invents_no_field(convert, make, missing, wrap):
    """Every entry is read as `**entry` reads it: a missing field is the KeyError naming it, even
    where the mapping would answer for it, and the entry gains no key."""
    Inventing.asked = []
    data = make(wrap)
    entry = data[0] if isinstance(data, list) else next(iter(data.values()))[0]
    before = dict(entry)
    with pytest.raises(KeyError) as info:
        convert(data)
    assert info.value.args == (missing,) and missing not in Inventing.asked
    assert dict(entry) == before


def test_inputs_are_not_changed():
    stocks = [stock(name=" x ")]
    options = {"TXO": [option()]}
    saved = copy.deepcopy((stocks, options))
    stock_dict_convert(stocks)
    option_dict_convert(options)
    assert (stocks, options) == saved


def test_index_records_and_groups():
    result = tw_index_dict_convert({"001": "加權", "101": "櫃買", "002": "電子"})
    assert list(result) == ["TSE", "OTC"]
    assert [r["code"] for r in result["TSE"]] == ["001", "002"]
    assert list(result["OTC"][0].items()) == [("symbol", "OTC101"), ("security_type", "IND"),
                                              ("currency", "TWD"), ("exchange", "OTC"), ("code", "101"),
                                              ("name", "櫃買")]


@pytest.mark.parametrize("convert, empty, expected", [
    (stock_dict_convert, [], {}),
    (future_dict_convert, {}, {}),
    (option_dict_convert, {}, {}),
    (tw_index_dict_convert, {}, {"TSE": [], "OTC": []}),
])
def test_empty_input(convert, empty, expected):
    assert convert(empty) == expected


@pytest.mark.parametrize("code", ["201", "", "A01"])
def test_index_without_exchange_is_logged_and_left_out(code, caplog):
    # One odd index must not cost the whole list: it is reported at error level and left out.
    with caplog.at_level(logging.DEBUG, logger="dorvane"):
        result = tw_index_dict_convert({"001": "a", code: "odd", "101": "b"})
    assert [[r["code"] for r in group] for group in result.values()] == [["001"], ["101"]]
    assert [(r.levelno, r.msg) for r in caplog.records] == [
        (logging.ERROR, "Index %r belongs to no exchange (TSE or OTC); left out." % code)]


@pytest.mark.parametrize("convert, data, error, match", [
    (stock_dict_convert, [{"exchange": "TSE", "code": "1", "name": "n"}], KeyError, "industry"),
    (stock_dict_convert, [stock(name=None)], AttributeError, "strip"),
    (stock_dict_convert, None, TypeError, None),
    (stock_dict_convert, [1], TypeError, None),
    (future_dict_convert, {"P": [future(basic="abc")]}, ValueError, None),
    (future_dict_convert, {"P": [future(basic=None)]}, TypeError, None),
    (future_dict_convert, {"P": [{k: v for k, v in future().items() if k != "ostock"}]}, KeyError, "ostock"),
    (future_dict_convert, None, AttributeError, "items"),
    (option_dict_convert, {"P": [{k: v for k, v in option().items() if k != "eprice"}]}, KeyError, "eprice"),
    (option_dict_convert, {"P": [option(eprice=9800.0)]}, AttributeError, "endswith"),
    (option_dict_convert, [option()], AttributeError, "items"),
    (tw_index_dict_convert, None, AttributeError, "items"),
])
def test_conversion_failures(convert, data, error, match):
    with pytest.raises(error, match=match):
        convert(data)


def test_first_error_ends_conversion_without_partial_result():
    entries = [stock(), stock(code="2", name=5)]
    with pytest.raises(AttributeError):
        stock_dict_convert(entries)


def test_converters_take_one_positional_argument():
    with pytest.raises(TypeError):
        stock_dict_convert(contracts=[])
    with pytest.raises(TypeError):
        tw_index_dict_convert({}, {})




class _Watched(str):
    """A field's value that notes its own release."""

    released = False

    def __del__(self):
        _Watched.released = True


class _Meddler(str):
    """A key that, once armed, replaces the field `field` of the entry `target` by "m". With
    `looks_like`, it hashes as that name, so that the dict's lookup of the name compares with it
    (its __eq__ runs then); without it, its release runs the same code."""

    armed = target = field = None

    def __new__(cls, text, looks_like=None):
        key = super().__new__(cls, text)
        key.looks_like = looks_like
        return key

    def __hash__(self):
        return hash(self.looks_like or str(self))

    def __eq__(self, other):
        self.meddle()
        return str.__eq__(self, other)

    def __del__(self):
        self.meddle()

    @classmethod
    def meddle(cls):
        if cls.armed:
            cls.armed = False
            cls.target[cls.field] = "m"


def _meddled_by_lookup():
    # "csname" is read, then the lookup of "prod_kind" compares with the key, which the dict holds
    # where that lookup looks first.
    entry = future(csname=_Watched("n"))
    prod_kind = entry.pop("prod_kind")
    entry[_Meddler("zz", looks_like="prod_kind")] = 1
    entry["prod_kind"] = prod_kind
    return future_dict_convert, {"TXF": [entry]}, "TXF", entry, "csname", "name"


def _meddled_by_release():
    # The key of the first entry, with no other owner once that entry is converted, is released
    # before or while the second entry is read.
    target = stock(name=_Watched("n"))

    def first():
        entry = stock()
        entry[_Meddler("zz")] = 1
        entry["industry"] = entry.pop("industry")
        return entry

    def entries():
        yield first()
        yield target
    return stock_dict_convert, entries(), "TSE", target, "name", "name"


@pytest.mark.parametrize("make", [_meddled_by_lookup, _meddled_by_release], ids=["lookup", "release"])
def test_fields_read_stay_held_while_python_code_runs(make):
    """Python code that the conversion runs may change the entry being read: a field read before is
    still the record's, alive; a field read after is the new one."""
    convert, data, group, target, field, key = make()
    _Meddler.armed, _Meddler.target, _Meddler.field, _Watched.released = True, target, field, False
    try:
        result = convert(data)
    finally:
        _Meddler.armed = _Meddler.target = None
    assert target[field] == "m"
    value = result[group][-1][key]
    assert (type(value), value, _Watched.released) in {(_Watched, "n", False), (str, "m", True)}


def _grow(d):
    for i in range(100):
        d["k%d" % i] = i


def _move_to_end(d):
    d["code"] = d.pop("code")


@pytest.mark.parametrize("change", [
    lambda d: d.__setitem__("extra", 1), _grow, _move_to_end, lambda d: d.popitem(),
    lambda d: d.__delitem__("symbol"), lambda d: d.update(symbol="s"), lambda d: d.clear(),
], ids=["add", "grow", "move-to-end", "popitem", "delete", "update", "clear"])
def test_a_record_is_a_dict_in_every_way(change):
    """Records of one kind share their key table: each changes as a dict of its own, the others
    not at all, and it pickles, copies and is tracked by the collector as that dict is."""
    [first, second] = stock_dict_convert([stock(industry=[]), stock(code="2331")])["TSE"]
    untouched = dict(second)
    plain = dict(first)
    change(first)
    change(plain)
    assert list(first.items()) == list(plain.items()) and second == untouched
    assert list(pickle.loads(pickle.dumps(first)).items()) == list(plain.items())
    assert list(copy.copy(first).items()) == list(plain.items())
    assert (gc.is_tracked(first), gc.is_tracked(second)) == (gc.is_tracked(plain), gc.is_tracked(untouched))
