"""The library's outputs are the same bytes whatever C locale a program sets: each main path (stock
order bodies and headers, signatures and the signing log, the socket login's frames, quote topics,
code tables, the contract catalogue, futures and option requests, account reports, error texts) is
run in a child interpreter under a hostile locale and compared byte for byte with a run under "C".
The paths themselves are in tests/support/locale_probe.py."""
import json
import os
import subprocess
import sys

import pytest

PROBE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "support", "locale_probe.py")

# locale: what makes it hostile, as the C library reports it.
LOCALES = {
    "de_DE.UTF-8": {"decimal_point": ","},
    "tr_TR.UTF-8": {"towupper_i": 0x130},                              # i -> dotted capital I
    "tr_TR.ISO-8859-9": {"toupper_i": 0xDD, "codeset": "ISO-8859-9"},  # the same on single bytes
    "zh_TW.BIG5": {"codeset": "BIG5"},
    "zh_TW.UTF-8": {"codeset": "UTF-8"},
}


def probe(name, test_locales, pki, folder):
    """The probe's report under locale `name`, run in `folder`."""
    folder.mkdir()
    proc = subprocess.run([sys.executable, PROBE, name, str(pki)], cwd=str(folder), env=test_locales.build(name),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    assert proc.returncode == 0, proc.stderr.decode("utf-8", "replace")
    return json.loads(proc.stdout.decode("ascii").splitlines()[-1])


@pytest.fixture(scope="module")
def c_outputs(test_locales, pki, tmp_path_factory):
    return probe("C", test_locales, pki, tmp_path_factory.mktemp("c") / "run")["outputs"]


def first_difference(expected, got):
    """Where two texts part, with some context on each side."""
    at = next((i for i, (a, b) in enumerate(zip(expected, got)) if a != b), min(len(expected), len(got)))
    return "at %d: C %r, here %r" % (at, expected[max(0, at - 60):at + 60], got[max(0, at - 60):at + 60])


@pytest.mark.parametrize("name", list(LOCALES))
def test_every_output_matches_the_c_locale(name, test_locales, pki, c_outputs, tmp_path):
    report = probe(name, test_locales, pki, tmp_path / "run")
    state = report["state"]
    assert state["locale"] == name
    assert {key: state[key] for key in LOCALES[name]} == LOCALES[name]
    outputs = report["outputs"]
    assert sorted(outputs) == sorted(c_outputs)
    differing = {key: first_difference(c_outputs[key], outputs[key]) for key in c_outputs
                 if outputs[key] != c_outputs[key]}
    assert differing == {}
