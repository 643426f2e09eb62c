// Revocation lists: reading, next-update check, revoked serials, and the per-chain list of files.
#include <gtest/gtest.h>

#include <ctime>

#include "cCertChain.hpp"
#include "cCrl.hpp"
#include "cMessages.hpp"
#include "chain_support.hpp"

using namespace chaintest;

namespace {

std::string num(const char* name, int32_t n) {
    char buf[64];
    snprintf(buf, sizeof buf, " = 0x%08X(%d)", static_cast<unsigned>(n), n);
    return std::string(name) + buf;
}

// Runs with the local zone at UTC+8, where the CRL's next-update text and the local clock agree.
class Utc8Zone {
public:
    Utc8Zone() {
        const char* tz = getenv("TZ");
        had_ = tz != nullptr;
        if (had_) saved_ = tz;
        setenv("TZ", "CST-8", 1);
        tzset();
    }
    ~Utc8Zone() {
        if (had_)
            setenv("TZ", saved_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool had_ = false;
    std::string saved_;
};

struct RevokedSpec {
    long serial;
    time_t revokedAt;
};

// A signed DER CRL made in-process: next update at `next` seconds from now (none when hasNext is
// false), the given revoked entries in order.
std::string makeCrl(bool hasNext, long next, const std::vector<RevokedSpec>& entries) {
    ossl_ptr<EVP_PKEY> key(EVP_EC_gen("P-256"));
    ossl_ptr<X509_CRL> crl(X509_CRL_new());
    X509_CRL_set_version(crl.get(), 1);
    NamePtr name(X509_NAME_new());
    X509_NAME_add_entry_by_txt(name.get(), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Test CRL"), -1, -1, 0);
    X509_CRL_set_issuer_name(crl.get(), name.get());
    const time_t now = time(nullptr);
    ASN1_TIME* last = ASN1_TIME_set(nullptr, now);
    X509_CRL_set1_lastUpdate(crl.get(), last);
    ASN1_TIME_free(last);
    if (hasNext) {
        ASN1_TIME* t = ASN1_TIME_set(nullptr, now + next);
        X509_CRL_set1_nextUpdate(crl.get(), t);
        ASN1_TIME_free(t);
    }
    for (const RevokedSpec& e : entries) {
        X509_REVOKED* r = X509_REVOKED_new();
        ASN1_INTEGER* serial = ASN1_INTEGER_new();
        ASN1_INTEGER_set(serial, e.serial);
        X509_REVOKED_set_serialNumber(r, serial);
        ASN1_INTEGER_free(serial);
        ASN1_TIME* at = ASN1_TIME_set(nullptr, e.revokedAt);
        X509_REVOKED_set_revocationDate(r, at);
        ASN1_TIME_free(at);
        X509_CRL_add0_revoked(crl.get(), r);
    }
    X509_CRL_sign(crl.get(), key.get(), EVP_sha256());
    unsigned char* der = nullptr;
    const int n = i2d_X509_CRL(crl.get(), &der);
    std::string out(reinterpret_cast<char*>(der), n > 0 ? n : 0);
    OPENSSL_free(der);
    return out;
}

std::unique_ptr<cCrlFileEntry> parsed(const std::string& der) {
    auto e = std::make_unique<cCrlFileEntry>("crlFile0", "/nowhere", "x.crl");
    e->rawBytes.assign(der.data(), static_cast<int32_t>(der.size()));
    return e;
}

}  // namespace

TEST(CrlExpiry, ComparesTheFirst14Characters) {
    struct Case {
        const char* now;
        const char* next;
        bool expired;
    } cases[] = {
        {"20261210120000", "20261210120000", false},  // equal second: still valid
        {"20261210120000", "20261210120001", false},
        {"20261210120001", "20261210120000", true},
        {"20261210120000", "", true},                    // no next update
        {"20261210120000999", "20261210120000", false},  // beyond 14 characters ignored
    };
    for (const Case& c : cases)
        EXPECT_EQ(cCrlFileEntry::isExpiredAt(c.now, c.next), c.expired) << c.now << " " << c.next;
}

TEST(CrlFile, FixturesParseWithTheirSerialsAndExpiry) {
    struct Case {
        const char* file;
        bool parses;
        bool expired;
        std::vector<std::string> serials;
        const char* line;
    } cases[] = {
        {"valid.crl", true, false, {"0", "1234ABCD", "A1"}, msg::CRL_VALID},
        {"empty.crl", true, false, {}, msg::CRL_VALID},
        {"expired.crl", true, true, {}, msg::CRL_EXPIRED},
        {"valid.pem", false, false, {}, msg::CRL_PARSE_FAILED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        LogCapture log;
        cCrlFileEntry e("crlFile0", crlDir(), c.file);
        EXPECT_TRUE(e.loadCrl());  // true whenever a name is set
        EXPECT_EQ(e.crl != nullptr, c.parses);
        EXPECT_EQ(e.expired, c.expired);
        if (std::string(c.file) != "expired.crl") {
            std::vector<std::string> keys;
            for (const auto& kv : e.revoked) keys.push_back(kv.first);
            EXPECT_EQ(keys, c.serials);
        }
        EXPECT_TRUE(log.has(c.line));
        EXPECT_TRUE(log.has(std::string(msg::CRL_FILE_NAME) + " = " + crlDir() + "/" + c.file));
        EXPECT_TRUE(log.has(msg::CRL_FILE_LENGTH));
    }
}

TEST(CrlFile, CountLinesTellListAndMapSizes) {
    LogCapture log;
    cCrlFileEntry e("crlFile0", crlDir(), "valid.crl");
    ASSERT_TRUE(e.loadCrl());
    EXPECT_EQ(log.count(num(msg::CRL_REVOKED_COUNT, 3)), 2);
    LogCapture::reset(0);
    cCrlFileEntry empty("crlFile1", crlDir(), "empty.crl");
    ASSERT_TRUE(empty.loadCrl());
    // A CRL without revoked entries has no list at all: the stack count is -1, the map holds 0.
    EXPECT_TRUE(log.has(num(msg::CRL_REVOKED_COUNT, -1)));
    EXPECT_TRUE(log.has(num(msg::CRL_REVOKED_COUNT, 0)));
}

TEST(CrlFile, PemParseFailureCarriesOpenSslText) {
    LogCapture log;
    cCrlFileEntry e("crlFile0", crlDir(), "valid.pem");
    // An error someone else left on the queue is not the parse's: the line carries the parse's own
    // error, and the queue is left as it was, holding that one error alone.
    ERR_put_error(ERR_LIB_USER, 0, 1, __FILE__, __LINE__);
    const unsigned long queued = ERR_peek_error();
    const std::string older = osslErrorText(queued);
    EXPECT_TRUE(e.loadCrl());
    EXPECT_FALSE(e.crl);
    // The full error string of the parse's error ("error:<code>:<library>:...").
    EXPECT_TRUE(log.has(std::string(msg::CRL_PARSE_FAILED) + " = error:")) << log.text();
    EXPECT_FALSE(log.has(older)) << log.text();
    EXPECT_EQ(ERR_peek_error(), queued);
    EXPECT_EQ(ERR_peek_last_error(), queued);
    ERR_clear_error();
    // With nothing queued before, the line carries the parse's first error and the queue ends empty.
    LogCapture::reset(0);
    EXPECT_TRUE(e.loadCrl());
    EXPECT_TRUE(log.has(std::string(msg::CRL_PARSE_FAILED) + " = error:")) << log.text();
    EXPECT_EQ(ERR_peek_error(), 0ul);
}

TEST(CrlFile, MissingOrUnnamedFiles) {
    {
        LogCapture log;
        cCrlFileEntry e("crlFile0", crlDir(), "absent.crl");
        EXPECT_TRUE(e.loadCrl());
        EXPECT_FALSE(log.has(msg::CRL_FILE_LENGTH));
        EXPECT_FALSE(log.has("begin cCrlFileEntry::parseCrl()"));
    }
    {
        LogCapture log;
        cCrlFileEntry e("crlFile0", crlDir(), "");
        EXPECT_FALSE(e.loadCrl());
        EXPECT_TRUE(log.has(msg::CRL_FILENAME_UNSET));
    }
    {
        LogCapture log;
        cCrlFileEntry e("crlFile0", crlDir(), "valid.crl");
        e.rawBytes.release();
        EXPECT_FALSE(e.parseCrl());
        EXPECT_TRUE(log.has(msg::CRL_NOT_LOADED));
    }
}

TEST(CrlFile, PathJoinsWithSlashUnlessAbsolute) {
    struct Case {
        const char* dir;
        const char* name;
        const char* path;
    } cases[] = {
        {"/d/crl", "a.crl", "/d/crl/a.crl"},
        {"/d/crl/", "a.crl", "/d/crl//a.crl"},  // exactly dir "/" name
        {"/d/crl", "/abs/a.crl", "/abs/a.crl"},
        {"/d/crl", "C:\\x\\a.crl", "/d/crl/C:\\x\\a.crl"},
        {"rel", "sub/a.crl", "rel/sub/a.crl"},
    };
    for (const Case& c : cases) EXPECT_EQ(cCrlFileEntry("t", c.dir, c.name).path(), c.path);
    // an absolute name is read unchanged
    cCrlFileEntry e("crlFile0", "/nowhere", crlDir() + "/valid.crl");
    EXPECT_TRUE(e.loadCrl());
    EXPECT_TRUE(e.crl);
    // the DEBUG line shows the path as it is made, a trailing "/" of the directory kept
    LogCapture log;
    cCrlFileEntry trailing("crlFile0", crlDir() + "/", "valid.crl");
    EXPECT_TRUE(trailing.loadCrl());
    EXPECT_TRUE(trailing.crl);
    EXPECT_TRUE(log.has(std::string(msg::CRL_FILE_NAME) + " = " + crlDir() + "//valid.crl"));
}

TEST(CrlFile, FailedParseKeepsThePreviousState) {
    auto e = parsed(makeCrl(true, 3600 * 24, {{0xA1, 1700000000}}));
    ASSERT_TRUE(e->parseCrl());
    X509_CRL* before = e->crl.get();
    ASSERT_EQ(e->revoked.size(), 1u);
    e->expired = true;  // marks the state; a failed parse must not touch it
    e->rawBytes.assign("garbage", 7);
    EXPECT_FALSE(e->parseCrl());
    EXPECT_EQ(e->crl.get(), before);
    EXPECT_EQ(e->revoked.count("A1"), 1u);
    EXPECT_TRUE(e->expired);
}

TEST(CrlFile, SerialTextsAndDuplicates) {
    auto e = parsed(
        makeCrl(true, 3600, {{0xA1, 1700000000}, {0, 1700000000}, {-5, 1700000000}, {0xA1, 1600000000}}));
    ASSERT_TRUE(e->parseCrl());
    std::vector<std::string> keys;
    for (const auto& kv : e->revoked) keys.push_back(kv.first);
    EXPECT_EQ(keys, (std::vector<std::string>{"-05", "0", "A1"}));
    // the first entry of a serial stays
    EXPECT_EQ(ASN1_TIME_cmp_time_t(X509_REVOKED_get0_revocationDate(e->revoked["A1"]), 1700000000), 0);
}

TEST(CrlFile, NextUpdateAroundNowAtUtc8) {
    Utc8Zone zone;
    struct Case {
        bool hasNext;
        long offset;
        bool expired;
    } cases[] = {{true, 120, false}, {true, -120, true}, {false, 0, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        LogCapture log;
        auto e = parsed(makeCrl(c.hasNext, c.offset, {}));
        ASSERT_TRUE(e->parseCrl());
        EXPECT_EQ(e->expired, c.expired);
        EXPECT_TRUE(log.has(c.expired ? msg::CRL_EXPIRED : msg::CRL_VALID));
        if (!c.hasNext) {
            EXPECT_TRUE(log.has(std::string(msg::CRL_NEXT_UPDATE) + " = \n"));
        }
    }
}

TEST(CrlList, AddCrlFileChecksAndFiles) {
    {
        LogCapture log;
        cCrlList list("SKI", "");
        EXPECT_FALSE(list.addCrlFile("crlFile0", ""));  // the directory is tested first
        EXPECT_TRUE(log.has(msg::CRL_PATH_MISSING));
        EXPECT_FALSE(log.has(msg::CRL_FILENAME_MISSING));
        EXPECT_TRUE(log.has(std::string("title = crlFile0")));
    }
    {
        LogCapture log;
        cCrlList list("SKI", crlDir());
        EXPECT_FALSE(list.addCrlFile("crlFile0", ""));
        EXPECT_TRUE(log.has(msg::CRL_FILENAME_MISSING));
        EXPECT_TRUE(list.files.empty());
    }
    {
        LogCapture log;
        cCrlList list("SKI", crlDir());
        EXPECT_TRUE(list.addCrlFile("crlFile0", "valid.crl"));
        EXPECT_TRUE(list.addCrlFile("crlFile1", "absent.crl"));  // filed though it cannot be read
        EXPECT_FALSE(list.addCrlFile("crlFile0", "expired.crl"));
        EXPECT_TRUE(log.has(std::string(msg::CRL_DUPLICATE) + " = crlFile0"));
        ASSERT_EQ(list.files.size(), 2u);
        EXPECT_EQ(list.files["crlFile0"]->fileName, "valid.crl");
        EXPECT_FALSE(list.files["crlFile0"]->expired);
    }
    {
        // PARAM lines pass at INFO, not at WARN
        LogCapture log(cLog::kWarn);
        cCrlList list("SKI", crlDir());
        list.addCrlFile("crlFile0", "valid.crl");
        EXPECT_FALSE(log.has("PARAM title"));
    }
}

class CrlOfChain : public ::testing::Test {
protected:
    // A loaded chain entry of the good fixture chain, with the given properties.
    std::unique_ptr<cCertChainEntry> entryWith(const std::string& text) {
        props_ = props(text);
        ossl_ptr<BIO> bio(BIO_new_file((p7bDir() + "/chain.p7b").c_str(), "r"));
        ossl_ptr<PKCS7> p7(d2i_PKCS7_bio(bio.get(), nullptr));
        return std::make_unique<cCertChainEntry>("P7B0", ski("I2"), p7.get(), props_.get());
    }
    std::unique_ptr<cProperty> props_;
};

TEST_F(CrlOfChain, NoCrlKeysGiveAnEmptyListAndTrue) {
    LogCapture log;
    auto e = entryWith("P7B0.SKI = x\n");
    EXPECT_TRUE(e->loaded);
    ASSERT_TRUE(e->crlList);
    EXPECT_TRUE(e->crlList->files.empty());
    EXPECT_TRUE(log.has(num(msg::CRL_FILE_COUNT, 0)));
    EXPECT_TRUE(log.has("end cCertChainEntry::loadCrlList()"));
}

TEST_F(CrlOfChain, EveryFileSlotIsReadGapsIncluded) {
    LogCapture log;
    auto e = entryWith("CRL.path = " + crlDir() +
                       "\nP7B0.crlFile3 = valid.crl\nP7B0.crlFile4 = expired.crl\n"
                       "P7B0.crlFile0 = valid.pem\nP7B0.crlFile5 = empty.crl\nP7B1.crlFile1 = empty.crl\n");
    EXPECT_TRUE(e->loaded);
    std::vector<std::string> titles;
    for (const auto& kv : e->crlList->files) titles.push_back(kv.first);
    EXPECT_EQ(titles, (std::vector<std::string>{"crlFile0", "crlFile3", "crlFile4"}));
    EXPECT_TRUE(e->crlList->files["crlFile4"]->expired);
    EXPECT_FALSE(e->crlList->files["crlFile0"]->crl);
    EXPECT_TRUE(log.has(num(msg::CRL_FILE_COUNT, 3)));
    EXPECT_EQ(e->crlList->directory, crlDir());
    EXPECT_EQ(e->crlList->chainSki, ski("I2"));
}

TEST_F(CrlOfChain, CrlFileWithoutDirectoryStillLoadsTheChain) {
    LogCapture log;
    auto e = entryWith("P7B0.crlFile0 = valid.crl\n");
    EXPECT_TRUE(e->loaded);
    EXPECT_TRUE(log.has(msg::CRL_PATH_MISSING));
    EXPECT_TRUE(e->crlList->files.empty());
    EXPECT_TRUE(log.has(num(msg::CRL_FILE_COUNT, 0)));
}

TEST_F(CrlOfChain, NoPropertiesOrNoListGiveFalse) {
    auto e = entryWith("");
    LogCapture log;
    EXPECT_FALSE(e->loadCrlList(nullptr));
    EXPECT_TRUE(log.has(msg::PARAM_PROPERTY_NULL));
    e->crlList.reset();
    EXPECT_FALSE(e->loadCrlList(props_.get()));
}
