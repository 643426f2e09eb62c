// The process-wide signer driven directly with hand-written properties files. Every signature that
// succeeds is checked with the openssl tool: `openssl cms -verify` recovers the signed bytes, and
// `openssl cms -cmsout -print` shows digest, certificates and signed attributes.
#include <gtest/gtest.h>
#include <atomic>
#include <thread>

#include <unistd.h>

#include <string>
#include <vector>

#include "MIRVOSign.hpp"
#include "cCertChain.hpp"
#include "cMessages.hpp"
#include "mirvo_cert_support.hpp"

using namespace mirvotest;

namespace {

const char kPassword[] = "Test1234!";
// "台積電 買進 1000" in Big5.
const char kBig5Text[] = "\xA5\x78\xBF\x6E\xB9\x71 \xB6\x52\xB6\x69 1000";

// The certificate subjects that `openssl cms -cmsout -print` shows, in order.
std::vector<std::string> printedSubjects(const std::string& printed) {
    std::vector<std::string> subjects;
    size_t at = 0;
    while ((at = printed.find("subject: ", at)) != std::string::npos) {
        at += 9;
        subjects.push_back(printed.substr(at, printed.find('\n', at) - at));
    }
    return subjects;
}

// One working folder per test with the signer put back into its just-loaded state: tests of a
// process-wide object must not see each other when the program runs them all in one process.
class Signer : public ::testing::Test {
protected:
    void SetUp() override {
        char buf[4096];
        ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
        oldCwd_ = buf;
        ASSERT_EQ(chdir(dir_.path.c_str()), 0);
        MIRVOSign& s = mirvoSigner();
        s.loaded = false;
        s.digestName.reset();
        s.signerFilter.reset();
        s.addCertLevel = 1;
        s.addTimestamp = false;
        s.addPlainText = true;
        s.pkcs12.reset();
        s.checkValid = false;
        s.checkKeyUsage = false;
        s.lastSignerCert.reset();
        s.lastSignature.reset();
        s.lastError = 0;
        mirvoChainList().chains.clear();
    }
    void TearDown() override {
        mirvoChainList().chains.clear();
        EXPECT_EQ(chdir(oldCwd_.c_str()), 0);
    }

    // Writes p7Sign.properties: the PKCS#12 fixture, then the given option lines.
    void properties(const std::string& pfx, const std::string& options) {
        writeFile(dir_ / "p7Sign.properties",
                  "PFX.path = " + pkiDir() + "\nPFX.file = " + pfx + "\n" + options);
    }
    int32_t initial(const char* passwd = kPassword) { return MIRVOSignInitial(passwd); }

    // The last signature as DER (through the base64 tool), written to sig.der.
    std::string lastDer() {
        MIRVOSign& s = mirvoSigner();
        if (!s.lastSignature) return std::string();
        writeFile(dir_ / "sig.b64", *s.lastSignature);
        std::string der = shell("base64 -d '" + dir_ / "sig.b64" + "'");
        writeFile(dir_ / "sig.der", der);
        return der;
    }
    // `openssl cms -verify` of sig.der; extra options appended. Returns the recovered content, or
    // "<failed>" when the tool refuses.
    std::string verify(const std::string& extra = "") {
        const std::string out = dir_ / "verified.bin";
        unlink(out.c_str());
        const std::string rc =
            shell("openssl cms -verify -inform DER -noverify -binary -in '" + dir_ / "sig.der" + "' -out '" +
                  out + "' " + extra + " 2>/dev/null && printf ok");
        return rc == "ok" ? readFile(out) : "<failed>";
    }
    std::string print() {
        return shell("openssl cms -cmsout -print -inform DER -in '" + dir_ / "sig.der" + "' 2>&1");
    }

    TempDir dir_;
    std::string oldCwd_;
    LogCapture capture_;
};

const char kTemplateOptions[] =
    "PKCS7.digest = SHA256\nPKCS7.addCert = 1\nPKCS7.addPlainText = true\nPKCS7.addTimestamp = false\n";

TEST_F(Signer, TemplateOptionsGiveAttachedSha256WithTheSignerCertificateAndNoAttributes) {
    properties("user_modern.pfx", kTemplateOptions);
    ASSERT_EQ(initial(), 0) << capture_.text();
    MIRVOSign& s = mirvoSigner();
    EXPECT_TRUE(s.loaded);
    ASSERT_EQ(s.SignPkcs7(kBig5Text), 0) << capture_.text();
    ASSERT_TRUE(s.lastSignature);
    EXPECT_EQ(s.lastSignature->find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(s.lastSignerCert.get(), s.pkcs12->certificate());
    ASSERT_FALSE(lastDer().empty());

    EXPECT_EQ(verify(), kBig5Text);
    const std::string printed = print();
    EXPECT_NE(printed.find("algorithm: sha256"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("algorithm: sha1 "), std::string::npos) << printed;
    EXPECT_NE(printed.find("signedAttrs:\n          <ABSENT>"), std::string::npos) << printed;
    const std::vector<std::string> subjects = printedSubjects(printed);
    ASSERT_EQ(subjects.size(), 1u) << printed;
    EXPECT_EQ(subjects[0], "C=TW, O=Test Bank, OU=Dept A, OU=Dept B, CN=Wang Da 0001");
    // The certificate in the signature is the PKCS#12 file's.
    EXPECT_EQ(verify("-signer '" + dir_ / "signer.pem" + "'"), kBig5Text);
    EXPECT_EQ(shell("openssl x509 -in '" + dir_ / "signer.pem" + "' -outform DER | cmp - '" +
                    pki("user_valid.der") + "' && echo same"),
              "same\n");
    EXPECT_TRUE(capture_.has("INFO begin MIRVOSign::SignPkcs7()\n"));
    EXPECT_TRUE(capture_.has("INFO end MIRVOSign::SignPkcs7Bin() = 0x00000000(0)\n"));
    EXPECT_TRUE(capture_.has(std::string(msg::SIGN_VALUE_BASE64) + " = " + *s.lastSignature + "\n"));
}

TEST_F(Signer, TheLastSignerCertificateOutlivesTheCredentialsThatMadeIt) {
    properties("user_modern.pfx", kTemplateOptions);
    ASSERT_EQ(initial(), 0) << capture_.text();
    MIRVOSign& s = mirvoSigner();
    ASSERT_EQ(s.SignPkcs7(kBig5Text), 0) << capture_.text();
    // The signer holds a reference of its own: the certificate stays readable (ASan checks the
    // read) once the credentials are gone.
    s.pkcs12.reset();
    ASSERT_TRUE(s.lastSignerCert);
    EXPECT_EQ(cX509::copyOf(s.lastSignerCert.get())->getSubjectCN(), "Wang Da 0001");
    // A new activation drops it: the last signature was made with the credentials it replaces.
    ASSERT_EQ(initial(), 0) << capture_.text();
    EXPECT_FALSE(s.lastSignerCert);
}

TEST_F(Signer, TimestampAddsContentTypeSigningTimeAndMessageDigest) {
    properties(
        "user_modern.pfx",
        "PKCS7.digest = SHA256\nPKCS7.addCert = 1\nPKCS7.addPlainText = TRUE\nPKCS7.addTimestamp = true\n");
    ASSERT_EQ(initial(), 0);
    ASSERT_EQ(mirvoSigner().SignPkcs7(kBig5Text), 0) << capture_.text();
    lastDer();
    EXPECT_EQ(verify(), kBig5Text);
    const std::string printed = print();
    for (const char* attr : {"object: contentType", "object: signingTime", "object: messageDigest"})
        EXPECT_NE(printed.find(attr), std::string::npos) << attr << "\n" << printed;
}

TEST_F(Signer, WithoutAddPlainTextTheSignatureIsDetached) {
    properties("user_modern.pfx", "PKCS7.digest = SHA256\nPKCS7.addCert = 1\n");
    ASSERT_EQ(initial(), 0);
    EXPECT_FALSE(mirvoSigner().addPlainText);
    ASSERT_EQ(mirvoSigner().SignPkcs7(kBig5Text), 0) << capture_.text();
    lastDer();
    writeFile(dir_ / "content.bin", kBig5Text);
    EXPECT_EQ(verify("-content '" + dir_ / "content.bin" + "'"), kBig5Text);
    writeFile(dir_ / "other.bin", "something else");
    EXPECT_EQ(verify("-content '" + dir_ / "other.bin" + "'"), "<failed>");
    EXPECT_EQ(print().find("eContent: \n"), std::string::npos) << print();
}

struct CertCase {
    const char* what;
    const char* line;     // the PKCS7.addCert line
    size_t certificates;  // in the SignedData
};

class SignerCerts : public Signer, public ::testing::WithParamInterface<CertCase> {};

TEST_P(SignerCerts, AddCertLevelChoosesTheCertificates) {
    const CertCase& c = GetParam();
    properties("user_modern.pfx", std::string("PKCS7.digest = SHA256\nPKCS7.addPlainText = true\n") + c.line);
    ASSERT_EQ(initial(), 0);
    ASSERT_EQ(mirvoSigner().SignPkcs7(kBig5Text), 0) << capture_.text();
    lastDer();
    const std::vector<std::string> subjects = printedSubjects(print());
    ASSERT_EQ(subjects.size(), c.certificates) << print();
    // Without a certificate inside, the verifier is handed the signer's certificate.
    EXPECT_EQ(verify(c.certificates ? "" : "-certfile '" + pki("user_valid.pem") + "'"), kBig5Text);
    if (c.certificates == 3) {
        // The signer certificate, then the file's authority certificates from the last to the first.
        STACK_OF(X509)* cas = mirvoSigner().pkcs12->authorityCerts();
        ASSERT_EQ(sk_X509_num(cas), 2);
        char name[512];
        X509_NAME_oneline(X509_get_subject_name(sk_X509_value(cas, 1)), name, sizeof name);
        EXPECT_NE(subjects[1].find(std::string(name).substr(std::string(name).rfind("CN=") + 3)),
                  std::string::npos);
        X509_NAME_oneline(X509_get_subject_name(sk_X509_value(cas, 0)), name, sizeof name);
        EXPECT_NE(subjects[2].find(std::string(name).substr(std::string(name).rfind("CN=") + 3)),
                  std::string::npos);
        // The whole chain is inside: a full verification needs only the root as trust anchor.
        EXPECT_EQ(shell("openssl cms -verify -inform DER -binary -purpose any -CAfile '" + pki("root.pem") +
                        "' -in '" + dir_ / "sig.der" + "' 2>/dev/null"),
                  kBig5Text);
    }
}

INSTANTIATE_TEST_SUITE_P(All, SignerCerts,
                         ::testing::Values(CertCase{"missing", "", 0},
                                           CertCase{"zero", "PKCS7.addCert = 0\n", 0},
                                           CertCase{"negative", "PKCS7.addCert = -3\n", 0},
                                           CertCase{"one", "PKCS7.addCert = 1\n", 1},
                                           CertCase{"two_pfx_chain", "PKCS7.addCert = 2\n", 3}),
                         [](const ::testing::TestParamInfo<CertCase>& i) {
                             return std::string(i.param.what);
                         });

TEST_F(Signer, LevelTwoCompletesAFileWithoutAuthoritiesFromTheConfiguredChain) {
    // A chain file of the fixture hierarchy (root and issuing CA), filed under the issuing CA's SKI.
    ASSERT_EQ(mkdir((dir_ / "P7B").c_str(), 0777), 0);
    ASSERT_EQ(shell("openssl crl2pkcs7 -nocrl -certfile '" + pki("root.pem") + "' -certfile '" +
                    pki("issuing.pem") + "' -outform DER -out '" + dir_ / "P7B/fixture.p7b" + "' && echo ok"),
              "ok\n");
    const std::string issuingSki = shell(
        "/usr/bin/python3 -c \"import json,sys; print(json.load(open(sys.argv[1]))"
        "['issuing_ski'], end='')\" '" +
        pki("pki.json") + "'");
    ASSERT_EQ(issuingSki.size(), 64u) << issuingSki;
    properties("user_nocas.pfx",
               "PKCS7.digest = SHA256\nPKCS7.addPlainText = true\nPKCS7.addCert = 2\nP7B.path = " +
                   dir_ / "P7B" + "\nP7B0.name = FIXTURE.P7B\nP7B0.SKI = " + issuingSki + "\n");
    ASSERT_EQ(initial(), 0) << capture_.text();
    ASSERT_EQ(mirvoChainList().chains.count(issuingSki), 1u) << capture_.text();
    EXPECT_EQ(
        mirvoSigner().pkcs12->authorityCerts() ? sk_X509_num(mirvoSigner().pkcs12->authorityCerts()) : 0, 0);
    ASSERT_EQ(mirvoSigner().SignPkcs7(kBig5Text), 0) << capture_.text();
    lastDer();
    const std::vector<std::string> subjects = printedSubjects(print());
    ASSERT_EQ(subjects.size(), 3u) << print();
    // The chain list runs root first; it is added from its last element: the issuing CA, then the root.
    EXPECT_NE(subjects[0].find("CN=Wang Da 0001"), std::string::npos);
    EXPECT_NE(subjects[1].find("CN=Dorvane Test Issuing CA 2"), std::string::npos);
    EXPECT_NE(subjects[2].find("CN=Dorvane Test Root CA"), std::string::npos);
    EXPECT_EQ(shell("openssl cms -verify -inform DER -binary -purpose any -CAfile '" + pki("root.pem") +
                    "' -in '" + dir_ / "sig.der" + "' 2>/dev/null"),
              kBig5Text);
}

struct DigestCase {
    const char* what;
    const char* line;
    int32_t code;
    const char* printed;  // the digest algorithm that the SignedData names, for a success
};

class SignerDigest : public Signer, public ::testing::WithParamInterface<DigestCase> {};

TEST_P(SignerDigest, OnlyTheExactNamesSign) {
    const DigestCase& c = GetParam();
    properties("user_modern.pfx", std::string("PKCS7.addCert = 1\nPKCS7.addPlainText = true\n") + c.line);
    ASSERT_EQ(initial(), 0);
    EXPECT_EQ(mirvoSigner().SignPkcs7(kBig5Text), c.code) << capture_.text();
    EXPECT_EQ(mirvoSigner().lastError, c.code);
    if (c.code != 0) {
        EXPECT_FALSE(mirvoSigner().lastSignature);
        EXPECT_TRUE(capture_.has(std::string(msg::SIGN_DIGEST_ERROR) + " = 0x00000000(0)\n"))
            << capture_.text();
        return;
    }
    lastDer();
    EXPECT_EQ(verify(), kBig5Text);
    EXPECT_NE(print().find(c.printed), std::string::npos) << print();
}

INSTANTIATE_TEST_SUITE_P(
    All, SignerDigest,
    ::testing::Values(DigestCase{"sha1", "PKCS7.digest = SHA1\n", 0, "algorithm: sha1 "},
                      DigestCase{"sha256", "PKCS7.digest = SHA256\n", 0, "algorithm: sha256"},
                      DigestCase{"lower_case", "PKCS7.digest = sha256\n", 5061, nullptr},
                      DigestCase{"trailing_text", "PKCS7.digest = SHA256x\n", 5061, nullptr},
                      DigestCase{"never_named", "", 5061, nullptr}),
    [](const ::testing::TestParamInfo<DigestCase>& i) { return std::string(i.param.what); });

TEST_F(Signer, BeforeAnyActivationNothingSigns) {
    MIRVOSign& s = mirvoSigner();
    EXPECT_EQ(s.SignPkcs7(kBig5Text), 5010);
    EXPECT_TRUE(capture_.has(std::string(msg::PFX_LOAD_ERROR) + "\n"));
    const unsigned char data[] = "abc";
    EXPECT_EQ(s.SignPkcs7Bin(data, 3), 5204);
    EXPECT_TRUE(capture_.has("INFO end MIRVOSign::SignPkcs7Bin() = 0x00001454(5204)\n")) << capture_.text();
    EXPECT_FALSE(s.lastSignature);
}

TEST_F(Signer, FailuresBeforeTheSignerKeepTheLastSignatureFailuresInsideDropIt) {
    properties("user_modern.pfx", kTemplateOptions);
    ASSERT_EQ(initial(), 0);
    MIRVOSign& s = mirvoSigner();
    ASSERT_EQ(s.SignPkcs7(kBig5Text), 0);
    const std::string first = *s.lastSignature;

    EXPECT_EQ(s.SignPkcs7(""), 5005);
    EXPECT_TRUE(capture_.has(std::string(msg::PARAM_PLAIN_EMPTY) + "\n"));
    EXPECT_EQ(s.SignPkcs7(nullptr), 5005);
    EXPECT_EQ(s.SignPkcs7("\xFF\xFF\x81"), 5901);  // not Big5
    EXPECT_TRUE(capture_.has(std::string(msg::CONVERT_BIG5_FAILED) + "\n"));
    EXPECT_EQ(s.SignPkcs7("\xA5"), 5901);  // a lead byte without its trail byte
    ASSERT_TRUE(s.lastSignature);
    EXPECT_EQ(*s.lastSignature, first);

    EXPECT_EQ(s.SignPkcs7Bin(nullptr, 4), 5005);
    EXPECT_FALSE(s.lastSignature);
    ASSERT_EQ(s.SignPkcs7(kBig5Text), 0);
    EXPECT_EQ(s.SignPkcs7Bin(reinterpret_cast<const unsigned char*>("x"), 0), 5005);
    EXPECT_TRUE(capture_.has(std::string(msg::PARAM_DATALEN) + "\n"));
    EXPECT_FALSE(s.lastSignature);
}

TEST_F(Signer, SignPkcs7BinSignsBytesAsTheyAre) {
    properties("user_modern.pfx", kTemplateOptions);
    ASSERT_EQ(initial(), 0);
    const std::string data("a\0b\xFF\r\n", 6);
    ASSERT_EQ(mirvoSigner().SignPkcs7Bin(reinterpret_cast<const unsigned char*>(data.data()), 6), 0);
    lastDer();
    EXPECT_EQ(verify(), data);
}

TEST_F(Signer, SignerFilterMissStopsSigningAndLeavesNoSignature) {
    properties("user_modern.pfx",
               std::string(kTemplateOptions) + "PFX.signerFilter = //S_CN=Somebody Else//\n");
    ASSERT_EQ(initial(), 0);
    MIRVOSign& s = mirvoSigner();
    ASSERT_TRUE(s.signerFilter);
    EXPECT_EQ(s.SignPkcs7(kBig5Text), 5010);
    EXPECT_FALSE(s.lastSignature);
    EXPECT_TRUE(capture_.has(std::string(msg::SIGNER_FILTER_FAILED) + " = 0x00001392(5010)\n"))
        << capture_.text();

    // A later activation without a filter keeps the filter; one with a matching filter replaces it.
    properties("user_modern.pfx", kTemplateOptions);
    ASSERT_EQ(initial(), 0);
    EXPECT_EQ(s.SignPkcs7(kBig5Text), 5010);
    properties("user_modern.pfx",
               std::string(kTemplateOptions) + "PFX.signerFilter = //S_CN=Wang Da,I_O=Dorvane Test//\n");
    ASSERT_EQ(initial(), 0);
    ASSERT_EQ(s.SignPkcs7(kBig5Text), 0) << capture_.text();
    lastDer();
    EXPECT_EQ(verify(), kBig5Text);
}

TEST_F(Signer, AFailedActivationKeepsTheCertificateAndItsOptions) {
    properties("user_modern.pfx", kTemplateOptions);
    ASSERT_EQ(initial(), 0);
    MIRVOSign& s = mirvoSigner();
    cPkcs12* first = s.pkcs12.get();

    // Options that differ in every field, and a filter no certificate meets, read by activations
    // that fail: the earlier certificate signs on as before.
    const std::string other =
        "PKCS7.digest = SHA1\nPKCS7.addCert = 0\nPKCS7.addTimestamp = true\nPFX.signerFilter = "
        "//S_CN=NOBODY//\n";
    properties("user_modern.pfx", other);
    EXPECT_EQ(initial("wrong password"), 5208);
    EXPECT_TRUE(capture_.has(std::string(msg::PFX_READ_FAILED) + "\n"));
    properties("missing.pfx", other);
    EXPECT_EQ(initial(), 1102);
    EXPECT_EQ(s.pkcs12.get(), first);
    ASSERT_EQ(s.SignPkcs7(kBig5Text), 0) << capture_.text();
    lastDer();
    EXPECT_EQ(verify(), kBig5Text);
    const std::string printed = print();
    EXPECT_EQ(printedSubjects(printed).size(), 1u) << printed;
    EXPECT_NE(printed.find("algorithm: sha256"), std::string::npos) << printed;
    EXPECT_NE(printed.find("signedAttrs:\n          <ABSENT>"), std::string::npos) << printed;

    // A successful activation takes its options with its certificate.
    properties("user_modern.pfx", "PKCS7.digest = SHA1\nPKCS7.addCert = 0\nPKCS7.addPlainText = true\n");
    ASSERT_EQ(initial(), 0);
    ASSERT_EQ(s.SignPkcs7(kBig5Text), 0);
    lastDer();
    EXPECT_TRUE(printedSubjects(print()).empty());
    EXPECT_NE(print().find("algorithm: sha1 "), std::string::npos);
}

TEST_F(Signer, AnUnreadablePropertiesFileChangesNothing) {
    properties("user_modern.pfx", "PKCS7.digest = SHA1\nPKCS7.addCert = 0\n");
    ASSERT_EQ(initial(), 0);
    ASSERT_EQ(unlink((dir_ / "p7Sign.properties").c_str()), 0);
    EXPECT_EQ(initial(), 1202);
    EXPECT_TRUE(capture_.has(std::string(msg::PROPERTY_READ_FAILED) + "\n"));
    EXPECT_EQ(*mirvoSigner().digestName, "SHA1");
    EXPECT_EQ(mirvoSigner().addCertLevel, 0);
    EXPECT_TRUE(mirvoSigner().pkcs12);
}

struct PasswordCase {
    const char* what;
    const char* handed;    // the password handed over (null: none)
    const char* property;  // a PFX.pswd line, or ""
    int32_t code;
};

class SignerPassword : public Signer, public ::testing::WithParamInterface<PasswordCase> {};

TEST_P(SignerPassword, TheHandedPasswordElsePfxPswd) {
    const PasswordCase& c = GetParam();
    properties("user_modern.pfx", std::string(kTemplateOptions) + c.property);
    EXPECT_EQ(initial(c.handed), c.code) << capture_.text();
    EXPECT_EQ(static_cast<bool>(mirvoSigner().pkcs12), c.code == 0);
}

INSTANTIATE_TEST_SUITE_P(
    All, SignerPassword,
    ::testing::Values(PasswordCase{"handed", kPassword, "", 0},
                      PasswordCase{"handed_wins", kPassword, "PFX.pswd = wrong\n", 0},
                      PasswordCase{"property_when_empty", "", "PFX.pswd = Test1234!\n", 0},
                      PasswordCase{"property_when_none", nullptr, "PFX.pswd = Test1234!\n", 0},
                      PasswordCase{"neither", "", "", 5005}, PasswordCase{"wrong", "nope", "", 5208}),
    [](const ::testing::TestParamInfo<PasswordCase>& i) { return std::string(i.param.what); });

TEST_F(Signer, EveryActivationBeginsWithAnEmptyLineAndEndsWithItsMarker) {
    properties("user_modern.pfx", kTemplateOptions);
    mirvoLog().level = cLog::kOff;
    ASSERT_EQ(initial(), 0);
    // The opening line is written whatever the level; OFF silences the rest.
    EXPECT_EQ(capture_.count(" INFO \n"), 1) << capture_.text();
    EXPECT_FALSE(capture_.has("end MIRVOSign::MIRVOSign()"));
    mirvoLog().level = 0;
    ASSERT_EQ(initial(), 0);
    EXPECT_EQ(capture_.count(" INFO \n"), 2);
    EXPECT_TRUE(capture_.has(" INFO end MIRVOSign::MIRVOSign()\n"));
}

TEST_F(Signer, PropertiesAreReadFromP7SignProperties) {
    properties("user_modern.pfx", kTemplateOptions);
    writeFile(dir_ / "other.properties", "PFX.path = /nowhere\nPFX.file = none.pfx\n");
    EXPECT_EQ(initial(), 0) << capture_.text();
    EXPECT_EQ(capture_.count("PARAM propertyFile = p7Sign.properties\n"), 1) << capture_.text();
    EXPECT_FALSE(capture_.has("other.properties"));
}

TEST_F(Signer, TheLogSettingsAreReadInTheirOrder) {
    // A log folder that cannot be made (a file of that name): the lines stay in the buffer.
    properties("user_modern.pfx",
               std::string(kTemplateOptions) +
                   "LOG.level = DEBUG\nLOG.path = p7Sign.properties\nLOG.file = vexa.log\n");
    ASSERT_EQ(initial(), 0);
    const std::string text = capture_.text();
    const char* order[] = {"cProperty::getProperty() : LOG.level = DEBUG\n",
                           "cProperty::getProperty() : LOG.path = p7Sign.properties\n",
                           "cProperty::getProperty() : LOG.file = vexa.log\n",
                           "end cFile::createFolder() return = false\n",
                           "cProperty::getProperty() : PKCS7.digest = SHA256\n",
                           "cProperty::getPropertyInt() : PKCS7.addCert = 0x00000001(1)\n",
                           "cProperty::getProperty() : PKCS7.addTimestamp = false\n",
                           "cProperty::getProperty() : PKCS7.addPlainText = true\n",
                           "cProperty::getProperty() : PFX.path = ",
                           "cProperty::getProperty() : PFX.file = user_modern.pfx\n",
                           "end cPkcs12::loadPfxFile() = 0x00000000(0)\n",
                           " INFO end MIRVOSign::MIRVOSign()\n"};
    size_t at = 0;
    for (const char* line : order) {
        const size_t found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n" << text;
        at = found;
    }
}

TEST_F(Signer, DebugLevelDumpsTheTextAndTheSignature) {
    properties("user_modern.pfx", std::string(kTemplateOptions) + "LOG.level = DEBUG\n");
    ASSERT_EQ(initial(), 0);
    ASSERT_EQ(mirvoSigner().SignPkcs7("abc"), 0);
    EXPECT_TRUE(capture_.has("DEBUG convertUniCodeStringToAny(BIG5)(len=3, 0x3) = \n 0x00000000 - 61 62 63"))
        << capture_.text();
    const std::string der = lastDer();
    char head[96];
    snprintf(head, sizeof head, "DEBUG %s(len=%d, 0x%X) = \n", msg::SIGN_VALUE, static_cast<int>(der.size()),
             static_cast<unsigned>(der.size()));
    EXPECT_TRUE(capture_.has(head)) << capture_.text();
}

TEST_F(Signer, TheValidityCheckStopsAnExpiredCertificate) {
    properties("user_expired.pfx", kTemplateOptions);
    ASSERT_EQ(initial(), 0);
    MIRVOSign& s = mirvoSigner();
    ASSERT_EQ(s.SignPkcs7(kBig5Text), 0);  // the check is off unless switched on
    s.checkValid = true;
    EXPECT_EQ(s.SignPkcs7(kBig5Text), 5011);
    EXPECT_FALSE(s.lastSignature);
    EXPECT_TRUE(capture_.has(std::string(msg::CERT_VALID_FAILED) + " = 0x00001393(5011)\n"))
        << capture_.text();
}

TEST_F(Signer, TheKeyUsageCheckAcceptsASigningCertificate) {
    properties("user_modern.pfx", kTemplateOptions);
    ASSERT_EQ(initial(), 0);
    MIRVOSign& s = mirvoSigner();
    s.checkKeyUsage = true;
    ASSERT_EQ(s.SignPkcs7(kBig5Text), 0) << capture_.text();
    EXPECT_TRUE(capture_.has(std::string(msg::KEY_USAGE) + " = 0x000000C0(192)\n")) << capture_.text();
    EXPECT_TRUE(capture_.has("end cPkcs12::checkKeyUsageForSign() = 0x00000000(0)\n"));
}

TEST_F(Signer, AKeyThatCannotSignPkcs7IsASigningErrorNotAnEmptySignedData) {
    // An Ed25519 key: PKCS7_add_signature refuses it, and no SignedData without a signer comes out.
    ASSERT_EQ(
        shell(
            "cd '" + dir_.path +
            "' && openssl genpkey -algorithm ED25519 -out ed.key 2>/dev/null && "
            "openssl req -new -x509 -key ed.key -subj /CN=Ed -days 30 -out ed.pem 2>/dev/null && "
            "openssl pkcs12 -export -inkey ed.key -in ed.pem -passout pass:Test1234! -out ed.pfx && echo ok"),
        "ok\n");
    writeFile(dir_ / "p7Sign.properties",
              "PFX.path = " + dir_.path + "\nPFX.file = ed.pfx\n" + kTemplateOptions);
    ASSERT_EQ(initial(), 0) << capture_.text();
    EXPECT_EQ(mirvoSigner().SignPkcs7(kBig5Text), 5061);
    EXPECT_FALSE(mirvoSigner().lastSignature);
    EXPECT_TRUE(capture_.has(std::string(msg::SIGN_FAILED) + " = 0x000013C5(5061)\n")) << capture_.text();
    EXPECT_EQ(ERR_peek_error(), 0ul) << "the error queue is left clean";
}

TEST_F(Signer, ConversionIsBig5ToBig5) {
    MIRVOSign& s = mirvoSigner();
    cBytes out;
    EXPECT_TRUE(s.convertUniCodeStringToAny(kBig5Text, "BIG5", &out));
    EXPECT_EQ(out.str(), kBig5Text);
    EXPECT_TRUE(s.convertUniCodeStringToAny(kBig5Text, "UTF-8", &out));
    EXPECT_EQ(out.str(), u8"台積電 買進 1000");
    EXPECT_FALSE(s.convertUniCodeStringToAny("", "BIG5", &out));
    EXPECT_FALSE(s.convertUniCodeStringToAny(nullptr, "BIG5", &out));
    EXPECT_FALSE(s.convertUniCodeStringToAny("abc", "BIG5", nullptr));
    EXPECT_FALSE(s.convertUniCodeStringToAny("abc", "NO-SUCH-ENCODING", &out));
    EXPECT_TRUE(capture_.has("iconv_open() "));
    EXPECT_EQ(out.length(), 0);
}

// Each thread converts with a descriptor of its own, and a conversion that failed midway (an
// incomplete Big5 character) leaves nothing behind for the next one on that thread.
TEST_F(Signer, ConversionsFromManyThreadsAtOnceAreEachRight) {
    MIRVOSign& s = mirvoSigner();
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&s, &wrong, t] {
            for (int i = 0; i < 300; ++i) {
                cBytes out;
                if (s.convertUniCodeStringToAny("abc\xA5", "UTF-8", &out)) ++wrong;  // truncated character
                const bool utf8 = (i + t) % 2 == 0;
                if (!s.convertUniCodeStringToAny(kBig5Text, utf8 ? "UTF-8" : "BIG5", &out) ||
                    out.str() != (utf8 ? std::string(u8"台積電 買進 1000") : std::string(kBig5Text)))
                    ++wrong;
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
