"""Minimal local layer of the library module dorvane.backend.http.utils: the order id `hash_orderid`."""
import hashlib

__all__ = ["hash_orderid"]


def hash_orderid(code, seqno):
    """The order id of a product code and a sequence number: a hex text, the same for the same two
    texts. Each part is length-prefixed so that ("AB", "C") and ("A", "BC") differ."""
    key = "{}:{}|{}:{}".format(len(code), code, len(seqno), seqno)
    return hashlib.md5(key.encode("utf-8")).hexdigest()
