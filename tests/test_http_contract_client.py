"""The local HTTP session client and trading model that the downloads and orders rely on, and a
download-to-catalogue round trip over the loopback back end."""
import threading
import time

import pytest
import requests

from dorvane.account import FutureAccount, StockAccount
from dorvane.backend.http import contract
from dorvane.backend.http.client import DEFAULT_TIMEOUT, TIMEOUT_ENV, Client, LoginError
from dorvane.backend.http.utils import hash_orderid
from dorvane.contracts import Contracts, Future, Option, Stock
from dorvane.order import Order, OrderStatus, Status, Trade

LOGIN_OK = {"success": "true", "result": {"token": "TK", "ip": "10.0.0.8", "accounts": [
    {"account_type": "S", "broker_id": "9A95", "account_id": "0001"},
    {"account_type": "F", "broker_id": "F002", "account_id": "7777", "username": "x"}]}}


def test_login_sets_session_fields(http_backend):
    http_backend.route("POST", "/login", LOGIN_OK)
    client = http_backend.client()
    assert client.activated_vexa == {} and client.accounts == []
    accounts = client.login("A123456789", "pw")
    assert accounts is client.accounts
    assert [type(a) for a in accounts] == [StockAccount, FutureAccount]
    assert dict(accounts[1]) == {"broker_id": "F002", "account_id": "7777"}
    assert accounts[1].get("account_id", "") == "7777" and accounts[1].get("nope", "d") == "d"
    assert (client.person_id, client._token, client._public_ip) == ("A123456789", "TK", "10.0.0.8")
    assert http_backend.requests[0].json == {"user_id": "A123456789", "password": "pw"}


def test_refused_login_raises(http_backend):
    http_backend.route("POST", "/login", {"success": "false", "result": {"msg": "bad password"}})
    client = http_backend.client()
    with pytest.raises(LoginError) as info:
        client.login("A", "wrong")
    assert info.value.reply["result"]["msg"] == "bad password" and client.accounts == []


def test_endpoints_follow_base_url(monkeypatch):
    monkeypatch.setenv("HTTP_PROXY", "http://127.0.0.1:1")  # the environment's proxy is not used
    client = Client(False, {"https": "http://proxy.example:3128"})
    client.set_base_url("http://127.0.0.1:5/")
    for attr in ("s_list_code_uri", "index_list_code_uri", "f_list_code_uri", "f_order_uri",
                 "f_order_chprice_uri", "f_order_chqty_uri", "f_order_cancel_uri", "f_query_order_uri"):
        assert getattr(client, attr).startswith("http://127.0.0.1:5/")
    assert client.session.proxies["https"] == "http://proxy.example:3128"
    assert client.session.trust_env is False


@pytest.mark.parametrize("setting, timeout", [
    (None, DEFAULT_TIMEOUT), ("", DEFAULT_TIMEOUT), (" 2 ", 2.0), ("0.25", 0.25),
    ("0", None), ("none", None), ("None", None),      # no time-out: wait as long as the back end takes
    ("-1", ValueError), ("soon", ValueError), ("nan", ValueError), ("inf", ValueError),
])
def test_timeout_setting(monkeypatch, setting, timeout):
    if setting is None:
        monkeypatch.delenv(TIMEOUT_ENV, raising=False)
    else:
        monkeypatch.setenv(TIMEOUT_ENV, setting)
    if timeout is ValueError:
        with pytest.raises(ValueError, match=TIMEOUT_ENV):
            Client(True, None)
    else:
        assert Client(True, None).session.timeout == timeout


def test_a_back_end_that_never_answers_fails_the_facade_login_with_a_timeout(monkeypatch, silent_backend):
    from dorvane.backend.http.main import HttpApi

    monkeypatch.setenv(TIMEOUT_ENV, "2")
    monkeypatch.setenv("DORVANE_HTTP_BASE_URL", silent_backend)
    api = HttpApi(True, None)
    outcome = []

    def login():
        try:
            api.login("A123456789", "pw")
        except BaseException as exc:  # the outcome is judged below, on the test's thread
            outcome.append(exc)

    started = time.monotonic()
    caller = threading.Thread(target=login, daemon=True)
    caller.start()
    caller.join(10)
    assert not caller.is_alive(), "login still waiting after 10 s"
    assert time.monotonic() - started >= 1.9
    (error,) = outcome
    assert isinstance(error, requests.exceptions.Timeout) and "timed out" in str(error)
    assert api.Contracts is None


@pytest.mark.parametrize("status", [301, 307, 308])
def test_login_redirected_to_another_origin_sends_nothing_there(http_backend, status):
    from servers.http_server import HttpBackend, Reply

    with HttpBackend() as elsewhere:
        elsewhere.route("POST", "/login", LOGIN_OK)
        http_backend.route("POST", "/login", Reply(status, headers={"Location": elsewhere.url("/login")}))
        with pytest.raises(requests.exceptions.RequestException, match="redirects to another origin") as caught:
            http_backend.client().login("A123456789", "pw")
        assert elsewhere.url("/login") in str(caught.value)
        assert elsewhere.requests == []


def test_login_redirected_on_its_own_origin_is_followed(http_backend):
    from servers.http_server import Reply

    http_backend.route("POST", "/login", Reply(307, headers={"Location": "/v2/login"}))
    http_backend.route("POST", "/v2/login", LOGIN_OK)
    assert len(http_backend.client().login("A123456789", "pw")) == 2
    assert http_backend.requests_to("/v2/login")[0].json == {"user_id": "A123456789", "password": "pw"}


def test_order_model():
    order = Order(action="Buy", price_type="LMT", order_type="ROD", price=10, quantity=2, ordno="", seqno="")
    fields = dict(order)
    for key in ("price", "price_type", "action", "order_type", "octype", "quantity", "account"):
        assert key in fields
    order._ordno, order._seqno = "X1", "S9"
    assert (order.ordno, order.seqno) == ("X1", "S9")
    status = OrderStatus(order_id=hash_orderid("TXFF4", "S9"), order_datetime=None, status=Status.PendingSubmit)
    trade = Trade(contract=Future(code="TXFF4", name="TX"), order=order, status=status)
    status._deal_quantity = 2
    trade.calculate_remain()
    assert trade.fupdate_status() == Status.Filled


@pytest.mark.parametrize("a, b, same", [
    (("TXF", "1"), ("TXF", "1"), True), (("TXF", "1"), ("TXF", "2"), False), (("AB", "C"), ("A", "BC"), False),
])
def test_hash_orderid(a, b, same):
    assert (hash_orderid(*a) == hash_orderid(*b)) is same
    hash(hash_orderid(*a))


def test_contract_defaults():
    assert Future(code="TXF", name="x").security_type[0] == "F" and not Future(code="TXF").option_right
    assert Option(code="TXO", name="x").security_type[0] == "O"


def test_downloads_build_catalogue(http_backend):
    http_backend.route("GET", "/index/list_code", {"success": "true", "result": {"001": "TAIEX"}})
    http_backend.route("GET", "/stock/list_code", {"success": "true", "result": [
        {"exchange": "TSE", "code": "2330", "name": "TSMC", "industry": "24"}]})
    http_backend.route("POST", "/futopt/list_code", lambda req: {"success": "true", "result": {"content": {
        "F": {"TXF": [{"ename": "TXF", "deliverymonth": "202406", "code": "TXFF4", "csname": "TX",
                       "category": "TXF", "prod_kind": "I", "ostock": "#001", "basic": 200}]},
        "O": {"TXO": [{"category": "TXO", "deliverymonth": "202406", "poc": "P", "eprice": "17000.0",
                       "code": "TXO17000R4", "csname": "TXO", "prod_kind": "I", "ostock": "#001",
                       "basic": 50}]}}[req.json["code"]]}})
    client = http_backend.client()
    lists = {key: contract.fetch_available_product(client, product_type=code)
             for key, code in (("Indexs", "I"), ("Stocks", "S"), ("Futures", "F"), ("Options", "O"))}
    catalogue = Contracts(**lists)
    assert isinstance(catalogue.Stocks.TSE["2330"], Stock)
    assert catalogue.Futures.TXF["TXFF4"].unit == 200.0
    option = catalogue.Options["TXO"]["TXO17000R4"]
    assert option.symbol == "TXO202406P17000" and option.option_right == "P"
    assert catalogue.Indexs.TSE["001"].symbol == "TSE001" and len(catalogue.Indexs.OTC) == 0
    assert [r.path for r in http_backend.requests] == ["/index/list_code", "/stock/list_code",
                                                       "/futopt/list_code", "/futopt/list_code"]
