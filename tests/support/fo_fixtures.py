"""Fixtures of the futures and option order tests: a logged-in HTTP session client at the loopback
back end, and small readers of what the back end received."""
import pytest

from servers.http_server import HttpBackend

PERSON_ID = "A123456789"
TOKEN = "tok-7f3a"
PUBLIC_IP = "10.20.30.40"

LOGIN_REPLY = {
    "success": "true",
    "result": {
        "token": TOKEN,
        "ip": PUBLIC_IP,
        "accounts": [
            {"account_type": "S", "broker_id": "9A95", "account_id": "0011223"},
            {"account_type": "F", "broker_id": "F002000", "account_id": "7654321"},
            {"account_type": "F", "broker_id": "F002000", "account_id": "7650001"},
        ],
    },
}

ORDER_PATH = "/futopt/order"
CANCEL_PATH = "/futopt/order/cancel"
CHPRICE_PATH = "/futopt/order/change_price"
CHQTY_PATH = "/futopt/order/change_qty"
QUERY_PATH = "/futopt/order/query"


@pytest.fixture(scope="module")
def _server():
    server = HttpBackend()
    try:
        yield server
    finally:
        server.close()


@pytest.fixture
def backend(_server):
    """The module's loopback back end with no recorded requests; each test routes what it uses."""
    _server.clear()
    return _server


@pytest.fixture
def client(backend):
    """A client logged in through the back end's login route; the login request is forgotten."""
    backend.route("POST", "/login", LOGIN_REPLY)
    session_client = backend.client()
    session_client.login(PERSON_ID, "secret")
    backend.clear()
    return session_client


@pytest.fixture
def fo():
    import dorvane.backend.http.futureoption.order as module

    return module


def bodies(backend, path):
    """The JSON bodies posted to `path`, in order (key order kept)."""
    return [r.json for r in backend.requests_to(path, "POST")]


def only_body(backend, path):
    sent = bodies(backend, path)
    assert len(sent) == 1, sent
    assert len(backend.requests) == 1, [r.path for r in backend.requests]
    return sent[0]
