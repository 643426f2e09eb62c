"""Minimal local layer of the library module dorvane.backend.socket.protocol.requests: the request-code table `kivo_map`.

`kivo_map` maps a request code (`nKIVO`) to the pair (builder, parser):
  builder(**fields) -> (header mapping, payload bytes); the connection keeps only the payload;
  parser(body) -> the request's result, given the reply body after decompression.
Either member may be None. Other protocol modules add their codes with `register`.
"""
import json

from construct import Container

__all__ = ["kivo_map", "register", "KIVO_ECHO", "echo_in", "echo_out"]

# request code -> (builder, parser)
kivo_map = {}


def register(nKIVO, builder=None, parser=None):
    """Enter (builder, parser) for a request code; returns the pair."""
    pair = (builder, parser)
    kivo_map[nKIVO] = pair
    return pair


# The echo query: a body of named text/number fields that the server hands back unchanged.
KIVO_ECHO = 900


def echo_in(**fields):
    """Echo query request: UTF-8 JSON of the fields, keys sorted."""
    payload = json.dumps(fields, sort_keys=True, ensure_ascii=False).encode("utf-8")
    return {"nKIVO": KIVO_ECHO}, payload


def echo_out(body):
    """Echo query reply: the JSON object as a mapping with attribute access (empty body: empty)."""
    if not body:
        return Container()
    return Container(json.loads(bytes(body).decode("utf-8")))


register(KIVO_ECHO, echo_in, echo_out)
