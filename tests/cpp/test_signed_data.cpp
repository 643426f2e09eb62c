// SignedData made from parts encoded once must be, byte for byte, what the general builder makes
// with OpenSSL's SignedData calls for the same content, key, certificate and options (RSA PKCS#1
// v1.5 signatures are deterministic, so the whole DER compares). The reference below is that
// builder's sequence of calls.
#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include <atomic>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "MIRVOSign.hpp"
#include "cSignedData.hpp"
#include "mirvo_cert_support.hpp"

using namespace mirvotest;

namespace {

const char kPassword[] = "Test1234!";

// The DER SignedData of the general builder (no signed attributes, at most the signer certificate).
std::string referenceDer(X509* cert, EVP_PKEY* key, const cSignedDataMaker::Form& form,
                         const std::string& data) {
    ossl_ptr<PKCS7> p7(PKCS7_new());
    EXPECT_TRUE(p7 && PKCS7_set_type(p7.get(), NID_pkcs7_signed));
    EXPECT_NE(PKCS7_add_signature(p7.get(), cert, key, form.md), nullptr);
    if (form.addCert) {
        EXPECT_TRUE(PKCS7_add_certificate(p7.get(), cert));
    }
    EXPECT_TRUE(PKCS7_content_new(p7.get(), NID_pkcs7_data));
    PKCS7_ctrl(p7.get(), PKCS7_OP_SET_DETACHED_SIGNATURE, form.attached ? 0 : 1, nullptr);
    ossl_ptr<BIO> in(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
    BioChainPtr p7bio(PKCS7_dataInit(p7.get(), nullptr));
    EXPECT_EQ(SMIME_crlf_copy(in.get(), p7bio.get(), PKCS7_BINARY), 1);
    EXPECT_EQ(PKCS7_dataFinal(p7.get(), p7bio.get()), 1);
    p7bio.reset();
    unsigned char* out = nullptr;
    int size = i2d_PKCS7(p7.get(), &out);
    std::string der = size > 0 ? std::string(reinterpret_cast<char*>(out), size) : std::string();
    OPENSSL_free(out);
    return der;
}

std::string hexOf(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// Where two DER texts first differ, for the failure message.
std::string firstDifference(const std::string& got, const std::string& want) {
    size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
    return "sizes " + std::to_string(got.size()) + " / " + std::to_string(want.size()) +
           ", first difference at " + std::to_string(at) + ": " + hexOf(got.substr(at, 16)) + " / " +
           hexOf(want.substr(at, 16));
}

// Content of n bytes, every byte value present (the content is signed as it stands: no line-end
// conversion, zero bytes kept).
std::string contentOf(size_t n, unsigned seed = 0) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + 13) & 0xFF);
    return s;
}

std::string base64Decoded(const std::string& text) {
    std::string out(text.size() / 4 * 3 + 3, '\0');
    int n =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return std::string();
    size_t pad = 0;
    for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) ++pad;
    out.resize(static_cast<size_t>(n) - pad);
    return out;
}

// The credentials the cases sign with: the fixture's 2048-bit key and certificate, and a 1024-bit
// key with a certificate whose issuer name and serial number need long DER lengths.
struct Credentials {
    std::unique_ptr<cPkcs12> fixture = std::make_unique<cPkcs12>();
    ossl_ptr<EVP_PKEY> smallKey{EVP_RSA_gen(1024)};
    ossl_ptr<X509> longCert;

    Credentials() {
        EXPECT_EQ(fixture->loadPfxFile(pkiDir().c_str(), "user_modern.pfx", kPassword), 0);
        std::string issuer = "/C=TW/O=Bank";
        for (int i = 0; i < 12; ++i) issuer += "/OU=Department of signing number " + std::to_string(i);
        longCert = makeCert("/C=TW/CN=Wang Da", issuer);
        BIGNUM* bn = nullptr;
        EXPECT_GT(BN_hex2bn(&bn, "F1E2D3C4B5A69788796A5B4C3D2E1F00112233445566778899"), 0);
        ossl_ptr<BIGNUM> serial(bn);
        EXPECT_NE(BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(longCert.get())), nullptr);
    }
    static Credentials& get() {
        static Credentials c;
        return c;
    }
};

using Case = std::tuple<int /*credentials*/, const char* /*digest*/, bool /*addCert*/, bool /*attached*/>;

class MakerForms : public ::testing::TestWithParam<Case> {};

// Every form against the reference, over content sizes on both sides of each DER length form
// (one, two and three length bytes for the content, the content element and the whole).
TEST_P(MakerForms, EqualsTheGeneralBuilderByteForByte) {
    Credentials& c = Credentials::get();
    const auto [which, digest, addCert, attached] = GetParam();
    X509* cert = which == 0 ? c.fixture->certificate() : c.longCert.get();
    EVP_PKEY* key = which == 0 ? c.fixture->privateKey() : c.smallKey.get();
    cSignedDataMaker::Form form;
    form.md = EVP_get_digestbyname(digest);
    form.addCert = addCert;
    form.attached = attached;
    std::unique_ptr<cSignedDataMaker> maker = cSignedDataMaker::make(cert, key, form);
    ASSERT_TRUE(maker);
    EXPECT_TRUE(maker->serves(cert, key, form));
    for (size_t n : {1, 2, 100, 123, 124, 127, 128, 200, 255, 256, 1000, 65535, 65536, 70000}) {
        const std::string data = contentOf(n);
        std::string der = "left over";
        ASSERT_TRUE(maker->sign(reinterpret_cast<const unsigned char*>(data.data()), data.size(), der)) << n;
        const std::string want = referenceDer(cert, key, form, data);
        ASSERT_EQ(der == want, true) << "content of " << n << " bytes: " << firstDifference(der, want);
    }
}

INSTANTIATE_TEST_SUITE_P(All, MakerForms,
                         ::testing::Combine(::testing::Values(0, 1), ::testing::Values("SHA256", "SHA1"),
                                            ::testing::Bool(), ::testing::Bool()));

TEST(Maker, TakesOnlyPlainRsaKeysAndRefusesEmptyContent) {
    Credentials& c = Credentials::get();
    cSignedDataMaker::Form form;
    form.md = EVP_sha256();
    ossl_ptr<EVP_PKEY> ec(EVP_EC_gen("P-256"));
    ossl_ptr<EVP_PKEY_CTX> pssGen(EVP_PKEY_CTX_new_from_name(nullptr, "RSA-PSS", nullptr));
    EVP_PKEY* made = nullptr;
    ASSERT_TRUE(pssGen && EVP_PKEY_keygen_init(pssGen.get()) == 1 &&
                EVP_PKEY_CTX_set_rsa_keygen_bits(pssGen.get(), 1024) == 1 &&
                EVP_PKEY_keygen(pssGen.get(), &made) == 1);
    ossl_ptr<EVP_PKEY> pss(made);
    ASSERT_TRUE(ec);
    EXPECT_FALSE(cSignedDataMaker::make(c.longCert.get(), ec.get(), form));
    EXPECT_FALSE(cSignedDataMaker::make(c.longCert.get(), pss.get(), form));
    EXPECT_FALSE(cSignedDataMaker::make(nullptr, c.smallKey.get(), form));
    form.md = nullptr;
    EXPECT_FALSE(cSignedDataMaker::make(c.longCert.get(), c.smallKey.get(), form));
    form.md = EVP_sha256();
    std::unique_ptr<cSignedDataMaker> maker =
        cSignedDataMaker::make(c.longCert.get(), c.smallKey.get(), form);
    ASSERT_TRUE(maker);
    std::string der;
    EXPECT_FALSE(maker->sign(reinterpret_cast<const unsigned char*>("x"), 0, der));
    EXPECT_FALSE(maker->sign(nullptr, 1, der));
}

// The form of the makers that several threads share: SHA-256 with the signer certificate.
static cSignedDataMaker::Form sharedForm() {
    cSignedDataMaker::Form form;
    form.md = EVP_sha256();
    form.addCert = true;
    return form;
}

// One maker shared by threads signing at once: each signature is still the reference's.
TEST(Maker, SignsFromManyThreadsAtOnce) {
    Credentials& c = Credentials::get();
    const cSignedDataMaker::Form form = sharedForm();
    std::unique_ptr<cSignedDataMaker> maker =
        cSignedDataMaker::make(c.longCert.get(), c.smallKey.get(), form);
    ASSERT_TRUE(maker);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (unsigned i = 0; i < 40; ++i) {
                const std::string data = contentOf(50 + i, t);
                std::string der;
                if (!maker->sign(reinterpret_cast<const unsigned char*>(data.data()), data.size(), der) ||
                    der != referenceDer(c.longCert.get(), c.smallKey.get(), form, data))
                    ++wrong;
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

// Children forked while other threads sign with one maker (inside its pool's lock and inside
// OpenSSL with the shared key) sign with the same maker at once, and their signatures are the
// reference's.
TEST(Maker, ChildrenForkedWhileThreadsSignCanSign) {
    Credentials& c = Credentials::get();
    const cSignedDataMaker::Form form = sharedForm();
    std::unique_ptr<cSignedDataMaker> maker =
        cSignedDataMaker::make(c.longCert.get(), c.smallKey.get(), form);
    ASSERT_TRUE(maker);
    const std::string data = contentOf(300);
    const std::string want = referenceDer(c.longCert.get(), c.smallKey.get(), form, data);
    std::atomic<bool> stop{false};
    std::atomic<int> signatures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            std::string der;
            while (!stop) {
                maker->sign(reinterpret_cast<const unsigned char*>(data.data()), data.size(), der);
                ++signatures;
            }
        });
    }
    while (signatures < 100) usleep(100);
    int hung = 0, wrong = 0;
    for (int i = 0; i < 30; ++i) {
        fflush(nullptr);
        pid_t child = fork();
        if (child == 0) {
            std::string der;
            bool ok = maker->sign(reinterpret_cast<const unsigned char*>(data.data()), data.size(), der);
            _exit(ok && der == want ? 0 : 1);
        }
        ASSERT_GT(child, 0);
        const int code = waitWithin(child, 5);
        hung += code == kHung;
        wrong += code != 0 && code != kHung;
    }
    stop = true;
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(hung, 0);
    EXPECT_EQ(wrong, 0);
}

// The process-wide signer with the given credentials (a copy of the key and certificate) and options.
void setSigner(X509* cert, EVP_PKEY* key, const char* digest, int32_t addCert, bool attached) {
    MIRVOSign& s = mirvoSigner();
    auto p12 = std::make_unique<cPkcs12>();
    EVP_PKEY_up_ref(key);
    p12->setCredentials(ossl_ptr<EVP_PKEY>(key), x509Ref(cert), nullptr);
    s.pkcs12 = std::move(p12);
    s.digestName = digest;
    s.addCertLevel = addCert;
    s.addPlainText = attached;
    s.addTimestamp = false;
    s.signerFilter.reset();
}

class SignerOutput : public ::testing::Test {
protected:
    void TearDown() override {
        MIRVOSign& s = mirvoSigner();
        s.pkcs12.reset();
        s.digestName.reset();
        s.addCertLevel = 1;
        s.addPlainText = true;
        s.lastSignature.reset();
        s.lastSignerCert.reset();
    }
    LogCapture capture_;
};

// The signer's output stays the reference's as credentials and options change between signatures,
// also when new credentials take the place (and possibly the address) of the ones just used.
TEST_F(SignerOutput, FollowsCredentialsAndOptionsFromOneSignatureToTheNext) {
    Credentials& c = Credentials::get();
    MIRVOSign& s = mirvoSigner();
    struct Step {
        int which;
        const char* digest;
        int32_t addCert;
        bool attached;
    };
    const Step steps[] = {{0, "SHA256", 1, true}, {0, "SHA256", 1, true}, {1, "SHA256", 1, true},
                          {0, "SHA1", 1, true},   {0, "SHA256", 0, true}, {0, "SHA256", -1, false},
                          {1, "SHA1", 0, false},  {0, "SHA256", 1, true}};
    unsigned seed = 0;
    for (const Step& step : steps) {
        X509* cert = step.which == 0 ? c.fixture->certificate() : c.longCert.get();
        EVP_PKEY* key = step.which == 0 ? c.fixture->privateKey() : c.smallKey.get();
        setSigner(cert, key, step.digest, step.addCert, step.attached);
        const std::string data = contentOf(180 + seed, seed);
        ++seed;
        ASSERT_EQ(s.SignPkcs7Bin(reinterpret_cast<const unsigned char*>(data.data()),
                                 static_cast<int32_t>(data.size())),
                  0)
            << capture_.text();
        ASSERT_TRUE(s.lastSignature);
        cSignedDataMaker::Form form;
        form.md = EVP_get_digestbyname(step.digest);
        form.addCert = step.addCert > 0;
        form.attached = step.attached;
        const std::string der = base64Decoded(*s.lastSignature);
        const std::string want = referenceDer(cert, key, form, data);
        EXPECT_EQ(der == want, true) << "step " << seed << ": " << firstDifference(der, want);
    }
}

// A key the maker does not take still signs, through the general builder.
TEST_F(SignerOutput, AnEcKeySignsThroughTheGeneralBuilder) {
    ossl_ptr<EVP_PKEY> ec(EVP_EC_gen("P-256"));
    ossl_ptr<X509> cert = makeCert("/C=TW/CN=EC Signer", "/C=TW/CN=EC Signer");
    ASSERT_EQ(X509_set_pubkey(cert.get(), ec.get()), 1);
    ASSERT_GT(X509_sign(cert.get(), ec.get(), EVP_sha256()), 0);
    setSigner(cert.get(), ec.get(), "SHA256", 1, true);
    MIRVOSign& s = mirvoSigner();
    const std::string data = "ACTNO=9801234567&STOCK=2330";
    ASSERT_EQ(s.SignPkcs7Bin(reinterpret_cast<const unsigned char*>(data.data()),
                             static_cast<int32_t>(data.size())),
              0)
        << capture_.text();
    ASSERT_TRUE(s.lastSignature);
    TempDir dir;
    writeFile(dir / "sig.der", base64Decoded(*s.lastSignature));
    EXPECT_EQ(
        shell("openssl cms -verify -inform DER -noverify -binary -in '" + dir / "sig.der" + "' 2>/dev/null"),
        data);
}

}  // namespace
