"""What the signing module leaves in the process and tells about it: the caller's OpenSSL errors
stay queued, no copy of the certificate password made by the library stays in memory, and a
certificate outside its validity period is named in the signing log. Each scenario runs in its own
interpreter and working folder."""
import base64
import datetime
import os
import pathlib
import re
import textwrap

import pytest

from support import make_pki, vexa_run


def run(tmp_path, script, **names):
    return vexa_run.run(script.format(**{k: repr(v) for k, v in names.items()}), tmp_path)


def test_the_callers_queued_openssl_error_stays(tmp_path, pki):
    # An error the program queued on its thread (here through ctypes on the same libcrypto) before
    # each call is still the only one queued after it, whether the call succeeded or failed inside
    # OpenSSL (a wrong password fails the MAC check, a missing file fails before OpenSSL is used).
    out = run(tmp_path, """
        import ctypes
        crypto = ctypes.CDLL("libcrypto.so.3")
        for name in ("ERR_peek_error", "ERR_peek_last_error"):
            getattr(crypto, name).restype = ctypes.c_ulong
        crypto.ERR_set_error.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_char_p]
        crypto.ERR_set_debug.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p]
        crypto.ERR_new()
        crypto.ERR_set_debug(b"caller.c", 7, b"caller")
        crypto.ERR_set_error(128, 77, None)  # ERR_LIB_USER, reason 77
        queued = crypto.ERR_peek_error()
        steps = [
            ("wrong password", lambda: vexa.init_vexa({pfx}, "wrong password")),
            ("activation", lambda: vexa.init_vexa({pfx}, {password})),
            ("signature", lambda: vexa.get_sign("x")),
            ("missing file", lambda: vexa.init_vexa({missing}, {password})),
            ("signature after", lambda: vexa.get_sign("y")),
        ]
        seen = []
        for name, step in steps:
            outcome = caught(step)
            seen.append([name, outcome.get("type", "ok"), crypto.ERR_peek_error(), crypto.ERR_peek_last_error()])
        report(queued=queued, seen=seen)
    """, pfx=str(pki / "user_modern.pfx"), missing=str(pki / "missing.pfx"), password=make_pki.PASSWORD)
    r = out.report
    assert r["queued"] != 0
    assert [s[:2] for s in r["seen"]] == [["wrong password", "VexaError"], ["activation", "ok"], ["signature", "ok"],
                                          ["missing file", "VexaError"], ["signature after", "ok"]]
    for name, _, first, last in r["seen"]:
        assert (first, last) == (r["queued"], r["queued"]), name


# Counts the places in the process's own memory (every readable mapping of /proc/self/maps, read
# through /proc/self/mem) where `head` is directly followed by `tail`. The needle is given in two
# parts so that the scanner itself never holds it whole.
SCANNER = """
def scan(head, tail):
    needle = len(head) + len(tail)
    with open("/proc/self/maps") as maps:
        regions = [line.split() for line in maps]
    hits = 0
    with open("/proc/self/mem", "rb", buffering=0) as mem:
        for fields in regions:
            if fields[1][0] != "r" or fields[-1] in ("[vvar]", "[vsyscall]"):
                continue
            low, high = (int(x, 16) for x in fields[0].split("-"))
            at = low
            while at < high:
                size = min(high - at, 1 << 24)
                try:
                    mem.seek(at)
                    data = mem.read(size + needle - 1 if at + size < high else size)
                except OSError:
                    break
                found = data.find(head)
                while 0 <= found < size:
                    if data[found + len(head):found + needle] == tail:
                        hits += 1
                    found = data.find(head, found + 1)
                at += size
    return hits
"""


# Under AddressSanitizer the process maps terabytes of shadow memory, which the scan would read.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="the scan cannot read ASan's shadow")
@pytest.mark.parametrize("kind", ["str", "str_subclass"])
def test_no_copy_of_the_password_made_by_the_library_stays_in_memory(tmp_path, pki, kind):
    # The password has characters outside Latin-1, so the caller's str holds it as UCS-2 and its
    # UTF-8 bytes exist only in copies made for the activation. The str is made at run time from
    # code points (no constant of the script holds it), dropped after the activation and collected.
    # The scan looks for the UTF-8 bytes from the seventh character on: a copy released unwiped
    # keeps them even where the allocator wrote its own words over the first bytes. The password
    # is long, so that its copies fall in allocations that the work after them does not reuse. A
    # str subclass is encoded by its own encode, whose bytes the library wipes.
    password = make_pki.LONG_PASSWORD
    assert max(map(ord, password)) > 0xFF
    out = run(tmp_path, SCANNER + textwrap.dedent("""
        import gc
        codes = {codes}
        class Secret(str):
            pass
        pw = "".join(map(chr, codes))
        if {kind} == "str_subclass":
            pw = Secret(pw)
        code = vexa.init_vexa({pfx}, pw)
        signed = len(vexa.get_sign("x")) > 0
        utf8 = (pw[6:-1].encode("utf-8"), pw[-1].encode("utf-8"))
        ucs2 = (pw[6:-1].encode("utf-16-le"), pw[-1].encode("utf-16-le"))
        del pw
        gc.collect()
        after = scan(*utf8)
        callers = scan(*ucs2)
        # The scanner finds a copy that is there: the UTF-8 bytes made on purpose.
        kept = "".join(map(chr, codes)).encode("utf-8")
        control = scan(*utf8)
        report(code=code, signed=signed, after=after, callers=callers, control=control)
    """), pfx=str(pki / "user_long.pfx"), codes=[ord(c) for c in password], kind=kind)
    r = out.report
    assert (r["code"], r["signed"]) == (0, True)
    assert r["control"] >= 1
    assert r["after"] == 0, r


@pytest.mark.parametrize("pfx, cert, warning", [
    ("user_expired.pfx", "user_expired.der", "certificate expired: valid from 20010101080000 to 20020101080000"),
    ("user_notyet.pfx", "user_notyet.der", "certificate not yet valid: valid from 20900101080000 to 20910101080000"),
    ("user_modern.pfx", "user_valid.der", None),
], ids=["expired", "not_yet_valid", "valid"])
def test_a_certificate_outside_its_validity_is_named_in_the_log_and_still_signs(tmp_path, pki, pfx, cert, warning):
    # The signing log's WARN line of the activation names the period (the library's time texts, which
    # are shifted by 8 hours) and the time it was compared with, in the same clock; the certificate
    # signs.
    out = run(tmp_path, """
        import glob
        code = vexa.init_vexa({pfx}, {password})
        sig = vexa.get_sign("x")
        report(code=code, sig=sig.decode(), log=open(glob.glob("logs/vexa.log.*")[0], "rb").read().decode("latin-1"))
    """, pfx=str(pki / pfx), password=make_pki.PASSWORD)
    r = out.report
    assert r["code"] == 0
    der = base64.b64decode(r["sig"])
    assert vexa_run.cms_verify(der)[0] == 0
    assert vexa_run.signer_certificate_der(der, tmp_path) == (pki / cert).read_bytes()
    lines = [line for line in r["log"].splitlines() if re.match(r"\S+ \S+ \(PID=\d+\)  WARN certificate ", line)]
    if warning is None:
        assert lines == []
    else:
        assert len(lines) == 1
        now = lines[0].split("(now ")[1][:14]
        assert lines[0].split(" (PID=")[1].split(") ", 1)[1] == " WARN %s (now %s); it signs as before" % (warning, now)
        assert now.isdigit() and now[:4] == "%04d" % datetime.datetime.now().year


@pytest.mark.parametrize("zone", ["UTC", "Pacific/Honolulu", "Asia/Taipei"])
@pytest.mark.parametrize("start, end, warning", [
    (-600, 86400, None),                        # valid since ten minutes
    (-86400, -600, "certificate expired"),      # expired ten minutes ago
], ids=["valid_since_minutes", "expired_minutes_ago"])
def test_the_validity_warning_holds_in_every_time_zone(tmp_path, zone, start, end, warning):
    # The period's texts are Taiwan time whatever the machine's zone, so the moment they are compared
    # with is Taiwan time too: a certificate issued minutes ago is valid, one that ended minutes ago
    # expired, on a machine in any zone.
    now = datetime.datetime.utcnow().replace(microsecond=0)
    make_pki.self_signed_pfx(tmp_path / "user.pfx", now + datetime.timedelta(seconds=start),
                             now + datetime.timedelta(seconds=end))
    out = run(tmp_path, """
        import glob, time
        os.environ["TZ"] = {zone}
        time.tzset()
        code = vexa.init_vexa("user.pfx", "pw")
        report(code=code, log=open(glob.glob("logs/vexa.log.*")[0], "rb").read().decode("latin-1"))
    """, zone=zone)
    r = out.report
    assert r["code"] == 0
    lines = [line.split(") ", 1)[1] for line in r["log"].splitlines() if " WARN certificate " in line]
    assert [line.split(":")[0] for line in lines] == ([] if warning is None else [" WARN " + warning])
