// The PKCS#12 signer certificate: loading with its MAC check, validity, and the signer filter.
#include <gtest/gtest.h>

#include "cMessages.hpp"
#include "cPkcs12.hpp"
#include "cX509.hpp"
#include "mirvo_cert_support.hpp"

using namespace mirvotest;

namespace {

const char kPassword[] = "Test1234!";

// The UTF-8 bytes of the fixture's non-ASCII password "密碼Pässwörd".
std::string nonAsciiPassword() { return u8"密碼Pässwörd"; }

}  // namespace

struct LoadCase {
    const char* what;
    const char* folder;  // "PKI": the fixture folder
    const char* file;
    int password;  // 0 null, 1 empty, 2 right, 3 wrong, 4 non-ASCII
    int code;
    const char* line;  // a log text that must appear, or null
};

class Pkcs12Load : public ::testing::TestWithParam<LoadCase> {};

TEST_P(Pkcs12Load, ReturnsItsCode) {
    const LoadCase& c = GetParam();
    const std::string folder =
        c.folder && std::string(c.folder) == "PKI" ? pkiDir() : (c.folder ? c.folder : "");
    const std::string nonAscii = nonAsciiPassword();
    const char* pass = c.password == 0   ? nullptr
                       : c.password == 1 ? ""
                       : c.password == 2 ? kPassword
                       : c.password == 3 ? "wrong-password"
                                         : nonAscii.c_str();
    LogCapture capture;
    cPkcs12 p;
    EXPECT_EQ(p.loadPfxFile(c.folder ? folder.c_str() : nullptr, c.file, pass), c.code) << capture.text();
    char end[64];
    snprintf(end, sizeof end, "end cPkcs12::loadPfxFile() = 0x%08X(%d)\n", c.code, c.code);
    EXPECT_TRUE(capture.has(end)) << capture.text();
    if (c.line) {
        std::string line = c.line;
        size_t at = line.find("{path}");
        if (at != std::string::npos) line.replace(at, 6, folder + "/" + c.file);
        EXPECT_TRUE(capture.has(line)) << capture.text();
    }
    EXPECT_EQ(ERR_peek_error(), 0ul) << "the error queue is left clean";
    if (c.code == 0) {
        EXPECT_TRUE(p.privateKey());
        EXPECT_TRUE(p.certificate());
        EXPECT_EQ(EVP_PKEY_get_bits(p.privateKey()), 2048);
        EXPECT_EQ(X509_check_private_key(p.certificate(), p.privateKey()), 1);
    } else {
        EXPECT_FALSE(p.certificate());
    }
}

const std::string kNotFound = std::string(msg::PFX_FILE_NOT_FOUND) + " = {path}\n";

INSTANTIATE_TEST_SUITE_P(
    All, Pkcs12Load,
    ::testing::Values(
        LoadCase{"modern", "PKI", "user_modern.pfx", 2, 0, nullptr},
        LoadCase{"legacy_rc2_40", "PKI", "user_legacy.pfx", 2, 0, nullptr},
        LoadCase{"non_ascii_utf8", "PKI", "user_nonascii.pfx", 4, 0, nullptr},
        LoadCase{"non_ascii_older_key_derivation", "PKI", "user_nonascii_latin1.pfx", 4, 0, nullptr},
        LoadCase{"no_mac", "PKI", "user_nomac.pfx", 2, 5208, nullptr},
        LoadCase{"wrong_password", "PKI", "user_modern.pfx", 3, 5208, nullptr},
        LoadCase{"wrong_password_legacy", "PKI", "user_legacy.pfx", 3, 5208, nullptr},
        LoadCase{"ascii_password_for_non_ascii_file", "PKI", "user_nonascii.pfx", 2, 5208, nullptr},
        LoadCase{"key_without_certificate", "PKI", "keyonly.pfx", 2, 5208, nullptr},
        LoadCase{"text_named_pfx", "PKI", "notacert.pfx", 2, 1102, nullptr},
        LoadCase{"missing_file", "PKI", "missing.pfx", 2, 1102, kNotFound.c_str()},
        LoadCase{"missing_file_before_password", "PKI", "missing.pfx", 1, 1102, kNotFound.c_str()},
        LoadCase{"empty_password", "PKI", "user_modern.pfx", 1, 5005, msg::PARAM_PFXPASSWD_EMPTY},
        LoadCase{"null_password", "PKI", "user_modern.pfx", 0, 5005, msg::PARAM_PFXPASSWD_NULL},
        LoadCase{"null_folder", nullptr, "user_modern.pfx", 2, 5005, msg::PARAM_FILEPATH_NULL},
        LoadCase{"empty_folder", "", "user_modern.pfx", 2, 5005, msg::PARAM_FILEPATH_EMPTY},
        LoadCase{"null_file", "PKI", nullptr, 2, 5005, msg::PARAM_FILENAME_NULL},
        LoadCase{"empty_file", "PKI", "", 2, 5005, msg::PARAM_FILENAME_EMPTY}),
    [](const auto& test) { return std::string(test.param.what); });

TEST(Pkcs12, PathIsFolderSlashFileEvenForAWindowsStyleFolder) {
    LogCapture capture;
    cPkcs12 p;
    EXPECT_EQ(p.loadPfxFile("C:\\certs", "a.pfx", kPassword), 1102);
    EXPECT_TRUE(capture.has(std::string(msg::PFX_FILE_NOT_FOUND) + " = C:\\certs/a.pfx\n"));
}

TEST(Pkcs12, AFolderWhereTheFileShouldBeIsNotAContainer) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "x.pfx").c_str(), 0700), 0);
    LogCapture capture(cLog::kOff);
    cPkcs12 p;
    EXPECT_EQ(p.loadPfxFile(dir.path.c_str(), "x.pfx", kPassword), 1102);
}

TEST(Pkcs12, AuthorityListIsHeldWhenTheFileHasOne) {
    LogCapture capture(cLog::kOff);
    cPkcs12 withCas, without;
    ASSERT_EQ(withCas.loadPfxFile(pkiDir().c_str(), "user_modern.pfx", kPassword), 0);
    ASSERT_TRUE(withCas.authorityCerts());
    EXPECT_EQ(sk_X509_num(withCas.authorityCerts()), 2);
    ASSERT_EQ(without.loadPfxFile(pkiDir().c_str(), "user_nocas.pfx", kPassword), 0);
    EXPECT_FALSE(without.authorityCerts());
    EXPECT_EQ(cX509::copyOf(withCas.certificate())->getSubjectCN(), "Wang Da 0001");
}

TEST(Pkcs12, TheOneTimeSetUpLoadsTheLegacyProvider) {
    EXPECT_TRUE(mirvoLegacyProviderLoaded());
    mirvoOpenSslInit();  // a second call changes nothing
    EXPECT_TRUE(mirvoLegacyProviderLoaded());
}

TEST(Pkcs12, ErrorQueuedBeforeTheLoadStaysAndIsNotTheLoads) {
    // An older error left by someone else must not turn a good load into a failure, and stays queued
    // alone after a good load and after a failed one (whose own errors go).
    ERR_put_error(ERR_LIB_USER, 0, 1, __FILE__, __LINE__);
    const unsigned long queued = ERR_peek_error();
    LogCapture capture(cLog::kOff);
    for (const char* pass : {kPassword, "wrong-password"}) {
        cPkcs12 p;
        EXPECT_EQ(p.loadPfxFile(pkiDir().c_str(), "user_modern.pfx", pass), pass == kPassword ? 0 : 5208);
        EXPECT_EQ(ERR_peek_error(), queued) << pass;
        EXPECT_EQ(ERR_peek_last_error(), queued) << pass;
    }
    ERR_clear_error();
}

struct ValidCase {
    const char* file;
    int code;
    const char* line;
};

class Pkcs12Valid : public ::testing::TestWithParam<ValidCase> {};

TEST_P(Pkcs12Valid, AgainstTheLocalClock) {
    LogCapture capture(cLog::kOff);
    cPkcs12 p;
    ASSERT_EQ(p.loadPfxFile(pkiDir().c_str(), GetParam().file, kPassword), 0);
    LogCapture lines;
    EXPECT_EQ(p.checkCertValid(), GetParam().code);
    EXPECT_TRUE(lines.has(msg::CERT_NOT_BEFORE));
    EXPECT_TRUE(lines.has(msg::CERT_NOT_AFTER));
    if (GetParam().line) {
        EXPECT_TRUE(lines.has(std::string(GetParam().line) + "\n"));
    }
    char end[64];
    snprintf(end, sizeof end, "end cPkcs12::checkCertValid() = 0x%08X(%d)\n", GetParam().code,
             GetParam().code);
    EXPECT_TRUE(lines.has(end)) << lines.text();
}

INSTANTIATE_TEST_SUITE_P(All, Pkcs12Valid,
                         ::testing::Values(ValidCase{"user_modern.pfx", 0, nullptr},
                                           ValidCase{"user_expired.pfx", 5011, msg::CERT_EXPIRED},
                                           ValidCase{"user_notyet.pfx", 5012, msg::CERT_NOT_YET_VALID}));

TEST(Pkcs12, ValidityBoundariesCompareTheTimeTexts) {
    // notBefore 2025-01-01 08:00:00 and notAfter 2025-12-31 23:59:59 in UTC+8 wall-clock text.
    cPkcs12 p;
    p.setCredentials(nullptr, makeCert("/CN=U", "/CN=I", "20250101000000Z", "20251231155959Z"), nullptr);
    LogCapture capture(cLog::kOff);
    struct {
        const char* now;
        int code;
    } cases[] = {{"20251231235959", 0},
                 {"20260101000000", 5011},
                 {"20250101075959", 5012},
                 {"20250101080000", 0},
                 {"20250615120000", 0}};
    for (const auto& c : cases) EXPECT_EQ(p.checkCertValidAt(c.now), c.code) << c.now;
}

TEST(Pkcs12, NoCertificateMeans5010) {
    LogCapture capture;
    cPkcs12 p;
    EXPECT_EQ(p.checkCertValid(), 5010);
    EXPECT_TRUE(capture.has("end cPkcs12::checkCertValid() = 0x00001392(5010)\n"));
    for (const char* filter : {(const char*)nullptr, "", "////", "//S_CN=Wang//"})
        EXPECT_EQ(p.checkSignerFilter(filter), 5010) << (filter ? filter : "null");
}

struct FilterCase {
    const char* filter;
    int code;
};

class SignerFilter : public ::testing::TestWithParam<FilterCase> {};

TEST_P(SignerFilter, OneConditionMustHold) {
    cPkcs12 p;
    p.setCredentials(nullptr,
                     makeCert("/C=TW/O=Bank/O=Second/OU=Dept/OU=Desk 2/CN=Wang Da",
                              "/C=TW/O=Root Org/CN=Root Authority 2"),
                     nullptr);
    LogCapture capture;
    EXPECT_EQ(p.checkSignerFilter(GetParam().filter), GetParam().code) << capture.text();
}

INSTANTIATE_TEST_SUITE_P(
    All, SignerFilter,
    ::testing::Values(FilterCase{nullptr, 0}, FilterCase{"", 0}, FilterCase{"////", 0},
                      FilterCase{"//S_CN=Wang//", 0},  // contained in the subject CN
                      FilterCase{"//S_CN=Chen//", 5010},
                      FilterCase{"//I_CN=Root//", 5010},  // issuer CN must be equal
                      FilterCase{"//I_CN=Root Authority 2//", 0}, FilterCase{"//S_O=Bank,S_O=Second//", 0},
                      FilterCase{"//S_O=Bank,S_O=Third//", 5010},
                      FilterCase{"//S_O=Third//S_O=Bank//", 0},  // either condition
                      FilterCase{"//S_OU=Desk 2,S_C=TW//", 0}, FilterCase{"//S_OU=Desk//", 5010},
                      FilterCase{"//S_C= TW//", 5010},  // the blank belongs to the value
                      FilterCase{"//S_C=TW,I_C=TW,I_O=Root Org//", 0}, FilterCase{"//I_O=Bank//", 5010},
                      FilterCase{"S_CN=Wang", 5010}, FilterCase{"//S_CN=Wang", 5010},  // no condition at all
                      FilterCase{"ignored//S_CN=Wang//ignored", 0}, FilterCase{"//S_CN=Chen////", 0},
                      FilterCase{"//S_CN=Chen//I_CN=Root//", 5010}));

TEST(SignerFilter, LogsTheConditionsAndStopsAtTheFirstHolding) {
    cPkcs12 p;
    p.setCredentials(nullptr, makeCert("/C=TW/O=Bank/CN=Wang Da", "/C=TW/CN=Root Authority 2"), nullptr);
    LogCapture capture;
    EXPECT_EQ(p.checkSignerFilter("//S_CN=Chen//S_CN=Wang//I_CN=x//"), 0);
    EXPECT_TRUE(capture.has("PARAM signerFilter = //S_CN=Chen//S_CN=Wang//I_CN=x//\n"));
    EXPECT_TRUE(capture.has(std::string(msg::FILTER_COUNT) + " = 0x00000003(3)\n"));
    EXPECT_TRUE(capture.has(std::string(msg::FILTER_MISS_S_CN) + " = Chen\n"));
    EXPECT_EQ(capture.count(std::string(msg::FILTER_CONDITION) + " = "), 3);  // subject, subject, issuer
    EXPECT_FALSE(capture.has("I_CN=x\n"));
    EXPECT_TRUE(capture.has(std::string(msg::FILTER_SUBJECT) + " = /C=TW/O=Bank/CN=Wang Da\n"));
    EXPECT_TRUE(capture.has("end cPkcs12::checkSignerFilter() = 0x00000000(0)\n"));
}

struct NameTestCase {
    bool subject;
    const char* condition;
    const char* name;
    bool holds;
    const char* miss;  // message of the failure, or null
    const char* value;
};

class FilterNameTests : public ::testing::TestWithParam<NameTestCase> {};

TEST_P(FilterNameTests, FirstFailureNamesItsValue) {
    const NameTestCase& c = GetParam();
    cPkcs12 p;
    LogCapture capture;
    EXPECT_EQ(c.subject ? p.checkFilterByCertSubject(c.condition, c.name)
                        : p.checkFilterByCertIssuer(c.condition, c.name),
              c.holds);
    if (c.miss) {
        EXPECT_TRUE(capture.has(std::string(c.miss) + " = " + c.value + "\n")) << capture.text();
    }
    EXPECT_EQ(capture.count("ERROR "), c.miss ? 1 : 0);
    EXPECT_TRUE(capture.has(std::string(c.subject ? "end cPkcs12::checkFilterByCertSubject()"
                                                  : "end cPkcs12::checkFilterByCertIssuer()") +
                            (c.holds ? " = true\n" : " = false\n")));
}

INSTANTIATE_TEST_SUITE_P(
    All, FilterNameTests,
    ::testing::Values(
        NameTestCase{true, "", "/CN=x", true, nullptr, nullptr},
        NameTestCase{true, "S_C=JP,S_O=Z", "/C=TW/O=A", false, msg::FILTER_MISS_S_C, "JP"},
        NameTestCase{true, "S_O=Z,S_O=B,S_O=A", "/C=TW/O=A", false, msg::FILTER_MISS_S_O,
                     "B"},                                                                // ascending order
        NameTestCase{true, "S_OU=Dept", "/C=TW/O=Bank/OU=Dept", true, nullptr, nullptr},  // last entry an OU
        NameTestCase{true, "S_OU=Desk", "/C=TW/O=Bank/OU=Dept", false, msg::FILTER_MISS_S_OU, "Desk"},
        NameTestCase{true, "S_CN=Da", "/CN=Wang Da", true, nullptr, nullptr},
        NameTestCase{true, "S_CN=Lee", "/CN=Wang Da", false, msg::FILTER_MISS_S_CN, "Lee"},
        NameTestCase{true, "I_CN=Other", "/CN=Wang Da", true, nullptr, nullptr},  // issuer keys ignored here
        NameTestCase{false, "I_C=TW,I_CN=Root", "/C=TW/CN=Root Authority 2", false, msg::FILTER_MISS_I_CN,
                     "Root"},
        NameTestCase{false, "I_C=US", "/C=TW/CN=R", false, msg::FILTER_MISS_I_C, "US"},
        NameTestCase{false, "I_O=X", "/C=TW/O=Y/CN=R", false, msg::FILTER_MISS_I_O, "X"},
        NameTestCase{false, "I_OU=X", "/C=TW/OU=Y/CN=R", false, msg::FILTER_MISS_I_OU, "X"},
        NameTestCase{false, "I_OU=Y,I_CN=R", "/C=TW/OU=Y/CN=R", true, nullptr, nullptr}));

TEST(FilterParsing, SingleAndRepeatedValues) {
    cPkcs12 p;
    LogCapture capture;
    EXPECT_EQ(p.parseFilterName("S_C=TW,S_CN=Wang Da", "S_CN="), "Wang Da");
    EXPECT_EQ(p.parseFilterName("S_C=TW,S_C=JP", "S_C="), "TW");
    EXPECT_EQ(p.parseFilterName("S_O=A", "S_C="), "");
    EXPECT_TRUE(capture.has("cPkcs12::parseFilterName(S_CN=) = Wang Da\n"));
    std::set<std::string> values;
    p.parseFilterNames("S_O=B,S_OU=x,S_O=A,S_O=B", "S_O=", values);
    EXPECT_EQ(values, (std::set<std::string>{"A", "B"}));
    EXPECT_EQ(capture.count("cPkcs12::parseFilterNames(S_O=) = "), 3);
    EXPECT_EQ(p.parseCertDistingName("/C=TW/O=Bank/CN=Wang", "CN="), "Wang");
    EXPECT_EQ(p.parseCertDistingName("/C=TW/O=Bank", "CN="), "");
    std::set<std::string> ous;
    p.parseCertDistingNames("/C=TW/OU=Dept/O=Bank/OU=Desk", "OU=", ous);
    EXPECT_EQ(ous, (std::set<std::string>{"Dept", "Desk"}));
    EXPECT_TRUE(capture.has("cPkcs12::parseCertDistingNames(OU=) = Desk\n"));
    EXPECT_TRUE(capture.has("cPkcs12::parseCertDistingName(CN=) = Wang\n"));
}
