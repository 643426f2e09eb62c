// The chain files shipped beside the signing module load and self-verify with the module's
// built-in properties template, one chain for each configured slot.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "cCertChain.hpp"
#include "cMessages.hpp"
#include "chain_support.hpp"
#include "vexa_properties.hpp"

using namespace chaintest;

namespace {

const std::string kP7bFolder = std::string(DORVANE_SOURCE_DIR) + "/dorvane/MIRVO/P7B";

std::string loadedLine(int slot) {
    std::string text(msg::P7B_LOADED);
    return text.replace(text.find("%s"), 2, "P7B" + std::to_string(slot) + ".name");
}

// A complete, self-signed throw-away certificate whose authority key identifier is the given hex.
ossl_ptr<X509> userCertWithAki(const std::string& hex) {
    ossl_ptr<EVP_PKEY> key(EVP_EC_gen("P-256"));
    ossl_ptr<X509> cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 7);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("User"), -1,
                               -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), key.get());
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    AUTHORITY_KEYID* aki = AUTHORITY_KEYID_new();
    aki->keyid = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(aki->keyid, reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<int>(bytes.size()));
    X509_add1_ext_i2d(cert.get(), NID_authority_key_identifier, aki, 0, X509V3_ADD_DEFAULT);
    AUTHORITY_KEYID_free(aki);
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0) return nullptr;
    return cert;
}

}  // namespace

TEST(ShippedChains, EveryTemplateSlotLoadsAndVerifies) {
    auto p = props(vexa::fill_properties(".", "Velmora.pfx", kP7bFolder));
    LogCapture log;
    cCertChainList list;
    EXPECT_TRUE(list.loadCertChainFiles(p.get()));
    ASSERT_EQ(list.chains.size(), 4u) << log.text();
    for (int slot = 0; slot < 4; ++slot) {
        const std::string key = "P7B" + std::to_string(slot);
        const std::string ski = p->getProperty((key + ".SKI").c_str());
        SCOPED_TRACE(key);
        EXPECT_TRUE(log.has(loadedLine(slot)));
        EXPECT_EQ(ski.size(), slot == 0 ? 40u : 64u);
        EXPECT_EQ(ski.find_first_not_of("0123456789ABCDEF"), std::string::npos);
        ASSERT_EQ(list.chains.count(ski), 1u);
        const cCertChainEntry& entry = *list.chains.at(ski);
        EXPECT_TRUE(entry.loaded);
        EXPECT_EQ(entry.slotKey, key);
        // every certificate of the file is a root or CA certificate that verified
        EXPECT_EQ(entry.subjects.size(), static_cast<size_t>(sk_X509_num(entry.certificates())));
        // the configured SKI belongs to the CA that issues user certificates, whose chain up to the
        // root is complete
        const cX509& issuing = *entry.skiMap.at(ski);
        EXPECT_FALSE(issuing.isRoot());
        const std::string name = p->getProperty((key + ".name").c_str());
        EXPECT_EQ(issuing.getSubjectCN() + ".p7b", name);
    }
    EXPECT_FALSE(log.has(msg::CHAIN_DISCARDED));
    EXPECT_FALSE(log.has(msg::DUMP_VERIFY_FAILED));
}

TEST(ShippedChains, UserCertificateOfEachIssuingCaGetsItsWholeChain) {
    // A user certificate carries the issuing CA's SKI as its AKI; the walk must reach the root.
    auto p = props(vexa::fill_properties(".", "Velmora.pfx", kP7bFolder));
    cCertChainList list;
    ASSERT_TRUE(list.loadCertChainFiles(p.get()));
    for (const auto& kv : list.chains) {
        SCOPED_TRACE(kv.first);
        const cCertChainEntry& entry = *kv.second;
        const cX509& issuing = *entry.skiMap.at(kv.first);
        // a stand-in user certificate (made in-process) whose AKI is the configured SKI
        ossl_ptr<X509> user = userCertWithAki(kv.first);
        ASSERT_TRUE(user);
        X509RefStackPtr chain(list.prepareCertChain(user.get()));
        ASSERT_TRUE(chain);
        const int n = sk_X509_num(chain.get());
        ASSERT_GE(n, 2);
        EXPECT_EQ(X509_check_issued(sk_X509_value(chain.get(), 0), sk_X509_value(chain.get(), 0)),
                  X509_V_OK);                                         // root first
        EXPECT_EQ(sk_X509_value(chain.get(), n - 1), issuing.get());  // the issuing CA last
        EXPECT_EQ(n, sk_X509_num(entry.certificates()));
    }
}

TEST(ShippedChains, ErrorFileListsEveryLibraryCode) {
    // cError.h: UTF-8, CR LF line ends, "#define NAME CODE // message", one line for each code.
    const std::string text = readFile(std::string(DORVANE_SOURCE_DIR) + "/dorvane/MIRVO/cError.h");
    ASSERT_FALSE(text.empty());
    std::set<int> codes;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        ASSERT_NE(end, std::string::npos) << "every line ends with CR LF";
        const std::string line = text.substr(start, end - start);
        EXPECT_EQ(line.find('\n'), std::string::npos);
        if (line.compare(0, 7, "#define") == 0) {
            // "#define", name, code, "//", message: split at single blanks as the module does
            std::vector<std::string> fields;
            size_t a = 0;
            for (size_t b; (b = line.find(' ', a)) != std::string::npos; a = b + 1)
                fields.push_back(line.substr(a, b - a));
            fields.push_back(line.substr(a));
            ASSERT_GE(fields.size(), 5u) << line;
            EXPECT_FALSE(fields[1].empty()) << line;
            size_t used = 0;
            const int code = std::stoi(fields[2], &used);
            EXPECT_EQ(used, fields[2].size()) << line;
            EXPECT_EQ(fields[3], "//") << line;
            EXPECT_TRUE(codes.insert(code).second) << "code listed twice: " << code;
            const size_t msgAt = line.rfind("// ");
            EXPECT_GT(line.size(), msgAt + 3) << "message missing: " << line;
        }
        start = end + 2;
    }
    const std::set<int> library{0, 1102, 1202, 5002, 5005, 5010, 5011, 5012, 5017, 5061, 5204, 5208, 5901};
    for (int code : library) EXPECT_TRUE(codes.count(code)) << "missing code " << code;
}
