"""Minimal local layer of the library module dorvane.backend.socket.utils: the asyncio patch hook `patchAsyncio`."""

__all__ = ["patchAsyncio"]


def patchAsyncio():
    """Adjust asyncio for the socket facade before it creates its loop.

    The interpreter this library runs on needs no adjustment, so the hook changes nothing; it is
    kept so that the facade's construction has one place for such fixes.
    """
    return None
