"""The futures and option order functions when the HTTP session fails under them (no back end,
a back end that never answers, a body that is not JSON), and placings from many threads that
share one HTTP session client."""
import datetime
import socket
import threading

import pytest
import requests

from dorvane.account import FutureAccount
from dorvane.backend.http import contract
from dorvane.backend.http.client import TIMEOUT_ENV, Client
from dorvane.backend.http.futureoption.constant import FutOptProps as P
from dorvane.contracts import Future, Option
from dorvane.order import Order, OrderStatus, Status, Trade
from servers.broker_backend import LocalBroker
from servers.catalogue import Catalogue
from servers.http_server import Reply
from support.http_api_fixtures import make_api

ACCOUNT = FutureAccount("F002000", "7654321")


def order(quantity=1):
    return Order(action=P.action.Buy, price_type=P.price_type.LMT, order_type=P.order_type.ROD,
                 octype=P.octype.Auto, price=17000, quantity=quantity, account=ACCOUNT)


def trade():
    placed = order()
    placed._ordno, placed._seqno = "k0001", "000001"
    return Trade(contract=Future(code="TXFA4", security_type="FUT"), order=placed,
                 status=OrderStatus(order_id="id", status=Status.Submitted))


# Every function of the module that sends a request, as a program calls it.
CALLS = {
    "place_future_order": lambda fo, c: fo.place_future_order(Future(code="TXFA4"), order(), "v", c),
    "place_option_order": lambda fo, c: fo.place_option_order(
        Option(code="TXO17500A4", security_type="OPT", option_right="C"), order(), "v", c),
    "place_futopt_order": lambda fo, c: fo.place_futopt_order(Future(code="TXFA4"), order(), "v", c),
    "cancel_futopt_order": lambda fo, c: fo.cancel_futopt_order(trade(), "v", c),
    "update_futopt_order_price": lambda fo, c: fo.update_futopt_order_price(trade(), "v", c, 17100),
    "update_futopt_order_qty": lambda fo, c: fo.update_futopt_order_qty(trade(), "v", c, 1),
    "_query_futopt_order": lambda fo, c: fo._query_futopt_order("account", ACCOUNT, c),
    "query_futopt_order": lambda fo, c: fo.query_futopt_order(c),
}


def session_client(base_url):
    """A client at `base_url` with the fields a login sets (no login request is made)."""
    client = Client(True, None)
    client.set_base_url(base_url)
    client.person_id, client._token, client._public_ip = "A123456789", "TK", "10.0.0.1"
    client.accounts = [ACCOUNT]
    return client


@pytest.fixture
def fo():
    import dorvane.backend.http.futureoption.order as module

    return module


@pytest.fixture
def closed_port():
    """The base URL of a loopback port where nothing listens."""
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    return "http://127.0.0.1:{}".format(port)


@pytest.fixture
def html_backend(http_backend):
    """A back end that answers every order path with an HTML page, as a proxy in trouble does."""
    from dorvane.backend.http.client import ENDPOINT_PATHS

    for path in ENDPOINT_PATHS.values():
        http_backend.route("POST", path, Reply(502, "<html><body>Bad Gateway</body></html>", "text/html"))
    return http_backend.base_url


@pytest.mark.parametrize("name", sorted(CALLS))
@pytest.mark.parametrize("failure, error", [
    ("closed_port", requests.exceptions.ConnectionError),
    ("silent_backend", requests.exceptions.ReadTimeout),
    ("html_backend", requests.exceptions.JSONDecodeError),
])
def test_session_failures_reach_the_caller_unchanged(fo, request, monkeypatch, name, failure, error):
    monkeypatch.setenv(TIMEOUT_ENV, "0.3")
    client = session_client(request.getfixturevalue(failure))
    with pytest.raises(error) as info:
        CALLS[name](fo, client)
    # The session's own exception, not one made from it on the way out.
    assert type(info.value).__module__.startswith("requests") and info.value.__cause__ is None
    assert isinstance(info.value, ValueError) == (failure == "html_backend")


# The product-list downloads decode their replies as the order functions do.
DOWNLOADS = {
    "list_stock_code": lambda c: contract._list_stock_code(c),
    "list_tw_index_code": lambda c: contract._list_tw_index_code(c),
    "list_futopt_code": lambda c: contract._list_futopt_code("F", True, c),
}


@pytest.mark.parametrize("name", sorted(CALLS) + sorted(DOWNLOADS))
def test_a_reply_that_is_not_json_names_the_http_status_and_the_url(fo, http_backend, name):
    # A proxy or a back end in trouble answers with an error page: the decoding error keeps its
    # type, text and cause, and a note says what came back from where.
    from dorvane.backend.http.client import ENDPOINT_PATHS

    page = "<html><body>" + "Service Unavailable " * 20 + "</body></html>"
    for path in ENDPOINT_PATHS.values():
        for method in ("GET", "POST"):
            http_backend.route(method, path, Reply(503, page, "text/html"))
    client = session_client(http_backend.base_url)
    with pytest.raises(requests.exceptions.JSONDecodeError) as info:
        if name in CALLS:
            CALLS[name](fo, client)
        else:
            DOWNLOADS[name](client)
    assert str(info.value) == "Expecting value: line 1 column 1 (char 0)" and info.value.__cause__ is None
    [note] = info.value.__notes__
    assert note.startswith("HTTP 503 Service Unavailable from " + http_backend.base_url + "/")
    assert note.endswith(": the body is not JSON: " + repr(page.encode()[:200]))


class _Unreadable(requests.Response):
    """A reply whose reason cannot be read."""

    @property
    def reason(self):
        raise RuntimeError("the reason cannot be read")


@pytest.mark.parametrize("name", ["place_future_order", "cancel_futopt_order", "_query_futopt_order",
                                  "list_stock_code", "list_futopt_code"])
def test_a_reply_that_cannot_be_described_keeps_the_decoding_error_as_context(fo, http_backend, name):
    # Reading the reply for the note fails: that failure goes on, with the decoding error as its
    # context, as from an `except` clause, so the reason is not lost.
    from dorvane.backend.http.client import ENDPOINT_PATHS

    for path in ENDPOINT_PATHS.values():
        for method in ("GET", "POST"):
            http_backend.route(method, path, Reply(503, "<html>down</html>", "text/html"))
    client = session_client(http_backend.base_url)

    def unreadable(response, *args, **kwargs):
        response.__class__ = _Unreadable

    client.session.hooks["response"].append(unreadable)
    with pytest.raises(RuntimeError, match="the reason cannot be read") as info:
        if name in CALLS:
            CALLS[name](fo, client)
        else:
            DOWNLOADS[name](client)
    context = info.value.__context__
    assert isinstance(context, requests.exceptions.JSONDecodeError)
    assert str(context) == "Expecting value: line 1 column 1 (char 0)"


def echo_placing(request):
    """A placing reply that names what the request carried, so each caller can tell its own."""
    body = request.json
    return {"success": "true", "result": {"stock_id": body["stock_id"], "seqno": str(body["quantity"]),
                                          "ordno": body["vexa_content"], "echo": body}}


def run_threads(count, work):
    """Runs work(i) on `count` threads started together; the exceptions they raised, in order."""
    start = threading.Barrier(count)
    errors = []

    def run(i):
        start.wait()
        try:
            work(i)
        except BaseException as exc:  # judged on the test's thread
            errors.append(exc)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads)
    return errors


THREADS, PLACINGS = 16, 12


def test_concurrent_placings_sharing_one_client_each_get_their_own_reply(fo, http_backend, caplog):
    http_backend.route("POST", "/futopt/order", echo_placing)
    client = session_client(http_backend.base_url)

    def work(i):
        for n in range(PLACINGS):
            code, quantity, vexa = "TXF{:02d}".format(i), i * 100 + n + 1, "v{}-{}".format(i, n)
            placed = order(quantity)
            reply = fo.place_futopt_order(Future(code=code), placed, vexa, client)
            assert reply["result"]["echo"]["stock_id"] == code and reply["result"]["echo"]["quantity"] == quantity
            _, status, ok = fo.futopt_resp2order_status(reply, placed)
            assert ok and (placed.seqno, placed.ordno) == (str(quantity), vexa)

    assert run_threads(THREADS, work) == []
    sent = [r.json for r in http_backend.requests_to("/futopt/order")]
    assert len(sent) == THREADS * PLACINGS
    assert sorted(b["quantity"] for b in sent) == sorted(i * 100 + n + 1 for i in range(THREADS)
                                                         for n in range(PLACINGS))
    assert all(list(b) == list(sent[0]) for b in sent)  # every body whole, its keys in order
    # Sharing the client's connections costs no warnings (a full pool would discard connections).
    assert [r.getMessage() for r in caplog.records if r.levelname != "DEBUG"] == []


def test_concurrent_placings_through_one_facade_are_all_booked(http_backend):
    broker = LocalBroker(http_backend, catalogue=Catalogue(today=datetime.date(2026, 12, 10)))
    api = make_api(http_backend)
    (futures,) = [a for a in api.login("A123456789", "pw") if a.account_type == "F"]
    txf = api.Contracts.Futures.TXF["TXFL6"]
    trades = [[] for _ in range(THREADS)]

    def work(i):
        for _ in range(PLACINGS):
            placing = Order(action=P.action.Buy, price_type=P.price_type.LMT, order_type=P.order_type.ROD,
                            octype=P.octype.Auto, price=1, quantity=i + 1, account=futures)
            trades[i].append(api.place_order(txf, placing))

    assert run_threads(THREADS, work) == []
    placed = [t for per_thread in trades for t in per_thread]
    assert len(broker.orders) == len(api.trades) == len(placed) == THREADS * PLACINGS
    assert {t.status.order_id for t in placed} == set(api._trades)
    for i, per_thread in enumerate(trades):
        for t in per_thread:
            assert api._trades[t.status.order_id] is t and t.status.status == Status.PendingSubmit
            (held,) = [o for o in broker.orders if o.seqno == t.order.seqno]
            assert held.quantity == t.order.quantity == i + 1
