"""Socket facade members besides login: the order, status and account entry points, list_accounts
and activate_vexa (with real PKCS#12 files; the signer is process-wide, so activations run in
fresh interpreters against a loopback trading server of their own)."""
import asyncio
import json
import pathlib
import subprocess
import sys
import textwrap

import pytest

from dorvane.backend.socket import wrapper
from dorvane.backend.socket.wrapper import Wrapper
from support import make_pki, vexa_run
from support.facade_fixtures import config_for, facade, server, stop_facades  # noqa: F401

TESTS = pathlib.Path(__file__).resolve().parent


def test_members_in_class_order_with_their_decorators():
    names = [n for n in vars(Wrapper) if not n.startswith("__") or n in ("__init__", "__del__")]
    assert names == [
        "OrderProps", "__init__", "logout", "logoutAsync", "login", "loginAsync", "_get_orderId",
        "list_accounts", "place_order", "update_order", "cancel_order", "_on_placeorder",
        "_on_updateorder", "_on_cancelorder", "update_status", "update_statusAsync", "get_account_margin",
        "get_account_openposition", "get_account_settle_profitloss", "activate_vexa", "_stop", "__del__",
        "_connection",
    ]
    for name in ("place_order", "update_order", "cancel_order"):
        outer = getattr(Wrapper, name)
        assert outer._decorator == "auth"  # auth over record over the method itself
        assert outer.__wrapped__._decorator == "record"
        assert outer.__wrapped__.__wrapped__.__qualname__ == "Wrapper." + name
    status = Wrapper.update_statusAsync
    assert asyncio.iscoroutinefunction(status)
    assert (status.__name__, status.__qualname__, status.__module__) == \
        ("update_statusAsync", "Wrapper.update_statusAsync", "dorvane.backend.socket.wrapper")
    assert asyncio.iscoroutinefunction(status.__wrapped__)


CONTRACT, ORDER, TRADE, FUT = object(), object(), object(), object()


@pytest.mark.parametrize(
    "name, args, kwargs",
    [
        ("_get_orderId", (), {}),
        ("place_order", (CONTRACT, ORDER), {}),
        ("place_order", (), {"contract": CONTRACT, "order": ORDER}),
        ("update_order", (TRADE,), {}),
        ("update_order", (TRADE, 10.5, 2), {}),
        ("update_order", (), {"trade": TRADE, "price": 10.5, "qty": 2}),
        ("cancel_order", (), {"trade": TRADE}),
        ("_on_placeorder", (TRADE, FUT), {}),
        ("_on_updateorder", (TRADE, FUT), {"price": 1, "qty": 2}),
        ("_on_cancelorder", (), {"trade": TRADE, "fut": FUT}),
        ("update_status", (), {}),
        ("get_account_margin", (), {}),
        ("get_account_openposition", (1, "x"), {"account": ORDER}),
        ("get_account_settle_profitloss", (None,), {"start_date": "20240101", "end_date": "20240131"}),
    ],
)
def test_empty_members_take_their_arguments_and_return_none(facade, name, args, kwargs):
    w = facade()
    assert getattr(w, name)(*args, **kwargs) is None


@pytest.mark.parametrize(
    "name, args, kwargs",
    [
        ("_get_orderId", (1,), {}),
        ("place_order", (CONTRACT,), {}),
        ("update_order", (), {}),
        ("update_order", (TRADE,), {"quantity": 1}),
        ("cancel_order", (TRADE, FUT), {}),
        ("_on_updateorder", (TRADE,), {}),
        ("update_status", (), {"now": True}),
        ("list_accounts", (None,), {}),
        ("activate_vexa", ("a.pfx", "pw"), {}),
    ],
)
def test_wrong_arguments_raise_type_error(facade, name, args, kwargs):
    w = facade()
    with pytest.raises(TypeError):
        getattr(w, name)(*args, **kwargs)


def test_list_accounts_gives_the_current_accounts(facade):
    w = facade()
    assert w.list_accounts() is None
    w.accounts = accounts = [object()]
    assert w.list_accounts() is accounts


def test_update_status_coroutine_on_the_facades_loops(facade):
    first, second = facade(), facade()

    def on_loop(w, coro):
        return asyncio.run_coroutine_threadsafe(coro, w._loop).result(5)

    assert on_loop(first, first.update_statusAsync()) is None
    # A call with an argument besides self fails when its job runs; the error reaches its awaiter,
    # and the runner shared by every facade is served again afterwards.
    with pytest.raises(TypeError):
        on_loop(first, first.update_statusAsync("now"))
    assert on_loop(second, second.update_statusAsync()) is None
    assert on_loop(first, Wrapper.update_statusAsync(first)) is None


# -- activate_vexa ---------------------------------------------------------------------------------

PRELUDE = """
    sys.path.insert(0, {tests})
    from dorvane.backend.socket import wrapper
    from support.facade_fixtures import config_for
    from servers.session_server import SessionService
    from servers.trading_server import ThreadedTradingServer
    srv = ThreadedTradingServer().start()
    srv.session = srv.run(SessionService, srv.server)
    wrapper.config = config_for(uat=(srv.host, srv.port))
    w = wrapper.Wrapper(True)
    def finish():
        w._stop()
        import threading
        threading._shutdown.args[0].join(5)
        srv.stop()
"""


def run(tmp_path, script, **names):
    names["tests"] = str(TESTS)
    source = textwrap.dedent(PRELUDE) + textwrap.dedent(script) + "finish()\n"
    return vexa_run.run(source.format(**{k: repr(v) for k, v in names.items()}), tmp_path)


def test_activation_after_login_registers_the_module(tmp_path, pki):
    out = run(tmp_path, """
    w.login("A123456789", "pw")
    registry = w._client.activated_vexa
    results = [w.activate_vexa({path}, {password}, "A123456789"),
               w.activate_vexa(vexa_path={path}, vexa_passwd={password}, person_id="Z000000001")]
    first = registry["A123456789"]
    results.append(w.activate_vexa(__import__("pathlib").Path({path}), {password}, "A123456789"))
    report(results=results, ids=list(registry), module=first is sys.modules["dorvane.MIRVO.vexa"],
           same=all(v is first for v in registry.values()), left=os.path.exists("p7Sign.properties"),
           sig=vexa.get_sign("order").decode())
    """, path=str(pki / "user_modern.pfx"), password=make_pki.PASSWORD)
    r = out.report
    assert r["results"] == [None, None, None]
    assert r["ids"] == ["A123456789", "Z000000001"]  # any person id, replaced in place
    assert r["module"] is True and r["same"] is True and r["left"] is False
    assert out.printed.count("Vexa Initial Done.\n") == 3
    vexa_run.check_signature(r["sig"].encode(), b"order", pki, tmp_path)


def test_activation_before_login_and_failed_activation(tmp_path, pki):
    out = run(tmp_path, """
    early = caught(w.activate_vexa, {path}, {password}, "A1")
    early_sig = vexa.get_sign("early").decode()  # the initialisation ran before the failure
    w.login("A1", "pw")
    after_login = list(w._client.activated_vexa)
    w.activate_vexa({path}, {password}, "A1")
    failed = caught(w.activate_vexa, {path}, "wrong password", "A1")
    other = caught(w.activate_vexa, {path}, "wrong password", "B2")
    report(early=early, early_sig=early_sig, after_login=after_login, failed=failed, other=other,
           ids=list(w._client.activated_vexa), kept=w._client.activated_vexa["A1"] is vexa)
    """, path=str(pki / "user_modern.pfx"), password=make_pki.PASSWORD)
    r = out.report
    assert r["early"] == {"type": "AttributeError", "module": "builtins",
                          "text": "'NoneType' object has no attribute 'activated_vexa'"}
    vexa_run.check_signature(r["early_sig"].encode(), b"early", pki, tmp_path)
    assert r["after_login"] == []  # a new activation is needed once the session client exists
    for failure in (r["failed"], r["other"]):
        assert failure["type"] == "VexaError" and failure["module"] == "dorvane.MIRVO.vexa"
        assert failure["text"].split(" ")[1] == "5208"
    assert r["ids"] == ["A1"] and r["kept"] is True  # the earlier entry stays
    assert out.printed.count("Vexa Initial Done.\n") == 2


def test_first_activation_loads_the_signing_module(tmp_path, pki):
    """In a process that has not loaded the signing module yet, activation imports it itself."""
    program = textwrap.dedent("""
        import json, sys
        sys.path[:0] = [{root}, {tests}]
        from dorvane.backend.socket import wrapper
        from support.facade_fixtures import config_for
        wrapper.config = config_for(uat=("127.0.0.1", 1))
        w = wrapper.Wrapper(True)
        loaded_before = "dorvane.MIRVO.vexa" in sys.modules
        try:
            w.activate_vexa({path}, {password}, "A1")
            error = None
        except Exception as exc:
            error = type(exc).__name__
        w._stop()
        print(json.dumps([loaded_before, error, "dorvane.MIRVO.vexa" in sys.modules]))
    """).format(root=repr(str(TESTS.parent)), tests=repr(str(TESTS)),
                path=repr(str(pki / "user_modern.pfx")), password=repr(make_pki.PASSWORD))
    proc = subprocess.run([sys.executable, "-c", program], cwd=str(tmp_path), capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0] == "Vexa Initial Done."  # the initialisation ran before the registration failed
    assert json.loads(lines[-1]) == [False, "AttributeError", True]
