"""Run in a fresh interpreter: put a variant of the protocol's header structure in place before the
connection module loads, then check that the connection builds and parses headers exactly as that
structure does (the same bytes, the same records, the same kind of failure).

Usage: header_variant_probe.py VARIANT, where VARIANT is "as-is", "big5" (the person id field in
Big5 instead of code page 950) or "swap:A,B" (fields A and B trade places). Prints "native" or
"structure" (which path parsed the headers: the structure's own records keep its "_io" entry, the
native ones do not), or the first difference and exits 1.
"""
import asyncio
import sys

import construct

import dorvane.backend.socket.protocol as protocol

FIELDS = ["net_length", "bEncrypt", "bCompress", "bContinue", "bHts", "nDecompressLength", "nKIVO",
          "nHandle", "ip4", "person_id", "nDecodeLength", "nOutHandle", "ret"]


def variant_of(header, variant):
    subcons = list(header.subcons)
    names = [sc.name for sc in subcons]
    if variant == "big5":
        i = names.index("person_id")
        text = construct.StringEncoded(construct.FixedSized(12, construct.NullStripped(construct.GreedyBytes)),
                                       "big5")
        subcons[i] = "person_id" / text
    elif variant.startswith("swap:"):
        a, b = variant[len("swap:"):].split(",")
        i, j = names.index(a), names.index(b)
        subcons[i], subcons[j] = b / subcons[i].subcon, a / subcons[j].subcon
    elif variant != "as-is":
        raise SystemExit("unknown variant " + variant)
    return construct.Struct(*subcons)


def outcome(call):
    try:
        return call()
    except Exception as exc:  # noqa: B902 - the kind of failure is what is compared
        return type(exc)


def record(parsed):
    return parsed if isinstance(parsed, type) else {name: parsed[name] for name in FIELDS}


def without_body(raw):
    """`raw` with the structure's net_length at 0, so no body follows the header."""
    try:
        fields = {name: value for name, value in protocol.HEADER.parse(raw).items() if name in FIELDS}
    except Exception:  # noqa: B902 - unreadable: net_length stays where the connection reads it
        return bytes(4) + raw[4:]
    fields["net_length"] = 0
    return protocol.HEADER.build(fields)


def main():
    protocol.HEADER = variant_of(protocol.HEADER, sys.argv[1])
    from dorvane.backend.socket.connect import Connection, Socket  # loads with the variant in place

    conn = Connection("127.0.0.1", 1, "A123456789", loop=asyncio.new_event_loop())
    # Every field its own value; person ids with and without the euro sign (code page 950 only).
    extra = dict(bEncrypt=3, bContinue=4, bHts=5, nOutHandle=2222, nDecodeLength=3333)
    for person in ["A123456789", "\u53f0\u7a4d", "\u20ac", "A\u20ac\u53f0"]:
        fields = protocol.gen_header(nKIVO=7, person_id=person, ip4=conn.ip4, **extra)
        fields.update(nHandle=1111, net_length=5, nDecompressLength=0)
        expected = outcome(lambda: protocol.HEADER.build(fields))
        got = outcome(lambda: conn._build_header(7, person, 1111, b"12345", **extra))
        if got != expected:
            return "build of {!r}: {!r} != {!r}".format(person, got, expected)

    raws = [bytes(range(1, 49)), bytes(range(100, 148))]
    for person in [b"A123456789", "\u53f0\u7a4d".encode("cp950"), b"\xa3\xe1"]:
        raws.append(bytes(4) + bytes(range(1, 21)) + person.ljust(12, b"\0") + bytes(range(60, 72)))
    paths = set()
    for raw in raws:
        raw = without_body(raw)
        expected = record(outcome(lambda: protocol.HEADER.parse(raw)))
        sock = Socket(conn)
        seen = []
        sock.event.on("data", f=seen.append)
        sock.event.on("error", f=lambda exc: None)
        sock.data_received(raw)
        got = record(seen[0][0]) if seen else "unreadable"
        if (got == "unreadable") != isinstance(expected, type) or (seen and got != expected):
            return "parse of {!r}: {!r} != {!r}".format(raw, got, expected)
        if seen:
            paths.add("structure" if "_io" in seen[0][0] else "native")
    return paths.pop() if len(paths) == 1 else "both paths: {}".format(paths)


if __name__ == "__main__":
    result = main()
    print(result)
    sys.exit(0 if result in ("native", "structure") else 1)
