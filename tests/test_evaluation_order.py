"""The modules read a call's Python values in the order the Python code would: left to right, the
callee before its arguments. Recording objects log every name looked up on them (and may refuse
it), so a different order, or a different first failure, shows."""
import pytest

from dorvane.backend.http import contract, main
from dorvane.backend.http.futureoption import order
from dorvane.backend.socket import wrapper
from dorvane.backend.solace.quote import Quote


class Recording:
    """Logs every attribute looked up on it; refuses each with AttributeError while armed, and
    afterwards answers with a harmless stand-in (so a finaliser run later by the collector
    succeeds)."""

    def __init__(self, log):
        object.__setattr__(self, "_log", log)
        object.__setattr__(self, "_armed", True)

    def __getattr__(self, name):
        self._log.append(name)
        if self._armed:
            raise AttributeError(name)
        return Stub()

    def disarm(self):
        object.__setattr__(self, "_armed", False)


class Stub:
    def __getattr__(self, name):
        return lambda *args, **kwargs: 0


class RecordingQuote(Recording, Quote):
    """A Quote whose construction never ran."""


class RecordingRow(dict):
    """A reply mapping that logs the keys read through get."""

    def __init__(self, log):
        super().__init__()
        self.log = log

    def get(self, key, default=None):
        self.log.append(key)
        return default


@pytest.mark.parametrize("call, first", [
    # A half-built Quote's finaliser fails on its messaging binding first.
    (lambda rec: Quote.__del__(rec), "solclient"),
    (lambda rec: Quote.connect(rec, "host", "vpn", "user", "password"), "solclient"),
    # client.session.get(client.s_list_code_uri): the session first.
    (lambda rec: contract._list_stock_code(rec), "session"),
    # update_status(self._trades, self.client)
    (lambda rec: main.HttpApi.update_status(rec), "_trades"),
    # self.loginAsync(person_id, passwd, quote=quote, loop=self._loop): the method first.
    (lambda rec: wrapper.Wrapper.login(rec, "A123456789", "secret", timeout=0.01), "loginAsync"),
    (lambda rec: wrapper.Wrapper.logout(rec, timeout=0.01), "logoutAsync"),
], ids=["quote-del", "quote-connect", "stock-list", "http-update-status", "wrapper-login", "wrapper-logout"])
def test_the_first_look_up_is_the_first_the_code_reads(call, first):
    log = []
    rec = RecordingQuote(log)
    with pytest.raises(AttributeError) as info:
        call(rec)
    rec.disarm()
    assert info.value.args == (first,)
    assert log[0] == first


@pytest.mark.parametrize("call, keys", [
    (lambda row: order.res2orderstatus(row, True), ["stock_id", "seqno", "ord_date", "ord_time"]),
    (lambda row: order.queryresp2orderstatus(row), ["st_comno", "st_seqno", "st_orddt", "st_ordtm"]),
], ids=["placing-reply", "query-row"])
def test_reply_fields_are_read_in_order(call, keys):
    log = []
    call(RecordingRow(log))
    assert log == keys
