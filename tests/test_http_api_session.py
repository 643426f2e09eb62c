"""HttpApi against the loopback HTTP back end: the module at import, construction, login with the
catalogue it builds, the product table, the account listing and the trades property."""
import subprocess
import sys

import pytest

import dorvane.backend.http.main as main
from dorvane.backend.http.client import Client, LoginError
from support.http_api_fixtures import (PATHS, Recorder, future_entry, make_api, option_entry,
                                       product_requests, serve_login, serve_products, stock_entry)

ROOT = str(__import__("pathlib").Path(__file__).resolve().parent.parent)


def test_module_names_and_class_layout():
    names = [n for n in vars(main) if not n.startswith("_")]
    assert names == ["Client", "place_order", "update_order", "cancel_order", "update_status",
                     "AccountMargin", "AccountOpenPosition", "AccountSettleProfitLoss", "AccountFunds",
                     "AccountUnRealProfitLoss", "AccountRealProfitLoss", "fetch_available_product",
                     "Contracts", "connection", "subscribe", "record", "auth", "log", "Status", "HttpApi"]
    import dorvane.backend.http.account as account
    import dorvane.backend.http.order as order
    import dorvane.backend.utils as utils
    import dorvane.contracts as contracts
    assert main.Client is Client and main.update_status is order.update_status
    assert main.AccountFunds is account.AccountFunds and main.Contracts is contracts.Contracts
    assert main.auth is utils.auth
    import dorvane.order as model
    import dorvane.utils as library_utils
    assert main.log is library_utils.log and main.Status is model.Status

    methods = [n for n in vars(main.HttpApi) if not n.startswith("__") and n != "_connection"]
    assert methods == ["trades", "login", "activate_vexa", "list_accounts", "get_account_margin",
                       "get_account_openposition", "get_account_settle_profitloss", "get_stock_account_funds",
                       "get_stock_account_unreal_profitloss", "get_stock_account_real_profitloss",
                       "fetch_products", "place_order", "update_order", "cancel_order", "update_status"]
    assert main.HttpApi.__bases__ == (object,)
    assert isinstance(vars(main.HttpApi)["trades"], property)
    # The library's decorators: connection on the class, subscribe on login, record then auth.
    assert main.HttpApi._connection is True
    assert main.HttpApi.login._decorator == "subscribe"
    for name in ("place_order", "update_order", "cancel_order"):
        method = vars(main.HttpApi)[name]
        assert method._decorator == "auth" and method.__wrapped__._decorator == "record"
        assert method.__name__ == name and method.__qualname__ == "HttpApi." + name


def test_importing_the_facade_does_not_load_the_signing_module():
    script = ("import sys; sys.path.insert(0, {!r}); import dorvane.backend.http.main; "
              "print('dorvane.MIRVO.vexa' in sys.modules)").format(ROOT)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "False", out.stderr


def test_construction(http_backend, monkeypatch):
    made = Recorder(main, "Client", monkeypatch)
    proxies = {"https": "http://127.0.0.1:1"}
    api = main.HttpApi(False, proxies)
    assert made.calls == [(False, proxies)]
    assert api.client is made.results[0] and api.client.proxies is proxies
    assert list(vars(api)) == ["client", "Contracts", "_trades"]
    assert api.Contracts is None and api._trades == {} and api.trades == []
    assert main.HttpApi(simulation=True, proxies=None).client.simulation is True
    with pytest.raises(TypeError):
        main.HttpApi(True)
    with pytest.raises(AttributeError):
        api.trades = []
    assert http_backend.requests == []


def test_login_downloads_in_order_and_builds_the_catalogue(http_backend, monkeypatch):
    serve_login(http_backend)
    serve_products(http_backend, stocks=[stock_entry("2330"), stock_entry("6488", "OTC")],
                   futures={"TXF": [future_entry("TXFA4")]}, options={"TXO": [option_entry("TXO09800A4")]},
                   indexes={"001": "TAIEX"})
    api = make_api(http_backend)
    catalogue = Recorder(main, "Contracts", monkeypatch)
    downloads = Recorder(main, "fetch_available_product", monkeypatch)

    accounts = api.login("A123456789", "secret")

    assert downloads.calls == [((api.client,), {"product_type": t}) for t in "ISFO"]

    assert accounts is api.client.accounts and len(accounts) == 2
    assert product_requests(http_backend) == ["I", "S", "F", "O"]
    assert http_backend.requests[0].path == PATHS["login_uri"]
    (args, kwargs), = catalogue.calls
    assert args == () and list(kwargs) == ["Indexs", "Stocks", "Futures", "Options"]
    assert list(kwargs["Stocks"]) == ["TSE", "OTC"] and kwargs["Indexs"]["TSE"][0]["code"] == "001"
    assert api.Contracts is catalogue.results[0]
    assert api.Contracts.Stocks["TSE"]["2330"].code == "2330"
    assert api.Contracts.Options["TXO"]["TXO09800A4"].code == "TXO09800A4"
    assert api.login(person_id="A123456789", passwd="secret") is api.client.accounts
    assert api.Contracts is catalogue.results[1]
    with pytest.raises(TypeError):
        api.login("A123456789")


def test_login_goes_on_past_an_index_of_no_exchange(http_backend):
    serve_login(http_backend)
    serve_products(http_backend, stocks=[stock_entry("2330")], futures={"TXF": [future_entry("TXFA4")]},
                   options={"TXO": [option_entry("TXO09800A4")]}, indexes={"001": "TAIEX", "901": "odd"})
    api = make_api(http_backend)
    api.login("A1", "p")
    assert product_requests(http_backend) == ["I", "S", "F", "O"]
    assert [c.code for c in api.Contracts.Indexs["TSE"]] == ["001"]
    assert api.Contracts.Options["TXO"]["TXO09800A4"].code == "TXO09800A4"


def test_login_with_failed_downloads_builds_an_empty_catalogue(http_backend):
    serve_login(http_backend)
    serve_products(http_backend, stocks=[stock_entry("2330")], success="false")
    api = make_api(http_backend)
    api.login("A1", "p")
    assert api.Contracts is not None and api.Contracts.Stocks.keys() == []


def test_failed_login_downloads_nothing_and_keeps_the_catalogue(http_backend):
    serve_products(http_backend, stocks=[stock_entry("2330")])
    api = make_api(http_backend)
    http_backend.route("POST", PATHS["login_uri"], {"success": "false"})
    with pytest.raises(LoginError):
        api.login("A1", "wrong")
    assert api.Contracts is None and product_requests(http_backend) == []

    serve_login(http_backend)
    api.login("A1", "p")
    kept = api.Contracts
    http_backend.route("POST", PATHS["login_uri"], {"success": "false"})
    http_backend.clear()
    with pytest.raises(LoginError):
        api.login("A1", "p")
    assert api.Contracts is kept and product_requests(http_backend) == []


def test_failed_download_leaves_the_catalogue(http_backend):
    serve_login(http_backend)
    serve_products(http_backend, stocks=[stock_entry("2330")])
    api = make_api(http_backend)
    api.login("A1", "p")
    kept = api.Contracts
    http_backend.route("GET", PATHS["s_list_code_uri"], {"success": "true", "result": [{"code": "x"}]})
    with pytest.raises(KeyError):  # a stock entry without its fields fails the conversion
        api.login("A1", "p")
    assert api.Contracts is kept
    assert product_requests(http_backend)[-2:] == ["I", "S"]


@pytest.mark.parametrize("stocks, futures, options, expected", [
    # a stock and an option sharing a code: the option record wins
    ([stock_entry("X1")], {}, {"TXO": [option_entry("X1")]}, {"X1": "OPT"}),
    # futures over stocks, options over futures
    ([stock_entry("A")], {"TXF": [future_entry("A"), future_entry("B")]}, {"TXO": [option_entry("B")]},
     {"A": "FUT", "B": "OPT"}),
    ([], {}, {}, {}),
])
def test_fetch_products_merges_by_code(stocks, futures, options, expected, http_backend, monkeypatch):
    serve_products(http_backend, stocks=stocks, futures=futures, options=options, indexes={"001": "TAIEX"})
    api = make_api(http_backend)
    downloads = Recorder(main, "fetch_available_product", monkeypatch)
    table = api.fetch_products()
    assert downloads.calls == [((api.client,), {"product_type": t}) for t in "SFO"]
    assert {code: record["security_type"] for code, record in table.items()} == expected
    assert all(record["code"] == code for code, record in table.items())
    assert product_requests(http_backend) == ["S", "F", "O"]
    api.fetch_products()
    assert product_requests(http_backend) == ["S", "F", "O"] * 2
    assert api.Contracts is None


def test_fetch_products_later_group_wins(http_backend):
    serve_products(http_backend, stocks=[stock_entry("S1", "TSE", "first"), stock_entry("S2", "OTC"),
                                         stock_entry("S1", "OTC", "second")])
    table = make_api(http_backend).fetch_products()
    assert list(table) == ["S1", "S2"] and table["S1"]["name"] == "second"


def test_fetch_products_when_every_download_fails(http_backend):
    serve_products(http_backend, stocks=[stock_entry("S1")], futures={"TXF": [future_entry("F1")]},
                   success="false")
    assert make_api(http_backend).fetch_products() == {}
    assert product_requests(http_backend) == ["S", "F", "O"]


def test_fetch_products_error_passes_out(http_backend):
    http_backend.route("GET", PATHS["s_list_code_uri"], {"success": "true", "result": [stock_entry("S1")]})
    with pytest.raises(ValueError):  # the futures list is not JSON (no route: 404 text)
        make_api(http_backend).fetch_products()


def test_list_accounts_and_trades(http_backend):
    serve_login(http_backend)
    serve_products(http_backend)
    api = make_api(http_backend)
    assert api.list_accounts() is api.client.accounts
    api.login("A1", "p")
    assert api.list_accounts() is api.client.accounts and len(api.list_accounts()) == 2
    api._trades.update({"id1": "t1", "id2": "t2"})
    first, second = api.trades, api.trades
    assert first == ["t1", "t2"] == second and first is not second
    first.clear()
    assert api.trades == ["t1", "t2"]
