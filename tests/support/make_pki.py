#!/usr/bin/python3
"""Test fixtures of the signing library, made with the openssl tool into a folder.

Usage: /usr/bin/python3 tests/support/make_pki.py OUTDIR    (OUTDIR is created when missing)
From Python: support.make_pki.make(outdir) returns the folder as a pathlib.Path.

Nothing made here is committed. Files written into OUTDIR:

  root.pem / root.der          root CA "Dorvane Test Root CA" (EC P-256), SKI = ROOT_SKI (40 hex)
  issuing.pem / issuing.der    issuing CA "Dorvane Test Issuing CA 2" under the root (EC P-256),
                               SKI = ISSUING_SKI (64 hex), AKI = ROOT_SKI
  user.key                     the users' RSA 2048 private key (PEM, no password)
  user_valid.pem / .der        user certificate issued by the issuing CA, valid from yesterday for
                               two years; subject SUBJECT_VALID (two OU entries), key usage
                               digitalSignature + nonRepudiation, CRL distribution point with the
                               two URIs CRL_URIS in this order
  user_expired.pem / .der      the same key and subject, valid 2001-01-01 to 2002-01-01 (UTC)
  user_notyet.pem / .der       the same key and subject, valid 2090-01-01 to 2091-01-01 (UTC)
  odd.pem / odd.der            self-issued EC certificate with oddities: names stored as BMPString
                               (CN ODD_CN, two bytes a character), CRL distribution points holding a
                               URI, a directory name and a second URI in one full name plus a
                               relative name "CN=Relative CRL", an AKI with issuer and serial only,
                               no key-usage extension
  bare.pem / bare.der          self-issued EC certificate without any extension and without a common
                               name (subject /C=TW/O=No Common Name)

  PKCS#12 files of user.key with user_valid.pem and the two CA certificates, password PASSWORD
  unless told otherwise:
  user_modern.pfx              AES-256-CBC with PBKDF2, SHA-256 MAC
  user_legacy.pfx              -legacy (RC2-40 certificates, 3DES key, SHA-1 MAC)
  user_nomac.pfx               -nomac (no MAC at all)
  user_nonascii.pfx            password NONASCII_PASSWORD (taken as UTF-8)
  user_nonascii_latin1.pfx     made with the UTF-8 bytes of NONASCII_PASSWORD taken as Latin-1 and
                               re-encoded to UTF-8 (the key derivation of older tools); it opens with
                               the plain UTF-8 bytes of NONASCII_PASSWORD only through the retry
  user_long.pfx                password LONG_PASSWORD (204 characters, most outside Latin-1)
  user_nocas.pfx               user_valid.pem and key only, no CA certificates
  user_expired.pfx             user_expired.pem, key and CAs
  user_notyet.pfx              user_notyet.pem, key and CAs
  keyonly.pfx                  the key only (-nocerts), no certificate
  notacert.pfx / notacert.cer  text files named like certificates
  pki.json                     the constants below and the file names, for tests in any language
"""
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import datetime

PASSWORD = "Test1234!"
NONASCII_PASSWORD = "密碼Pässwörd"
LONG_PASSWORD = "憑證密碼長度足以跨過配置器的標頭與指標" * 10 + "Zq9x"
ROOT_SKI = "A1B2C3D4E5F60718293A4B5C6D7E8F9001122334"
ISSUING_SKI = "0F1E2D3C4B5A69788796A5B4C3D2E1F00112233445566778899AABBCCDDEEFF0"
ROOT_SUBJECT = "/C=TW/O=Dorvane Test/CN=Dorvane Test Root CA"
ISSUING_SUBJECT = "/C=TW/O=Dorvane Test/OU=Certification/CN=Dorvane Test Issuing CA 2"
SUBJECT_VALID = "/C=TW/O=Test Bank/OU=Dept A/OU=Dept B/CN=Wang Da 0001"
CRL_URIS = ["http://crl.example.test/issuing2.crl", "ldap://ldap.example.test/cn=issuing2"]
ODD_CN = "王大明"
OPENSSL = "openssl"


def _colon_hex(hexdigits):
    return ":".join(hexdigits[i:i + 2] for i in range(0, len(hexdigits), 2))


def _run(args, cwd, env=None):
    proc = subprocess.run([OPENSSL] + args, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if proc.returncode != 0:
        raise RuntimeError("openssl %s failed:\n%s" % (" ".join(args), proc.stderr.decode(errors="replace")))
    return proc.stdout


def _config(work):
    return """
[ ca ]
default_ca = local
[ local ]
database = {w}/index.txt
new_certs_dir = {w}/newcerts
serial = {w}/serial
default_md = sha256
policy = any
unique_subject = no
email_in_dn = no
copy_extensions = none
[ any ]
countryName = optional
organizationName = optional
organizationalUnitName = optional
commonName = optional
[ req ]
distinguished_name = dn
prompt = no
utf8 = yes
[ dn ]
[ root_ext ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = {root_ski}
[ issuing_ext ]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = {issuing_ski}
authorityKeyIdentifier = keyid:always
[ user_ext ]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, nonRepudiation
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
crlDistributionPoints = URI:{uri0}, URI:{uri1}
[ odd_req ]
distinguished_name = dn
prompt = no
string_mask = MASK:0x800
utf8 = yes
[ odd_ext ]
basicConstraints = CA:FALSE
crlDistributionPoints = odd_dp_full, odd_dp_relative
authorityKeyIdentifier = issuer:always
[ odd_dp_full ]
fullname = URI:http://a.example.test/1.crl, dirName:odd_dir, URI:http://b.example.test/2.crl
[ odd_dp_relative ]
relativename = odd_rdn
[ odd_dir ]
CN = Directory Name
[ odd_rdn ]
CN = Relative CRL
[ bare_ext ]
subjectKeyIdentifier = none
authorityKeyIdentifier = none
""".format(w=work, root_ski=_colon_hex(ROOT_SKI), issuing_ski=_colon_hex(ISSUING_SKI),
           uri0=CRL_URIS[0], uri1=CRL_URIS[1])


def _utc(dt):
    return dt.strftime("%Y%m%d%H%M%SZ")


def make(outdir):
    out = pathlib.Path(outdir)
    out.mkdir(parents=True, exist_ok=True)
    out = out.resolve()
    work = pathlib.Path(tempfile.mkdtemp(prefix="pki-work-", dir=str(out)))
    try:
        (work / "newcerts").mkdir()
        (work / "index.txt").write_text("")
        (work / "serial").write_text("1000\n")
        cnf = work / "pki.cnf"
        cnf.write_text(_config(work))
        w = str(work)
        env = dict(os.environ, OPENSSL_CONF=str(cnf))

        # Certificate authorities (EC keys keep the generator fast).
        for name in ("root", "issuing"):
            _run(["genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", name + ".key"], w)
        _run(["req", "-new", "-x509", "-config", str(cnf), "-key", "root.key", "-subj", ROOT_SUBJECT,
              "-days", "7300", "-set_serial", "1", "-extensions", "root_ext", "-out", "root.pem"], w, env)
        _run(["req", "-new", "-config", str(cnf), "-key", "issuing.key", "-subj", ISSUING_SUBJECT,
              "-out", "issuing.csr"], w, env)
        _run(["x509", "-req", "-in", "issuing.csr", "-CA", "root.pem", "-CAkey", "root.key", "-set_serial", "2",
              "-days", "7000", "-extfile", str(cnf), "-extensions", "issuing_ext", "-out", "issuing.pem"], w)

        # Users: one RSA 2048 key, three validity periods.
        _run(["genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", "user.key"], w)
        _run(["req", "-new", "-config", str(cnf), "-key", "user.key", "-subj", SUBJECT_VALID, "-out", "user.csr"],
             w, env)
        now = datetime.datetime.utcnow().replace(microsecond=0)
        periods = {
            "user_valid": (now - datetime.timedelta(days=1), now + datetime.timedelta(days=730)),
            "user_expired": (datetime.datetime(2001, 1, 1), datetime.datetime(2002, 1, 1)),
            "user_notyet": (datetime.datetime(2090, 1, 1), datetime.datetime(2091, 1, 1)),
        }
        for name, (start, end) in periods.items():
            _run(["ca", "-batch", "-config", str(cnf), "-notext", "-preserveDN", "-in", "user.csr",
                  "-cert", "issuing.pem", "-keyfile", "issuing.key", "-startdate", _utc(start), "-enddate", _utc(end),
                  "-extfile", str(cnf), "-extensions", "user_ext", "-out", name + ".pem"], w, env)

        # Certificates with unusual fields.
        _run(["genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", "odd.key"], w)
        odd_env = dict(env)
        _run(["req", "-new", "-x509", "-config", str(cnf), "-section", "odd_req", "-key", "odd.key",
              "-subj", "/C=TW/O=Odd Bank/CN=" + ODD_CN, "-days", "3650", "-set_serial", "7",
              "-extensions", "odd_ext", "-out", "odd.pem"], w, odd_env)
        _run(["req", "-new", "-x509", "-config", str(cnf), "-key", "odd.key", "-subj", "/C=TW/O=No Common Name",
              "-days", "3650", "-set_serial", "8", "-extensions", "bare_ext", "-out", "bare.pem"], w, env)

        for name in ("root", "issuing", "user_valid", "user_expired", "user_notyet", "odd", "bare"):
            _run(["x509", "-in", name + ".pem", "-outform", "DER", "-out", name + ".der"], w)
        with open(work / "cas.pem", "wb") as f:
            f.write((work / "issuing.pem").read_bytes() + (work / "root.pem").read_bytes())

        # PKCS#12 files. Passwords go through the environment so any bytes pass unchanged.
        def p12(out_name, cert, password, *extra, cas=True):
            args = ["pkcs12", "-export", "-inkey", "user.key", "-passout", "env:MIRVO_P12_PASS", "-out", out_name]
            if cert:
                args += ["-in", cert]
            if cas:
                args += ["-certfile", "cas.pem"]
            p_env = os.environb.copy()
            p_env[b"MIRVO_P12_PASS"] = password
            _run(args + list(extra), w, p_env)

        modern = ["-keypbe", "AES-256-CBC", "-certpbe", "AES-256-CBC", "-macalg", "sha256"]
        ascii_pw = PASSWORD.encode()
        utf8_pw = NONASCII_PASSWORD.encode("utf-8")
        latin1_pw = utf8_pw.decode("latin-1").encode("utf-8")
        p12("user_modern.pfx", "user_valid.pem", ascii_pw, *modern)
        p12("user_legacy.pfx", "user_valid.pem", ascii_pw, "-legacy")
        p12("user_nomac.pfx", "user_valid.pem", ascii_pw, "-nomac", *modern[:4])
        p12("user_nonascii.pfx", "user_valid.pem", utf8_pw, *modern)
        p12("user_nonascii_latin1.pfx", "user_valid.pem", latin1_pw, *modern)
        p12("user_long.pfx", "user_valid.pem", LONG_PASSWORD.encode("utf-8"), *modern)
        p12("user_nocas.pfx", "user_valid.pem", ascii_pw, *modern, cas=False)
        p12("user_expired.pfx", "user_expired.pem", ascii_pw, *modern)
        p12("user_notyet.pfx", "user_notyet.pem", ascii_pw, *modern)
        p12("keyonly.pfx", None, ascii_pw, "-nocerts", *modern, cas=False)

        produced = ["root.pem", "root.der", "issuing.pem", "issuing.der", "user.key"]
        for name in ("user_valid", "user_expired", "user_notyet", "odd", "bare"):
            produced += [name + ".pem", name + ".der"]
        produced += ["user_modern.pfx", "user_legacy.pfx", "user_nomac.pfx", "user_nonascii.pfx",
                     "user_nonascii_latin1.pfx", "user_long.pfx", "user_nocas.pfx", "user_expired.pfx", "user_notyet.pfx",
                     "keyonly.pfx"]
        for name in produced:
            shutil.copyfile(work / name, out / name)
        for name in ("notacert.pfx", "notacert.cer"):
            (out / name).write_text("This is a plain text file, not a certificate.\n")
        (out / "pki.json").write_text(json.dumps({
            "password": PASSWORD,
            "nonascii_password": NONASCII_PASSWORD,
            "root_ski": ROOT_SKI,
            "issuing_ski": ISSUING_SKI,
            "root_subject": ROOT_SUBJECT,
            "issuing_subject": ISSUING_SUBJECT,
            "subject_valid": SUBJECT_VALID,
            "crl_uris": CRL_URIS,
            "odd_cn": ODD_CN,
            "files": produced + ["notacert.pfx", "notacert.cer"],
        }, ensure_ascii=False, indent=1), encoding="utf-8")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return out


_SELF_SIGNED_CNF = """
[ ca ]
default_ca = local
[ local ]
dir = {w}
database = {w}/index.txt
new_certs_dir = {w}
serial = {w}/serial
default_md = sha256
policy = anything
unique_subject = no
[ anything ]
commonName = supplied
[ req ]
distinguished_name = dn
prompt = no
[ dn ]
"""


def self_signed_pfx(path, start, end, subject="/CN=A123456789", password="pw"):
    """Writes to `path` a PKCS#12 file (password `password`) of a new EC P-256 key and a certificate
    for it, self-signed with `subject`, valid from `start` to `end` (naive UTC datetimes, to the
    second: the openssl tool's `ca -selfsign` takes the period as given)."""
    path = pathlib.Path(path).resolve()
    work = pathlib.Path(tempfile.mkdtemp(prefix="pki-self-"))
    try:
        w = str(work)
        (work / "index.txt").write_text("")
        (work / "serial").write_text("07\n")
        cnf = work / "self.cnf"
        cnf.write_text(_SELF_SIGNED_CNF.format(w=w))
        env = dict(os.environ, OPENSSL_CONF=str(cnf))
        _run(["genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", "self.key"], w)
        _run(["req", "-new", "-config", str(cnf), "-key", "self.key", "-subj", subject, "-out", "self.csr"], w, env)
        _run(["ca", "-batch", "-selfsign", "-config", str(cnf), "-notext", "-in", "self.csr", "-keyfile", "self.key",
              "-startdate", _utc(start), "-enddate", _utc(end), "-out", "self.pem"], w, env)
        p_env = os.environb.copy()
        p_env[b"MIRVO_P12_PASS"] = password.encode("utf-8")
        _run(["pkcs12", "-export", "-inkey", "self.key", "-in", "self.pem", "-passout", "env:MIRVO_P12_PASS",
              "-keypbe", "AES-256-CBC", "-certpbe", "AES-256-CBC", "-macalg", "sha256", "-out", str(path)], w, p_env)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return path


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make_pki.py OUTDIR")
    make(sys.argv[1])
