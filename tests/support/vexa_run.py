"""Runs signing-module scenarios in fresh interpreters and checks signatures with the openssl tool.

The signer, its log and its chains are process-wide, so every scenario gets its own interpreter
and its own working folder. A scenario is Python source run after `from dorvane.MIRVO import vexa`;
it reports by calling `report(**values)` (JSON on a marked line of standard output) and may wait
for a child it forked with `waited(pid)`.
"""
import base64
import json
import pathlib
import subprocess
import sys
import textwrap

from support.sanitized import SLOWDOWN

ROOT = pathlib.Path(__file__).resolve().parent.parent.parent
MODULE_DIR = ROOT / "dorvane" / "MIRVO"
MARK = "@@scenario@@"

_PRELUDE = """\
import json, os, sys
sys.path.insert(0, {root!r})
def report(**values):
    sys.stdout.flush()
    print({mark!r} + json.dumps(values), flush=True)
def caught(fn, *args, **kwargs):
    try:
        return {{"result": repr(fn(*args, **kwargs))}}
    except BaseException as exc:
        return {{"type": type(exc).__name__, "module": type(exc).__module__, "text": str(exc)}}
# The exit code of a forked child, or "hung" when it ran on after `seconds` (scaled for the
# sanitized build), then killed: with the child's state and kernel wait point (a lock's futex, or
# running), read before the kill.
def waited(pid, seconds=5):
    import time
    deadline = time.monotonic() + seconds * {slowdown}
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            try:
                with open("/proc/%d/stat" % pid) as f:
                    state = f.read().rsplit(")", 1)[1].split()[0]
                with open("/proc/%d/wchan" % pid) as f:
                    state += " " + f.read().strip()
            except OSError as e:
                state = str(e)
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            return "hung (%s)" % state
        time.sleep(0.002)
from dorvane.MIRVO import vexa
"""


class Outcome:
    def __init__(self, proc):
        self.returncode = proc.returncode
        self.raw_stdout = proc.stdout
        self.stdout = proc.stdout.decode("utf-8", "replace")
        self.stderr = proc.stderr.decode("utf-8", "replace")
        self.reports = [json.loads(line[len(MARK):]) for line in self.stdout.splitlines() if line.startswith(MARK)]
        # Standard output without the report lines: what the scenario itself printed.
        self.printed = "".join(line + "\n" for line in self.stdout.splitlines() if not line.startswith(MARK))

    @property
    def report(self):
        assert self.returncode == 0, self.stderr
        assert len(self.reports) == 1, self.stdout
        return self.reports[0]


def _source(script):
    return _PRELUDE.format(root=str(ROOT), mark=MARK, slowdown=SLOWDOWN) + textwrap.dedent(script)


def run(script, cwd, timeout=60):
    """Runs the scenario in a new interpreter with `cwd` as working folder."""
    proc = subprocess.run([sys.executable, "-c", _source(script)], cwd=str(cwd), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=timeout)
    return Outcome(proc)


def run_together(scripts, cwd, timeout=60):
    """Runs the scenarios at once, each in a new interpreter in the same working folder; their
    outcomes in order."""
    procs = [subprocess.Popen([sys.executable, "-c", _source(script)], cwd=str(cwd), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE) for script in scripts]
    try:
        done = [proc.communicate(timeout=timeout) for proc in procs]
    finally:
        for proc in procs:
            proc.kill()
    return [Outcome(subprocess.CompletedProcess(proc.args, proc.returncode, stdout, stderr))
            for proc, (stdout, stderr) in zip(procs, done)]


def cms_verify(der, *extra):
    """`openssl cms -verify -inform DER -noverify -binary`: (return code, recovered content)."""
    proc = subprocess.run(["openssl", "cms", "-verify", "-inform", "DER", "-noverify", "-binary"] + list(extra),
                          input=der, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return proc.returncode, proc.stdout


def cms_print(der):
    proc = subprocess.run(["openssl", "cms", "-cmsout", "-print", "-inform", "DER"], input=der,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True)
    return proc.stdout.decode("utf-8", "replace")


def signer_certificate_der(der, folder):
    """The DER of the certificate that signed (openssl cms -verify -signer)."""
    pem = pathlib.Path(folder) / "signer.pem"
    code, _ = cms_verify(der, "-signer", str(pem))
    assert code == 0
    return subprocess.run(["openssl", "x509", "-in", str(pem), "-outform", "DER"], stdout=subprocess.PIPE,
                          check=True).stdout


def check_signature(signature, signed_bytes, pki, folder):
    """Asserts the template's signature form for base64 `signature` over `signed_bytes`:
    one line of base64, SHA-256, content attached, no signed attributes, and exactly the PKCS#12
    file's certificate inside. Returns the DER."""
    assert isinstance(signature, bytes)
    assert b"\n" not in signature and b"\r" not in signature
    der = base64.b64decode(signature, validate=True)
    code, content = cms_verify(der)
    assert code == 0
    assert content == signed_bytes
    printed = cms_print(der)
    assert "algorithm: sha256" in printed
    assert "signedAttrs:\n          <ABSENT>" in printed
    assert printed.count("subject: ") == 1
    assert signer_certificate_der(der, folder) == (pathlib.Path(pki) / "user_valid.der").read_bytes()
    return der
