// Certificate fields as text, and the 14-digit time text.
#include <gtest/gtest.h>

#include <algorithm>

#include "cX509.hpp"
#include "mirvo_cert_support.hpp"

using namespace mirvotest;

namespace {

const char kRootSki[] = "A1B2C3D4E5F60718293A4B5C6D7E8F9001122334";
const char kIssuingSki[] = "0F1E2D3C4B5A69788796A5B4C3D2E1F00112233445566778899AABBCCDDEEFF0";

std::unique_ptr<cX509> fixture(const char* name) {
    ossl_ptr<X509> cert = readPem(pki(name));
    EXPECT_TRUE(cert) << name;
    return cX509::copyOf(cert.get());
}

std::string timeText(int type, const std::string& raw) {
    ossl_ptr<ASN1_STRING> t(ASN1_STRING_type_new(type));
    ASN1_STRING_set(t.get(), raw.data(), static_cast<int>(raw.size()));
    return asn1TimeToString(t.get());
}

}  // namespace

struct TimeCase {
    int type;
    const char* raw;
    const char* text;
};

class TimeText : public ::testing::TestWithParam<TimeCase> {};

TEST_P(TimeText, ShiftsByEightHoursAndNormalises) {
    EXPECT_EQ(timeText(GetParam().type, GetParam().raw), GetParam().text) << GetParam().raw;
}

INSTANTIATE_TEST_SUITE_P(
    All, TimeText,
    ::testing::Values(TimeCase{V_ASN1_UTCTIME, "491231160000Z", "20500101000000"},
                      TimeCase{V_ASN1_UTCTIME, "991231170000Z", "20000101010000"},
                      TimeCase{V_ASN1_UTCTIME, "691231000000Z", "20691231080000"},
                      TimeCase{V_ASN1_UTCTIME, "700101000000Z", "19700101080000"},
                      TimeCase{V_ASN1_UTCTIME, "240228200000+0100",
                               "20240229040000"},  // offset ignored, leap day
                      TimeCase{V_ASN1_GENERALIZEDTIME, "20171231155959Z", "20171231235959"},
                      TimeCase{V_ASN1_GENERALIZEDTIME, "20171231160000Z", "20180101000000"},
                      TimeCase{V_ASN1_GENERALIZEDTIME, "20251231155959.123Z", "20251231235959"},
                      // malformed times give the empty text, never a read past the data
                      TimeCase{V_ASN1_UTCTIME, "", ""}, TimeCase{V_ASN1_UTCTIME, "4912311600", ""},
                      TimeCase{V_ASN1_UTCTIME, "49123116000", ""},
                      TimeCase{V_ASN1_UTCTIME, "4912x1160000Z", ""},
                      TimeCase{V_ASN1_GENERALIZEDTIME, "201712311559", ""},
                      TimeCase{V_ASN1_GENERALIZEDTIME, "2017123115595", ""},
                      TimeCase{V_ASN1_GENERALIZEDTIME, "20171331155959Z", ""},
                      TimeCase{V_ASN1_GENERALIZEDTIME, "20170001155959Z", ""},
                      TimeCase{V_ASN1_GENERALIZEDTIME, "20170101255959Z", ""},
                      TimeCase{V_ASN1_OCTET_STRING, "20171231155959Z", ""}));

TEST(TimeText, NoTimeGivesEmptyText) { EXPECT_EQ(asn1TimeToString(nullptr), ""); }

TEST(X509Fields, NamesOfTheFixtureChain) {
    auto user = fixture("user_valid.pem");
    EXPECT_EQ(user->getSubjectName(), "/C=TW/O=Test Bank/OU=Dept A/OU=Dept B/CN=Wang Da 0001");
    EXPECT_EQ(user->getIssuerName(), "/C=TW/O=Dorvane Test/OU=Certification/CN=Dorvane Test Issuing CA 2");
    EXPECT_EQ(user->getSubjectCN(), "Wang Da 0001");
    EXPECT_EQ(user->getIssuerCN(), "Dorvane Test Issuing CA 2");
    EXPECT_FALSE(user->isRoot());
    auto root = fixture("root.pem");
    EXPECT_TRUE(root->isRoot());
    EXPECT_FALSE(fixture("issuing.pem")->isRoot());
}

TEST(X509Fields, KeyIdentifiersAsUppercaseHex) {
    auto root = fixture("root.pem");
    auto issuing = fixture("issuing.pem");
    auto user = fixture("user_valid.pem");
    EXPECT_EQ(root->getSKI(), kRootSki);
    EXPECT_EQ(root->getAKI(), "");
    EXPECT_EQ(issuing->getSKI(), kIssuingSki);
    EXPECT_EQ(issuing->getAKI(), kRootSki);
    EXPECT_EQ(user->getAKI(), kIssuingSki);
    const std::string ski = user->getSKI();
    EXPECT_EQ(ski.size(), 40u);
    EXPECT_TRUE(std::none_of(ski.begin(), ski.end(), [](char c) { return c >= 'a' && c <= 'f'; })) << ski;
    // The openssl tool's own reading of the same extension, without its colons.
    std::string tool =
        shell("openssl x509 -noout -ext subjectKeyIdentifier -in '" + pki("user_valid.pem") + "'");
    tool.erase(
        std::remove_if(tool.begin(), tool.end(), [](char c) { return c == ':' || c == ' ' || c == '\n'; }),
        tool.end());
    EXPECT_NE(tool.find(ski), std::string::npos) << tool;
}

TEST(X509Fields, AbsentOrIssuerOnlyIdentifiersGiveEmptyText) {
    auto odd = fixture("odd.pem");    // AKI with issuer and serial only
    auto bare = fixture("bare.pem");  // no extensions at all
    EXPECT_EQ(odd->getAKI(), "");
    EXPECT_EQ(bare->getSKI(), "");
    EXPECT_EQ(bare->getAKI(), "");
    EXPECT_TRUE(bare->getCrlDistPoints().empty());
    EXPECT_EQ(bare->getSubjectCN(), "");
    EXPECT_EQ(bare->getIssuerCN(), "");
    EXPECT_TRUE(bare->isRoot());
}

TEST(X509Fields, CommonNameKeepsItsStoredBytes) {
    auto odd = fixture("odd.pem");  // BMPString: two bytes a character
    EXPECT_EQ(odd->getSubjectCN(), std::string("\x73\x8B\x59\x27\x66\x0E", 6));
}

TEST(X509Fields, CrlDistributionPointsTakeOnlyTextNames) {
    EXPECT_EQ(fixture("user_valid.pem")->getCrlDistPoints(),
              (std::vector<std::string>{"http://crl.example.test/issuing2.crl",
                                        "ldap://ldap.example.test/cn=issuing2"}));
    // The directory name inside the full name carries no string and is skipped; the relative name
    // gives its stored bytes (here a BMPString).
    EXPECT_EQ(fixture("odd.pem")->getCrlDistPoints(),
              (std::vector<std::string>{"http://a.example.test/1.crl", "http://b.example.test/2.crl",
                                        std::string("\0R\0e\0l\0a\0t\0i\0v\0e\0 \0C\0R\0L", 24)}));
}

TEST(X509Fields, ThumbprintMatchesTheOpensslTool) {
    for (const char* name : {"user_valid.pem", "root.pem", "odd.pem"}) {
        std::string tool = shell("openssl x509 -noout -fingerprint -sha1 -in '" + pki(name) + "'");
        tool = tool.substr(tool.find('=') + 1);
        tool.erase(std::remove_if(tool.begin(), tool.end(), [](char c) { return c == ':' || c == '\n'; }),
                   tool.end());
        const std::string mine = fixture(name)->getThumbprint();
        EXPECT_EQ(mine.size(), 40u);
        EXPECT_EQ(mine, tool) << name;
    }
}

TEST(X509Fields, SerialTimesAndKeyUsage) {
    auto user = fixture("user_valid.pem");
    EXPECT_EQ(user->getSerialHex(), "1000");
    EXPECT_EQ(fixture("odd.pem")->getSerialHex(), "07");
    EXPECT_EQ(user->getKeyUsage(), 0xC0);  // digitalSignature + nonRepudiation
    EXPECT_TRUE(user->hasKeyUsage());
    EXPECT_EQ(fixture("root.pem")->getKeyUsage(), 0x06);  // keyCertSign + cRLSign
    // No extension means no bits (not "every bit").
    EXPECT_EQ(fixture("odd.pem")->getKeyUsage(), 0);
    EXPECT_FALSE(fixture("odd.pem")->hasKeyUsage());
    auto expired = fixture("user_expired.pem");
    EXPECT_EQ(expired->getNotBefore(), "20010101080000");
    EXPECT_EQ(expired->getNotAfter(), "20020101080000");
    EXPECT_EQ(fixture("user_notyet.pem")->getNotAfter(), "20910101080000");
}

TEST(IntegerText, SignedHexOrNothing) {
    EXPECT_EQ(asn1IntegerHex(nullptr), "");
    ossl_ptr<ASN1_STRING> negative(ASN1_INTEGER_new());
    ASSERT_TRUE(negative);
    ASSERT_EQ(ASN1_INTEGER_set(negative.get(), -255), 1);
    EXPECT_EQ(asn1IntegerHex(negative.get()), "-FF");
    EXPECT_EQ(ERR_peek_error(), 0ul);
}

TEST(TimeText, LocalTimeIsFourteenDigits) {
    const std::string now = localTimeText();
    ASSERT_EQ(now.size(), 14u);
    EXPECT_TRUE(std::all_of(now.begin(), now.end(), [](char c) { return c >= '0' && c <= '9'; })) << now;
    EXPECT_EQ(now.substr(0, 2), "20");
}

TEST(X509Fields, RootTestComparesNameTextOnly) {
    // Textually equal names make a root whoever signed; the same entries in another order do not.
    auto same = makeCert("/C=TW/O=A/CN=Self", "/C=TW/O=A/CN=Self");
    auto reordered = makeCert("/O=A/C=TW/CN=Self", "/C=TW/O=A/CN=Self");
    EXPECT_TRUE(cX509::copyOf(same.get())->isRoot());
    EXPECT_FALSE(cX509::copyOf(reordered.get())->isRoot());
}

TEST(X509Fields, OneLineNamesAreCutAt511Characters) {
    const std::string longCn(600, 'x');
    auto cert = makeCert(
        "/CN=" + std::string(60, 'a') + "/O=" + longCn.substr(0, 60) + "/OU=" + std::string(60, 'u') +
            "/OU=" + std::string(60, 'v') + "/OU=" + std::string(60, 'w') + "/OU=" + std::string(60, 'y') +
            "/OU=" + std::string(60, 'z') + "/OU=" + std::string(60, 'q') + "/OU=" + std::string(60, 'r'),
        "/CN=I");
    const std::string name = cX509::copyOf(cert.get())->getSubjectName();
    EXPECT_LE(name.size(), 511u);
    EXPECT_GT(name.size(), 400u);
}

TEST(X509Fields, CopyOfNothingIsNothing) { EXPECT_EQ(cX509::copyOf(nullptr), nullptr); }
