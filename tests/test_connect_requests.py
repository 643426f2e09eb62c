"""The request-code table of the protocol package, as the connection uses it."""
import json

import pytest

import dorvane.backend.socket.protocol as protocol
from dorvane.backend.socket.protocol import requests


def test_table_contract():
    assert protocol.kivo_map is requests.kivo_map
    assert protocol.kivo_map.get(-1, (None, None)) == (None, None)
    builder, parser = protocol.kivo_map[requests.KIVO_ECHO]
    header, payload = builder(b=2, a="\u53f0")
    assert header == {"nKIVO": requests.KIVO_ECHO}
    assert json.loads(payload.decode("utf-8")) == {"a": "\u53f0", "b": 2}
    reply = parser(payload)
    assert reply.a == "\u53f0" and reply["b"] == 2
    assert dict(parser(b"")) == {}


def test_register(monkeypatch):
    monkeypatch.setattr(requests, "kivo_map", dict(requests.kivo_map))
    pair = requests.register(4321, None, bytes.upper)
    assert requests.kivo_map[4321] == pair == (None, bytes.upper)


def test_echo_parser_rejects_non_json():
    with pytest.raises(ValueError):
        requests.echo_out(b"\xff")
