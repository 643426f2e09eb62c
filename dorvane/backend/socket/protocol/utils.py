"""Minimal local layer of the library module dorvane.backend.socket.protocol.utils: text fields and address conversion."""
import functools
import ipaddress

from construct import FixedSized, GreedyBytes, NullStripped, StringEncoded

__all__ = ["PS950", "ip_convert"]


def PS950(length):
    """A `length`-byte code-page-950 (Big5) text field, NUL-padded; longer text is refused."""
    return StringEncoded(FixedSized(length, NullStripped(GreedyBytes)), "cp950")


@functools.lru_cache(maxsize=64)
def _dotted_to_int(ip4):
    try:
        return int(ipaddress.IPv4Address(ip4))
    except ipaddress.AddressValueError as exc:
        raise ValueError("not a dotted IPv4 address: {!r}".format(ip4)) from exc


def ip_convert(ip4):
    """Dotted IPv4 text to its 32-bit number; the empty text gives 0."""
    if ip4 == "":
        return 0
    if not isinstance(ip4, str):
        raise ValueError("ip4 must be dotted IPv4 text, not {!r}".format(ip4))
    # A connection converts its one local address for every request: remember recent ones.
    return _dotted_to_int(ip4)


def check_options(options, required):
    """Require every key of `required` in the mapping `options`.

    Refuses with TypeError naming all missing keys, in the order of `required`, as the interpreter
    does for missing arguments; returns True otherwise.
    """
    missing = [key for key in required if key not in options]
    if missing:
        raise TypeError("missing required keyword argument(s): {}".format(
            ", ".join(repr(key) for key in missing)))
    return True


__all__.append("check_options")
