"""What dorvane.MIRVO.vexa does to the host: the values it writes into p7Sign.properties, the
names it opens in the working folder (links, FIFOs, modes), the certificate path it reads, and the
working folder's lock. Each scenario runs in a fresh interpreter in its own working folder, with the
links, FIFOs and lock holders made by the test; signatures are read with the openssl tool."""
import datetime
import fcntl
import os
import pathlib
import shutil
import stat
import subprocess
import sys

import pytest

from support import make_pki, vexa_run


def today_log():
    return "vexa.log." + datetime.date.today().strftime("%Y%m%d")


@pytest.fixture
def work(tmp_path):
    """The scenario's working folder; tmp_path itself holds what the test puts outside it."""
    folder = tmp_path / "work"
    folder.mkdir()
    return folder


def run(work, script, timeout=60, **names):
    return vexa_run.run(script.format(**{k: repr(v) for k, v in names.items()}), work, timeout=timeout)


# Certificate paths whose text would write other settings into p7Sign.properties or cut it short,
# or that the file, which is UTF-8 text, cannot hold (a file system name's bytes that are not UTF-8).
# "other" is a copy of another person's certificate, which the hostile path must never activate.
@pytest.mark.parametrize("path", [
    "hostile\nPFX.signerFilter = //S_CN=NOBODY//\n/user_modern.pfx",
    "certs\nX = y/other.pfx",
    "certs\rPKCS7.addPlainText = false/other.pfx",
    "certs\0/other.pfx",
    "certs/other.pfx\0tail",
    "certs/ other.pfx",
    "certs/other.pfx\t",
    os.fsdecode(b"certs\xff/other.pfx"),
    os.fsdecode(b"certs/other\xe9.pfx"),
    "certs/other\ud800.pfx",
], ids=["newline_filter", "newline_other_file", "carriage_return", "nul_in_folder", "nul_in_name",
        "leading_blank", "trailing_tab", "folder_not_utf8", "name_not_utf8", "lone_surrogate"])
def test_a_value_that_cannot_stand_in_the_properties_is_refused(work, pki, path):
    (work / "certs").mkdir()
    shutil.copy(pki / "user_expired.pfx", work / "certs" / "other.pfx")
    out = run(work, """
        vexa.init_vexa({mine}, {password})
        hostile = caught(vexa.init_vexa, {path}, {password})
        written = os.path.exists("p7Sign.properties")
        after_refusal = vexa.get_sign("after refusal").decode()
        vexa.init_vexa({mine}, {password})
        report(hostile=hostile, written=written, after_refusal=after_refusal,
               after_reactivation=vexa.get_sign("after reactivation").decode())
    """, mine=str(pki / "user_modern.pfx"), path=path, password=make_pki.PASSWORD)
    r = out.report
    assert r["hostile"]["type"] == "ValueError", r["hostile"]
    assert "\n" not in r["hostile"]["text"] and r["hostile"]["text"].isprintable()
    assert r["written"] is False
    # The activated certificate goes on signing in the template's form: attached, SHA-256, with
    # exactly its own certificate.
    vexa_run.check_signature(r["after_refusal"].encode(), b"after refusal", pki, work)
    vexa_run.check_signature(r["after_reactivation"].encode(), b"after reactivation", pki, work)


@pytest.mark.parametrize("kind", ["link_to_file", "dangling_link", "fifo"])
def test_the_properties_file_is_never_written_through_a_link_or_into_a_fifo(tmp_path, work, pki, kind):
    target = tmp_path / "target.txt"
    if kind == "link_to_file":
        target.write_text("the user's own file\n")
        os.symlink(target, work / "p7Sign.properties")
    elif kind == "dangling_link":
        os.symlink(target, work / "p7Sign.properties")
    else:
        os.mkfifo(work / "p7Sign.properties")
    out = run(work, """
        report(r=caught(vexa.init_vexa, {path}, {password}), unsigned=caught(vexa.get_sign, "x")["type"])
    """, timeout=30, path=str(pki / "user_modern.pfx"), password=make_pki.PASSWORD)
    r = out.report
    assert r["r"]["type"] == "OSError", r["r"]
    assert "p7Sign.properties" in r["r"]["text"]
    assert ("symbolic link" if kind != "fifo" else "not a regular file") in r["r"]["text"]
    assert r["unsigned"] == "VexaError"
    if kind == "link_to_file":
        assert target.read_text() == "the user's own file\n"
    else:
        assert not target.exists()


@pytest.mark.parametrize("kind", ["folder_link", "file_link"])
def test_a_linked_log_keeps_its_lines_in_memory_and_says_why(tmp_path, work, pki, kind):
    outside = tmp_path / "outside"
    outside.mkdir()
    if kind == "folder_link":
        os.symlink(outside, work / "logs")
        planted = outside / today_log()
        why = "WARN Log folder not used: it is a symbolic link, which is not followed; its lines stay in memory = logs"
    else:
        (work / "logs").mkdir(mode=0o700)
        planted = outside / "collected.txt"
        planted.write_text("")
        os.symlink(planted, work / "logs" / today_log())
        why = ("WARN Log file not used: it is a symbolic link, which is not followed; its lines stay in memory = logs/"
               + today_log())
    out = run(work, """
        vexa.init_vexa({path}, {password})
        report(sig=vexa.get_sign("secret order").decode())
    """, path=str(pki / "user_modern.pfx"), password=make_pki.PASSWORD)
    vexa_run.check_signature(out.report["sig"].encode(), b"secret order", pki, work)
    # Nothing reached the link's target; the lines, the WARN line first among the refused ones,
    # are printed at the end of the process as when the folder cannot be made.
    assert sorted(os.listdir(outside)) == ([] if kind == "folder_link" else ["collected.txt"])
    if kind == "file_link":
        assert planted.read_text() == ""
    at_exit = out.raw_stdout.split(vexa_run.MARK.encode())[-1].decode("big5", "replace")
    assert why in at_exit
    assert "secret order" in at_exit
    assert at_exit.index(why) < at_exit.index("secret order")


def test_each_line_goes_to_the_log_its_name_leads_to_from_the_working_folder(tmp_path, work, pki):
    # The log's name is relative to the working folder at each line: after a change of folder the
    # lines go to the new folder's logs/, a link put at the day's file while it was in use is not
    # followed, and a folder without logs/ loses them.
    second, outside = tmp_path / "second", tmp_path / "outside"
    (second / "logs").mkdir(parents=True, mode=0o700)
    outside.mkdir()
    out = run(work, """
        vexa.init_vexa({path}, {password})
        vexa.get_sign("order-first")
        os.chdir({second})
        vexa.get_sign("order-second")
        os.rename("logs/" + {day}, "logs/used")
        os.symlink({planted}, "logs/" + {day})
        vexa.get_sign("order-linked")
        os.chdir({third})
        report(sig=vexa.get_sign("order-third").decode())
    """, path=str(pki / "user_modern.pfx"), password=make_pki.PASSWORD, second=str(second), day=today_log(),
              planted=str(outside / "collected.txt"), third=str(tmp_path))
    vexa_run.check_signature(out.report["sig"].encode(), b"order-third", pki, tmp_path)
    first = (work / "logs" / today_log()).read_bytes()
    used = (second / "logs" / "used").read_bytes()
    assert b"order-first" in first and b"order-second" not in first
    assert b"order-second" in used and b"order-first" not in used and b"order-linked" not in used
    assert os.listdir(outside) == [] and not (tmp_path / "logs").exists()
    at_exit = out.raw_stdout.split(vexa_run.MARK.encode())[-1]
    assert b"order-linked" in at_exit and b"order-third" not in at_exit


def test_an_activation_in_a_removed_working_folder_says_the_folder_is_gone(work, pki):
    # The program's working folder was removed under it (a temporary folder cleaned up): the write
    # of the properties file fails, and the error says why rather than naming a missing file.
    out = run(work, """
        os.mkdir("gone")
        os.chdir("gone")
        os.rmdir(os.path.join("..", "gone"))
        report(r=caught(vexa.init_vexa, {path}, {password}))
    """, path=str(pki / "user_modern.pfx"), password=make_pki.PASSWORD)
    r = out.report["r"]
    assert r["type"] == "FileNotFoundError"
    assert r["text"] == ("[Errno 2] the signing properties are not written: the working folder no longer "
                         "exists (it was removed): 'p7Sign.properties'")


def test_created_files_are_owner_only_whatever_the_umask(work, pki):
    # A failed activation leaves p7Sign.properties behind; the log folder and file are made by it.
    script = """
        os.umask(0)
        report(r=caught(vexa.init_vexa, {path}, "wrong password")["type"])
    """
    assert run(work, script, path=str(pki / "user_modern.pfx")).report["r"] == "VexaError"
    log = work / "logs" / today_log()
    modes = {name: stat.S_IMODE(os.lstat(p).st_mode)
             for name, p in [("properties", work / "p7Sign.properties"), ("logs", work / "logs"), ("log", log)]}
    assert modes == {"properties": 0o600, "logs": 0o700, "log": 0o600}
    # The modes of files that exist already are left as they are.
    os.chmod(work / "p7Sign.properties", 0o640)
    os.chmod(log, 0o644)
    assert run(work, script, path=str(pki / "user_modern.pfx")).report["r"] == "VexaError"
    assert stat.S_IMODE(os.lstat(work / "p7Sign.properties").st_mode) == 0o640
    assert stat.S_IMODE(os.lstat(log).st_mode) == 0o644


@pytest.mark.parametrize("kind, code", [("fifo", 1102), ("folder", 1102), ("link_to_file", 0)])
def test_a_certificate_path_that_is_no_regular_file_is_refused_at_once(tmp_path, work, pki, kind, code):
    path = tmp_path / "cert.pfx"
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "folder":
        path.mkdir()
    else:
        # A link the user made to their own certificate is followed.
        os.symlink(pki / "user_modern.pfx", path)
    out = run(work, """
        r = caught(vexa.init_vexa, {path}, {password})
        report(r=r, sig=vexa.get_sign("x").decode() if "result" in r else None)
    """, timeout=30, path=str(path), password=make_pki.PASSWORD)
    r = out.report
    if code:
        assert r["r"]["type"] == "VexaError" and r["r"]["text"].split(" ")[1] == str(code), r
    else:
        assert r["r"] == {"result": "0"}
        vexa_run.check_signature(r["sig"].encode(), b"x", pki, work)


HOLDER = """
import fcntl, os, sys
fd = os.open(sys.argv[1], os.O_RDONLY | os.O_DIRECTORY)
fcntl.flock(fd, fcntl.LOCK_SH)
print("held", flush=True)
sys.stdin.read()
"""


def test_a_lock_held_by_another_process_delays_activation_only_for_a_bounded_time(tmp_path, work, pki):
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, str(work)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    try:
        assert holder.stdout.readline() == b"held\n"
        # After the time-out the program moves to a free folder: the lock taken there is that
        # folder's, not the locked one's of the failed call.
        script = """
            import time
            start = time.monotonic()
            r = caught(vexa.init_vexa, {path}, {password})
            waited = time.monotonic() - start
            os.chdir({elsewhere})
            report(r=r, waited=waited, elsewhere=caught(vexa.init_vexa, {path}, {password}))
        """
        # The bound is a few seconds: well inside the scenario's own time-out.
        blocked = run(work, script, timeout=20, path=str(pki / "user_modern.pfx"), password=make_pki.PASSWORD,
                      elsewhere=str(elsewhere))
    finally:
        holder.stdin.close()
        holder.wait(10)
    r = blocked.report
    assert r["r"]["type"] == "TimeoutError"
    assert str(work) in r["r"]["text"] and "locked by another process" in r["r"]["text"]
    assert r["waited"] >= 4
    assert r["elsewhere"] == {"result": "0"}
    assert not (work / "p7Sign.properties").exists()
    # Once the holder is gone the folder is free again.
    free = run(work, script, path=str(pki / "user_modern.pfx"), password=make_pki.PASSWORD, elsewhere=str(elsewhere))
    assert free.report["r"] == {"result": "0"}
