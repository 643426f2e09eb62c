"""A trading day in brief, against the bundled local servers: one short line per step.

    python3 tools/local_servers.py --run examples/trading_tour.py      (what `make run` does)

Socket side: log in to the trading server with a `Quote`, receive a few ticks of a stock from the
local feed, activate a certificate, build signed stock orders for TSE and OTC, check one signature
with `openssl cms -verify`, log out. HTTP side: log in and load the contract catalogue, place,
change and cancel a futures order while watching the trade book, read the margin and the open
positions. The certificate (a PKCS#12 made with the openssl tool on the first run) and the
signature files go to local/, which git ignores.
"""
import base64
import os
import subprocess
import sys
import threading

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from dorvane.backend.http.futureoption.constant import FutOptProps  # noqa: E402
from dorvane.backend.http.main import HttpApi  # noqa: E402
from dorvane.backend.socket.protocol.stock import handler  # noqa: E402
from dorvane.backend.socket.wrapper import Wrapper  # noqa: E402
from dorvane.backend.solace.quote import Quote  # noqa: E402
from dorvane.contracts import Stock  # noqa: E402
from dorvane.order import Order  # noqa: E402

PERSON_ID, PASSWORD = "A123456789", "secret"
LOCAL = os.path.join(ROOT, "local")
CERT_PEM = os.path.join(LOCAL, "trader.pem")
CERT_PFX = os.path.join(LOCAL, "trader.pfx")
CERT_PASSWORD = "local-cert"
TICKS = 3


def say(text):
    print(text, flush=True)


def openssl(*args):
    subprocess.run(("openssl",) + args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_certificate():
    """A self-signed signing certificate and its PKCS#12 file, made once."""
    if os.path.exists(CERT_PFX):
        return "existing"
    os.makedirs(LOCAL, exist_ok=True)
    key = os.path.join(LOCAL, "trader.key")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", CERT_PEM, "-days", "730",
            "-subj", "/C=TW/O=Local Trader/CN=" + PERSON_ID, "-addext", "keyUsage=digitalSignature,nonRepudiation")
    openssl("pkcs12", "-export", "-inkey", key, "-in", CERT_PEM, "-out", CERT_PFX, "-passout", "pass:" + CERT_PASSWORD)
    return "made with openssl"


def verify(vexa, text):
    """Signs `text` and has openssl check the signature against the certificate; True when it
    verifies and carries the text (as Big5)."""
    der = os.path.join(LOCAL, "signature.der")
    content = os.path.join(LOCAL, "signed.txt")
    with open(der, "wb") as f:
        f.write(base64.b64decode(vexa.get_sign(text)))
    result = subprocess.run(["openssl", "cms", "-verify", "-inform", "DER", "-in", der, "-binary",
                             "-CAfile", CERT_PEM, "-out", content], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    with open(content, "rb") as f:
        return result.returncode == 0 and f.read() == text.encode("big5")


def socket_side():
    ticks = []
    enough = threading.Event()

    def on_quote(topic, quote_msg):
        ticks.append(quote_msg)
        say("  tick {} {} close {} volume {}".format(quote_msg["Code"], quote_msg["Time"][:8],
                                                     quote_msg["Close"][0], quote_msg["Volume"][0]))
        if len(ticks) >= TICKS:
            enough.set()

    api = Wrapper(simulation=True)
    try:
        quote = Quote()
        quote.set_callback(on_quote)
        api.login(PERSON_ID, PASSWORD, quote=quote, timeout=5)
        say("socket login {}: trading server and quote service".format(PERSON_ID))
        stock = Stock(code="2330", exchange="TSE")
        quote.subscribe(stock, quote_type="tick")
        say("subscribed to ticks of TSE 2330")
        if not enough.wait(5):
            raise SystemExit("only {} ticks arrived".format(len(ticks)))
        quote.unsubscribe(stock)

        made = make_certificate()
        api.activate_vexa(CERT_PFX, CERT_PASSWORD, PERSON_ID)
        say("certificate {} ({}) activated".format(os.path.relpath(CERT_PFX, ROOT), made))
        from dorvane.MIRVO import vexa  # the signing module that activate_vexa loaded

        orders = [(handler.placetse, "TSE", "2330", "Buy", 585.0, 1),
                  (handler.placeotc, "OTC", "6488", "Sell", 402.5, 2)]
        texts = []
        for build, market, code, side, price, quantity in orders:
            text = "{}|{}|{}|{}|{}|{}".format(PERSON_ID, market, code, side, price, quantity)
            header, payload = build(vexa=vexa.gen_vexa(PERSON_ID, text), person_id=PERSON_ID, account="9A95-0012345",
                                    stock_id=code, order_type="Common", order_cond="Cash", price=price,
                                    quantity=quantity, ord_bs=side, price_type="LimitPrice")
            texts.append(text)
            say("stock order {} {} {} x{} @ {}: request code {}, {} bytes, signed".format(
                market, side.lower(), code, quantity, price, header["nKIVO"], len(payload)))
        say("signature checked by openssl cms -verify: {}".format(
            "verified" if verify(vexa, texts[0]) else "NOT VERIFIED"))

        api.logout(timeout=5)
        say("socket logout")
    finally:
        api._stop()  # the facade's loop thread ends, so the program can end


def http_side():
    api = HttpApi(simulation=True, proxies=None)
    accounts = api.login(PERSON_ID, PASSWORD)
    say("HTTP login: accounts {}".format(", ".join("{}-{} ({})".format(
        a.broker_id, a.account_id, "futures" if a.account_type == "F" else "stock") for a in accounts)))
    catalogue = api.Contracts
    say("catalogue: {} indexes, {} stocks, {} futures, {} options".format(
        *(sum(len(group) for group in category) for category in
          (catalogue.Indexs, catalogue.Stocks, catalogue.Futures, catalogue.Options))))

    future = next(iter(catalogue.Futures.TXF))
    account = next(a for a in accounts if a.account_type == "F")
    order = Order(action=FutOptProps.action.Buy, price_type=FutOptProps.price_type.LMT,
                  order_type=FutOptProps.order_type.ROD, octype=FutOptProps.octype.Auto,
                  price=22000, quantity=2, account=account)

    def book():
        api.update_status()
        trade = api.trades[-1]
        return "{} (open {}, dealt {}, cancelled {})".format(trade.status.status.value, trade.remain_quantity,
                                                             trade.status.deal_quantity, trade.status.cancel_quantity)

    trade = api.place_order(future, order)
    say("futures order {} buy 2 @ 22000 placed, order number {}: {}".format(future.code, trade.order.ordno, book()))
    trade = api.update_order(trade, 22050, None)
    say("price changed to 22050: {}".format(book()))
    api.cancel_order(trade)
    say("order cancelled: {}".format(book()))

    margin = api.get_account_margin("NTD", "1", account).data()
    say("margin: equity {equity:,.0f}, initial margin {initial_margin:,.0f}, available {available_margin:,.0f} NTD"
        .format(**margin))
    for row in api.get_account_openposition(0, 0, account).data():
        say("open position: {} {} x{} @ {} (unrealised {:,.0f} NTD)".format(
            row["code"], "long" if row["action"] == "B" else "short", row["quantity"], row["average_price"],
            row["unrealised_profit_loss"]))


def main():
    socket_side()
    http_side()
    return 0


if __name__ == "__main__":
    sys.exit(main())
