"""The stock profit-and-loss reports AccountRealProfitLoss and AccountUnRealProfitLoss against the
loopback HTTP back end (query arguments, summary and detail rows, failures of the rows), and the
module functions rm_dict_key and assimilate_type."""
from collections import OrderedDict, UserDict

import pytest

import dorvane.backend.http.account as account_module
from support.http_api_fixtures import PATHS, Recorder, stock_account

# name: (filters before account and client, endpoint, query function, sums key, sum key, detail key)
KINDS = {
    "AccountRealProfitLoss": (("0", "20180101", "20180201", "NTD", "1"), "s_real_profitloss_uri",
                              "_query_real_profitloss", "profit_sums", "profit_sum", "profit_details"),
    "AccountUnRealProfitLoss": (("A", "NTD", " "), "s_unreal_profitloss_uri", "_query_unreal_profitloss",
                                "unreal_sums", "unreal_sum", "unreal_details"),
}
NAMES = list(KINDS)


def build(name, client, account=None):
    filters = KINDS[name][0]
    return getattr(account_module, name)(*filters, account or stock_account(), client)


def serve(backend, name, *replies):
    backend.route("POST", PATHS[KINDS[name][1]], list(replies))


def rows_reply(name, rows, success="true", msg="done"):
    _, _, _, sums, sum_key, _ = KINDS[name]
    return {"success": success, "result": {"msg": msg, sums: {sum_key: rows}}}


@pytest.fixture
def client(http_backend):
    return http_backend.client()


@pytest.mark.parametrize("name", NAMES)
def test_query_arguments_and_stored_attributes(name, http_backend, client, monkeypatch):
    filters, path, query, *_ = KINDS[name]
    serve(http_backend, name, {"success": "true"})
    recorder = Recorder(account_module, query, monkeypatch)
    account = stock_account()
    report = build(name, client, account)
    assert recorder.calls == [(account, client, "") + filters]
    posted = http_backend.requests_to(PATHS[path])[0].json
    assert posted["broker_id"] == "9A95" and posted["account"] == "0012345"
    stored = {"AccountRealProfitLoss": ["_stock_type", "_start_date", "_end_date", "_currency", "_action"],
              "AccountUnRealProfitLoss": ["_stock_type", "_currency", "_action"]}[name]
    assert list(vars(report)) == stored + ["_account", "_client", "_status", "_msg", "_data"]
    assert [getattr(report, a) for a in stored] == list(filters)


@pytest.mark.parametrize("name", NAMES)
def test_rows_split_into_summary_and_detail(name, http_backend, client, monkeypatch):
    detail_key = KINDS[name][5]
    d1, d2, d3 = {"d": 1}, {"d": 2}, {"d": 3}
    r1 = {"stock": "2330", "qty": 1000, detail_key: {"first": d1, "second": [d2, d3]}}
    r2 = {"stock": "2317", "qty": 5}
    serve(http_backend, name, rows_reply(name, [r1, r2]))
    recorder = Recorder(account_module, KINDS[name][2], monkeypatch)

    report = build(name, client)

    data = report.data()
    assert list(data) == ["summary", "detail"]
    assert data == {"summary": [{"stock": "2330", "qty": 1000}], "detail": [d1, d2, d3]}
    assert report._status is True and report._msg == "done"
    reply_row = recorder.results[0]["result"][KINDS[name][3]][KINDS[name][4]][0]
    assert detail_key in reply_row  # the reply's row keeps its details
    assert data["detail"][0] is reply_row[detail_key]["first"]  # detail rows are the reply's own
    assert data is report.data()


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("result", [None, {}, "no-sums", "no-sum"])
def test_missing_rows_give_empty_lists(name, result, http_backend, client):
    sums = KINDS[name][3]
    reply = {"success": "true"}
    if result == "no-sums":
        reply["result"] = {"msg": "x"}
    elif result == "no-sum":
        reply["result"] = {sums: {}}
    elif result is not None:
        reply["result"] = result
    serve(http_backend, name, reply)
    assert build(name, client).data() == {"summary": [], "detail": []}


@pytest.mark.parametrize("name", NAMES)
def test_failed_reply_with_rows_is_split_too(name, http_backend, client):
    detail_key = KINDS[name][5]
    serve(http_backend, name, rows_reply(name, [{"a": 1, detail_key: {"n": {"b": 2}}}], success="false"))
    report = build(name, client)
    assert report._status is False
    assert report.data() == {"summary": [{"a": 1}], "detail": [{"b": 2}]}


@pytest.mark.parametrize("details, expected", [
    ({}, []),                           # an empty mapping of names adds nothing
    ({"n": []}, []),                    # an empty list of details adds nothing
    ({"n": "ab"}, ["a", "b"]),          # text is iterated like any other sequence
    ({"n": {"x": 1}, "m": [{"y": 2}]}, [{"x": 1}, {"y": 2}]),
])
def test_details_shapes(details, expected, http_backend, client):
    serve(http_backend, "AccountRealProfitLoss", rows_reply("AccountRealProfitLoss", [{"s": 1, "profit_details": details}]))
    data = build("AccountRealProfitLoss", client).data()
    assert data == {"summary": [{"s": 1}], "detail": expected}


def test_each_update_builds_new_data(http_backend, client):
    name = "AccountUnRealProfitLoss"
    serve(http_backend, name, rows_reply(name, [{"a": 1, "unreal_details": {}}]),
          rows_reply(name, [{"a": 2, "unreal_details": {}}]))
    report = build(name, client)
    first = report.data()
    report.update()
    assert report.data() is not first
    assert first == {"summary": [{"a": 1}], "detail": []}
    assert report.data() == {"summary": [{"a": 2}], "detail": []}


@pytest.mark.parametrize("result, error", [
    ({"profit_sums": [1]}, AttributeError),                           # sums not a mapping
    ({"profit_sums": {"profit_sum": None}}, TypeError),               # rows not iterable
    ({"profit_sums": {"profit_sum": [None]}}, TypeError),             # row without membership test
    ({"profit_sums": {"profit_sum": [7]}}, TypeError),
    ({"profit_sums": {"profit_sum": [["profit_details"]]}}, ValueError),  # row not convertible to a dict
    ({"profit_sums": {"profit_sum": [{"profit_details": None}]}}, AttributeError),
    ({"profit_sums": {"profit_sum": [{"profit_details": [1, 2]}]}}, AttributeError),
    ({"profit_sums": {"profit_sum": [{"profit_details": {"n": None}}]}}, TypeError),
    ({"profit_sums": {"profit_sum": [{"profit_details": {"n": 5}}]}}, TypeError),
])
def test_row_failures_keep_earlier_data(result, error, http_backend, client):
    name = "AccountRealProfitLoss"
    serve(http_backend, name, rows_reply(name, [], msg="first"),
          dict(success="false", result=dict(result, msg="second")))
    report = build(name, client)
    before = report.data()
    with pytest.raises(error):
        report.update()
    assert (report._status, report._msg) == (False, "second")
    assert report.data() is before


def test_text_form(http_backend, client):
    for name in NAMES:
        serve(http_backend, name, {"success": "true"})
    assert repr(build("AccountRealProfitLoss", client, "ACC")) == "AccountRealProfitLoss\nACC"
    assert repr(build("AccountUnRealProfitLoss", client, "ACC")) == "AccountUnRealProfitLoss\nACC"


def test_update_uses_the_module_helpers_as_bound_now(http_backend, client, monkeypatch):
    name = "AccountRealProfitLoss"
    serve(http_backend, name, rows_reply(name, [{"a": 1, "profit_details": {"n": {"b": 2}}}]))
    removed = Recorder(account_module, "rm_dict_key", monkeypatch)
    wrapped = Recorder(account_module, "assimilate_type", monkeypatch)
    build(name, client)
    assert removed.calls == [({"a": 1, "profit_details": {"n": {"b": 2}}}, "profit_details")]
    assert wrapped.calls == [({"b": 2},)]


@pytest.mark.parametrize("args, expected", [
    (({"a": 1, "b": 2, "c": 3}, "a", "c"), {"b": 2}),
    (({"a": 1},), {"a": 1}),
    (([("k", "v"), ("x", 1)], "x"), {"k": "v"}),
    ((OrderedDict(a=1, b=2), "b"), {"a": 1}),
    ((UserDict(a=1, b=2), "a"), {"b": 2}),
])
def test_rm_dict_key(args, expected):
    source = args[0]
    snapshot = list(source.items()) if hasattr(source, "items") else list(source)
    result = account_module.rm_dict_key(*args)
    assert result == expected and type(result) is dict and result is not source
    assert (list(source.items()) if hasattr(source, "items") else list(source)) == snapshot


def test_rm_dict_key_errors_and_keyword():
    assert account_module.rm_dict_key(d={"a": 1}) == {"a": 1}
    with pytest.raises(KeyError) as caught:
        account_module.rm_dict_key({"a": 1}, "z")
    assert caught.value.args == ("z",)
    with pytest.raises(TypeError, match=r"^argument after \*\* must be a mapping, not NoneType$"):
        account_module.rm_dict_key(None)
    with pytest.raises(TypeError):
        account_module.rm_dict_key()


def test_assimilate_type():
    class Sub(dict):
        pass

    m, s, lst = {"a": 1}, Sub(b=2), [1]
    assert account_module.assimilate_type(m) == [m] and account_module.assimilate_type(m)[0] is m
    assert account_module.assimilate_type(s)[0] is s
    assert account_module.assimilate_type(lst) is lst
    assert account_module.assimilate_type(None) is None
    mapping = UserDict(a=1)
    assert account_module.assimilate_type(mapping) is mapping
    with pytest.raises(TypeError):
        account_module.assimilate_type()
