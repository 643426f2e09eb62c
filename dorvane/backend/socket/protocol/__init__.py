"""Minimal local layer of the library package dorvane.backend.socket.protocol: the protocol core's names, the request-code table and the session requests."""
from dorvane.backend.socket.protocol.core import HEADER, HEADER_SIZE, STATUS_CODE, gen_header
from dorvane.backend.socket.protocol.requests import kivo_map
from dorvane.backend.socket.protocol.session import login_in, logout_in

__all__ = ["STATUS_CODE", "HEADER", "HEADER_SIZE", "gen_header", "kivo_map", "login_in", "logout_in"]
