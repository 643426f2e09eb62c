"""HttpApi.activate_vexa with real PKCS#12 files (tests/support/make_pki.py). The signer is
process-wide, so each scenario runs in its own interpreter and working folder."""
from support import make_pki, vexa_run


def run(tmp_path, script, **names):
    prelude = """
        import sys
        from dorvane.backend.http.main import HttpApi
        api = HttpApi(True, None)
    """
    return vexa_run.run(prelude + script.format(**{k: repr(v) for k, v in names.items()}), tmp_path)


def test_activation_registers_the_module_per_person(tmp_path, pki):
    out = run(tmp_path, """
        registry = api.client.activated_vexa
        first = api.activate_vexa({path}, {password}, "A123456789")
        second = api.activate_vexa(vexa_path={path}, vexa_passwd={password}, person_id="B987654321")
        before = registry["A123456789"]
        third = api.activate_vexa({path}, {password}, "A123456789")
        report(results=[first, second, third], ids=list(registry),
               same=all(v is sys.modules["dorvane.MIRVO.vexa"] for v in registry.values()),
               before=before is vexa, left=os.path.exists("p7Sign.properties"),
               sig=vexa.get_sign("order").decode())
    """, path=str(pki / "user_modern.pfx"), password=make_pki.PASSWORD)
    r = out.report
    assert r["results"] == [0, 0, 0]
    assert r["ids"] == ["A123456789", "B987654321"]
    assert r["same"] is True and r["before"] is True and r["left"] is False
    assert out.printed.count("Vexa Initial Done.\n") == 3
    vexa_run.check_signature(r["sig"].encode(), b"order", pki, tmp_path)


def test_failed_activation_registers_nothing(tmp_path, pki):
    out = run(tmp_path, """
        api.activate_vexa({path}, {password}, "A1")
        failed = caught(api.activate_vexa, {path}, "wrong password", "B2")
        again = caught(api.activate_vexa, {path}, "wrong password", "A1")
        report(failed=failed, again=again, ids=list(api.client.activated_vexa),
               missing=caught(api.activate_vexa, {path}, {password}))
    """, path=str(pki / "user_modern.pfx"), password=make_pki.PASSWORD)
    r = out.report
    assert r["failed"]["type"] == "VexaError" and r["failed"]["module"] == "dorvane.MIRVO.vexa"
    assert r["failed"]["text"].split(" ")[1] == "5208"
    assert r["again"]["type"] == "VexaError"
    assert r["ids"] == ["A1"]
    assert r["missing"]["type"] == "TypeError"
