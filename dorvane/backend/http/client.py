"""Minimal local layer of the library module dorvane.backend.http.client: the HTTP session client `Client`."""
import os
from urllib.parse import urljoin, urlsplit

import requests
import requests.adapters

from dorvane.account import FutureAccount, StockAccount

__all__ = ["Client", "LoginError", "SIMULATION_BASE_URL", "PRODUCTION_BASE_URL", "BASE_URL_ENV", "ENDPOINT_PATHS",
           "base_url", "TIMEOUT_ENV", "DEFAULT_TIMEOUT", "timeout_setting"]

# Where the back end is. The one setting: the environment variable DORVANE_HTTP_BASE_URL, when set
# and not empty, is the base URL of every client; otherwise `simulation` chooses between the two
# URLs below, both at the bundled local back end (tools/local_servers.py serves them). A client
# reads the setting when it is constructed; `Client.set_base_url` moves one client elsewhere.
BASE_URL_ENV = "DORVANE_HTTP_BASE_URL"
SIMULATION_BASE_URL = "http://127.0.0.1:18002/uat"
PRODUCTION_BASE_URL = "http://127.0.0.1:18002/prod"

# How long a request may wait. The environment variable DORVANE_HTTP_TIMEOUT, when set and not
# empty, is a number of seconds (greater than 0), or "0" or "none" for no time-out at all; without
# it, DEFAULT_TIMEOUT. The time-out bounds the connect and each wait for the back end's next bytes
# (not the whole exchange); its expiry raises the session's requests.exceptions.Timeout
# (ConnectTimeout or ReadTimeout) to the caller. A client reads the setting when it is constructed.
TIMEOUT_ENV = "DORVANE_HTTP_TIMEOUT"
DEFAULT_TIMEOUT = 30.0

# Endpoint attribute -> path under the base URL.
ENDPOINT_PATHS = {
    "login_uri": "/login",
    "s_list_code_uri": "/stock/list_code",
    "index_list_code_uri": "/index/list_code",
    "f_list_code_uri": "/futopt/list_code",
    "f_order_uri": "/futopt/order",
    "f_order_chprice_uri": "/futopt/order/change_price",
    "f_order_chqty_uri": "/futopt/order/change_qty",
    "f_order_cancel_uri": "/futopt/order/cancel",
    "f_query_order_uri": "/futopt/order/query",
    "f_margin_uri": "/futopt/account/margin",
    "f_open_position_uri": "/futopt/account/open_position",
    "f_settle_profitloss_uri": "/futopt/account/settle_profitloss",
    "s_funds_profitloss_uri": "/stock/account/funds_profitloss",
    "s_real_profitloss_uri": "/stock/account/real_profitloss",
    "s_unreal_profitloss_uri": "/stock/account/unreal_profitloss",
}


def base_url(simulation):
    """The base URL that a client of this environment uses now (see BASE_URL_ENV)."""
    return os.environ.get(BASE_URL_ENV) or (SIMULATION_BASE_URL if simulation else PRODUCTION_BASE_URL)


def timeout_setting():
    """The time-out in seconds that a client constructed now uses, None for none (see TIMEOUT_ENV).
    A value that is not a positive number, "0" or "none" raises ValueError naming the variable."""
    text = os.environ.get(TIMEOUT_ENV, "").strip()
    if not text:
        return DEFAULT_TIMEOUT
    if text.lower() == "none":
        return None
    try:
        seconds = float(text)
    except ValueError:
        seconds = float("nan")
    if seconds == 0:
        return None
    if not 0 < seconds < float("inf"):
        raise ValueError("{} must be a number of seconds greater than 0, or 0 or none for no time-out, "
                         "not {!r}".format(TIMEOUT_ENV, text))
    return seconds


# Connections to one back end that a session keeps open for reuse. Orders are often placed from
# several threads that share one client; with fewer kept connections than threads, each request
# beyond them opened a connection of its own and dropped it with a warning ("Connection pool is
# full, discarding connection").
POOL_SIZE = 32


class _Session(requests.Session):
    """A requests session whose requests wait at most `timeout` seconds (None: no limit) unless the
    call names a time-out of its own, and which keeps up to POOL_SIZE connections per back end."""

    def __init__(self, timeout):
        super().__init__()
        self.timeout = timeout
        for scheme in ("http://", "https://"):
            self.mount(scheme, requests.adapters.HTTPAdapter(pool_maxsize=POOL_SIZE))

    def request(self, method, url, **kwargs):
        kwargs.setdefault("timeout", self.timeout)
        return super().request(method, url, **kwargs)

    def get_redirect_target(self, resp):
        """The redirect's target when it stays on the back end's own origin (scheme, host, port);
        a redirect elsewhere raises RequestException naming both ends, since a 307 or 308 would
        send the request's body (the login's password, an order) to the other host."""
        target = super().get_redirect_target(resp)
        if target is None:
            return None
        here, there = urlsplit(resp.url), urlsplit(urljoin(resp.url, target))
        if (here.scheme, here.hostname, here.port) != (there.scheme, there.hostname, there.port):
            raise requests.exceptions.RequestException(
                "HTTP {} from {} redirects to another origin, {}: not followed".format(
                    resp.status_code, resp.url, urljoin(resp.url, target)), response=resp)
        return target


class LoginError(Exception):
    """The back end refused a login; carries the reply mapping as `reply`."""

    def __init__(self, message, reply=None):
        super().__init__(message)
        self.reply = reply


class Client:
    """HTTP session of one person with the broker's back end.

    `Client(simulation, proxies)`: `simulation` selects the simulation or production base URL
    (`base_url`),
    `proxies` (a requests proxies mapping or None) is used for every request; the process
    environment's proxy settings are not (a loopback back end must never be reached through one).
    Every request of `session` waits at most the time-out of DORVANE_HTTP_TIMEOUT (TIMEOUT_ENV).

    After `login(person_id, passwd)`: `person_id`, `_token`, `_public_ip` and `accounts` (a list of
    `StockAccount` and `FutureAccount`)."""

    def __init__(self, simulation, proxies):
        self.simulation = simulation
        self.proxies = proxies
        self.session = _Session(timeout_setting())
        self.session.trust_env = False
        if proxies:
            self.session.proxies.update(proxies)
        self.activated_vexa = {}
        self.accounts = []
        self.person_id = ""
        self._token = ""
        self._public_ip = ""
        self.set_base_url(base_url(simulation))

    def set_base_url(self, base_url):
        """Points every endpoint attribute at `base_url` (no trailing slash needed)."""
        self.base_url = base_url.rstrip("/")
        for attr, path in ENDPOINT_PATHS.items():
            setattr(self, attr, self.base_url + path)

    def login(self, person_id, passwd):
        """Posts {"user_id", "password"} to `login_uri`. A reply {"success": "true", "result":
        {"token", "ip", "accounts": [{"account_type": "S"|"F", "broker_id", "account_id", ...}]}}
        sets the session's token, public address, person id and accounts and returns the
        accounts; any other reply raises `LoginError`."""
        reply = self.session.post(self.login_uri, json={"user_id": person_id, "password": passwd}).json()
        success = reply.get("success", "") if isinstance(reply, dict) else ""
        if not isinstance(success, str) or success.lower() != "true":
            raise LoginError("login failed: {!r}".format(reply), reply)
        result = reply.get("result") or {}
        accounts = []
        for entry in result.get("accounts", []):
            fields = dict(entry)
            kind = fields.pop("account_type", "S")
            cls = FutureAccount if kind == "F" else StockAccount
            accounts.append(cls(fields.pop("broker_id", ""), fields.pop("account_id", ""),
                                person_id=person_id, **fields))
        self.person_id = person_id
        self._token = result.get("token", "")
        self._public_ip = result.get("ip", "")
        self.accounts = accounts
        return accounts
