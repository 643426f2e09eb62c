"""Every public callable of the extension modules follows Python's call conventions: its signature
reads through inspect, its documentation is the text the module gives it (no signature line at its
head), and a call that does not fit raises the TypeError a pure-Python function of the same
signature and qualified name raises."""
import asyncio
import importlib
import inspect

import pytest

# The codes that the two stock profit-and-loss reports document for stock_type and currency.
STOCK_TYPE = ("(str)", "全部", "現-上市櫃", "資", "券", "興櫃")
CURRENCY = ("(str)", "全部", "新台幣", "人民幣")

# (module, dotted name in the module, parameter list as a `def` line writes it[, documentation]).
# The documentation, where a row gives it: the exact __doc__ text, None for a callable that has none,
# or a tuple of the phrases that __doc__ holds, in this order (where only its content is fixed).
TABLE = [
    ("dorvane.backend.error", "ServerError.__init__", "(self, code, message)"),
    ("dorvane.backend.socket.protocol.core", "gen_header",
     "(net_length=0, bEncrypt=0, bCompress=0, bContinue=0, bHts=1, nDecompressLength=0, nKIVO=0, "
     "nHandle=666, ip4='', person_id='', nDecodeLength=0, nOutHandle=105)"),
    ("dorvane.backend.socket.protocol.stock.handler", "_format_price", "(price)",
     "\n    Formatting float or int of price to string value with length 12.\n    "),
    ("dorvane.backend.socket.protocol.stock.handler", "_format_quantity", "(quantity)",
     "\n    Formatting int of quantity to string value with length 4.\n    "),
    ("dorvane.backend.socket.protocol.stock.handler", "placeorder", "(**kwargs)", None),
    ("dorvane.backend.socket.protocol.stock.handler", "updateorder", "(**kwargs)", None),
    ("dorvane.backend.socket.protocol.stock.handler", "cancelorder", "(**kwargs)", None),
    *[("dorvane.backend.socket.protocol.stock.handler", "place" + market,
       "(vexa, person_id, account, stock_id, order_type, order_cond, price, quantity, ord_bs, "
       "price_type, first_sell='No', **kwargs)", None) for market in ("tse", "otc")],
    *[("dorvane.backend.socket.protocol.stock.handler", "update" + market,
       "(vexa, person_id, account, stock_id, ordno, seqno, price, quantity, **kwargs)", None)
      for market in ("tse", "otc")],
    *[("dorvane.backend.socket.protocol.stock.handler", "cancel" + market,
       "(vexa, person_id, account, stock_id, ordno, seqno, **kwargs)", None) for market in ("tse", "otc")],
    ("dorvane.backend.socket.protocol.stock.handler", "order_in", "(vexa=b'', **kwargs)",
     "\n    trade_type:\n    - 買進: '01'\n    - 賣出: '02'\n    - 改量: '03'\n    - 刪單: '04'\n"
     "    # 改價必須刪單再下單\n"
     "    ord_type:\n    - 整股: '0'\n    - 定盤: 'P'\n    - 零股: '2'\n"
     "    ord_cond:\n    - 現股: '0'\n    - 融資: '3'\n    - 融券: '4'\n"
     "    market_id:\n    - TSE: 'S'\n    - OTC: 'O'\n    - OES\n"
     "    price_type:\n    - 指定價: ' '\n    - 昨收: '1' 待確認\n    - 漲停: '2'\n    - 跌停: '3'\n"
     "    is_first_sell:\n    - YES: 'Y'\n    - NO: 'N'\n    "),
    ("dorvane.backend.socket.protocol.stock.handler", "order_out", "(payload)", None),
    ("dorvane.backend.socket.connect", "Connection.__init__",
     "(self, host, port, person_id, loop=None, ping_duration=10)"),
    ("dorvane.backend.socket.connect", "Connection.reset", "(self)"),
    ("dorvane.backend.socket.connect", "Connection._onConnectionCreated", "(self, fut)"),
    ("dorvane.backend.socket.connect", "Connection._onError", "(self, exc)"),
    ("dorvane.backend.socket.connect", "Connection.connect", "(self, loop=None)"),
    ("dorvane.backend.socket.connect", "Connection.is_alive", "(self)"),
    ("dorvane.backend.socket.connect", "Connection._get_handle", "(self)"),
    ("dorvane.backend.socket.connect", "Connection.ping_alive", "(self, person_id, loop=None)"),
    ("dorvane.backend.socket.connect", "Connection.ping_aliveAsync", "(self, person_id, loop=None)"),
    ("dorvane.backend.socket.connect", "Connection.send",
     "(self, nKIVO, person_id, data, compress=True, cb=None, loop=None, **kwargs)"),
    ("dorvane.backend.socket.connect", "Connection._send",
     "(self, nKIVO, person_id, payload, compress=True, cb=None, loop=None, **kwargs)"),
    ("dorvane.backend.socket.connect", "Connection.disconnect", "(self, loop=None)"),
    ("dorvane.backend.socket.connect", "Connection.data_received", "(self, data)"),
    ("dorvane.backend.socket.connect", "Connection._parse", "(self, nKIVO, msg)"),
    ("dorvane.backend.socket.connect", "Connection._build", "(self, nKIVO, body)"),
    ("dorvane.backend.socket.connect", "Connection._build_header",
     "(self, nKIVO, person_id, nHandle, payload, decompress_length=0, **kwargs)"),
    ("dorvane.backend.socket.connect", "Socket.__init__", "(self, connection)"),
    ("dorvane.backend.socket.connect", "Socket.connection_made", "(self, transport)"),
    ("dorvane.backend.socket.connect", "Socket.connection_lost", "(self, exc)"),
    ("dorvane.backend.socket.connect", "Socket.data_received", "(self, data)"),
    ("dorvane.backend.socket.client", "api", "(*deco_args, **deco_kwargs)"),
    ("dorvane.backend.socket.client", "filter_key", "(data, *preserve_keys)"),
    ("dorvane.backend.socket.client", "Client.__init__",
     "(self, person_id, host, port, loop=None, simulation=True, reconnection=False)"),
    ("dorvane.backend.socket.client", "Client.connect", "(self, loop=None)"),
    ("dorvane.backend.socket.client", "Client.close", "(self)"),
    ("dorvane.backend.socket.client", "Client.reset", "(self)"),
    ("dorvane.backend.socket.client", "Client.login", "(self, person_id, passwd, cb=None, loop=None)"),
    ("dorvane.backend.socket.client", "Client.login_cb", "(self, fut)"),
    ("dorvane.backend.socket.client", "Client.logout", "(self, cb=None, loop=None)"),
    ("dorvane.backend.socket.client", "Client.logout_cb", "(self, fut)"),
    ("dorvane.backend.socket.client", "Client._onData", "(self, data)"),
    ("dorvane.backend.socket.client", "Client._onError", "(self, msg)"),
    ("dorvane.backend.socket.client", "Client._onConnected", "(self)"),
    ("dorvane.backend.socket.client", "Client._onDisconnected", "(self)"),
    ("dorvane.backend.socket.wrapper", "start_loop", "(loop)"),
    ("dorvane.backend.socket.wrapper", "stop_loop", "(loop)"),
    ("dorvane.backend.socket.wrapper", "_exitCheckfunc", "(thread, loop)",
     "\n    Help event_loop on another thread to catch KeyboardInterrupt.\n    "),
    ("dorvane.backend.socket.wrapper", "elide", "(fn)",
     ("function decorated with this will only execute once at a time.",
      "Caution: If return value of function is required, don't use this.")),
    ("dorvane.backend.socket.wrapper", "Wrapper.__init__", "(self, simulation, proxies=None, products=None)"),
    ("dorvane.backend.socket.wrapper", "Wrapper.login", "(self, person_id, passwd, quote=None, timeout=5)"),
    ("dorvane.backend.socket.wrapper", "Wrapper.loginAsync",
     "(self, person_id, passwd, quote=None, loop=None)"),
    ("dorvane.backend.socket.wrapper", "Wrapper.logout", "(self, timeout=5)"),
    ("dorvane.backend.socket.wrapper", "Wrapper.logoutAsync", "(self, loop=None)"),
    ("dorvane.backend.socket.wrapper", "Wrapper._get_orderId", "(self)"),
    ("dorvane.backend.socket.wrapper", "Wrapper.list_accounts", "(self)"),
    ("dorvane.backend.socket.wrapper", "Wrapper.place_order", "(self, contract, order)"),
    ("dorvane.backend.socket.wrapper", "Wrapper.update_order", "(self, trade, price=None, qty=None)"),
    ("dorvane.backend.socket.wrapper", "Wrapper.cancel_order", "(self, trade)"),
    ("dorvane.backend.socket.wrapper", "Wrapper._on_placeorder", "(self, trade, fut)"),
    ("dorvane.backend.socket.wrapper", "Wrapper._on_updateorder", "(self, trade, fut, price=None, qty=None)"),
    ("dorvane.backend.socket.wrapper", "Wrapper._on_cancelorder", "(self, trade, fut)"),
    ("dorvane.backend.socket.wrapper", "Wrapper.update_status", "(self)"),
    ("dorvane.backend.socket.wrapper", "Wrapper.update_statusAsync", "(self)"),
    *[("dorvane.backend.socket.wrapper", "Wrapper." + name, "(self, *args, **kwargs)")
      for name in ("get_account_margin", "get_account_openposition", "get_account_settle_profitloss")],
    ("dorvane.backend.socket.wrapper", "Wrapper.activate_vexa", "(self, vexa_path, vexa_passwd, person_id)"),
    ("dorvane.backend.socket.wrapper", "Wrapper._stop", "(self)"),
    ("dorvane.backend.socket.wrapper", "Wrapper.__del__", "(self)"),
    ("dorvane.backend.solace.quote", "contract2topic", "(contract, quote_type='tick')"),
    ("dorvane.backend.solace.quote", "Quote.__init__", "(self)"),
    ("dorvane.backend.solace.quote", "Quote.set_callback", "(self, func)",
     ("func(topic: str, quote_msg: dict) -> int",)),
    ("dorvane.backend.solace.quote", "Quote.set_event_callback", "(self, func)",
     ("func(resp_code: int, event_code: int, event: str) -> None",)),
    ("dorvane.backend.solace.quote", "Quote.connect", "(self, host, vpn, user, password)"),
    *[("dorvane.backend.solace.quote", "Quote." + name, "(self, contract, quote_type='tick')",
       ("contract", "a contract of the library", "quote_type", "one of tick and bidask"))
      for name in ("subscribe", "unsubscribe")],
    ("dorvane.backend.solace.quote", "Quote.__del__", "(self)"),
    ("dorvane.backend.http.contract", "stock_dict_convert", "(contracts, /)"),
    ("dorvane.backend.http.contract", "future_dict_convert", "(contracts, /)"),
    ("dorvane.backend.http.contract", "option_dict_convert", "(contracts, /)"),
    ("dorvane.backend.http.contract", "tw_index_dict_convert", "(index_dict, /)"),
    ("dorvane.backend.http.contract", "_list_stock_code", "(client, /)"),
    ("dorvane.backend.http.contract", "_list_tw_index_code", "(client, /)"),
    ("dorvane.backend.http.contract", "_list_futopt_code", "(product_type, detail, client)",
     ("query the product code", "detail", "whether to get detail code")),
    ("dorvane.backend.http.contract", "fetch_available_product", "(client, product_type)"),
    ("dorvane.backend.http.constant", "Constant.__init__", "(self, ops)"),
    ("dorvane.backend.http.constant", "MetaProps.__repr__", "(cls)"),
    ("dorvane.backend.http.constant", "MetaProps.keys", "(cls)"),
    ("dorvane.backend.http.constant", "MetaProps.__getitem__", "(cls, key)"),
    ("dorvane.backend.http.futureoption.order", "get_web_id", "()"),
    ("dorvane.backend.http.futureoption.order", "convert_order_props", "(order, /)"),
    *[("dorvane.backend.http.futureoption.order", "prepare_%s_input" % kind,
       "(contract, order, vexa_content)") for kind in ("future", "option", "futopt")],
    *[("dorvane.backend.http.futureoption.order", "place_%s_order" % kind,
       "(contract, order, vexa_content, client)") for kind in ("future", "option", "futopt")],
    ("dorvane.backend.http.futureoption.order", "_place_futopt_order",
     "(product_id, product_type, opt_type, price, price_type, action, order_type, octype, quantity, "
     "account, vexa_content, client, **kwargs)",
     ("place future or option order", "product_id", "product_type", "'F'", "'O'",
      "opt_type", "' '", "'C'", "'P'", "price", "price_type", "'LMT'", "'MKT'", "'MKP'",
      "action", "'B'", "'S'", "order_type", "'ROD'", "'IOC'", "'FOK'",
      "octype", "' '", "'0'", "'1'", "'6'", "quantity", "c_code", "c_callput", "c_buysell")),
    ("dorvane.backend.http.futureoption.order", "_cancel_futopt_order",
     "(product_id, ordno, seqno, vexa_content, account, client, **kwargs)"),
    ("dorvane.backend.http.futureoption.order", "cancel_futopt_order", "(trade, vexa_content, client)"),
    ("dorvane.backend.http.futureoption.order", "_update_futopt_order_price",
     "(product_id, product_type, price, price_type, ord_type, ordno, seqno, vexa_content, account, "
     "client, **kwargs)"),
    ("dorvane.backend.http.futureoption.order", "update_futopt_order_price",
     "(trade, vexa_content, client, price)"),
    ("dorvane.backend.http.futureoption.order", "_update_futopt_order_qty",
     "(product_id, product_type, qty, ordno, seqno, vexa_content, account, client, **kwargs)"),
    ("dorvane.backend.http.futureoption.order", "update_futopt_order_qty", "(trade, vexa_content, client, qty)"),
    ("dorvane.backend.http.futureoption.order", "_query_futopt_order",
     "(action, account, client, start_date='', end_date='')"),
    ("dorvane.backend.http.futureoption.order", "query_futopt_order", "(client, /)"),
    ("dorvane.backend.http.futureoption.order", "queryresp2contract", "(resp, /)"),
    ("dorvane.backend.http.futureoption.order", "queryresp2order", "(resp, /)"),
    ("dorvane.backend.http.futureoption.order", "queryresp2orderstatus", "(resp, /)"),
    ("dorvane.backend.http.futureoption.order", "res2order", "(resp_result, order)"),
    ("dorvane.backend.http.futureoption.order", "res2orderstatus", "(resp_result, successed)"),
    ("dorvane.backend.http.futureoption.order", "futopt_resp2order_status", "(resp, order)"),
    ("dorvane.backend.http.futureoption.order", "resp2trade", "(resp, trade)"),
    ("dorvane.backend.http.main", "HttpApi.__init__", "(self, simulation, proxies)"),
    ("dorvane.backend.http.main", "HttpApi.login", "(self, person_id, passwd)"),
    ("dorvane.backend.http.main", "HttpApi.activate_vexa", "(self, vexa_path, vexa_passwd, person_id)"),
    ("dorvane.backend.http.main", "HttpApi.list_accounts", "(self)"),
    ("dorvane.backend.http.main", "HttpApi.get_account_margin", "(self, currency, margin_type, account)"),
    ("dorvane.backend.http.main", "HttpApi.get_account_openposition",
     "(self, product_type, query_type, account)"),
    ("dorvane.backend.http.main", "HttpApi.get_account_settle_profitloss",
     "(self, product_type, summary, start_date, end_date, currency, account)"),
    ("dorvane.backend.http.main", "HttpApi.get_stock_account_funds", "(self, include_tax, account)"),
    ("dorvane.backend.http.main", "HttpApi.get_stock_account_unreal_profitloss",
     "(self, stock_type, currency, filter_rule, account)"),
    ("dorvane.backend.http.main", "HttpApi.get_stock_account_real_profitloss",
     "(self, stock_type, start_date, end_date, currency, filter_rule, account)"),
    ("dorvane.backend.http.main", "HttpApi.fetch_products", "(self)"),
    ("dorvane.backend.http.main", "HttpApi.place_order", "(self, contract, order)"),
    ("dorvane.backend.http.main", "HttpApi.update_order", "(self, trade, price, qty)"),
    ("dorvane.backend.http.main", "HttpApi.cancel_order", "(self, trade)"),
    ("dorvane.backend.http.main", "HttpApi.update_status", "(self)"),
    ("dorvane.backend.http.account", "rm_dict_key", "(d, *args)"),
    ("dorvane.backend.http.account", "assimilate_type", "(details, /)"),
    ("dorvane.backend.http.account", "AccountMargin.__init__", "(self, currency, margin_type, account, client)",
     ("query margin", "currency", "約當台幣", "約當美金", "新台幣", "美元", "港幣", "歐元", "日幣", "英鎊",
      "margin_type", "即時", "風險")),
    ("dorvane.backend.http.account", "AccountOpenPosition.__init__",
     "(self, product_type, query_type, account, client)",
     ("query open position", "product_type", "all", "future", "option", "usd base",
      "query_type", "detail", "summary")),
    ("dorvane.backend.http.account", "AccountSettleProfitLoss.__init__",
     "(self, product_type, summary, start_date, end_date, currency, account, client)",
     ("query settlement profit loss", "product_type", "all", "future", "option",
      "summary", "summary", "detail", "start_date", "%Y%m%d", "20180101", "end_date", "%Y%m%d",
      "20180201", "currency", "新台幣", "美元", "港幣", "歐元", "加幣", "基幣")),
    ("dorvane.backend.http.account", "AccountFunds.__init__", "(self, tax, account, client)",
     ("tax", "tax included", "tax excluded")),
    ("dorvane.backend.http.account", "AccountUnRealProfitLoss.__init__",
     "(self, stock_type, currency, action, account, client)",
     ("stock_type", *STOCK_TYPE, "currency", *CURRENCY,
      "action", "(str)", "default, no filter", "filter delisting stock", "tax excluded",
      "filter delisting stock and tax excluded")),
    ("dorvane.backend.http.account", "AccountRealProfitLoss.__init__",
     "(self, stock_type, start_date, end_date, currency, action, account, client)",
     ("stock_type", *STOCK_TYPE, "start_date", "(str)",
      "the start date of query range format with %Y%m%d", "20180201",
      "end_date", "(str)", "the end date of query range format with %Y%m%d", "20180201",
      "currency", *CURRENCY, "action", "(str)", "default, no filter", "filter cost is 0")),
    *[("dorvane.backend.http.account", cls + "." + name, "(self)")
      for cls in ("AccountMargin", "AccountOpenPosition", "AccountSettleProfitLoss", "AccountFunds",
                  "AccountUnRealProfitLoss", "AccountRealProfitLoss")
      for name in ("update", "data", "__repr__")],
    ("dorvane.MIRVO.vexa", "read_error_code_dict", "(folder_path, /)"),
    ("dorvane.MIRVO.vexa", "raise_error", "(return_code, error_code_dict)"),
    ("dorvane.MIRVO.vexa", "init_vexa", "(vexa_path='Velmora.pfx', vexa_pwd='')"),
    ("dorvane.MIRVO.vexa", "get_sign", "(plaintext='')"),
    ("dorvane.MIRVO.vexa", "gen_vexa", "(user_id, plain)"),
]

UNCHECKED = object()  # a row without documentation: the module's own text, not fixed here
ROWS = [row + (UNCHECKED,) * (4 - len(row)) for row in TABLE]

# Class documentation: (module, class, documentation as in TABLE).
CLASS_DOCS = [
    ("dorvane.backend.error", "ServerError", "Raise when server responses with an error."),
    ("dorvane.MIRVO.vexa", "VexaError", "Vexa Error"),
    *[("dorvane.backend.socket.protocol.fenrik", name, None) for name in ("Success", "Error", "Fenrik")],
    ("dorvane.backend.socket.connect", "Connection",
     "\n    Events:\n        - data\n        - error\n        - connected\n        - disconnected \n    "),
    ("dorvane.backend.socket.connect", "Socket", None),
    ("dorvane.backend.solace.quote", "Quote", ("set_callback", "set_event_callback", "subscribe")),
    *[("dorvane.backend.http.constant", name, None) for name in ("MetaProps", "BaseProps", "Constant")],
]

MODULES = sorted({row[0] for row in TABLE} | {
    "dorvane.backend.socket.protocol.kivo", "dorvane.backend.socket.protocol.fenrik"})


def resolve(module, dotted):
    obj = importlib.import_module(module)
    for part in dotted.split("."):
        obj = inspect.getattr_static(obj, part) if isinstance(obj, type) else getattr(obj, part)
    return obj


def reference(module, dotted, params):
    """A pure-Python function with the same parameters and qualified name, the interpreter's
    answer for every call."""
    namespace = {}
    exec("def f{}:\n    return None\n".format(params), namespace)
    f = namespace["f"]
    f.__qualname__ = dotted
    return f


def ids(row):
    return "{}:{}".format(row[0].rsplit(".", 1)[-1], row[1])


def assert_doc(doc, expected):
    if isinstance(expected, tuple):
        assert isinstance(doc, str), doc
        at = 0
        for phrase in expected:
            found = doc.find(phrase, at)
            assert found >= 0, (phrase, doc[at:])
            at = found + len(phrase)
    else:
        assert doc == expected


@pytest.mark.parametrize("module, dotted, params, doc", ROWS, ids=[ids(r) for r in ROWS])
def test_signature_names_doc_and_argument_errors(module, dotted, params, doc):
    fn = resolve(module, dotted)
    assert str(inspect.signature(fn)) == params
    assert fn.__module__ == module
    assert fn.__qualname__ == dotted
    assert fn.__name__ == dotted.rsplit(".", 1)[-1]
    # The signature comes from the parameter list alone: no documentation repeats it by hand.
    assert not (fn.__doc__ or "").lstrip().startswith(fn.__name__ + "(")
    if doc is not UNCHECKED:
        assert_doc(fn.__doc__, doc)
    # A decorated function (functools.wraps) hands its arguments to the function it wraps, which
    # binds them when the call runs.
    fn = inspect.unwrap(fn)
    ref = reference(module, dotted, params)
    sig = inspect.signature(ref)
    positional = [p for p in sig.parameters.values()
                  if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    has_var = any(p.kind == p.VAR_POSITIONAL for p in sig.parameters.values())
    has_varkw = any(p.kind == p.VAR_KEYWORD for p in sig.parameters.values())
    calls = [((), {})]  # missing (or nothing at all for functions without required parameters)
    if not has_var:
        calls.append((tuple(range(len(positional) + 1)), {}))  # one too many
        calls.append((tuple(range(len(positional) + 2)), {}))  # more than one too many
    if not has_varkw:
        calls.append(((), {"no_such_parameter": 1}))
    if positional:
        calls.append(((1,), {positional[0].name: 2}))  # duplicate, or positional-only by keyword
    if len(positional) >= 3:
        calls.append(((1,), {}))  # several missing at once
    for args, kwargs in calls:
        try:
            ref(*args, **kwargs)
        except TypeError as expected:
            with pytest.raises(TypeError) as got:
                fn(*args, **kwargs)
            assert str(got.value) == str(expected), (args, kwargs)


@pytest.mark.parametrize("module, name, doc", CLASS_DOCS, ids=[ids(r) for r in CLASS_DOCS])
def test_class_documentation(module, name, doc):
    assert_doc(getattr(importlib.import_module(module), name).__doc__, doc)


@pytest.mark.parametrize("module", MODULES)
def test_no_internal_names_leak(module):
    m = importlib.import_module(module)
    seen = []
    for value in vars(m).values():
        members = vars(value).values() if isinstance(value, type) else [value]
        for member in members:
            member = getattr(member, "__func__", getattr(member, "fget", member))
            for attr in ("__name__", "__qualname__"):
                name = getattr(member, attr, None)
                if isinstance(name, str):
                    seen.append(name)
    assert seen
    assert not [n for n in seen if "PyCapsule" in n or ("__init" in n and "__init__" not in n)]


def test_methods_bind_and_keep_python_function_behaviour():
    from dorvane.backend.socket.client import Client
    from dorvane.backend.http.constant import BaseProps, MetaProps

    fn = inspect.getattr_static(Client, "reset")
    assert inspect.ismethoddescriptor(fn) and fn.__get__(None, Client) is fn
    assert type(BaseProps) is MetaProps and repr(BaseProps) == "BaseProps()"
    loop = asyncio.new_event_loop()
    try:
        client = Client("A", "127.0.0.1", "1", loop)
        bound = client.reset
        assert inspect.ismethod(bound) and bound.__self__ is client
        assert str(inspect.signature(bound)) == "()"
        with pytest.raises(TypeError, match=r"^Client\.reset\(\) takes 1 positional argument but 2 were given$"):
            client.reset(1)
        # The instance dictionary takes attributes as a Python function's does.
        fn.marker = 1
        assert fn.__dict__["marker"] == 1
        del fn.marker
    finally:
        loop.close()


def test_coroutine_objects_carry_their_qualified_names():
    from dorvane.backend.socket.connect import Connection

    loop = asyncio.new_event_loop()
    try:
        conn = Connection("127.0.0.1", 1, "A", loop)
        coro = conn.ping_aliveAsync("A")
        assert asyncio.iscoroutine(coro)
        assert (coro.__name__, coro.__qualname__) == ("ping_aliveAsync", "Connection.ping_aliveAsync")
        assert repr(coro).startswith("<coroutine object Connection.ping_aliveAsync at 0x")
        assert coro.cr_running is False and coro.cr_await is None
        task = loop.create_task(coro)
        assert "Connection.ping_aliveAsync()" in repr(task)
        assert "without __name__" not in repr(task)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            loop.run_until_complete(task)
    finally:
        loop.close()
