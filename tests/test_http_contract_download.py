"""Product-list downloads against the loopback HTTP back end: requests sent, reply convention,
dispatch by product type and what is logged."""
import logging

import pytest

from dorvane.backend.http import contract
from servers.http_server import Reply

STOCK_PATH = "/stock/list_code"
INDEX_PATH = "/index/list_code"
FUTOPT_PATH = "/futopt/list_code"

STOCKS = [
    {"exchange": "TSE", "code": "2330", "name": " TSMC ", "industry": "24"},
    {"exchange": "OTC", "code": "6488", "name": "GW", "industry": "24"},
]
FUTURES = {"TXF": [{"ename": "TXF", "deliverymonth": "202406", "code": "TXFF4", "csname": "TX",
                    "category": "TXF", "prod_kind": "I", "ostock": "#001", "basic": "200"}]}
OPTIONS = {"TXO": [{"category": "TXO", "deliverymonth": "202406", "poc": "C", "eprice": "18000.0",
                    "code": "TXO18000F4", "csname": "TXO", "prod_kind": "I", "ostock": "#001", "basic": 50}]}


@pytest.fixture
def client(http_backend):
    return http_backend.client()


def errors(caplog):
    return [r.msg for r in caplog.records if r.name == "dorvane" and r.levelno == logging.ERROR]


@pytest.mark.parametrize("success", ["true", "True", "TRUE"])
def test_stock_list_converted_when_success_in_any_case(http_backend, client, caplog, success):
    http_backend.route("GET", STOCK_PATH, {"success": success, "result": STOCKS})
    result = contract.fetch_available_product(client, "S")
    assert list(result) == ["TSE", "OTC"]
    assert result["TSE"][0]["name"] == "TSMC"
    [req] = http_backend.requests
    assert (req.method, req.path, req.body) == ("GET", STOCK_PATH, b"")
    assert errors(caplog) == []


@pytest.mark.parametrize("reply", [
    {"result": STOCKS},                          # no "success"
    {"success": "false", "result": STOCKS},
    {"success": "", "result": STOCKS},
    {"success": "yes", "result": STOCKS},
    {"success": " true", "result": STOCKS},
])
def test_failed_stock_reply_is_logged_whole_and_yields_empty(http_backend, client, caplog, reply):
    http_backend.route("GET", STOCK_PATH, reply)
    assert contract.fetch_available_product(client, product_type="S") == {}
    assert errors(caplog) == [reply]


@pytest.mark.parametrize("success, logged", [("true", False), ("false", True)])
def test_stock_no_data_notice(http_backend, client, caplog, success, logged):
    reply = {"success": success, "result": {"msg": "查無資料"}}
    http_backend.route("GET", STOCK_PATH, reply)
    assert contract.fetch_available_product(client, "S") == {}
    assert errors(caplog) == ([reply] if logged else [])


def test_stock_result_mapping_without_notice_is_not_a_list(http_backend, client):
    # A mapping payload that is not the no-data notice reaches the converter and fails there.
    http_backend.route("GET", STOCK_PATH, {"success": "true", "result": {"other": 1}})
    with pytest.raises(TypeError):
        contract.fetch_available_product(client, "S")


def test_stock_missing_result_is_empty_list(http_backend, client, caplog):
    http_backend.route("GET", STOCK_PATH, {"success": "true"})
    assert contract.fetch_available_product(client, "S") == {}
    assert errors(caplog) == []


@pytest.mark.parametrize("product_type, content, key", [("F", FUTURES, "TXF"), ("O", OPTIONS, "TXO")])
def test_futopt_download_posts_contract_request(http_backend, client, product_type, content, key):
    http_backend.route("POST", FUTOPT_PATH, {"success": "true", "result": {"content": content}})
    result = contract.fetch_available_product(client, product_type)
    assert list(result) == [key]
    assert result[key][0]["security_type"] == {"F": "FUT", "O": "OPT"}[product_type]
    [req] = http_backend.requests
    assert req.path == FUTOPT_PATH and req.json == {"code": product_type, "type": "contract"}
    assert list(req.json) == ["code", "type"]


@pytest.mark.parametrize("reply", [{"success": "true"}, {"success": "true", "result": {}}])
def test_futures_success_without_payload_is_empty_and_silent(http_backend, client, caplog, reply):
    http_backend.route("POST", FUTOPT_PATH, reply)
    assert contract.fetch_available_product(client, "F") == {}
    assert errors(caplog) == []


def test_index_download(http_backend, client):
    http_backend.route("GET", INDEX_PATH, {"success": "true", "result": {"001": "TAIEX", "101": "OTC idx"}})
    result = contract.fetch_available_product(client, "I")
    assert [r["symbol"] for r in result["TSE"]] == ["TSE001"]
    assert [r["symbol"] for r in result["OTC"]] == ["OTC101"]


def test_index_failed_reply_logged(http_backend, client, caplog):
    reply = {"success": "False", "result": {"msg": "denied"}}
    http_backend.route("GET", INDEX_PATH, reply)
    assert contract.fetch_available_product(client, "I") == {}
    assert errors(caplog) == [reply]


@pytest.mark.parametrize("product_type", ["s", " S", "X", "", None, 1, "SF"])
def test_unsupported_type_sends_nothing(http_backend, client, caplog, product_type):
    assert contract.fetch_available_product(client, product_type) == {}
    assert http_backend.requests == []
    assert errors(caplog) == ["Product Type: {} not supported.".format(product_type)]


@pytest.mark.parametrize("detail, kind", [(True, "contract"), (1, "contract"), (False, "delivery"),
                                          (None, "delivery"), ("", "delivery")])
@pytest.mark.parametrize("product_type", ["F", "O"])
def test_list_futopt_code_body(http_backend, client, detail, kind, product_type):
    http_backend.route("POST", FUTOPT_PATH, {"success": "true", "n": 1})
    reply = contract._list_futopt_code(product_type=product_type, detail=detail, client=client)
    assert reply == {"success": "true", "n": 1}
    assert http_backend.requests[0].json == {"code": product_type, "type": kind}


def test_list_futopt_code_failing_truth_test_sends_nothing(http_backend, client):
    class Undecided:
        def __bool__(self):
            raise RuntimeError("no truth value")

    with pytest.raises(RuntimeError, match="no truth value"):
        contract._list_futopt_code("F", Undecided(), client)
    assert http_backend.requests == []


def test_list_functions_return_decoded_reply_whatever_status(http_backend, client):
    http_backend.route("GET", STOCK_PATH, Reply(500, {"success": "false", "why": "x"}))
    http_backend.route("GET", INDEX_PATH, {"anything": [1, 2]})
    assert contract._list_stock_code(client) == {"success": "false", "why": "x"}
    assert contract._list_tw_index_code(client) == {"anything": [1, 2]}


@pytest.mark.parametrize("reply, error", [
    (Reply(200, b"<html>not json", "text/html"), ValueError),   # body that is not JSON
    ([1, 2], AttributeError),                                    # reply that is not a mapping
    ({"success": True, "result": []}, AttributeError),            # "success" that is not text
])
def test_errors_reach_the_caller(http_backend, client, reply, error):
    http_backend.route("GET", STOCK_PATH, reply)
    with pytest.raises(error):
        contract.fetch_available_product(client, "S")


def test_connection_error_reaches_the_caller(http_backend):
    import requests

    client = http_backend.client()
    http_backend.close()
    with pytest.raises(requests.ConnectionError):
        contract.fetch_available_product(client, "S")


def test_conversion_error_reaches_the_caller(http_backend, client):
    http_backend.route("GET", STOCK_PATH, {"success": "true", "result": [{"exchange": "TSE", "code": "1"}]})
    with pytest.raises(KeyError, match="name"):
        contract.fetch_available_product(client, "S")


def test_module_names_are_read_at_call_time(http_backend, client, monkeypatch):
    seen = []
    monkeypatch.setattr(contract, "_list_stock_code", lambda c: {"success": "true", "result": ["x"]})
    monkeypatch.setattr(contract, "stock_dict_convert", lambda records: seen.append(records) or {"k": []})
    assert contract.fetch_available_product(client, "S") == {"k": []}
    assert seen == [["x"]] and http_backend.requests == []


def test_argument_forms():
    with pytest.raises(TypeError):
        contract.fetch_available_product(None)
    with pytest.raises(TypeError):
        contract._list_stock_code(client=None)
    with pytest.raises(TypeError):
        contract._list_futopt_code("F", True)
    doc = contract._list_futopt_code.__doc__
    assert doc.startswith("query the product code") and "whether to get detail code" in doc
