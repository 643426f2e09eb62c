"""The account reports AccountMargin, AccountOpenPosition, AccountSettleProfitLoss and AccountFunds
against the loopback HTTP back end: query arguments, status, message, payload and its defaults,
the account id, the text form, update, and malformed replies."""
import pytest

import dorvane.backend.http.account as account_module
from support.http_api_fixtures import PATHS, Recorder, future_account, stock_account
from servers.http_server import Reply


def body(x):
    return {"body": x}


def profit_sum(x):
    return {"profit_sums": {"profit_sum": x}}


# name: (report args before account and client, account factory, endpoint, payload placement,
#        default payload, stored attributes in order, query function, expected query args)
KINDS = {
    "AccountMargin": (("NTX", "1"), future_account, "f_margin_uri", body, {},
                      ["_currency", "_margin_type", "_account", "_client"], "_query_margin",
                      lambda a, acc, cl: (a[0], a[1], acc, cl)),
    "AccountOpenPosition": ((0, 1), future_account, "f_open_position_uri", body, [{}],
                            ["_product_type", "_query_type", "_account", "_client"],
                            "_query_open_position", lambda a, acc, cl: (a[0], a[1], acc, cl)),
    "AccountSettleProfitLoss": ((2, "N", "20180101", "20180201", "USD"), future_account,
                                "f_settle_profitloss_uri", body, [{}],
                                ["_product_type", "_summary", "_start_date", "_end_date", "_currency",
                                 "_account", "_client"],
                                "_query_settle_profitloss", lambda a, acc, cl: a + (acc, cl)),
    "AccountFunds": ((" ",), stock_account, "s_funds_profitloss_uri", profit_sum, [],
                     ["_tax", "_client", "_account"], "_query_funds_profitloss",
                     lambda a, acc, cl: (acc, cl, a[0])),
}
NAMES = list(KINDS)
WITH_ACCOUNT_ID = {"AccountOpenPosition", "AccountSettleProfitLoss"}


DEFAULT = object()


def build(name, client, account=DEFAULT, cls=None):
    args, make_account, *_ = KINDS[name]
    account = make_account() if account is DEFAULT else account
    return (cls or getattr(account_module, name))(*args, account, client)


def serve(backend, name, reply):
    backend.route("POST", PATHS[KINDS[name][2]], reply)


@pytest.fixture
def client(http_backend):
    return http_backend.client()


@pytest.mark.parametrize("name", NAMES)
def test_success_keeps_message_payload_and_arguments(name, http_backend, client, monkeypatch):
    args, make_account, _, place, _, stored, query, expected = KINDS[name]
    payload = [{"row": 1, "text": "\u4fdd\u8b49\u91d1"}]
    serve(http_backend, name, {"success": "TRUE", "result": dict(msg="M", **place(payload))})
    recorder = Recorder(account_module, query, monkeypatch)
    account = make_account()

    report = build(name, client, account)

    assert recorder.calls == [expected(args, account, client)]
    assert len(http_backend.requests_to(PATHS[KINDS[name][2]])) == 1
    assert report._status is True and report._msg == "M"
    assert report.data() == payload and report.data() is report.data()
    outcome = ["_status", "_msg"] + (["_accountid"] if name in WITH_ACCOUNT_ID else []) + ["_data"]
    assert list(vars(report)) == stored + outcome
    assert report._account is account and report._client is client
    assert type(report).__bases__ == (object,)


@pytest.mark.parametrize("reply", [{"success": "false", "result": {"msg": "M"}}, {}, {"success": "yes"}],
                         ids=["failed", "empty", "other-text"])
@pytest.mark.parametrize("name", NAMES)
def test_failed_or_empty_reply_gives_defaults(name, reply, http_backend, client):
    serve(http_backend, name, reply)
    first, second = build(name, client), build(name, client)
    assert first._status is False
    assert first._msg == reply.get("result", {}).get("msg", "")
    default = KINDS[name][4]
    assert first.data() == default
    assert first.data() is not second.data()
    if default:
        first.data()[0]["changed"] = True
        assert second.data() == default


def test_reply_from_failure_still_keeps_payload(http_backend, client):
    serve(http_backend, "AccountMargin", {"success": "false", "result": {"msg": "bad", "body": {"x": 1}}})
    report = build("AccountMargin", client)
    assert (report._status, report._msg, report.data()) == (False, "bad", {"x": 1})


@pytest.mark.parametrize("result, expected", [
    ({}, []),
    ({"profit_sums": {}}, []),
    ({"profit_sums": {"profit_sum": [{"a": 1}]}}, [{"a": 1}]),
])
def test_funds_payload_path(result, expected, http_backend, client):
    serve(http_backend, "AccountFunds", {"success": "true", "result": result})
    assert build("AccountFunds", client).data() == expected


@pytest.mark.parametrize("name", sorted(WITH_ACCOUNT_ID))
@pytest.mark.parametrize("account, expected", [
    ({"broker_id": "B1", "account_id": "77", "other": "x"}, "B177"),
    ([("account_id", "2"), ("broker_id", "1")], "12"),
    (future_account(), "F0020007654321"),
])
def test_account_id(name, account, expected, http_backend, client):
    serve(http_backend, name, {"success": "true"})
    assert build(name, client, account)._accountid == expected


@pytest.mark.parametrize("name", sorted(WITH_ACCOUNT_ID))
@pytest.mark.parametrize("account, error, text", [
    (None, TypeError, "argument after ** must be a mapping, not NoneType"),
    ({"account_id": "77"}, KeyError, "'broker_id'"),
    ({"broker_id": "B1"}, KeyError, "'account_id'"),
    (5, TypeError, None),
])
def test_bad_account_fails_after_the_query(name, account, error, text, http_backend, client):
    serve(http_backend, name, {"success": "true"})
    with pytest.raises(error) as caught:
        build(name, client, account)
    if text:
        assert str(caught.value) == text
    assert len(http_backend.requests_to(PATHS[KINDS[name][2]])) == 1


def test_text_forms(http_backend, client):
    for name in NAMES:
        serve(http_backend, name, {"success": "true"})

    class MyMargin(account_module.AccountMargin):
        pass

    assert repr(build("AccountMargin", client, "ACC")) == "AccountMargin(ACC)"
    assert repr(build("AccountOpenPosition", client, {"broker_id": "B", "account_id": "1"})) == \
        "AccountOpenPosition({'broker_id': 'B', 'account_id': '1'})"
    assert repr(build("AccountFunds", client, "ACC")) == "AccountFunds"
    assert repr(build("AccountMargin", client, "ACC", cls=MyMargin)) == "MyMargin(ACC)"


@pytest.mark.parametrize("name", NAMES)
def test_update_queries_again_and_replaces_outcome(name, http_backend, client):
    place = KINDS[name][3]
    serve(http_backend, name, [{"success": "true", "result": dict(msg="one", **place(["old"]))},
                               {"success": "false", "result": dict(msg="two", **place(["new"]))}])
    report = build(name, client)
    before = report.data()
    assert report.update() is None
    assert (report._status, report._msg, report.data()) == (False, "two", ["new"])
    assert before == ["old"]
    assert len(http_backend.requests_to(PATHS[KINDS[name][2]])) == 2


def test_update_uses_attributes_of_that_moment(http_backend, client, monkeypatch):
    serve(http_backend, "AccountMargin", {"success": "true"})
    report = build("AccountMargin", client)
    recorder = Recorder(account_module, "_query_margin", monkeypatch)
    report._currency = "USD"
    report.update()
    assert recorder.calls[0][:2] == ("USD", "1")
    assert http_backend.requests_to(PATHS["f_margin_uri"])[-1].json["currency"] == "USD"


def test_constructor_calls_the_subclass_update(http_backend, client):
    class Quiet(account_module.AccountMargin):
        def update(self):
            self.updated = True

    report = build("AccountMargin", client, cls=Quiet)
    assert report.updated is True and not hasattr(report, "_status")
    assert http_backend.requests == []


@pytest.mark.parametrize("name, reply, assigned", [
    ("AccountMargin", {"success": True}, {}),
    ("AccountMargin", ["not", "a", "mapping"], {}),
    ("AccountMargin", {"success": "false", "result": ["x"]}, {"_status": False}),
    ("AccountOpenPosition", {"success": "false", "result": "text"}, {"_status": False}),
    ("AccountFunds", {"success": "false", "result": {"msg": "m2", "profit_sums": [1]}},
     {"_status": False, "_msg": "m2"}),
])
def test_malformed_reply_raises_attribute_error_after_earlier_steps(name, reply, assigned, http_backend, client):
    serve(http_backend, name, [{"success": "true", "result": {"msg": "m1"}}, reply])
    report = build(name, client)
    before = dict(vars(report))
    with pytest.raises(AttributeError):
        report.update()
    expected = dict(before, **assigned)
    assert vars(report) == expected
    # During construction the same failure leaves no report.
    serve(http_backend, name, [reply])
    with pytest.raises(AttributeError):
        build(name, client)


def test_query_error_passes_out_and_keeps_outcome(http_backend, client):
    serve(http_backend, "AccountMargin", [{"success": "true", "result": {"msg": "m1", "body": {"a": 1}}},
                                          Reply(500, "down", "text/plain")])
    report = build("AccountMargin", client)
    before = dict(vars(report))
    with pytest.raises(ValueError):  # the session's JSON decoding error
        report.update()
    assert vars(report) == before
    with pytest.raises(ValueError):
        build("AccountMargin", client)


def test_constructor_arguments(http_backend, client):
    serve(http_backend, "AccountSettleProfitLoss", {"success": "true"})
    report = account_module.AccountSettleProfitLoss(
        client=client, account={"broker_id": "1", "account_id": "2"}, currency="NTD", end_date="E",
        start_date="S", summary="Y", product_type=0)
    assert (report._product_type, report._summary, report._start_date, report._end_date, report._currency) == \
        (0, "Y", "S", "E", "NTD")
    with pytest.raises(TypeError):
        account_module.AccountMargin("NTD", "1", future_account())
    with pytest.raises(TypeError):
        account_module.AccountFunds(" ", future_account(), client, "surplus")
    with pytest.raises(TypeError):
        account_module.AccountFunds(" ", future_account(), client=client, unknown=1)
    assert len(http_backend.requests) == 1


def test_module_imports_the_query_functions():
    import dorvane.backend.http.futureoption.account as fo
    import dorvane.backend.http.stock.account as st

    for module, names in ((fo, ["_query_margin", "_query_open_position", "_query_settle_profitloss"]),
                          (st, ["_query_funds_profitloss", "_query_real_profitloss", "_query_unreal_profitloss"])):
        for name in names:
            assert getattr(account_module, name) is getattr(module, name)
    assert account_module.AccountMargin.__init__.__doc__.startswith("query margin")
    assert "\u7d04\u7576\u53f0\u5e63" in account_module.AccountMargin.__init__.__doc__
    assert account_module.AccountOpenPosition.__init__.__doc__.startswith("query open position")
    assert account_module.AccountSettleProfitLoss.__init__.__doc__.startswith("query settlement profit loss")


def test_missing_query_function_fails_the_import(tmp_path):
    import subprocess
    import sys

    root = str(__import__("pathlib").Path(__file__).resolve().parent.parent)
    script = (
        "import sys; sys.path.insert(0, {root!r})\n"
        "import dorvane.backend.http.stock.account as st\n"
        "del st._query_real_profitloss\n"
        "try:\n"
        "    import dorvane.backend.http.account\n"
        "except ImportError as exc:\n"
        "    print(type(exc).__name__, exc.__cause__ is None, exc.name, exc)\n"
    ).format(root=root)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.stdout.startswith("ImportError True dorvane.backend.http.stock.account cannot import name "
                                 "'_query_real_profitloss' from 'dorvane.backend.http.stock.account'"), out.stderr
