"""dorvane.MIRVO.vexa without a certificate: module surface, the cError.h reader, raise_error and
the signature block of gen_vexa (with get_sign replaced on the module). Each scenario runs in its
own interpreter and working folder."""
import json

import pytest

from support import vexa_run


def run(tmp_path, script):
    return vexa_run.run(script, tmp_path)


def test_module_surface(tmp_path):
    out = run(tmp_path, """
        import inspect, urllib.parse
        names = [n for n in vars(vexa) if n in ("quote", "VexaError", "read_error_code_dict", "raise_error",
                                                "init_vexa", "get_sign", "gen_vexa")]
        report(names=names,
               quote=vexa.quote is urllib.parse.quote,
               bases=[b.__name__ for b in vexa.VexaError.__bases__],
               doc=vexa.VexaError.__doc__,
               own=sorted(set(vars(vexa.VexaError)) - {"__module__", "__doc__", "__weakref__", "__dict__"}),
               kw_folder=caught(vexa.read_error_code_dict, folder_path=None),
               two_folders=caught(vexa.read_error_code_dict, 1, 2),
               raise_missing=caught(vexa.raise_error, 1),
               gen_missing=caught(vexa.gen_vexa, "id"))
    """)
    r = out.report
    assert r["names"] == ["quote", "VexaError", "read_error_code_dict", "raise_error", "init_vexa", "get_sign",
                          "gen_vexa"]
    assert r["quote"] is True
    assert r["bases"] == ["Exception"]
    assert r["doc"] == "Vexa Error"
    assert r["own"] == []
    assert r["kw_folder"]["type"] == "TypeError"
    assert r["two_folders"]["type"] == "TypeError"
    assert r["raise_missing"]["type"] == "TypeError"
    assert r["gen_missing"]["type"] == "TypeError"
    assert out.printed == ""


def test_shipped_error_file(tmp_path):
    out = run(tmp_path, """
        import pathlib
        codes = vexa.read_error_code_dict(pathlib.Path(vexa.__file__).parent)
        report(codes={str(k): [list(v), v["error"], v["error_msg"]] for k, v in codes.items()},
               types=sorted({type(k).__name__ for k in codes}))
    """)
    codes = out.report["codes"]
    assert out.report["types"] == ["int"]
    for code in (0, 1102, 1202, 5002, 5005, 5010, 5011, 5012, 5017, 5061, 5204, 5208, 5901):
        keys, name, message = codes[str(code)]
        assert keys == ["error_msg", "error"]
        assert name.startswith("MIRVO_")
        assert message and not message.endswith("\r")
    # The message is everything after the last "// ", as the file has it.
    raw = (vexa_run.MODULE_DIR / "cError.h").read_bytes().decode("utf-8")
    line = next(l for l in raw.split("\r\n") if " 5208 " in l)
    assert codes["5208"][2] == line.split("// ")[-1]


@pytest.mark.parametrize("content, expected", [
    # name, code, message after the last "// " (blanks kept); other lines ignored; CRLF lines
    (b"// head\r\n#define A 1 // one\r\n  #define B 2 // not at the start\r\n#define C 3 // a // b c \r\n",
     {"1": {"error_msg": "one", "error": "A"}, "3": {"error_msg": "b c ", "error": "C"}}),
    # a later line with the same code replaces the earlier one
    (b"#define A 7 // first\r\n#define B 7 // second\r\n", {"7": {"error_msg": "second", "error": "B"}}),
    # no "// ": the whole line is the message
    (b"#define A 9 nine\r\n", {"9": {"error_msg": "#define A 9 nine", "error": "A"}}),
    # LF alone: one line, the first line's fields and the text after the file's last "// "
    (b"#define A 1 // one\n#define B 2 // two\n", {"1": {"error_msg": "two\n", "error": "A"}}),
    # UTF-8 messages
    ("#define X 5 // 憑證 ok\r\n".encode("utf-8"), {"5": {"error_msg": "憑證 ok", "error": "X"}}),
    (b"", {}),
], ids=["fields", "duplicate", "no_comment", "lf_only", "utf8", "empty"])
def test_read_error_code_dict(tmp_path, content, expected):
    (tmp_path / "cError.h").write_bytes(content)
    out = run(tmp_path, """
        import pathlib
        d = vexa.read_error_code_dict(pathlib.Path("."))
        report(d={str(k): v for k, v in d.items()}, order=[list(v) for v in d.values()])
    """)
    assert out.report["d"] == expected
    assert all(o == ["error_msg", "error"] for o in out.report["order"])


@pytest.mark.parametrize("content, error", [
    (b"#define  A 1 // two blanks\r\n", "ValueError"),
    (b"#define A x // not a number\r\n", "ValueError"),
    (b"#define A\r\n", "IndexError"),
    (b"#define A 1 // \xff\xfe\r\n", "UnicodeDecodeError"),
    (None, "FileNotFoundError"),
], ids=["two_blanks", "not_a_number", "too_few_fields", "not_utf8", "missing"])
def test_read_error_code_dict_failures(tmp_path, content, error):
    if content is not None:
        (tmp_path / "cError.h").write_bytes(content)
    out = run(tmp_path, """
        import pathlib
        report(r=caught(vexa.read_error_code_dict, pathlib.Path(".")))
    """)
    assert out.report["r"]["type"] == error
    if error == "IndexError":
        assert out.report["r"]["text"] == "list index out of range"


def test_raise_error(tmp_path):
    out = run(tmp_path, """
        codes = {5005: {"error_msg": "msg text", "error": "NAME"}, 7: {}}
        report(known=caught(vexa.raise_error, 5005, codes),
               keywords=caught(vexa.raise_error, error_code_dict=codes, return_code=5005),
               unknown=caught(vexa.raise_error, 1234, codes),
               empty=caught(vexa.raise_error, 42, {}),
               partial=caught(vexa.raise_error, 7, codes))
    """)
    r = out.report
    assert r["known"] == {"type": "VexaError", "module": "dorvane.MIRVO.vexa", "text": "NAME 5005 msg text"}
    assert r["keywords"]["text"] == "NAME 5005 msg text"
    assert r["unknown"]["text"] == " 1234 "
    assert r["empty"]["text"] == " 42 "
    assert r["partial"]["text"] == " 7 "


def test_raise_error_uses_the_module_vexa_error_at_call_time(tmp_path):
    out = run(tmp_path, """
        class Other(Exception):
            pass
        vexa.VexaError = Other
        report(r=caught(vexa.raise_error, 1, {}))
    """)
    assert out.report["r"]["type"] == "Other"


def test_signature_block(tmp_path):
    out = run(tmp_path, """
        seen = []
        def fake_sign(text):
            seen.append(text)
            return b"ab+/cd=="
        vexa.get_sign = fake_sign
        report(plain=vexa.gen_vexa("A123456789", 12345).decode(),
               keywords=vexa.gen_vexa(plain="x", user_id="U1").decode(),
               wide=list(vexa.gen_vexa("王小明", "x")),
               seen=seen)
    """)
    r = out.report
    assert r["plain"] == "00000016ab%2B%2Fcd%3D%3D00000010A123456789A123456789"
    assert r["keywords"] == "00000016ab%2B%2Fcd%3D%3D0000" + "0002U1U1"
    # the length field counts characters of one copy; the block holds UTF-8 bytes
    wide = bytes(r["wide"])
    assert wide == ("00000016ab%2B%2Fcd%3D%3D00000003" + "王小明" * 2).encode("utf-8")
    assert r["seen"] == ["12345", "x", "x"]


def test_signature_block_long_signature_and_errors(tmp_path):
    out = run(tmp_path, """
        vexa.get_sign = lambda text: b"A" * 9999 + b"+"
        block = vexa.gen_vexa("u", "x").decode()
        calls = []
        def my_quote(sig, safe):
            calls.append((sig, safe))
            return "Q"
        vexa.quote = my_quote
        replaced = vexa.gen_vexa("u", "x").decode()
        report(head=block[:9], length=len(block), tail=block[-13:],
               replaced=replaced, calls=[[c[0][-1:].decode(), c[1]] for c in calls],
               no_len=caught(vexa.gen_vexa, 5, "x"))
    """)
    r = out.report
    # 9999 letters and "%2B": 10002 characters, a five-digit length field, nothing cut
    assert r["head"] == "000010002"
    assert r["length"] == 4 + 5 + 10002 + 4 + 4 + 2
    assert r["tail"] == "%2B00000001uu"
    assert r["replaced"] == "00000001Q0000" + "0001uu"
    assert r["calls"] == [["+", ""]]
    assert r["no_len"]["type"] == "TypeError"
