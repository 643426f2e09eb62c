"""dorvane.MIRVO.vexa with real PKCS#12 files (made by tests/support/make_pki.py): init_vexa,
get_sign, gen_vexa and the signing log. Each scenario runs in its own interpreter and working
folder; every signature is checked with `openssl cms -verify`."""
import base64
import datetime
import pathlib
import re
import shutil
import urllib.parse

import pytest

from support import make_pki, vexa_run

ORDER = "台積電 買進 1000股 @585.0"

# The properties that init_vexa writes, with the chain files shipped in dorvane/MIRVO/P7B.
TEMPLATE = (
    "LOG.path = logs\n"
    "LOG.file = vexa.log\n"
    "LOG.level = DEBUG\n"
    "PFX.path = {vexa_path_folder}\n"
    "PFX.file = {vexa_name}\n"
    "PFX.checkValid = true\n"
    "PKCS7.digest = SHA256\n"
    "PKCS7.addCert = 1\n"
    "PKCS7.addPlainText = true\n"
    "PKCS7.addTimestamp = false\n"
    "P7B.path = {p7b_path}\n"
    "P7B0.name = Quorelt Secure VEXA_2012.p7b\n"
    "P7B0.SKI = 9DB0468DDECFBE117CD5D28C579901EE9F3583C8\n"
    "P7B1.name = Quorelt Secure VEXA_2014.p7b\n"
    "P7B1.SKI = E99492CB0578102497D25D0BEB0F0C321DD60867FDCBD26507A8FA0B024FA036\n"
    "P7B2.name = MIRVO Financial User VEXA_2014.p7b\n"
    "P7B2.SKI = 4C9DE980C8C830B8E03A5EAC9C2011B0AFBEC526E29CC8D3D74FDF13A887A43A\n"
    "P7B3.name = MIRVO Financial User VEXA_2017.p7b\n"
    "P7B3.SKI = 82852B05F15C6033B2D6EB15720EBE77E5998E6120323B7C46AF874093024BB8\n"
    "    "
)


def error_text(code):
    """VexaError's text for a code, from the shipped cError.h read here on its own."""
    raw = (vexa_run.MODULE_DIR / "cError.h").read_bytes().decode("utf-8")
    for line in raw.split("\r\n"):
        if line.startswith("#define"):
            fields = line.split(" ")
            if int(fields[2]) == code:
                return "%s %d %s" % (fields[1], code, line.split("// ")[-1])
    raise AssertionError("code %d not in cError.h" % code)


def run(tmp_path, script, **names):
    return vexa_run.run(script.format(**{k: repr(v) for k, v in names.items()}), tmp_path)


@pytest.mark.parametrize("pfx, password", [
    ("user_modern.pfx", make_pki.PASSWORD),
    ("user_legacy.pfx", make_pki.PASSWORD),
    ("user_nonascii.pfx", make_pki.NONASCII_PASSWORD),
    ("user_nonascii_latin1.pfx", make_pki.NONASCII_PASSWORD),
], ids=["modern", "legacy", "non_ascii_password", "non_ascii_older_tool"])
def test_activation_and_signature(tmp_path, pki, pfx, password):
    out = run(tmp_path, """
        import pathlib
        code = vexa.init_vexa(pathlib.Path({path}), {password})
        left = os.path.exists("p7Sign.properties")
        sig = vexa.get_sign({text})
        report(code=code, left=left, sig=sig.decode("ascii"), is_bytes=type(sig) is bytes)
    """, path=str(pki / pfx), password=password, text=ORDER)
    r = out.report
    assert r["code"] == 0
    assert r["left"] is False
    assert r["is_bytes"] is True
    assert out.printed.startswith("Vexa Initial Done.\n")
    vexa_run.check_signature(r["sig"].encode(), ORDER.encode("big5"), pki, tmp_path)


def test_bare_file_name_in_the_working_folder(tmp_path, pki):
    shutil.copy(pki / "user_modern.pfx", tmp_path / "Velmora.pfx")
    out = run(tmp_path, """
        report(code=vexa.init_vexa(vexa_pwd={password}), sig=vexa.get_sign(plaintext=12345).decode())
    """, password=make_pki.PASSWORD)
    assert out.report["code"] == 0
    vexa_run.check_signature(out.report["sig"].encode(), b"12345", pki, tmp_path)


def test_non_ascii_folder_and_file_name(tmp_path, pki):
    folder = tmp_path / "憑證 資料夾"
    folder.mkdir()
    shutil.copy(pki / "user_modern.pfx", folder / "使用者.pfx")
    work = tmp_path / "work"
    work.mkdir()
    out = run(work, """
        report(code=vexa.init_vexa({path}, {password}), sig=vexa.get_sign("x").decode())
    """, path=str(folder / "使用者.pfx"), password=make_pki.PASSWORD)
    assert out.report["code"] == 0
    vexa_run.check_signature(out.report["sig"].encode(), b"x", pki, work)


@pytest.mark.parametrize("pfx, password, code", [
    ("missing.pfx", make_pki.PASSWORD, 1102),
    ("notacert.pfx", make_pki.PASSWORD, 1102),
    ("user_modern.pfx", "wrong password", 5208),
    ("user_nomac.pfx", make_pki.PASSWORD, 5208),
    ("user_modern.pfx", "", 5005),
], ids=["missing_file", "not_a_certificate", "wrong_password", "no_mac", "no_password"])
def test_activation_failures(tmp_path, pki, pfx, password, code):
    out = run(tmp_path, """
        r = caught(vexa.init_vexa, {path}, {password})
        report(r=r, left=open("p7Sign.properties", encoding="utf-8").read())
    """, path=str(pki / pfx), password=password)
    r = out.report
    assert r["r"] == {"type": "VexaError", "module": "dorvane.MIRVO.vexa", "text": error_text(code)}
    assert "Vexa Initial Done." not in out.printed
    lines = r["left"].split("\n")
    assert lines[3] == "PFX.path = %s" % pki
    assert lines[4] == "PFX.file = %s" % pfx
    assert lines[10] == "P7B.path = %s" % (vexa_run.MODULE_DIR / "P7B")
    assert lines[-1] == "    "


def test_properties_written_from_the_template(tmp_path, pki):
    # The properties file as init_vexa writes it, read back before the signer deletes it.
    out = run(tmp_path, """
        real_remove = os.remove
        kept = []
        def remove(path):
            kept.append(open(path, "rb").read().decode("utf-8"))
            real_remove(path)
        os.remove = remove
        vexa.init_vexa({path}, {password})
        report(text=kept[0])
    """, path=str(pki / "user_modern.pfx"), password=make_pki.PASSWORD)
    expected = TEMPLATE.format(vexa_path_folder=pki, vexa_name="user_modern.pfx",
                               p7b_path=vexa_run.MODULE_DIR / "P7B")
    assert out.report["text"] == expected
    assert out.report["text"].endswith("\n    ")


def test_defaults_without_a_certificate_file(tmp_path):
    out = run(tmp_path, """
        r = caught(vexa.init_vexa)
        report(r=r, left=open("p7Sign.properties", encoding="utf-8").read().split("\\n")[3:5])
    """)
    assert out.report["r"]["text"] == error_text(5005)
    assert out.report["left"] == ["PFX.path = .", "PFX.file = Velmora.pfx"]


def test_password_that_is_not_text_or_holds_a_zero(tmp_path, pki):
    out = run(tmp_path, """
        report(r=caught(vexa.init_vexa, {path}, b"bytes"), left=os.path.exists("p7Sign.properties"),
               # cut at the zero, the password would be the right one: refused instead
               zero=caught(vexa.init_vexa, {path}, {password} + "\\0tail"),
               unsigned=caught(vexa.get_sign, "x")["type"])
    """, path=str(pki / "user_modern.pfx"), password=make_pki.PASSWORD)
    assert out.report["r"]["type"] == "AttributeError"
    assert out.report["left"] is True
    assert out.report["zero"]["type"] == "ValueError"
    assert out.report["unsigned"] == "VexaError"
    assert "Vexa Initial Done." not in out.printed


def test_signing_failures_raise_and_never_hand_back_an_older_signature(tmp_path, pki):
    out = run(tmp_path, """
        before = caught(vexa.get_sign, "text")
        vexa.init_vexa({path}, {password})
        first = vexa.get_sign("first").decode()
        report(before=before,
               empty=caught(vexa.get_sign, ""),
               default=caught(vexa.get_sign),
               nul=caught(vexa.get_sign, "abc\\0def"),
               not_big5=caught(vexa.get_sign, "emoji \\U0001F600"),
               block=caught(vexa.gen_vexa, "A1", ""),
               first=first,
               after=vexa.get_sign("after").decode())
    """, path=str(pki / "user_modern.pfx"), password=make_pki.PASSWORD)
    r = out.report
    assert r["before"]["type"] == "VexaError" and r["before"]["text"] == error_text(5010)
    assert r["empty"]["type"] == "VexaError" and r["empty"]["text"] == error_text(5005)
    assert r["default"]["text"] == error_text(5005)
    assert r["block"]["text"] == error_text(5005)
    assert r["nul"]["type"] == "ValueError" and "null" in r["nul"]["text"]
    assert r["not_big5"]["type"] == "UnicodeEncodeError"
    vexa_run.check_signature(r["first"].encode(), b"first", pki, tmp_path)
    vexa_run.check_signature(r["after"].encode(), b"after", pki, tmp_path)


def test_a_failed_activation_keeps_the_earlier_certificate(tmp_path, pki):
    out = run(tmp_path, """
        vexa.init_vexa({modern}, {password})
        failed = caught(vexa.init_vexa, {modern}, "wrong")
        kept = vexa.get_sign("kept").decode()
        vexa.init_vexa({expired}, {password})
        replaced = vexa.get_sign("replaced").decode()
        report(failed=failed, kept=kept, replaced=replaced)
    """, modern=str(pki / "user_modern.pfx"), expired=str(pki / "user_expired.pfx"), password=make_pki.PASSWORD)
    r = out.report
    assert r["failed"]["text"] == error_text(5208)
    vexa_run.check_signature(r["kept"].encode(), b"kept", pki, tmp_path)
    der = base64.b64decode(r["replaced"])
    assert vexa_run.cms_verify(der) == (0, b"replaced")
    assert vexa_run.signer_certificate_der(der, tmp_path) == (pki / "user_expired.der").read_bytes()
    assert out.printed.count("Vexa Initial Done.\n") == 2


def test_signature_block_with_a_real_signature(tmp_path, pki):
    out = run(tmp_path, """
        vexa.init_vexa({path}, {password})
        report(block=list(vexa.gen_vexa("A123456789", {text})))
    """, path=str(pki / "user_modern.pfx"), password=make_pki.PASSWORD, text=ORDER)
    block = bytes(out.report["block"]).decode("utf-8")
    assert block.startswith("0000")
    length = int(block[4:8])
    quoted = block[8:8 + length]
    assert block[8 + length:] == "00000010A123456789A123456789"
    assert not set("+/=") & set(quoted)
    assert quoted == urllib.parse.quote(urllib.parse.unquote(quoted), safe="")
    vexa_run.check_signature(urllib.parse.unquote(quoted).encode(), ORDER.encode("big5"), pki, tmp_path)


def test_daily_log_and_the_shipped_chains(tmp_path, pki):
    out = run(tmp_path, """
        caught(vexa.get_sign, "before")
        vexa.init_vexa({path}, {password})
        vexa.get_sign("x")
        report(files=sorted(os.listdir("logs")))
    """, path=str(pki / "user_modern.pfx"), password=make_pki.PASSWORD)
    today = datetime.date.today().strftime("%Y%m%d")
    assert out.report["files"] == ["vexa.log." + today]
    log = (tmp_path / "logs" / ("vexa.log." + today)).read_bytes().decode("big5")
    lines = log.split("\n")
    # Lines written before the log file was known come first, in their order.
    assert lines[0].endswith(" INFO begin MIRVOSign::SignPkcs7()")
    assert "pfx 載入錯誤" in lines[1]
    assert lines[2].endswith(" DEBUG SignPkcs7() return  = 0x00001392(5010)")
    assert lines[3].endswith(" INFO ")
    assert " DEBUG MIRVOSignInitial() return  = 0x00000000(0)\n" in log
    assert " DEBUG SignPkcs7() return  = 0x00000000(0)\n" in log
    for slot in range(4):
        assert " INFO 載入 P7B%d.name 檔成功\n" % slot in log
    # Nothing was left in memory for the end of the process.
    assert "begin MIRVOSign" not in out.printed


def test_lines_that_never_reached_a_log_file_are_printed_at_exit(tmp_path):
    out = run(tmp_path, """
        report(r=caught(vexa.get_sign, "x"))
    """)
    assert out.report["r"]["text"] == error_text(5010)
    after = out.stdout.split(vexa_run.MARK)[1]
    assert " INFO begin MIRVOSign::SignPkcs7()\n" in after
    assert not (tmp_path / "logs").exists()


def test_error_helpers_are_looked_up_at_call_time(tmp_path, pki):
    out = run(tmp_path, """
        folders = []
        def codes(folder):
            folders.append(str(folder))
            return {{1102: {{"error_msg": "from the replacement", "error": "NAME"}}}}
        vexa.read_error_code_dict = codes
        missing = caught(vexa.init_vexa, {missing}, "pw")
        calls = []
        def my_raise(code, table):
            calls.append([code, sorted(table)])
            raise RuntimeError("replaced")
        vexa.raise_error = my_raise
        unsigned = caught(vexa.get_sign, "x")
        report(missing=missing, unsigned=unsigned, calls=calls, folders=folders)
    """, missing=str(pki / "missing.pfx"))
    r = out.report
    assert r["missing"]["text"] == "NAME 1102 from the replacement"
    assert r["unsigned"] == {"type": "RuntimeError", "module": "builtins", "text": "replaced"}
    assert r["calls"] == [[5010, [1102]]]
    assert r["folders"] == [str(vexa_run.MODULE_DIR)] * 2


def test_signing_and_its_log_under_a_comma_locale(tmp_path, pki, comma_locale):
    # The signing library's numbers (log heads, return codes, lengths) never take the decimal
    # comma or the grouping of a locale that the program set.
    result = comma_locale.run("""
        import base64, os
        from dorvane.MIRVO import vexa
        code = vexa.init_vexa(%r, %r)
        sig = vexa.get_sign(%r)
        log = os.listdir("logs")[0]
        print(json.dumps({"code": code, "sig": sig.decode(),
                          "log": open(os.path.join("logs", log), "rb").read().decode("big5")}))
    """ % (str(pki / "user_modern.pfx"), make_pki.PASSWORD, ORDER), cwd=str(tmp_path))
    assert result["code"] == 0
    vexa_run.check_signature(result["sig"].encode(), ORDER.encode("big5"), pki, tmp_path)
    # Every line but the hex dumps (" 0x00000010 - ...") opens with the line head.
    lines = [line for line in result["log"].split("\n") if line and not line.startswith(" 0x")]
    head = re.compile(r"\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3} \(PID=\d+\) [ A-Z]{5} ")
    assert [line for line in lines if not head.match(line)] == []
    assert " DEBUG SignPkcs7() return  = 0x00000000(0)" in result["log"]


def test_concurrent_activations_each_succeed(tmp_path, pki):
    # Each activation writes the properties file, activates from it and deletes it; activations
    # from several threads must not read or delete each other's file.
    out = run(tmp_path, """
        import threading
        sys.setswitchinterval(1e-6)
        pairs = [({modern}, {password}), ({nonascii}, {nonascii_password})]
        outcomes = []
        def work(first):
            for k in range(12):
                path, password = pairs[(first + k) % 2]
                outcomes.append(caught(vexa.init_vexa, path, password))
        threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        report(outcomes=outcomes, left=os.path.exists("p7Sign.properties"), sig=vexa.get_sign("x").decode())
    """, modern=str(pki / "user_modern.pfx"), password=make_pki.PASSWORD,
        nonascii=str(pki / "user_nonascii.pfx"), nonascii_password=make_pki.NONASCII_PASSWORD)
    r = out.report
    assert r["outcomes"] == [{"result": "0"}] * 96
    assert r["left"] is False
    vexa_run.check_signature(r["sig"].encode(), b"x", pki, tmp_path)
