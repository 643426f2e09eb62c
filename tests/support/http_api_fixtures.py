"""Helpers of the HTTP facade and account-report tests: the loopback back end's routes for login,
product lists, orders and account queries, and a recorder for module-level names.

    backend = HttpBackend()
    serve_login(backend)                      # POST /login -> LOGIN_ACCOUNTS
    serve_products(backend, stocks=[...], futures={...}, options={...}, indexes={...})
    api = make_api(backend)                   # HttpApi whose client points at the back end
"""
from dorvane.account import FutureAccount, StockAccount
from dorvane.backend.http.client import ENDPOINT_PATHS

PATHS = dict(ENDPOINT_PATHS)

LOGIN_ACCOUNTS = [
    {"account_type": "S", "broker_id": "9A95", "account_id": "0012345"},
    {"account_type": "F", "broker_id": "F002000", "account_id": "7654321"},
]


def ok(result=None, **extra):
    reply = {"success": "true"}
    if result is not None:
        reply["result"] = result
    reply.update(extra)
    return reply


def serve_login(backend, accounts=LOGIN_ACCOUNTS, token="TOKEN-1", ip="10.0.0.9"):
    backend.route("POST", PATHS["login_uri"], ok({"token": token, "ip": ip, "accounts": accounts}))


def stock_entry(code, exchange="TSE", name="Name"):
    return {"exchange": exchange, "code": code, "name": name, "industry": "24"}


def future_entry(code, ename="TXF", month="202401"):
    return {"ename": ename, "deliverymonth": month, "code": code, "csname": "Fut " + code,
            "category": ename, "prod_kind": "I", "ostock": "", "basic": "200"}


def option_entry(code, category="TXO", month="202401", poc="C", eprice="9800.0"):
    return {"category": category, "deliverymonth": month, "poc": poc, "eprice": eprice, "code": code,
            "csname": "Opt " + code, "prod_kind": "I", "ostock": "", "basic": "50"}


def serve_products(backend, stocks=(), futures=None, options=None, indexes=None, success="true"):
    """Routes the three list endpoints; futures and options share one path and are told apart by
    the posted "code"."""
    backend.route("GET", PATHS["s_list_code_uri"], {"success": success, "result": list(stocks)})
    backend.route("GET", PATHS["index_list_code_uri"], {"success": success, "result": indexes or {}})
    lists = {"F": futures or {}, "O": options or {}}

    def futopt(request):
        return {"success": success, "result": {"content": lists[request.json["code"]]}}

    backend.route("POST", PATHS["f_list_code_uri"], futopt)


def product_requests(backend):
    """The product-type codes of the list requests received, in order ("S", "I", "F", "O")."""
    codes = []
    for request in backend.requests:
        if request.path == PATHS["s_list_code_uri"]:
            codes.append("S")
        elif request.path == PATHS["index_list_code_uri"]:
            codes.append("I")
        elif request.path == PATHS["f_list_code_uri"]:
            codes.append(request.json["code"])
    return codes


def make_api(backend, simulation=True, proxies=None):
    from dorvane.backend.http.main import HttpApi

    api = HttpApi(simulation, proxies)
    api.client.set_base_url(backend.base_url)
    return api


def stock_account():
    return StockAccount("9A95", "0012345")


def future_account():
    return FutureAccount("F002000", "7654321")


class Recorder:
    """Takes the place of a module-level name for a test: records every call's arguments (a tuple,
    or (args, kwargs) when keywords were given) and result, and passes the call on to the function
    it replaces."""

    def __init__(self, module, name, monkeypatch):
        self.calls = []
        self.results = []
        self._target = getattr(module, name)
        monkeypatch.setattr(module, name, self)

    def __call__(self, *args, **kwargs):
        self.calls.append(args if not kwargs else (args, kwargs))
        result = self._target(*args, **kwargs)
        self.results.append(result)
        return result
