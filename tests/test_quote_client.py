"""The quote client Quote against the in-process loopback broker of the messaging binding."""
import gc
import os
import subprocess
import sys
import threading
import weakref

import pytest

from dorvane.backend.solace import quote
from dorvane.backend.solace.quote import Quote
from dorvane.contracts import Future, Index, Stock
from quillmesh import solclient

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
VPN, USER, PASSWORD = "local-vpn", "reader", "s3cret"
TSMC = Stock(code="2330", exchange="TSE")


@pytest.fixture
def broker(monkeypatch):
    """A fresh process-wide broker for each test, with one known account."""
    fresh = solclient.Broker()
    fresh.add_account(VPN, USER, PASSWORD)
    monkeypatch.setattr(solclient, "broker", fresh)
    yield fresh
    assert fresh.wait_idle(5)


def session_of(q, broker):
    return broker.session(q.client)


def test_construction_holds_the_binding_and_a_session(broker):
    q = Quote()
    assert q.solclient is solclient
    assert session_of(q, broker) is not None
    assert (q._quote_callback, q._event_callback) == (None, None)
    for name in ("set_callback", "set_event_callback", "subscribe"):
        assert name in Quote.__doc__
    assert "func(topic: str, quote_msg: dict) -> int" in Quote.set_callback.__doc__
    assert "func(resp_code: int, event_code: int, event: str) -> None" in Quote.set_event_callback.__doc__


@pytest.mark.parametrize(
    "user, password, expected",
    [(USER, PASSWORD, 0), (USER, "wrong", solclient.LOGIN_FAILED), ("nobody", PASSWORD, solclient.LOGIN_FAILED)],
)
def test_connect_returns_the_binding_code(broker, user, password, expected):
    q = Quote()
    assert q.connect("127.0.0.1:55555", VPN, user, password) == expected
    assert session_of(q, broker).connected is (expected == 0)
    # By keyword as well.
    assert q.connect(host="h:1", vpn=VPN, user=user, password=password) == expected


def test_tick_reaches_the_callback_on_the_broker_thread(broker):
    q = Quote()
    got = []
    done = threading.Event()

    def on_quote(topic, msg):
        got.append((topic, msg, broker.on_delivery_thread()))
        done.set()
        return "ignored"

    q.set_callback(on_quote)
    assert q.connect("h:1", VPN, USER, PASSWORD) == 0
    q.subscribe(TSMC)  # tick by default
    assert session_of(q, broker).subscriptions == ["MKT/*/TSE/2330"]
    tick = {"Code": "2330", "Close": [600.0], "Volume": [3]}
    assert solclient.publish("MKT/feed1/TSE/2330", tick) == 1
    assert solclient.publish("QUT/feed1/TSE/2330", {"BidPrice": [599.0]}) == 0
    assert done.wait(5)
    assert got == [("MKT/feed1/TSE/2330", tick, True)]
    # Whatever the callable returns, the binding gets 0.
    assert q._quote_callback("t", {}) == 0


def test_event_callback_gets_three_of_four_arguments(broker):
    q = Quote()
    events = []
    q.set_event_callback(lambda resp_code, event_code, event: events.append((resp_code, event_code, event)) or 7)
    assert q._event_callback(1, 2, "info", "ev") is None
    assert events == [(1, 2, "ev")]
    events.clear()
    assert q.connect("h:1", VPN, USER, "bad") == solclient.LOGIN_FAILED
    assert q.connect("h:1", VPN, USER, PASSWORD) == 0
    assert broker.wait_idle(5)
    assert events == [
        (solclient.LOGIN_FAILED, solclient.EVENT_LOGIN_FAILED, "login failed"),
        (0, solclient.EVENT_UP, "session up"),
    ]


class Receiver:
    def on_quote(self, topic, msg):
        pass

    def on_event(self, resp_code, event_code, event):
        pass


def two(a, b):
    pass


def three(a, b, c):
    pass


@pytest.mark.parametrize(
    "method, func, accepted",
    [
        ("set_callback", two, True),
        ("set_callback", Receiver().on_quote, True),  # self does not count
        ("set_callback", three, False),
        ("set_callback", lambda a, b, c=1: None, False),  # a default still counts
        ("set_callback", lambda a, *, b: None, True),  # keyword-only counts
        ("set_callback", lambda *args: None, False),  # *args is one entry
        ("set_callback", lambda *args, **kwargs: None, True),
        ("set_event_callback", three, True),
        ("set_event_callback", Receiver().on_event, True),
        ("set_event_callback", two, False),
        ("set_event_callback", lambda *args: None, False),
    ],
)
def test_parameter_count_check(broker, method, func, accepted):
    q = Quote()
    messages = {
        "set_callback": "quote callback must have fixed as two input args with topic and msg.",
        "set_event_callback": "event callback must have fixed as three input args with resp_code, event_code, event.",
    }
    attribute = "_quote_callback" if method == "set_callback" else "_event_callback"
    registered = "callback" if method == "set_callback" else "event_callback"
    if accepted:
        assert getattr(q, method)(func) is None
        assert getattr(broker, registered) is getattr(q, attribute)
    else:
        with pytest.raises(AssertionError) as info:
            getattr(q, method)(func=func)
        assert str(info.value) == messages[method]
        assert getattr(q, attribute) is None
        assert getattr(broker, registered) is None


def test_refused_callback_keeps_the_earlier_registration(broker):
    q = Quote()
    q.set_callback(two)
    first = q._quote_callback
    with pytest.raises(AssertionError):
        q.set_callback(three)
    assert q._quote_callback is first and broker.callback is first
    q.set_callback(lambda t, m: None)
    assert q._quote_callback is not first and broker.callback is q._quote_callback


def test_unreadable_signature_fails_before_the_check(broker):
    with pytest.raises((TypeError, ValueError)):
        Quote().set_callback(42)


def test_callback_errors_go_to_the_binding(broker, capsys):
    q = Quote()

    def on_quote(topic, msg):
        raise RuntimeError("callback failed")

    q.set_callback(on_quote)
    q.connect("h:1", VPN, USER, PASSWORD)
    q.subscribe(Future(code="TXFA0"), "bidask")
    solclient.publish("Q/x/TXFA0", {})
    assert broker.wait_idle(5)
    assert [str(e) for e in broker.errors] == ["callback failed"]
    assert "callback failed" in capsys.readouterr().err


def test_subscribe_and_unsubscribe(broker):
    q = Quote()
    q.connect("h:1", VPN, USER, PASSWORD)
    index = Index(code="001", exchange="TSE")
    assert q.subscribe(index, "bidask") is None
    assert q.subscribe(contract=TSMC, quote_type="tick") is None
    assert session_of(q, broker).subscriptions == ["O/TSE/001", "MKT/*/TSE/2330"]
    assert q.unsubscribe(index, quote_type="bidask") is None
    assert q.unsubscribe(Future(code="never")) is None  # the binding's refusal is not examined
    assert session_of(q, broker).subscriptions == ["MKT/*/TSE/2330"]


@pytest.mark.parametrize("method", ["subscribe", "unsubscribe"])
def test_topic_errors_come_before_the_binding(broker, method):
    q = Quote()
    q.connect("h:1", VPN, USER, PASSWORD)
    q.subscribe(TSMC)
    with pytest.raises(Exception, match=r"^Contract: .* not support\.$"):
        getattr(q, method)(object.__new__(type("Unknown", (), {"code": "X"})))
    with pytest.raises(Exception, match=r"^Quote Type: depth not support\.$"):
        getattr(q, method)(TSMC, "depth")
    assert session_of(q, broker).subscriptions == ["MKT/*/TSE/2330"]


def test_subscription_before_connect_goes_to_the_binding_unchanged(broker):
    q = Quote()
    assert q.subscribe(TSMC) is None  # the binding refuses; Quote does not look
    assert session_of(q, broker).subscriptions == []


def test_release_disconnects_and_wrappers_do_not_keep_the_quote(broker):
    q = Quote()
    q.set_callback(two)
    q.set_event_callback(three)
    handle = q.client
    ref = weakref.ref(q)
    del q
    assert ref() is None  # released at once, although the broker still holds both wrappers
    assert broker.session(handle) is None
    assert broker.callback is not None and broker.event_callback is not None


@pytest.fixture
def collector_off():
    """Cycles are released only by an explicit gc.collect() while the test runs."""
    gc.disable()
    yield
    gc.enable()


def test_late_release_of_an_earlier_brokers_quote_leaves_this_broker_alone(broker, monkeypatch, collector_off):
    earlier = solclient.Broker()
    monkeypatch.setattr(solclient, "broker", earlier)
    old = Quote()
    cycle = [old]
    cycle.append(cycle)  # as a test's frame kept by a caught exception's traceback
    del old, cycle
    monkeypatch.setattr(solclient, "broker", broker)
    q = Quote()
    assert q.connect("h:1", VPN, USER, PASSWORD) == 0
    gc.collect()  # the earlier Quote's finaliser disconnects its own session, which is not here
    assert session_of(q, broker).connected


def test_release_on_a_thread_inside_the_broker_returns():
    # A Quote's finaliser runs wherever the cycle collector runs, also on a thread inside the
    # broker's locked code (any allocation there may start a collection): its disconnect must not
    # wait for that lock. A child interpreter, so that a hang fails the test instead of the run.
    program = (
        "from dorvane.backend.solace.quote import Quote\n"
        "from quillmesh import solclient\n"
        "q = Quote()\n"
        "q.connect('h:1', *solclient.LOCAL_ACCOUNT)\n"
        "handle = q.client\n"
        "with solclient.broker._lock:\n"
        "    del q\n"
        "print(solclient.broker.session(handle))\n"
    )
    out = subprocess.run([sys.executable, "-c", program], cwd=ROOT, capture_output=True, text=True, timeout=20)
    assert (out.returncode, out.stdout, out.stderr) == (0, "None\n", "")


class App:
    """A program object that holds its Quote and registers its own methods."""

    def __init__(self):
        self.quote = Quote()
        self.quote.set_callback(self.on_quote)
        self.quote.set_event_callback(self.on_event)

    def on_quote(self, topic, msg):
        pass

    def on_event(self, resp_code, event_code, event):
        pass


def test_program_holding_its_quote_is_collected(broker):
    app = App()
    handle = app.quote.client
    ref = weakref.ref(app)
    del app
    # The binding's registrations are replaced: the App, its Quote and the wrappers are garbage.
    solclient.set_callback(None)
    solclient.set_event_callback(None)
    gc.collect()
    assert ref() is None
    assert broker.session(handle) is None  # the finaliser disconnected the session


def test_binding_that_cannot_be_imported(monkeypatch, broker):
    monkeypatch.setitem(sys.modules, "quillmesh.solclient", None)
    gc.collect()  # earlier tests' garbage reports to the hook of its own time, not to this one
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    with pytest.raises(ImportError):
        Quote()
    gc.collect()
    assert [type(r.exc_value) for r in reports] == [AttributeError]


def test_names_are_read_at_call_time(broker, monkeypatch):
    q = Quote()
    q.connect("h:1", VPN, USER, PASSWORD)
    monkeypatch.setattr(quote, "contract2topic", lambda contract, quote_type: "X/" + quote_type)
    q.subscribe(TSMC, "y")
    assert session_of(q, broker).subscriptions == ["X/y"]


def test_check_is_skipped_without_assertions():
    program = (
        "import threading\n"
        "from dorvane.backend.solace.quote import Quote\n"
        "from quillmesh import solclient\n"
        "from dorvane.contracts import Stock\n"
        "solclient.add_account('v', 'u', 'p')\n"
        "solclient.broker.feed = None\n"  # only the tick published here, not the local feed's
        "got = []\n"
        "q = Quote()\n"
        "q.set_callback(lambda *args: got.append(args))\n"
        "q.set_event_callback(lambda a, b: None)\n"
        "q.connect('h:1', 'v', 'u', 'p')\n"
        "q.subscribe(Stock(code='1101', exchange='TSE'))\n"
        "solclient.publish('MKT/a/TSE/1101', {'Close': [1]})\n"
        "solclient.wait_idle(5)\n"
        "print(got)\n"
    )
    out = subprocess.run([sys.executable, "-O", "-c", program], cwd=ROOT, capture_output=True, text=True, timeout=30)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "[('MKT/a/TSE/1101', {'Close': [1]})]"


@pytest.mark.parametrize(
    "subscription, topic, matches",
    [
        ("MKT/*/TSE/2330", "MKT/f1/TSE/2330", True),
        ("MKT/*/TSE/2330", "MKT/f1/OTC/2330", False),
        ("MKT/*/TSE/2330", "MKT/f1/TSE/2330/x", False),
        ("MKT/*/TSE/2330", "MKT/TSE/2330", False),
        ("MKT/>", "MKT/f1/TSE/2330", True),
        ("MKT/>", "MKT", False),
        ("L/*/>", "L/f/TXF", True),
        ("I/TSE/001", "I/TSE/001", True),
        ("I/TSE/001", "I/TSE/0011", False),
    ],
)
def test_broker_wildcards(subscription, topic, matches):
    assert solclient.topic_matches(subscription, topic) is matches


def test_release_while_the_broker_is_locked_on_the_same_thread(broker):
    # The collector may run a Quote's finaliser (which disconnects) on a thread that is inside a
    # locked section of the broker, such as a connect starting the delivery thread.
    q = Quote()
    q.connect("h:1", VPN, USER, PASSWORD)
    handle = q.client
    with broker._lock:
        del q
    assert broker.session(handle) is None
