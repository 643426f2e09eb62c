"""The signing module in processes that fork and in processes that share a working folder.

A child forked while another thread of its parent is inside an activation (its locks), a signature
or a log line must activate and sign by itself; its log holds only its own lines. Two processes
activating in one working folder never read each other's properties file. A log whose folder
cannot be made keeps a bounded tail of its lines for the end of the process. Every scenario runs in
fresh interpreters; the children's signatures are checked with `openssl cms -verify`.
"""
import base64
import re
import subprocess

import pytest

from support import make_pki, vexa_run

# Forks a child at a time while one thread activates and another signs without pause; each child
# activates, signs its own text into child<i>.sig and leaves. A child still running after 5 seconds
# is a hang (killed and counted).
FORK_WHILE_BUSY = """
import threading, time
sys.setswitchinterval(1e-5)
PFX, PW, N = {pfx!r}, {password!r}, {children}
vexa.init_vexa(PFX, PW)
stop = threading.Event()
def activate():
    while not stop.is_set():
        vexa.init_vexa(PFX, PW)
def sign():
    while not stop.is_set():
        vexa.get_sign("busy")
threads = [threading.Thread(target=activate), threading.Thread(target=sign)]
for t in threads:
    t.start()
outcomes = []
for i in range(N):
    time.sleep(0.001 * (i % 5))
    sys.stdout.flush()
    pid = os.fork()
    if pid == 0:
        try:
            vexa.init_vexa(PFX, PW)
            with open("child%d.sig" % i, "wb") as f:
                f.write(vexa.get_sign("child %d" % i))
            os._exit(0)
        except BaseException:
            os._exit(3)
    outcomes.append(waited(pid))
stop.set()
for t in threads:
    t.join()
report(outcomes=outcomes, left=os.path.exists("p7Sign.properties"))
"""


def fork_while_busy(pki, work, children):
    """Runs FORK_WHILE_BUSY; the children's outcomes (0, an exit code or "hung") and how many of
    their signatures failed `openssl cms -verify`."""
    out = vexa_run.run(FORK_WHILE_BUSY.format(pfx=str(pki / "user_modern.pfx"), password=make_pki.PASSWORD,
                                              children=children), work, timeout=120)
    unverified = 0
    for i in range(children):
        sig = work / ("child%d.sig" % i)
        if not sig.exists():
            unverified += 1
            continue
        code, content = vexa_run.cms_verify(base64.b64decode(sig.read_bytes(), validate=True))
        unverified += code != 0 or content != b"child %d" % i
    return out.report, unverified


def test_children_forked_while_threads_activate_and_sign(tmp_path, pki):
    report, unverified = fork_while_busy(pki, tmp_path, 30)
    assert report["outcomes"] == [0] * 30
    assert unverified == 0
    assert report["left"] is False
    vexa_run.check_signature((tmp_path / "child0.sig").read_bytes(), b"child 0", pki, tmp_path)


def test_a_forked_child_logs_only_its_own_buffered_lines(tmp_path, pki):
    # No log folder can be made ("logs" is a file), so every line stays in memory until the end of
    # the process, which prints it. A child forked while its parent signs and logs prints only its
    # own lines (every line head carries the writer's process id).
    out = vexa_run.run("""
        import threading, time
        open("logs", "w").close()
        vexa.init_vexa({pfx!r}, {password!r})
        stop = threading.Event()
        def sign():
            while not stop.is_set():
                vexa.get_sign("parent")
        signer = threading.Thread(target=sign)
        signer.start()
        children = []
        for i in range(5):
            time.sleep(0.003)
            sys.stdout.flush()
            pid = os.fork()
            if pid == 0:
                os.dup2(os.open("child%d.out" % i, os.O_WRONLY | os.O_CREAT | os.O_TRUNC), 1)
                vexa.get_sign("child")
                sys.exit(0)
            waited(pid)
            children.append(pid)
        stop.set()
        signer.join()
        report(children=children, parent=os.getpid())
    """.format(pfx=str(pki / "user_modern.pfx"), password=make_pki.PASSWORD), tmp_path)
    r = out.report
    heads = re.compile(r"^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3} \(PID=(\d+)\)", re.M)
    for i, pid in enumerate(r["children"]):
        printed = (tmp_path / ("child%d.out" % i)).read_bytes().decode("big5")
        assert " INFO begin MIRVOSign::SignPkcs7()\n" in printed
        assert set(heads.findall(printed)) == {str(pid)}
    at_exit = out.stdout.split(vexa_run.MARK)[1]
    assert " INFO begin MIRVOSign::SignPkcs7()\n" in at_exit
    assert set(heads.findall(at_exit)) == {str(r["parent"])}


# Activates and signs N times with one certificate; counts the signatures that carry another
# certificate than its own and the activations that failed. Waits for its partner first.
ACTIVATE_IN_SHARED_FOLDER = """
import base64, time
me, partner = {me!r}, {partner!r}
PFX, PW, OWN, N = {pfx!r}, {password!r}, bytes.fromhex({own!r}), {count}
open("ready-" + me, "w").close()
while not os.path.exists("ready-" + partner):
    time.sleep(0.001)
wrong, failures = 0, []
for i in range(N):
    try:
        vexa.init_vexa(PFX, PW)
        wrong += OWN not in base64.b64decode(vexa.get_sign("x"))
    except Exception as exc:
        failures.append(repr(exc))
report(wrong=wrong, failures=failures[:5], failed=len(failures))
"""


@pytest.fixture(scope="module")
def other_signer(tmp_path_factory):
    """A second signer (RSA key, self-issued certificate) as PKCS#12 file and certificate DER."""
    folder = tmp_path_factory.mktemp("other")
    run = lambda *args: subprocess.run(["openssl"] + list(args), cwd=folder, check=True,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Other Signer", "-days", "30",
        "-keyout", "other.key", "-out", "other.pem")
    run("x509", "-in", "other.pem", "-outform", "DER", "-out", "other.der")
    run("pkcs12", "-export", "-in", "other.pem", "-inkey", "other.key", "-out", "other.pfx",
        "-passout", "pass:" + make_pki.PASSWORD)
    return folder / "other.pfx", (folder / "other.der").read_bytes()


def activate_in_shared_folder(pki, other_signer, work, count):
    """Two processes activating `count` times each in `work` with different certificates."""
    other_pfx, other_der = other_signer
    signers = [("a", "b", pki / "user_modern.pfx", (pki / "user_valid.der").read_bytes()),
               ("b", "a", other_pfx, other_der)]
    outcomes = vexa_run.run_together([ACTIVATE_IN_SHARED_FOLDER.format(
        me=me, partner=partner, pfx=str(pfx), password=make_pki.PASSWORD, own=der.hex(), count=count)
        for me, partner, pfx, der in signers], work, timeout=120)
    return [o.report for o in outcomes]


def test_two_processes_activating_in_one_folder(tmp_path, pki, other_signer):
    for r in activate_in_shared_folder(pki, other_signer, tmp_path, 100):
        assert r == {"wrong": 0, "failures": [], "failed": 0}
    assert sorted(p.name for p in tmp_path.iterdir()) == ["logs", "ready-a", "ready-b"]


def test_a_log_without_its_folder_keeps_a_bounded_tail(tmp_path, pki):
    # About 13 KB of DEBUG lines a signature here: 80 signatures pass the 512 KiB that the log keeps
    # in memory; the end of the process prints the latest lines behind a line that says what was
    # dropped.
    out = vexa_run.run("""
        open("logs", "w").close()
        vexa.init_vexa({pfx!r}, {password!r})
        for i in range(80):
            vexa.get_sign("order %d" % i)
        report()
    """.format(pfx=str(pki / "user_modern.pfx"), password=make_pki.PASSWORD), tmp_path)
    assert out.returncode == 0
    at_exit = out.raw_stdout.split(vexa_run.MARK.encode())[1].split(b"\n", 1)[1]
    notice, kept = at_exit.split(b"\n", 1)
    dropped = re.fullmatch(rb"\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3} \(PID=\d+\)  WARN (\d+) bytes of earlier "
                           rb"lines dropped: the log keeps at most 524288 bytes in memory until its file is "
                           rb"known", notice)
    assert dropped and int(dropped.group(1)) > 0
    assert 262144 <= len(kept) <= 524288
    assert re.match(rb"\d{4}/", kept)
    assert kept.endswith(b" DEBUG SignPkcs7() return  = 0x00000000(0)\n")
    assert kept.count(b" INFO begin MIRVOSign::SignPkcs7()\n") < 80


def test_a_child_forked_while_a_thread_waits_for_the_folder_forks_again(tmp_path, pki):
    # A thread of the parent waits for the working folder's lock (held here on another descriptor)
    # when the parent forks. The child's own threads activate (their stacks take the place of the
    # waiting thread's), then the child forks a grandchild, which activates and signs.
    out = vexa_run.run("""
        import fcntl, threading, time
        PFX, PW = {pfx!r}, {password!r}
        def forked(body, then=lambda: None):
            sys.stdout.flush()
            pid = os.fork()
            if pid == 0:
                try:
                    body()
                    os._exit(0)
                except BaseException:
                    os._exit(3)
            then()
            return waited(pid, 10)
        def grandchild():
            vexa.init_vexa(PFX, PW)
            vexa.get_sign("x")
        def child():
            os.close(held)
            for i in range(3):
                t = threading.Thread(target=vexa.init_vexa, args=(PFX, PW))
                t.start()
                t.join()
            with open("grandchild", "w") as f:
                f.write(repr(forked(grandchild)))
        vexa.init_vexa(PFX, PW)
        held = os.open(".", os.O_RDONLY)
        fcntl.flock(held, fcntl.LOCK_EX)
        waiting = threading.Thread(target=vexa.init_vexa, args=(PFX, PW))
        waiting.start()
        time.sleep(0.2)
        outcome = forked(child, then=lambda: fcntl.flock(held, fcntl.LOCK_UN))
        waiting.join()
        with open("grandchild") as f:
            report(child=outcome, grandchild=f.read())
    """.format(pfx=str(pki / "user_modern.pfx"), password=make_pki.PASSWORD), tmp_path)
    assert out.report == {"child": 0, "grandchild": "0"}


def test_a_child_forked_inside_an_activation_leaves_the_parent_its_folder_lock(tmp_path, pki):
    # A replaced raise_error runs inside the activation and forks there. The child's activation
    # ends with the error raised, which gives its copy of the folder's lock back; the parent's
    # activation, still running, must hold the folder's lock until it ends itself.
    out = vexa_run.run("""
        import fcntl
        def probe():
            fd = os.open(".", os.O_RDONLY)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return "free"
            except BlockingIOError:
                return "locked"
            finally:
                os.close(fd)
        seen = []
        def forking_raise_error(code, codes):
            seen.append(probe())
            sys.stdout.flush()
            pid = os.fork()
            if pid == 0:
                raise RuntimeError("in the child")
            seen.append(waited(pid, 10))
            seen.append(probe())
            raise RuntimeError("in the parent")
        vexa.raise_error = forking_raise_error
        raised = caught(vexa.init_vexa, {pfx!r}, "wrong password")
        if raised["text"] == "in the child":
            os._exit(0)
        report(seen=seen, raised=raised["text"], after=probe())
    """.format(pfx=str(pki / "user_modern.pfx")), tmp_path)
    assert out.report == {"seen": ["locked", 0, "locked"], "raised": "in the parent", "after": "free"}
