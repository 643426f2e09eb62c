"""The local broker's HTTP back end: every request the library's HTTP side makes, answered by a small
simulated broker on a loopback `HttpBackend`.

    backend = HttpBackend(port=18002)
    broker = LocalBroker(backend, prefix="/uat")    # registers the routes under the prefix
    broker.catalogue.counts()                        # {"I": ..., "S": ..., "F": ..., "O": ...}

What it serves, at the paths of the library's HTTP session client (ENDPOINT_PATHS):
- login: any person id with a non-empty password gets a token, the public address and two
  accounts, a stock account and a futures account (ACCOUNTS);
- the four product lists of the generated `Catalogue` (a few thousand contracts);
- futures and option orders: placing, price change, quantity change (to a new, smaller order
  quantity), cancellation and the order query. A market order, or a limit order whose price reaches
  the product's reference price, deals at once at the reference price; an IOC or FOK limit order
  that does not reach it is cancelled; a ROD limit order rests until changed or cancelled;
- the six account queries: margin, open positions and settled profit and loss of the futures
  account (from its deals and a starting position), and funds, realised and unrealised profit and
  loss of the stock account (from its starting holdings).

Every request but the login and the product lists must carry the token of a login; replies follow
the back end's convention: {"success": "true"|"false", "result": {..., "msg": text}}. All state is
in memory, per back end object, behind one lock.
"""
import datetime
import itertools
import threading

from dorvane.backend.http.client import ENDPOINT_PATHS
from servers.catalogue import Catalogue

__all__ = ["LocalBroker", "ACCOUNTS", "STOCK_ACCOUNT", "FUTURE_ACCOUNT"]

STOCK_ACCOUNT = {"account_type": "S", "broker_id": "9A95", "account_id": "0012345"}
FUTURE_ACCOUNT = {"account_type": "F", "broker_id": "F002000", "account_id": "7654321"}
ACCOUNTS = [STOCK_ACCOUNT, FUTURE_ACCOUNT]
PUBLIC_IP = "127.0.0.1"
DEPOSIT = 1000000.0
MARGIN_RATE = 0.04            # initial margin: this share of a contract's value
MAINTENANCE_SHARE = 0.77      # maintenance margin: this share of the initial margin


def _ok(result):
    return {"success": "true", "result": result}


def _fail(msg, **fields):
    return {"success": "false", "result": dict(fields, msg=msg)}


class _Order:
    """One futures or option order of the local market."""

    def __init__(self, account, product, kind, body, seqno, ordno, now):
        self.account = account
        self.code = product["code"]
        self.product = product
        self.kind = kind
        self.action = body["ord_bs"]
        self.price = float(body["price"])
        self.price_type = body["price_type"]
        self.order_type = body["ord_type"]
        self.octype = body.get("octype", " ")
        self.quantity = int(body["quantity"])
        self.seqno = seqno
        self.ordno = ordno
        self.when = now
        self.deal_quantity = 0
        self.deal_amount = 0.0
        self.cancel_quantity = 0
        self.changed_price = 0.0

    @property
    def remain(self):
        return self.quantity - self.deal_quantity - self.cancel_quantity

    def reply(self, msg):
        return _ok({"stock_id": self.code, "seqno": self.seqno, "ordno": self.ordno,
                    "ord_date": self.when.strftime("%Y%m%d"), "ord_time": self.when.strftime("%H:%M:%S"),
                    "msg": msg})

    def row(self):
        """The order-query row of the order."""
        avg = round(self.deal_amount / self.deal_quantity, 2) if self.deal_quantity else 0
        return {"st_comtype": self.kind, "st_comno": self.code, "name_zh": self.product["csname"],
                "st_ps": self.action, "st_ordknd": self.order_type, "st_price1": self.price,
                "st_ordqty": self.quantity, "st_ordno": self.ordno, "st_seqno": self.seqno,
                "st_orddt": self.when.strftime("%Y%m%d"), "st_ordtm": self.when.strftime("%H%M%S"),
                "st_code": "0000", "st_errmsg": "", "st_ord_match_qty": str(self.deal_quantity),
                "st_ord_match_amt": self.deal_amount, "st_ord_match_avg_prc": avg,
                "st_cancel_qty": str(self.cancel_quantity), "st_chg_price1": self.changed_price}


class LocalBroker:
    """The simulated broker behind a `HttpBackend` (see the module text)."""

    def __init__(self, backend, prefix="", catalogue=None):
        self.backend = backend
        self.catalogue = catalogue or Catalogue()
        self._lock = threading.Lock()
        self._tokens = {}                 # token -> person id
        self._token_numbers = itertools.count(1)
        self._seqnos = itertools.count(1)
        self.orders = []                  # every _Order, in placing order
        self.positions = {}               # code -> [signed quantity, average price]
        self.settled = []                 # settled profit and loss rows
        self._seed_positions()
        self._holdings = self._seed_holdings()
        paths = {name: prefix.rstrip("/") + path for name, path in ENDPOINT_PATHS.items()}
        routes = [
            ("POST", "login_uri", self._login),
            ("GET", "s_list_code_uri", lambda req: _ok(self.catalogue.stocks)),
            ("GET", "index_list_code_uri", lambda req: _ok(self.catalogue.indexes)),
            ("POST", "f_list_code_uri", self._futopt_list),
            ("POST", "f_order_uri", self._authorised(self._place)),
            ("POST", "f_order_chprice_uri", self._authorised(self._change_price)),
            ("POST", "f_order_chqty_uri", self._authorised(self._change_qty)),
            ("POST", "f_order_cancel_uri", self._authorised(self._cancel)),
            ("POST", "f_query_order_uri", self._authorised(self._query)),
            ("POST", "f_margin_uri", self._authorised(self._margin)),
            ("POST", "f_open_position_uri", self._authorised(self._open_position)),
            ("POST", "f_settle_profitloss_uri", self._authorised(self._settle_profitloss)),
            ("POST", "s_funds_profitloss_uri", self._authorised(self._funds)),
            ("POST", "s_real_profitloss_uri", self._authorised(self._real_profitloss)),
            ("POST", "s_unreal_profitloss_uri", self._authorised(self._unreal_profitloss)),
        ]
        for method, name, handler in routes:
            backend.route(method, paths[name], handler)

    # Session ------------------------------------------------------------------------------------
    def _login(self, request):
        body = request.json or {}
        person_id, password = body.get("user_id"), body.get("password")
        if not isinstance(person_id, str) or not person_id or not password:
            return _fail("帳號或密碼錯誤")
        with self._lock:
            token = "LOCAL-{:06d}".format(next(self._token_numbers))
            self._tokens[token] = person_id
        return _ok({"token": token, "ip": PUBLIC_IP, "accounts": [dict(a) for a in ACCOUNTS], "msg": ""})

    def _authorised(self, handler):
        """The handler, answered only for a request whose token a login gave."""
        def serve(request):
            body = request.json
            if not isinstance(body, dict):
                return _fail("request body is not a JSON object")
            with self._lock:
                if body.get("token") not in self._tokens:
                    return _fail("token invalid, please log in")
                return handler(body)
        return serve

    @staticmethod
    def _is_account(body, account):
        return (body.get("broker_id"), body.get("account")) == (account["broker_id"], account["account_id"])

    # Product lists ------------------------------------------------------------------------------
    def _futopt_list(self, request):
        body = request.json or {}
        lists = {"F": self.catalogue.futures, "O": self.catalogue.options}
        if body.get("code") not in lists:
            return _fail("查無資料")
        return _ok({"content": lists[body["code"]], "msg": ""})

    # Orders -------------------------------------------------------------------------------------
    def _place(self, body):
        if not self._is_account(body, FUTURE_ACCOUNT):
            return _fail("account not found")
        product = self.catalogue.product(body.get("stock_id"))
        kind = "O" if product is not None and "poc" in product else "F"
        problem = None
        if product is None or body.get("fut_futopt") != kind:
            problem = "product not found: {}".format(body.get("stock_id"))
        elif body.get("ord_bs") not in ("B", "S"):
            problem = "action must be B or S"
        elif body.get("price_type") not in ("LMT", "MKT", "MKP") or body.get("ord_type") not in ("ROD", "IOC", "FOK"):
            problem = "price type or order type not supported"
        elif not isinstance(body.get("quantity"), int) or body["quantity"] <= 0:
            problem = "quantity must be a positive whole number"
        elif not isinstance(body.get("price"), (int, float)) or (body["price_type"] == "LMT" and body["price"] <= 0):
            problem = "price must be a positive number"
        if problem:
            return _fail(problem, stock_id=body.get("stock_id", ""))
        seqno = "{:06d}".format(next(self._seqnos))
        order = _Order(FUTURE_ACCOUNT, product, kind, body, seqno, "L{:04d}".format(int(seqno) % 10000),
                       datetime.datetime.now().replace(microsecond=0))
        self.orders.append(order)
        self._match(order)
        if order.remain and order.order_type in ("IOC", "FOK"):
            order.cancel_quantity = order.remain
        return order.reply("委託成功")

    def _match(self, order):
        """Deals the whole open quantity at the reference price when the order reaches it."""
        reference = self.catalogue.reference_price(order.code)
        reaches = order.price_type != "LMT" or (order.price >= reference if order.action == "B" else order.price <= reference)
        if order.remain <= 0 or not reaches:
            return
        quantity = order.remain
        order.deal_quantity += quantity
        order.deal_amount += quantity * reference
        self._book_deal(order.code, quantity if order.action == "B" else -quantity, reference)

    def _book_deal(self, code, signed, price):
        held, average = self.positions.get(code, [0, 0.0])
        if held and (held > 0) != (signed > 0):  # the deal closes (part of) the position
            closed = min(abs(held), abs(signed))
            size = float(self.catalogue.product(code)["basic"])
            profit = (price - average) * closed * size * (1 if held > 0 else -1)
            self.settled.append({"code": code, "quantity": closed, "open_price": average, "close_price": price,
                                 "profit_loss": round(profit, 2), "currency": "NTD",
                                 "date": datetime.date.today().strftime("%Y%m%d")})
            held += signed
            if held and (held > 0) == (signed > 0):
                average = price
        else:
            total = abs(held) + abs(signed)
            average = (average * abs(held) + price * abs(signed)) / total
            held += signed
        if held:
            self.positions[code] = [held, round(average, 2)]
        else:
            self.positions.pop(code, None)

    def _find(self, body):
        for order in self.orders:
            if order.seqno == body.get("seqno") and order.code == body.get("stock_id") and \
                    self._is_account(body, order.account):
                return order
        return None

    def _open_order(self, body):
        order = self._find(body)
        if order is None:
            return None, _fail("order not found", stock_id=body.get("stock_id", ""), seqno=body.get("seqno", ""))
        if order.remain <= 0:
            return None, _fail("order is no longer open", stock_id=order.code, seqno=order.seqno, ordno=order.ordno)
        return order, None

    def _change_price(self, body):
        order, failure = self._open_order(body)
        if failure:
            return failure
        price = body.get("price")
        if not isinstance(price, (int, float)) or price <= 0:
            return _fail("price must be a positive number", stock_id=order.code, seqno=order.seqno, ordno=order.ordno)
        order.price = order.changed_price = float(price)
        self._match(order)
        return order.reply("改價成功")

    def _change_qty(self, body):
        order, failure = self._open_order(body)
        if failure:
            return failure
        quantity = body.get("quantity")
        if not isinstance(quantity, int) or not order.deal_quantity <= quantity < order.quantity - order.cancel_quantity:
            return _fail("quantity can only be reduced", stock_id=order.code, seqno=order.seqno, ordno=order.ordno)
        order.cancel_quantity = order.quantity - quantity
        return order.reply("改量成功")

    def _cancel(self, body):
        order, failure = self._open_order(body)
        if failure:
            return failure
        order.cancel_quantity += order.remain
        return order.reply("刪單成功")

    def _query(self, body):
        start, end = body.get("start_date", ""), body.get("end_date", "")
        by_user = body.get("action") == "userid"
        rows = [order.row() for order in self.orders
                if (by_user or self._is_account(body, order.account))
                and start <= order.when.strftime("%Y%m%d") <= end]
        return _ok(rows)

    # Futures account reports --------------------------------------------------------------------
    def _seed_positions(self):
        """The futures account's starting position: two lots of the nearest index future."""
        first = self.catalogue.futures["TXF"][0]["code"]
        self.positions[first] = [2, self.catalogue.reference_price(first) - 120.0]

    def _position_rows(self, product_type):
        rows = []
        for code, (held, average) in self.positions.items():
            product = self.catalogue.product(code)
            kind = "O" if "poc" in product else "F"
            if str(product_type) not in ("0", "3") and {"1": "F", "2": "O"}.get(str(product_type)) != kind:
                continue
            size = float(product["basic"])
            last = self.catalogue.reference_price(code)
            rows.append({"code": code, "name": product["csname"], "product_type": kind,
                         "action": "B" if held > 0 else "S", "quantity": abs(held), "average_price": average,
                         "last_price": last, "unrealised_profit_loss": round((last - average) * held * size, 2),
                         "currency": "NTD"})
        return rows

    def _margin(self, body):
        if not self._is_account(body, FUTURE_ACCOUNT):
            return _fail("account not found")
        initial = 0.0
        for code, (held, _) in self.positions.items():
            initial += abs(held) * self.catalogue.reference_price(code) * float(self.catalogue.product(code)["basic"]) * MARGIN_RATE
        unrealised = sum(row["unrealised_profit_loss"] for row in self._position_rows(0))
        realised = sum(row["profit_loss"] for row in self.settled)
        equity = DEPOSIT + realised + unrealised
        maintenance = initial * MAINTENANCE_SHARE
        return _ok({"body": {
            "currency": body.get("currency", "NTD"), "deposit": DEPOSIT, "realised_profit_loss": round(realised, 2),
            "unrealised_profit_loss": round(unrealised, 2), "equity": round(equity, 2),
            "initial_margin": round(initial, 2), "maintenance_margin": round(maintenance, 2),
            "available_margin": round(equity - initial, 2),
            "risk_index": round(equity / maintenance * 100, 2) if maintenance else 999.99}, "msg": ""})

    def _open_position(self, body):
        if not self._is_account(body, FUTURE_ACCOUNT):
            return _fail("account not found")
        return _ok({"body": self._position_rows(body.get("product_type", 0)), "msg": ""})

    def _settle_profitloss(self, body):
        if not self._is_account(body, FUTURE_ACCOUNT):
            return _fail("account not found")
        start, end = body.get("start_date", ""), body.get("end_date", "")
        return _ok({"body": [row for row in self.settled if start <= row["date"] <= end], "msg": ""})

    # Stock account reports ----------------------------------------------------------------------
    def _seed_holdings(self):
        """The stock account's holdings: three TSE stocks and one OTC stock of the catalogue."""
        tse = [s for s in self.catalogue.stocks if s["exchange"] == "TSE"][:3]
        otc = [s for s in self.catalogue.stocks if s["exchange"] == "OTC"][:1]
        holdings = []
        for number, stock in enumerate(tse + otc):
            last = self.catalogue.reference_price(stock["code"])
            holdings.append({"stock_id": stock["code"], "name": stock["name"], "quantity": 1000 * (number + 1),
                             "cost_price": round(last * (0.9 + 0.05 * number), 2), "last_price": last})
        return holdings

    def _funds(self, body):
        if not self._is_account(body, STOCK_ACCOUNT):
            return _fail("account not found")
        cost = sum(h["quantity"] * h["cost_price"] for h in self._holdings)
        value = sum(h["quantity"] * h["last_price"] for h in self._holdings)
        return _ok({"profit_sums": {"profit_sum": [{"currency": "NTD", "cost": round(cost, 2), "value": round(value, 2),
                                                    "profit_loss": round(value - cost, 2)}]}, "msg": ""})

    def _unreal_profitloss(self, body):
        if not self._is_account(body, STOCK_ACCOUNT):
            return _fail("account not found")
        rows = []
        for h in self._holdings:
            profit = round((h["last_price"] - h["cost_price"]) * h["quantity"], 2)
            rows.append({"stock_id": h["stock_id"], "name": h["name"], "quantity": h["quantity"],
                         "unreal_profit_loss": profit,
                         "unreal_details": {h["stock_id"]: {"stock_id": h["stock_id"], "quantity": h["quantity"], "cost_price": h["cost_price"],
                                                            "last_price": h["last_price"], "profit_loss": profit}}})
        return _ok({"unreal_sums": {"unreal_sum": rows}, "msg": ""})

    def _real_profitloss(self, body):
        if not self._is_account(body, STOCK_ACCOUNT):
            return _fail("account not found")
        first = self._holdings[0]
        sold = {"stock_id": first["stock_id"], "date": body.get("end_date", ""), "quantity": 500, "cost_price": first["cost_price"],
                "sell_price": first["last_price"],
                "profit_loss": round((first["last_price"] - first["cost_price"]) * 500, 2)}
        return _ok({"profit_sums": {"profit_sum": [
            {"stock_id": first["stock_id"], "name": first["name"], "profit_loss": sold["profit_loss"],
             "profit_details": {first["stock_id"]: [sold]}}]}, "msg": ""})
