"""Minimal local layer of the library module quillmesh.solclient: an in-process loopback broker behind the messaging binding's seven calls.

The binding's calls (`client`, `connect`, `subscribe`, `unsubscribe`, `disconnect`, `set_callback`,
`set_event_callback`) act on one process-wide `Broker`. Sessions log in with credentials that the
broker knows (`add_account`); programs or tests play the publisher through `publish`. Quote messages
and session events reach the registered callbacks on the broker's own delivery thread, one at a
time, in the order in which they were produced.

Topic names are levels joined by "/". In a subscription a level "*" matches exactly one level, and a
last level ">" matches one or more remaining levels.

Return codes: `OK` (0) for success, `FAIL` for a call that the session's state refuses (an unknown
or disconnected session, a subscription while not logged in, a malformed topic), `LOGIN_FAILED` for
credentials the broker does not know.

The process-wide broker is the local quote service: it knows the account of the local services
(LOCAL_ACCOUNT, the VPN that the local trading server's login reply names) and runs a `LocalFeed`,
which answers every new tick or bid/ask subscription of a stock, future, option or index with a
few quotes (FEED_QUOTES, FEED_INTERVAL apart), as the exchange's feed would. A `Broker()` made
anew has neither.

Session handles are unique in the process, across every `Broker` made in it: a handle names one
session of the broker that issued it and no other, so a session released late (its finaliser runs
whenever the cycle collector gets to it) never reaches a session of a broker made since.
`disconnect` takes none of the broker's locks: a session's finaliser calls it wherever the cycle
collector runs, which may be a thread inside the broker's own locked code (any allocation there may
start a collection), where waiting for the lock would wait for itself.

Callback registrations hold for the whole process (they carry no session handle): the quote
callback is called as `callback(topic, message)` and the event callback as
`callback(resp_code, event_code, info, event)`. An exception raised by a callback is printed to
standard error, kept in `broker.errors`, and delivery goes on.
"""
import itertools
import sys
import threading
import time
import traceback
import zlib
from collections import deque

__all__ = [
    "OK", "FAIL", "LOGIN_FAILED",
    "EVENT_UP", "EVENT_LOGIN_FAILED",
    "Broker", "broker", "topic_matches",
    "client", "connect", "subscribe", "unsubscribe", "disconnect", "set_callback",
    "set_event_callback", "add_account", "remove_account", "publish", "wait_idle",
    "LocalFeed", "LOCAL_ACCOUNT",
]

OK = 0
FAIL = -1
LOGIN_FAILED = 2

# Session events: (event code, event text).
EVENT_UP = 0
EVENT_LOGIN_FAILED = 1
_EVENT_TEXT = {EVENT_UP: "session up", EVENT_LOGIN_FAILED: "login failed"}


def _levels(topic):
    if not isinstance(topic, str) or not topic:
        return None
    levels = topic.split("/")
    if any(level == "" for level in levels):
        return None
    return levels


def _valid_subscription(topic):
    levels = _levels(topic)
    return levels is not None and ">" not in levels[:-1]


def topic_matches(subscription, topic):
    """True when the published `topic` falls under `subscription` ("*" one level, last ">" the rest)."""
    sub = _levels(subscription)
    pub = _levels(topic)
    if sub is None or pub is None:
        return False
    for i, level in enumerate(sub):
        if level == ">" and i == len(sub) - 1:
            return len(pub) > i
        if i >= len(pub):
            return False
        if level != "*" and level != pub[i]:
            return False
    return len(pub) == len(sub)


class _Session:
    __slots__ = ("handle", "connected", "host", "vpn", "user", "subscriptions")

    def __init__(self, handle):
        self.handle = handle
        self.connected = False
        self.host = self.vpn = self.user = None
        self.subscriptions = []


# Session handles of every broker in the process (next() on a count is atomic under the GIL).
_handles = itertools.count(1)


class Broker:
    """The in-process broker: accounts, sessions, subscriptions and the delivery thread."""

    def __init__(self):
        # Re-entrant: a session's finaliser (Quote.__del__ calls disconnect) may run on a thread
        # that already holds the lock, when the collector strikes inside a locked section.
        self._lock = threading.RLock()
        self._idle = threading.Condition(self._lock)
        self._sessions = {}
        self._accounts = {}
        self._pending = deque()
        self._busy = 0
        self._wake = threading.Condition(self._lock)
        self._thread = None
        self.callback = None
        self.event_callback = None
        self.errors = []
        self.feed = None  # told of every new subscription: feed.subscribed(topic)

    # Accounts -----------------------------------------------------------------------------------
    def add_account(self, vpn, user, password):
        """Let `user` log in to message VPN `vpn` with `password`."""
        with self._lock:
            self._accounts[(vpn, user)] = password

    def remove_account(self, vpn, user):
        with self._lock:
            self._accounts.pop((vpn, user), None)

    # Sessions -----------------------------------------------------------------------------------
    def new_session(self):
        with self._lock:
            handle = next(_handles)
            self._sessions[handle] = _Session(handle)
            return handle

    def session(self, handle):
        """The session state of `handle` (None when unknown); for inspection."""
        with self._lock:
            return self._sessions.get(handle)

    def connect(self, handle, host, vpn, user, password):
        with self._lock:
            session = self._sessions.get(handle)
            if session is None:
                return FAIL
            known = self._accounts.get((vpn, user))
            if known is None or known != password:
                session.connected = False
                self._enqueue_locked(("event", LOGIN_FAILED, EVENT_LOGIN_FAILED, host))
                return LOGIN_FAILED
            session.connected = True
            session.host, session.vpn, session.user = host, vpn, user
            self._enqueue_locked(("event", OK, EVENT_UP, host))
            return OK

    def subscribe(self, handle, topic):
        with self._lock:
            session = self._sessions.get(handle)
            if session is None or not session.connected or not _valid_subscription(topic):
                return FAIL
            new = topic not in session.subscriptions
            if new:
                session.subscriptions.append(topic)
            feed = self.feed
        if new and feed is not None:
            feed.subscribed(topic)
        return OK

    def unsubscribe(self, handle, topic):
        with self._lock:
            session = self._sessions.get(handle)
            if session is None or not session.connected:
                return FAIL
            try:
                session.subscriptions.remove(topic)
            except ValueError:  # not subscribed, or the session was disconnected meanwhile
                return FAIL
            return OK

    def disconnect(self, handle):
        # No lock (see the module's text): each step is one operation that the interpreter does
        # whole; publish iterates over copies and unsubscribe's removal tolerates a cleared list.
        session = self._sessions.pop(handle, None)
        if session is None:
            return FAIL
        session.connected = False
        session.subscriptions.clear()
        return OK

    # Publishing and delivery --------------------------------------------------------------------
    def publish(self, topic, message):
        """Deliver `message` under `topic` once to every logged-in session with a matching
        subscription; returns the number of deliveries queued."""
        if _levels(topic) is None:
            raise ValueError("invalid topic name: {!r}".format(topic))
        with self._lock:
            count = 0
            for session in list(self._sessions.values()):
                if session.connected and any(topic_matches(s, topic) for s in list(session.subscriptions)):
                    self._enqueue_locked(("message", topic, message))
                    count += 1
            return count

    def wait_idle(self, timeout=None):
        """Wait until everything produced so far has been delivered; False on time-out."""
        with self._lock:
            return self._idle.wait_for(lambda: not self._pending and not self._busy, timeout)

    def _enqueue_locked(self, item):
        self._pending.append(item)
        if self._thread is None:
            self._thread = threading.Thread(target=self._deliver, name="quillmesh-broker", daemon=True)
            self._thread.start()
        self._wake.notify()

    def _deliver(self):
        while True:
            with self._lock:
                while not self._pending:
                    self._wake.wait()
                item = self._pending.popleft()
                self._busy += 1
            try:
                if item[0] == "message":
                    callback = self.callback
                    if callback is not None:
                        callback(item[1], item[2])
                else:
                    callback = self.event_callback
                    if callback is not None:
                        _, resp_code, event_code, info = item
                        callback(resp_code, event_code, info, _EVENT_TEXT[event_code])
            except BaseException as exc:  # a user callback failed: report it, keep delivering
                self.errors.append(exc)
                traceback.print_exception(type(exc), exc, exc.__traceback__, file=sys.stderr)
            finally:
                with self._lock:
                    self._busy -= 1
                    if not self._pending and not self._busy:
                        self._idle.notify_all()

    def on_delivery_thread(self):
        """True when called from the broker's delivery thread."""
        return threading.current_thread() is self._thread


# The local quote service's account: (VPN, user, password).
LOCAL_ACCOUNT = ("dorvane_uat", "dorvane", "qerwunt482")
FEED_QUOTES = 3
FEED_INTERVAL = 0.05


class LocalFeed:
    """The local market feed: a few quotes for each new subscription, published on a thread of
    its own. Prices are made from the product code, so the same code always gets the same quotes."""

    def __init__(self, broker, quotes=FEED_QUOTES, interval=FEED_INTERVAL):
        self.broker = broker
        self.quotes = quotes
        self.interval = interval

    def subscribed(self, topic):
        levels = topic.split("/")
        if levels[0] not in ("MKT", "QUT", "L", "Q", "I", "O") or "*" in levels[-1] or ">" in levels[-1]:
            return
        threading.Thread(target=self._publish, args=(topic, levels), name="quillmesh-feed", daemon=True).start()

    def _publish(self, topic, levels):
        code = levels[-1]
        base = 10 + zlib.crc32(code.encode("utf-8")) % 9000 / 10.0
        for n in range(self.quotes):
            time.sleep(self.interval)
            price = round(base + (n % 3 - 1) * 0.5, 2)
            stamp = "09:00:{:02d}.000000".format(n + 1)
            if levels[0] in ("QUT", "Q", "O"):
                message = {"Code": code, "Time": stamp, "BidPrice": [price - 0.5, price - 1.0], "BidVolume": [5 + n, 12],
                           "AskPrice": [price, price + 0.5], "AskVolume": [3 + n, 9]}
            else:
                message = {"Code": code, "Time": stamp, "Close": [price], "Volume": [n + 1], "TickType": [1 + n % 2]}
            self.broker.publish(topic, message)


broker = Broker()
broker.add_account(*LOCAL_ACCOUNT)
broker.feed = LocalFeed(broker)


# The binding's calls --------------------------------------------------------------------------
def client():
    """A new session handle."""
    return broker.new_session()


def connect(handle, host, vpn, user, password):
    """Log the session in; `OK` (0) on success."""
    return broker.connect(handle, host, vpn, user, password)


def subscribe(handle, topic):
    return broker.subscribe(handle, topic)


def unsubscribe(handle, topic):
    return broker.unsubscribe(handle, topic)


def disconnect(handle):
    return broker.disconnect(handle)


def set_callback(func):
    """Register the quote callback `func(topic, message)` for the process."""
    broker.callback = func
    return OK


def set_event_callback(func):
    """Register the event callback `func(resp_code, event_code, info, event)` for the process."""
    broker.event_callback = func
    return OK


# The publisher's side and set-up --------------------------------------------------------------
def add_account(vpn, user, password):
    broker.add_account(vpn, user, password)


def remove_account(vpn, user):
    broker.remove_account(vpn, user)


def publish(topic, message):
    return broker.publish(topic, message)


def wait_idle(timeout=None):
    return broker.wait_idle(timeout)
