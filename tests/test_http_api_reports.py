"""HttpApi's six account-report methods against the loopback HTTP back end: the report class each
constructs, the arguments its query receives, and that every call queries anew."""
import pytest

import dorvane.backend.http.account as account_module
import dorvane.backend.http.main as main
from support.http_api_fixtures import PATHS, Recorder, future_account, make_api, stock_account
from servers.http_server import Reply

# method: (arguments before the account, account, class, query function, endpoint, expected query
#          arguments built from (arguments, account, client))
METHODS = {
    "get_account_margin": (("NTD", "2"), future_account, "AccountMargin", "_query_margin", "f_margin_uri",
                           lambda a, acc, cl: a + (acc, cl)),
    "get_account_openposition": ((1, 0), future_account, "AccountOpenPosition", "_query_open_position",
                                 "f_open_position_uri", lambda a, acc, cl: a + (acc, cl)),
    "get_account_settle_profitloss": ((0, "Y", "20180101", "20180201", "NTD"), future_account,
                                      "AccountSettleProfitLoss", "_query_settle_profitloss",
                                      "f_settle_profitloss_uri", lambda a, acc, cl: a + (acc, cl)),
    "get_stock_account_funds": (("1",), stock_account, "AccountFunds", "_query_funds_profitloss",
                                "s_funds_profitloss_uri", lambda a, acc, cl: (acc, cl) + a),
    "get_stock_account_unreal_profitloss": (("A", "NTD", "3"), stock_account, "AccountUnRealProfitLoss",
                                            "_query_unreal_profitloss", "s_unreal_profitloss_uri",
                                            lambda a, acc, cl: (acc, cl, "") + a),
    "get_stock_account_real_profitloss": (("0", "20180101", "20180201", "NTD", "1"), stock_account,
                                          "AccountRealProfitLoss", "_query_real_profitloss",
                                          "s_real_profitloss_uri", lambda a, acc, cl: (acc, cl, "") + a),
}


@pytest.mark.parametrize("method", list(METHODS))
def test_report_methods_construct_their_report(method, http_backend, monkeypatch):
    args, make_account, cls_name, query, endpoint, expected = METHODS[method]
    http_backend.route("POST", PATHS[endpoint], {"success": "true", "result": {"msg": "ok"}})
    api = make_api(http_backend)  # no login: the facade checks no login state
    recorder = Recorder(account_module, query, monkeypatch)
    account = make_account()

    first = getattr(api, method)(*args, account)
    second = getattr(api, method)(*args, account)

    assert type(first) is getattr(main, cls_name) is getattr(account_module, cls_name)
    assert first is not second
    assert first._client is api.client and first._account is account
    assert first._status is True and first._msg == "ok"
    assert recorder.calls == [expected(args, account, api.client)] * 2
    assert len(http_backend.requests_to(PATHS[endpoint])) == 2


def test_report_methods_by_name_and_filter_rule(http_backend, monkeypatch):
    for endpoint in ("s_funds_profitloss_uri", "s_real_profitloss_uri"):
        http_backend.route("POST", PATHS[endpoint], {"success": "false"})
    api = make_api(http_backend)
    account = stock_account()
    funds = api.get_stock_account_funds(account=account, include_tax=" ")
    real = api.get_stock_account_real_profitloss(stock_type="R", start_date="S", end_date="E", currency="CNY",
                                                 filter_rule="1", account=account)
    assert funds._tax == " " and funds._status is False
    assert (real._stock_type, real._start_date, real._end_date, real._currency, real._action) == \
        ("R", "S", "E", "CNY", "1")
    with pytest.raises(TypeError):
        api.get_stock_account_funds(" ")
    with pytest.raises(TypeError):
        api.get_account_margin("NTD", "1", account, "surplus")


def test_report_failure_passes_out(http_backend):
    http_backend.route("POST", PATHS["f_margin_uri"], Reply(502, "bad gateway", "text/plain"))
    http_backend.route("POST", PATHS["f_open_position_uri"], {"success": "true"})
    api = make_api(http_backend)
    with pytest.raises(ValueError):
        api.get_account_margin("NTD", "1", future_account())
    with pytest.raises(TypeError, match="argument after"):
        api.get_account_openposition(0, 0, None)
