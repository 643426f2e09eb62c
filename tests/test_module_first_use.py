"""The first use of each module's coroutine and generator functions from several threads at once,
in a fresh interpreter, ends: the glue's types they need are made before any thread can race for
them. Each case runs in many fresh interpreters side by side (support/fresh_runs.py), so a hang
that shows in a fraction of the runs is caught."""
import os

import pytest

from support.fresh_runs import run_fresh_interpreters, threads_program

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUNS = 24

CASES = {
    # The keys() generator of a code-table class.
    "constant": ("""
from dorvane.backend.http.constant import BaseProps

class Table(BaseProps):
    A = 1
    B = 2
""", "assert list(Table.keys()) == ['A', 'B']"),
    # The keep-alive coroutine of a Connection (made, not run).
    "connect": ("""
import asyncio
from dorvane.backend.socket.connect import Connection
conn = Connection("127.0.0.1", 1, "A123456789", loop=asyncio.new_event_loop())
""", "conn.ping_aliveAsync('A123456789').close()"),
    # A request coroutine of the session client (made, not run).
    "client": ("""
import asyncio
from dorvane.backend.socket.client import Client
session = Client("A123456789", "127.0.0.1", 1, loop=asyncio.new_event_loop())
""", "session.login('A123456789', 'pw').close()"),
    # The facade's coroutines (made, not run); its loop is stopped once they are.
    "wrapper": ("""
import configparser
from dorvane.backend.socket import wrapper
wrapper.config = configparser.ConfigParser()
wrapper.config["UAT"] = {"host": "127.0.0.1", "port": "1"}
facade = wrapper.Wrapper(True)
""", """
facade.loginAsync('A123456789', 'pw').close()
facade.logoutAsync().close()
facade.update_statusAsync().close()
""", "facade._stop()"),
}


@pytest.mark.parametrize("module", list(CASES))
def test_first_use_from_threads_ends(module):
    outcomes = run_fresh_interpreters(threads_program([ROOT], *CASES[module]), RUNS, cwd=ROOT)
    assert [o for o in outcomes if o != "ended"] == []
