"""The library's outputs are the same bytes when many threads make them at once: signatures and
signature blocks (also while the same certificate is activated again), the signing log (every line
whole, none lost), stock order requests and their number texts, contract records and account
reports. Each result is compared with the one the same call gave on a single thread; the interpreter
is made to switch threads as often as it can."""
import re
import sys
import threading

import pytest

from dorvane.backend.http.contract import (future_dict_convert, option_dict_convert, stock_dict_convert,
                                           tw_index_dict_convert)
from dorvane.backend.socket.protocol import core
from dorvane.backend.socket.protocol.stock import handler
from servers.catalogue import Catalogue
from support import make_pki, vexa_run

THREADS = 8


@pytest.fixture
def fast_switching():
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(before)


def hammer(calls, rounds, threads=THREADS):
    """Runs every call once on this thread, then `rounds` times over from each of `threads` threads
    at once (each thread starting at another call); returns the (call index, result) pairs that
    differ from the single-thread result, and the exceptions raised."""
    expected = [call() for call in calls]
    wrong, failures = [], []
    start = threading.Barrier(threads)

    def work(first):
        start.wait()
        try:
            for r in range(rounds):
                for k in range(len(calls)):
                    i = (first + r + k) % len(calls)
                    got = calls[i]()
                    if got != expected[i]:
                        wrong.append((i, got))
        except Exception as exc:  # reported by the test, not lost in the thread
            failures.append(exc)

    workers = [threading.Thread(target=work, args=(n,)) for n in range(threads)]
    for t in workers:
        t.start()
    for t in workers:
        t.join()
    return wrong, failures


SIGNATURE = "MIIB簽章".encode("utf-8")
ORDER = dict(vexa=SIGNATURE, person_id="王小明A12345", account="9A95-0012345", stock_id="2330")
PLACE = dict(ORDER, order_type="Common", order_cond="Cash", price=580.5, quantity=3, ord_bs="Buy",
             price_type="LimitPrice")
CHANGE = dict(ORDER, ordno="A0001", seqno="000321", price=0, quantity=2, action="Sell")
CANCEL = dict(ORDER, ordno="A0001", seqno="000321", action="Buy")


def stock_calls():
    calls = []
    for i, price in enumerate((580.5, 12.25, 0.125, "99.99", 1000000, 9999.995)):
        for name in ("placetse", "placeotc"):
            calls.append(lambda name=name, price=price, q=i + 1: getattr(handler, name)(
                **dict(PLACE, price=price, quantity=q)))
        calls.append(lambda price=price: handler._format_price(price))
        calls.append(lambda q=i * 111: handler._format_quantity(q))
    for name in ("updatetse", "updateotc"):
        calls.append(lambda name=name: getattr(handler, name)(**CHANGE))
    for name in ("canceltse", "cancelotc"):
        calls.append(lambda name=name: getattr(handler, name)(**CANCEL))
    calls.append(lambda: core.HEADER.build(core.gen_header(nKIVO=111, person_id="王小明A12345", net_length=9)))
    return calls


def contract_calls():
    catalogue = Catalogue()
    return [
        lambda: repr(stock_dict_convert(catalogue.stocks[:300])),
        lambda: repr(future_dict_convert(catalogue.futures)),
        lambda: repr(option_dict_convert({k: v[:200] for k, v in catalogue.options.items()})),
        lambda: repr(tw_index_dict_convert(catalogue.indexes)),
    ]


@pytest.mark.parametrize("make_calls, rounds", [(stock_calls, 40), (contract_calls, 3)],
                         ids=["stock requests", "contract records"])
def test_results_made_on_many_threads_match_one_thread(make_calls, rounds, fast_switching):
    wrong, failures = hammer(make_calls(), rounds)
    assert failures == []
    assert wrong == []


def test_account_reports_from_threads(http_backend, fast_switching, monkeypatch):
    from dorvane.backend.http.client import BASE_URL_ENV
    from dorvane.backend.http.main import HttpApi
    from servers.broker_backend import LocalBroker

    LocalBroker(http_backend, prefix="/uat")
    monkeypatch.setenv(BASE_URL_ENV, http_backend.base_url + "/uat")
    api = HttpApi(simulation=True, proxies=None)
    stock_account, futures_account = api.login("A123456789", "secret")

    def report(method, *args):
        made = method(*args)
        return made._status, made._msg, repr(made.data())

    calls = [
        lambda: report(api.get_account_margin, "NTD", "1", futures_account),
        lambda: report(api.get_account_openposition, 0, 0, futures_account),
        lambda: report(api.get_account_settle_profitloss, 0, "Y", "20240101", "20991231", "NTD", futures_account),
        lambda: report(api.get_stock_account_funds, " ", stock_account),
        lambda: report(api.get_stock_account_unreal_profitloss, "0", "NTD", " ", stock_account),
        lambda: report(api.get_stock_account_real_profitloss, "0", "20240101", "20991231", "NTD", " ",
                       stock_account),
    ]
    wrong, failures = hammer(calls, 2)
    assert failures == []
    assert wrong == []


SIGNING = """
    import re, threading
    sys.setswitchinterval(1e-6)
    texts = ["台積電 買進 %d股 @%d.5" % (i, 500 + i) for i in range(12)]
    vexa.init_vexa({pfx}, {password})
    signs = [vexa.get_sign(t) for t in texts]
    blocks = [vexa.gen_vexa("A123456789", t) for t in texts]
    wrong, failures, activations = [], [], []
    start = threading.Barrier({threads} + {activate})
    signing = []

    def signer(first):
        start.wait()
        try:
            for r in range({rounds}):
                i = (first + r) % len(texts)
                got = vexa.get_sign(texts[i])
                if got != signs[i]:
                    wrong.append(("get_sign", i, got.decode()))
                block = vexa.gen_vexa("A123456789", texts[i])
                if block != blocks[i]:
                    wrong.append(("gen_vexa", i, block.decode()))
        except BaseException as exc:
            failures.append(repr(exc))

    def activator():
        start.wait()
        while any(t.is_alive() for t in signing):
            activations.append(vexa.init_vexa({pfx}, {password}))

    signing = [threading.Thread(target=signer, args=(n,)) for n in range({threads})]
    others = [threading.Thread(target=activator)] if {activate} else []
    for t in signing + others:
        t.start()
    for t in signing + others:
        t.join()
    log = b"".join(open(os.path.join("logs", name), "rb").read() for name in sorted(os.listdir("logs")))
    report(wrong=wrong, failures=failures, activations=activations, sample=signs[0].decode(),
           log=log.decode("big5"))
"""

LINE_HEAD = re.compile(r"\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3} \(PID=\d+\) [ A-Z]{5} ")
HEX_DUMP = re.compile(r" 0x[0-9a-fA-F]{8} - ")


@pytest.mark.parametrize("activate", [False, True], ids=["signing", "signing while activating"])
def test_signing_from_many_threads(activate, pki, tmp_path):
    threads, rounds, texts = 10, 8, 12
    out = vexa_run.run(SIGNING.format(pfx=repr(str(pki / "user_modern.pfx")), password=repr(make_pki.PASSWORD),
                                      threads=threads, rounds=rounds, activate=int(activate)), tmp_path, timeout=120)
    r = out.report
    assert r["failures"] == []
    assert r["wrong"] == []
    assert (len(r["activations"]) > 0) == activate and set(r["activations"]) <= {0}
    text = "台積電 買進 0股 @500.5"
    vexa_run.check_signature(r["sample"].encode(), text.encode("big5"), pki, tmp_path)

    # Every line of the log is whole: one head, or a hex dump line; none lost: one signing's
    # opening line per signature made (get_sign and gen_vexa each sign once).
    lines = r["log"].split("\n")
    assert lines[-1] == ""
    torn = [line for line in lines[:-1]
            if not ((LINE_HEAD.match(line) and line.count("(PID=") == 1) or HEX_DUMP.match(line))]
    assert torn == []
    begins = sum(line.endswith(" INFO begin MIRVOSign::SignPkcs7()") for line in lines)
    assert begins == 2 * texts + 2 * threads * rounds
    assert sum("SignPkcs7() return  = 0x00000000(0)" in line for line in lines) == begins
