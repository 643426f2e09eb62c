"""Minimal local layer of the library module dorvane.backend.socket.protocol.requests: the request-code table `kivo_map`."""

__all__ = ["kivo_map"]

# request code -> (builder, parser); filled by the connection's request definitions.
kivo_map = {}
