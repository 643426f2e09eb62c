"""The 48-byte message header and the header-field dictionaries made by gen_header."""
import struct

import construct
import pytest

import dorvane.backend.socket.protocol as protocol
from dorvane.backend.socket.protocol import core, fenrik, kivo
from dorvane.backend.socket.protocol.utils import ip_convert

# An independent decoder of the wire layout, so a symmetric fault in the structure cannot hide.
WIRE = struct.Struct(">iBBBBiiiI12sIiI")

FIELDS = ["net_length", "bEncrypt", "bCompress", "bContinue", "bHts", "nDecompressLength",
          "nKIVO", "nHandle", "ip4", "person_id", "nDecodeLength", "nOutHandle", "ret"]

DEFAULTS = {"net_length": 0, "bEncrypt": 0, "bCompress": 0, "bContinue": 0, "bHts": 1,
            "nDecompressLength": 0, "nKIVO": 0, "nHandle": 666, "ip4": ip_convert(""),
            "person_id": "", "nDecodeLength": 0, "nOutHandle": 105, "ret": 0}

# gen_header keyword arguments -> what a header built from them must hold.
CASES = {
    "defaults": {},
    "keep-alive": {"nKIVO": 2, "ip4": "127.0.0.1", "person_id": "A123456789"},
    "big5 person id": {"person_id": "測試帳號", "ip4": "192.168.1.20"},
    "12-byte person id": {"person_id": "ABCDEFGHIJKL", "ip4": "10.0.0.1"},
    "signed low edges": {"net_length": -2**31, "nDecompressLength": -1, "nKIVO": -2**31,
                         "nHandle": -1, "nOutHandle": -2**31},
    "high edges": {"net_length": 2**31 - 1, "bEncrypt": 255, "bCompress": 255, "bContinue": 255,
                   "bHts": 255, "nDecompressLength": 2**31 - 1, "nKIVO": 2**31 - 1,
                   "nHandle": 2**31 - 1, "ip4": "255.255.255.255", "nDecodeLength": 2**32 - 1,
                   "nOutHandle": 2**31 - 1},
}


def expected_fields(kwargs):
    return {**DEFAULTS, **kwargs, "ip4": ip_convert(kwargs.get("ip4", ""))}


def test_module_names():
    assert kivo.__all__ == ["ST_TRADE"]
    assert core.__all__ == ["STATUS_CODE", "HEADER", "HEADER_SIZE", "gen_header"]
    assert core.HEADER is kivo.ST_TRADE
    assert core.STATUS_CODE is fenrik.Fenrik
    assert core.HEADER_SIZE == 48 == core.HEADER.sizeof()
    assert isinstance(core.HEADER, construct.Struct)
    assert core.ip_convert is ip_convert
    for name in core.__all__:
        assert getattr(protocol, name) is getattr(core, name)


def test_defaults():
    header = core.gen_header()
    assert type(header) is dict
    assert list(header) == FIELDS
    assert header == DEFAULTS


def test_keep_alive_bytes():
    built = core.HEADER.build(core.gen_header(nKIVO=2))
    assert built == bytes.fromhex(
        "00000000" "000000" "01" "00000000" "00000002" "0000029a" "00000000"
        + "00" * 12 + "00000000" "00000069" "00000000")


@pytest.mark.parametrize("kwargs", CASES.values(), ids=CASES.keys())
def test_build_layout_and_round_trip(kwargs):
    fields = expected_fields(kwargs)
    header = core.gen_header(**kwargs)
    assert header == fields
    built = core.HEADER.build(header)
    assert len(built) == 48
    wire = dict(zip(FIELDS, WIRE.unpack(built)))
    assert wire.pop("person_id") == fields["person_id"].encode("cp950").ljust(12, b"\0")
    assert wire == {k: v for k, v in fields.items() if k != "person_id"}
    parsed = core.HEADER.parse(built)
    assert {name: getattr(parsed, name) for name in FIELDS} == fields


# (first byte, last byte) set to FF in an otherwise zero header -> the field and its value.
@pytest.mark.parametrize("start, stop, field, value", [
    (0, 4, "net_length", -1),
    (4, 5, "bEncrypt", 255),
    (7, 8, "bHts", 255),
    (8, 12, "nDecompressLength", -1),
    (12, 16, "nKIVO", -1),
    (16, 20, "nHandle", -1),
    (20, 24, "ip4", 4294967295),
    (36, 40, "nDecodeLength", 4294967295),
    (40, 44, "nOutHandle", -1),
    (44, 48, "ret", 4294967295),
])
def test_parse_all_ones(start, stop, field, value):
    data = bytearray(48)
    data[start:stop] = b"\xff" * (stop - start)
    parsed = core.HEADER.parse(bytes(data))
    assert getattr(parsed, field) == value
    assert core.HEADER.build(dict(parsed)) == bytes(data)


@pytest.mark.parametrize("field, value, error", [
    ("ret", -1, construct.FormatFieldError),
    ("ip4", 2**32, construct.FormatFieldError),
    ("net_length", 2**31, construct.FormatFieldError),
    ("nHandle", -2**31 - 1, construct.FormatFieldError),
    ("bHts", 256, construct.FormatFieldError),
    ("nDecodeLength", -1, construct.FormatFieldError),
    ("person_id", "A" * 13, construct.ConstructError),
    ("person_id", "測試測試測試測", construct.ConstructError),
])
def test_build_refuses_values_that_do_not_fit(field, value, error):
    header = core.gen_header()
    header[field] = value
    with pytest.raises(error):
        core.HEADER.build(header)


def test_build_refuses_missing_field():
    header = core.gen_header()
    del header["ret"]
    with pytest.raises(KeyError):
        core.HEADER.build(header)


def test_twelve_positional_arguments_in_field_order():
    values = [1, 2, 3, 4, 5, 6, 7, 8, "1.2.3.4", "ID", 11, 12]
    header = core.gen_header(*values)
    assert list(header) == FIELDS
    assert list(header.values()) == values[:8] + [0x01020304, "ID", 11, 12, 0]


def test_values_are_stored_unvalidated():
    marker = object()
    header = core.gen_header(nKIVO="two", person_id=None, nOutHandle=marker, bHts=2**40)
    assert header["nKIVO"] == "two"
    assert header["person_id"] is None
    assert header["nOutHandle"] is marker
    assert header["bHts"] == 2**40


@pytest.mark.parametrize("args, kwargs", [
    ((), {"ret": 5}),
    ((), {"ret": 0}),
    ((), {"nkivo": 2}),
    (tuple(range(13)), {}),
    ((0,), {"net_length": 0}),
    ((0, 0, 0, 0, 0, 0, 0, 666, ""), {"ip4": ""}),
], ids=["ret", "ret zero", "unknown keyword", "13 positional", "duplicate first", "duplicate ip4"])
def test_argument_errors(args, kwargs):
    with pytest.raises(TypeError):
        core.gen_header(*args, **kwargs)


@pytest.mark.parametrize("ip4", ["300.1.1.1", "localhost", "1.2.3", 12345, None])
def test_ip_convert_errors_propagate(ip4):
    with pytest.raises(Exception) as expected:
        ip_convert(ip4)
    with pytest.raises(type(expected.value)) as raised:
        core.gen_header(ip4=ip4)
    assert str(raised.value) == str(expected.value)


def test_ip_convert_receives_argument_unchanged_at_each_call(monkeypatch):
    seen = []
    monkeypatch.setattr(core, "ip_convert", lambda ip4: seen.append(ip4) or len(seen))
    marker = object()
    assert core.gen_header()["ip4"] == 1
    assert core.gen_header(ip4=marker)["ip4"] == 2
    assert seen == ["", marker]


def test_each_call_returns_a_new_dictionary():
    first, second = core.gen_header(), core.gen_header()
    assert first is not second
    first["nHandle"] = 1
    first["ret"] = 7
    del first["ip4"]
    assert second == DEFAULTS
    assert core.gen_header() == DEFAULTS
