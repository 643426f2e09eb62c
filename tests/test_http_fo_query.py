"""The futures and option order query against the loopback HTTP back end."""
import datetime
import logging
import types

import pytest

from dorvane.account import FutureAccount, StockAccount
from dorvane.backend.http.utils import hash_orderid
from support.fo_fixtures import PERSON_ID, QUERY_PATH, TOKEN, _server, backend, client, fo  # noqa: F401
from servers.http_server import Reply

TODAY = "20240105"


class _Date(datetime.date):
    @classmethod
    def today(cls):
        return cls(2024, 1, 5)


@pytest.fixture(autouse=True)
def fixed_today(fo, monkeypatch):
    """The module reads `dt` when it runs: a datetime module whose today is fixed."""
    monkeypatch.setattr(fo, "dt", types.SimpleNamespace(date=_Date, datetime=datetime.datetime))


def row(code, seqno, **more):
    return dict(dict(st_comno=code, st_seqno=seqno, st_orddt="20240105", st_ordtm="084501"), **more)


def sent(backend):
    return [r.json for r in backend.requests_to(QUERY_PATH, "POST")]


@pytest.mark.parametrize("dates, expected", [
    ((), (TODAY, TODAY)),
    (("", None), (TODAY, TODAY)),
    (("20231201", ""), ("20231201", TODAY)),
    (("20231201", "20231231"), ("20231201", "20231231")),
])
def test_single_query_request(fo, backend, client, dates, expected):
    backend.route("POST", QUERY_PATH, {"success": "true", "result": []})
    account = client.accounts[1]
    assert fo._query_futopt_order("userid", account, client, *dates) == {"success": "true", "result": []}
    (body,) = sent(backend)
    assert list(body) == ["token", "action", "user_id", "broker_id", "account", "start_date", "end_date"]
    assert body == {"token": TOKEN, "action": "userid", "user_id": PERSON_ID, "broker_id": "F002000",
                    "account": "7654321", "start_date": expected[0], "end_date": expected[1]}


def test_single_query_by_keyword_logs_request_and_body(fo, backend, client, caplog):
    backend.route("POST", QUERY_PATH, Reply(500, {"success": "false"}))
    with caplog.at_level(logging.DEBUG, logger="dorvane"):
        reply = fo._query_futopt_order(action="account", account={}, client=client, end_date="20240101")
    assert reply == {"success": "false"}  # the HTTP status is not examined
    (body,) = sent(backend)
    assert (body["broker_id"], body["account"], body["start_date"], body["end_date"]) == ("", "", TODAY, "20240101")
    logged = [r.msg for r in caplog.records if r.levelno == logging.DEBUG]
    assert body["token"] == TOKEN  # the server gets the token, the log a copy without it
    assert logged[0] == dict(body, token="***") and list(logged[0]) == list(body)
    assert isinstance(logged[1], bytes) and b"false" in logged[1]
    assert not any(TOKEN in str(r.msg) for r in caplog.records)


def test_query_gathers_rows_of_futures_accounts(fo, backend, client):
    first = [row("TXFA4", "1"), row("TXO1", "2"), row("TXFA4", "1", st_ordno="later")]
    second = [row("MXFA4", "3"), row("TXO1", "2", st_ordno="other account")]
    backend.route("POST", QUERY_PATH, [{"success": "TRUE", "result": first}, {"success": "true", "result": second}])
    result = fo.query_futopt_order(client)
    bodies = sent(backend)
    assert [(b["action"], b["account"], b["start_date"], b["end_date"]) for b in bodies] == [
        ("account", "7654321", TODAY, TODAY), ("account", "7650001", TODAY, TODAY)]  # the stock account is skipped
    assert list(result) == [hash_orderid("TXFA4", "1"), hash_orderid("TXO1", "2"), hash_orderid("MXFA4", "3")]
    assert result[hash_orderid("TXFA4", "1")] == first[2]           # a later row replaces an earlier one
    assert result[hash_orderid("TXO1", "2")]["st_ordno"] == "other account"
    with pytest.raises(TypeError):
        fo.query_futopt_order(client=client)  # positional only


@pytest.mark.parametrize("bad", [
    {"success": "false", "result": [row("X", "9")]},
    {"result": [row("X", "9")]},
    {"success": "true", "result": {"st_comno": "X", "st_seqno": "9"}},   # not a list
    {"success": "false", "result": "系統忙碌"},                             # the server's message text
    {"success": "false", "result": None},
])
def test_failed_reply_is_logged_and_others_kept(fo, backend, client, caplog, bad):
    backend.route("POST", QUERY_PATH, [bad, {"success": "true", "result": [row("OK", "1")]}])
    with caplog.at_level(logging.ERROR, logger="dorvane"):
        result = fo.query_futopt_order(client)
    assert list(result) == [hash_orderid("OK", "1")]
    assert [r.msg for r in caplog.records if r.levelno == logging.ERROR] == [bad]


def test_reply_without_result_adds_no_made_up_order(fo, backend, client, caplog):
    backend.route("POST", QUERY_PATH, {"success": "true"})
    with caplog.at_level(logging.ERROR, logger="dorvane"):
        assert fo.query_futopt_order(client) == {}
    assert not [r for r in caplog.records if r.levelno >= logging.ERROR]


def test_rows_without_dates_are_accepted(fo, backend, client):
    backend.route("POST", QUERY_PATH, {"success": "true", "result": [{"st_comno": "A", "st_seqno": "1"}, {}]})
    assert list(fo.query_futopt_order(client)) == [hash_orderid("A", "1"), hash_orderid("", "")]


@pytest.mark.parametrize("reply, error", [
    ({"success": "true", "result": [row("A", "1", st_ordtm="")]}, ValueError),  # a date alone
    ({"success": "true", "result": [row("A", "1", st_ordtm="8:45")]}, ValueError),
    ({"success": "true", "result": ["not a row"]}, AttributeError),
    ({"success": True, "result": []}, AttributeError),
    (Reply(200, b"not json", "text/plain"), ValueError),
])
def test_failures_end_the_query(fo, backend, client, reply, error):
    backend.route("POST", QUERY_PATH, reply)
    with pytest.raises(error):
        fo.query_futopt_order(client)
    assert len(sent(backend)) == 1  # the first account's failure stops the rest


def test_no_futures_accounts_sends_nothing(fo, backend, client):
    client.accounts = [StockAccount("9A95", "0011223")]
    assert fo.query_futopt_order(client) == {}
    assert backend.requests == []


def test_futures_account_type_is_read_when_called(fo, backend, client, monkeypatch):
    backend.route("POST", QUERY_PATH, {"success": "true", "result": []})
    monkeypatch.setattr(fo, "FutureAccount", StockAccount)
    fo.query_futopt_order(client)
    assert [b["account"] for b in sent(backend)] == ["0011223"]
    assert isinstance(client.accounts[1], FutureAccount)
