"""Runs the library's main paths once and prints every output as one JSON line, for comparing runs
made under different C locales:

    /usr/bin/python3 tests/support/locale_probe.py LOCALE PKI_FOLDER

LOCALE is set with locale.setlocale(LC_ALL, LOCALE) before anything of the library is imported, as
a desktop program does. The working folder should be a fresh folder: the signing module writes its
log there. Every output is text (bytes as hex, objects as repr) under a name saying what made it;
values that differ between any two runs whatever the locale (the log's clock and process id, the
working folder) are replaced by fixed marks.
"""
import locale
import sys

CHOSEN = sys.argv[1]
locale.setlocale(locale.LC_ALL, CHOSEN)

import base64  # noqa: E402
import datetime  # noqa: E402
import json  # noqa: E402
import os  # noqa: E402
import re  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, ROOT)
PKI = sys.argv[2]

out = {}
# What the locale in force does to the C library, beside the outputs: the test checks that each
# locale is as hostile as intended (decimal comma, a dotted capital i, a multibyte charset).
import ctypes  # noqa: E402

libc = ctypes.CDLL(None)
libc.towupper.restype = ctypes.c_uint
STATE = {"locale": locale.setlocale(locale.LC_ALL), "codeset": locale.nl_langinfo(locale.CODESET),
         "decimal_point": locale.localeconv()["decimal_point"], "toupper_i": libc.toupper(ord("i")),
         "towupper_i": libc.towupper(ord("i"))}


def put(name, value):
    out[name] = value.hex() if isinstance(value, (bytes, bytearray)) else value if isinstance(value, str) else repr(value)


def caught(name, fn, *args, **kwargs):
    """Records fn's result, or its exception's type and text."""
    try:
        put(name, fn(*args, **kwargs))
    except Exception as exc:
        put(name, "{}: {}".format(type(exc).__name__, exc))


# Stock orders: every builder, the header with a Big5 person id, the number texts ---------------
from dorvane.backend.socket.protocol import core  # noqa: E402
from dorvane.backend.socket.protocol.stock import handler  # noqa: E402

PERSON = "王小明A12345"
SIGNATURE = "MIIB簽章".encode("utf-8")
ORDER = dict(vexa=SIGNATURE, person_id=PERSON, account="9A95-0012345", stock_id="2330")
PLACE = dict(ORDER, order_type="Common", order_cond="Cash", price=580.5, quantity=3, ord_bs="Buy",
             price_type="LimitPrice")
CHANGE = dict(ORDER, ordno="A0001", seqno="000321", price=0, quantity=2, action="Sell")
CANCEL = dict(ORDER, ordno="A0001", seqno="000321", action="Buy")
BUILDS = [
    ("placetse", PLACE), ("placeotc", dict(PLACE, price=1234.56, quantity=999, ord_bs="Sell")),
    ("placeorder", dict(PLACE, exchange="TSE", price="12.5", order_type="Odd", first_sell="Yes")),
    ("placeorder", dict(PLACE, exchange="OTC", price=0.125, price_type="LimitDown")),
    ("updatetse", CHANGE), ("updateotc", CHANGE), ("updateorder", dict(CHANGE, exchange="OTC", quantity="9")),
    ("canceltse", CANCEL), ("cancelotc", CANCEL), ("cancelorder", dict(CANCEL, exchange="TSE")),
]
for i, (name, kwargs) in enumerate(BUILDS):
    header, body = getattr(handler, name)(**kwargs)
    put("stock.%d.%s.header" % (i, name), header)
    put("stock.%d.%s.body" % (i, name), body)
    put("stock.%d.%s.frame" % (i, name), core.HEADER.build(core.gen_header(net_length=len(body), **header)))
for value in (12.5, 0.125, 0.005, 1000000, "99.99", 1e-7, 580.5, 9999.995):
    caught("price.%r" % (value,), handler._format_price, value)
for value in (0, 7, 999, "42", 3.0):
    caught("quantity.%r" % (value,), handler._format_quantity, value)
caught("stock.error.price", handler.placetse, **dict(PLACE, price=1e9))
caught("stock.error.quantity", handler.placetse, **dict(PLACE, quantity=-1))
caught("stock.error.side", handler.placetse, **dict(PLACE, ord_bs="Bıy"))
caught("stock.error.exchange", handler.placeorder, **dict(PLACE, exchange="OES"))
caught("stock.order_out", handler.order_out, handler.kivo.KIVO_STOCK_IN["struct"].build(
    handler.kivo.KIVO_STOCK_IN["struct"].parse(handler.placetse(**PLACE)[1][len(SIGNATURE):])))

# Status-code table and the header's texts -------------------------------------------------------
from dorvane.backend.error import ServerError  # noqa: E402
from dorvane.backend.socket.protocol import fenrik  # noqa: E402

put("fenrik", sorted(fenrik.Error.code.items()))
put("fenrik.codes", fenrik.codes)
put("server_error", str(ServerError("連線中斷 İı", 5)))

# Signing: activation, signatures, the signature block, the log, the error texts -----------------
from dorvane.MIRVO import vexa  # noqa: E402

TEXT = "台積電 買進 1000股 @585.0 Limit IOC iI"
caught("vexa.sign_before_init", vexa.get_sign, TEXT)
caught("vexa.init_wrong_password", vexa.init_vexa, os.path.join(PKI, "user_modern.pfx"), "wrong")
caught("vexa.init_nonascii", vexa.init_vexa, os.path.join(PKI, "user_nonascii.pfx"), "密碼Pässwörd")
caught("vexa.init", vexa.init_vexa, os.path.join(PKI, "user_modern.pfx"), "Test1234!")
put("vexa.get_sign", vexa.get_sign(TEXT))
put("vexa.get_sign.number", vexa.get_sign(1234.5))
put("vexa.gen_vexa", vexa.gen_vexa(PERSON, TEXT))
caught("vexa.get_sign.unencodable", vexa.get_sign, "\u20ac\U0001F600")
logs = os.path.join(os.getcwd(), "logs")
for log_name in sorted(os.listdir(logs)):
    with open(os.path.join(logs, log_name), "rb") as f:
        text = f.read().decode("big5")
    # The line head's clock and process id, and the working folder, change from run to run.
    text = re.sub(r"\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3} \(PID=\d+\)", "<head>", text)
    text = text.replace(os.getcwd(), "<cwd>")
    put("vexa.log." + log_name, re.sub(r"\b20\d{12}\b", "<now>", text))

# Quote topics ------------------------------------------------------------------------------------
from dorvane.backend.solace.quote import contract2topic  # noqa: E402
from dorvane.contracts import Future, Index, Option, Stock  # noqa: E402

for contract in (Stock(code="2330", exchange="TSE"), Stock(code="6488", exchange="OTC"), Future(code="TXFİ4"),
                 Option(code="TXO17000ı4"), Index(code="001", exchange="TSE"), Index(code="101", exchange="OTC")):
    for quote_type in ("tick", "bidask", "TICK", "bıdask"):
        caught("topic.%r.%s" % (contract, quote_type), contract2topic, contract, quote_type)

# Code tables ------------------------------------------------------------------------------------
from dorvane.backend.http.constant import Constant  # noqa: E402
from dorvane.backend.http.futureoption.constant import FutOptProps, oprops  # noqa: E402


class Ops:
    Buy = "Buy"
    İndex = "İndex"
    ılık = "ılık"


class Codes(Constant):
    Buy = "B"
    İndex = "İ"
    ılık = "ı"


put("constant.vars", sorted(vars(Codes(Ops)).items()))
put("oprops", (list(oprops.keys()), str(oprops)))
for name in oprops.keys():
    put("oprops." + name, (type(oprops[name]).__name__, sorted(vars(oprops[name]).items())))

# HTTP: the catalogue into contracts, futures and option orders, the six reports ----------------
import servers.broker_backend as broker_module  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "tools"))
from local_servers import LocalServers  # noqa: E402


class FixedClock(datetime.datetime):
    """The broker's clock, fixed so that order times are the same in every run."""

    @classmethod
    def now(cls, tz=None):
        return cls(2024, 3, 15, 9, 30, 5)


class FixedDate(datetime.date):
    @classmethod
    def today(cls):
        return cls(2024, 3, 15)


class Clock:
    datetime = FixedClock
    date = FixedDate


broker_module.datetime = Clock
servers = LocalServers(trading=("127.0.0.1", 0), http=("127.0.0.1", 0)).start()
backend = servers.http
servers.point_library_here()

# Socket session: login and logout through the facade, the frames as the server received them ---
from dorvane.backend.socket import wrapper  # noqa: E402

facade = wrapper.Wrapper(simulation=True)
for person in ("A123456789", PERSON):
    caught("socket.login." + person, facade.login, person, "pässwörd", timeout=5)
    caught("socket.logout." + person, facade.logout, timeout=5)
# The login names the program's process id and its quote port, which change from run to run.
put("socket.frames", [(r.nKIVO, r.header.person_id, re.sub(rb'"pid":"\d+","port":"\d+"', b'"pid":"<pid>","port":"<port>"', r.body))
                      for r in servers.trading.server.requests])
del facade

from dorvane.backend.http.main import HttpApi  # noqa: E402
from dorvane.order import Order  # noqa: E402

api = HttpApi(simulation=True, proxies=None)
accounts = api.login("A123456789", "secret")
stock_account = next(a for a in accounts if a.account_type == "S")
futures_account = next(a for a in accounts if a.account_type == "F")
put("http.accounts", accounts)
for kind in ("Stocks", "Futures", "Options", "Indexs"):
    group = getattr(api.Contracts, kind)
    put("contracts." + kind, [(key, [repr(c) for c in group[key]]) for key in group.keys()])

props = FutOptProps
txf = next(iter(api.Contracts.Futures.TXF))
option = next(iter(api.Contracts.Options.TXO))
for name, contract, price in (("future", txf, 22000.5), ("option", option, 12.25)):
    order = Order(action=props.action.Buy, price_type=props.price_type.LMT, order_type=props.order_type.ROD,
                  octype=props.octype.Auto, price=price, quantity=2, account=futures_account)
    trade = api.place_order(contract, order)
    trade = api.update_order(trade, price + 0.5, None)
    trade = api.update_order(trade, None, 1)
    api.update_status()
    put("order.%s.trade" % name, trade)
    api.cancel_order(trade)
    put("order.%s.cancelled" % name, trade)
put("http.requests", [(r.method, r.path, r.body.decode("utf-8")) for r in backend.requests])

reports = [
    ("margin", api.get_account_margin, ("NTD", "1", futures_account)),
    ("openposition", api.get_account_openposition, (0, 0, futures_account)),
    ("settle", api.get_account_settle_profitloss, (0, "Y", "20240101", "20991231", "NTD", futures_account)),
    ("funds", api.get_stock_account_funds, (" ", stock_account)),
    ("unreal", api.get_stock_account_unreal_profitloss, ("0", "NTD", " ", stock_account)),
    ("real", api.get_stock_account_real_profitloss, ("0", "20240101", "20991231", "NTD", " ", stock_account)),
]
for name, method, args in reports:
    report = method(*args)
    put("report.%s" % name, (report._status, report._msg, report.data()))
servers.stop()

print(json.dumps({"state": STATE, "outputs": out}, ensure_ascii=True))
