"""Log in to the trading server and the quote broker, receive one stock tick, log out.

With the bundled local servers:

    python3 tools/local_servers.py --run examples/quote_login.py

(or start `python3 tools/local_servers.py` in one terminal and run this file in another).
The trading server's address comes from dorvane/backend/socket/config.ini (section UAT). The quote
broker of the local messaging binding runs inside this process; the tick is published by its local
feed, as the exchange's feed would publish it.
"""
import logging
import os
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from dorvane.backend.socket.wrapper import Wrapper  # noqa: E402
from dorvane.backend.solace.quote import Quote  # noqa: E402
from dorvane.contracts import Stock  # noqa: E402
from quillmesh import solclient  # noqa: E402

PERSON_ID, PASSWORD = "A123456789", "secret"
# The local broker's account: the VPN that the local trading server's login reply names, and the
# quote credentials that the facade logs in with.
solclient.add_account("dorvane_uat", "dorvane", "qerwunt482")


def main():
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(levelname)s %(message)s", stream=sys.stdout)
    received = threading.Event()

    def on_quote(topic, quote_msg):
        print("quote {} {}".format(topic, quote_msg), flush=True)
        received.set()

    def on_event(resp_code, event_code, event):
        print("quote session event {} {} {}".format(resp_code, event_code, event), flush=True)

    api = Wrapper(simulation=True)
    quote = Quote()
    quote.set_callback(on_quote)
    quote.set_event_callback(on_event)
    try:
        api.login(PERSON_ID, PASSWORD, quote=quote, timeout=5)
        stock = Stock(code="2330", exchange="TSE", name="TSMC")
        quote.subscribe(stock, quote_type="tick")

        # The local feed publishes one tick of the stock.
        solclient.publish("MKT/local/TSE/2330", {"Code": "2330", "Date": "2024/01/02", "Time": "09:00:01.000000",
                                                 "Close": [601.0], "Volume": [3], "TickType": [1]})
        if not received.wait(5):
            print("no quote received", file=sys.stderr)
            return 1
        quote.unsubscribe(stock)
        api.logout(timeout=5)
        return 0
    finally:
        api._stop()  # the program may end: the facade's loop thread stops


if __name__ == "__main__":
    sys.exit(main())
