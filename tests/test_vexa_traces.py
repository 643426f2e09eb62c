"""What the signing module leaves in the process and tells about it: the caller's OpenSSL errors
stay queued, no copy of the certificate password made by the library stays in memory, and a
certificate outside its validity period is named in the signing log. Each scenario runs in its own
interpreter and working folder."""
import pathlib

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
