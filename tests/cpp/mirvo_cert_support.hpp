// Certificate helpers of the signing-library tests: reading fixture certificates, building small
// unsigned certificates in memory, and asking the openssl tool for independent answers.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "cOssl.hpp"
#include "mirvo_test_support.hpp"

namespace mirvotest {

inline ossl_ptr<X509> readPem(const std::string& path) {
    ossl_ptr<BIO> bio(BIO_new_file(path.c_str(), "r"));
    if (!bio) return nullptr;
    return ossl_ptr<X509>(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

// "/C=TW/O=Bank/CN=Wang Da" as a name, entries in that order.
inline ossl_ptr<X509_NAME> nameOf(const std::string& oneline) {
    ossl_ptr<X509_NAME> name(X509_NAME_new());
    size_t at = 0;
    while (at < oneline.size() && oneline[at] == '/') {
        size_t next = oneline.find('/', at + 1);
        std::string entry =
            oneline.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
        size_t eq = entry.find('=');
        X509_NAME_add_entry_by_txt(name.get(), entry.substr(0, eq).c_str(), MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(entry.c_str() + eq + 1), -1, -1, 0);
        if (next == std::string::npos) break;
        at = next;
    }
    return name;
}

// A throwaway EC key of this test process, to sign the certificates made here.
inline EVP_PKEY* testKey() {
    static EVP_PKEY* key = EVP_EC_gen("P-256");
    return key;
}

// A certificate with the given names and validity (times as "YYYYMMDDhhmmssZ" or "YYMMDDhhmmssZ",
// UTC), signed by the test key whatever the issuer name says.
inline ossl_ptr<X509> makeCert(const std::string& subject, const std::string& issuer,
                               const char* notBefore = "20200101000000Z",
                               const char* notAfter = "20991231000000Z") {
    ossl_ptr<X509> cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 0x1234);
    X509_set_subject_name(cert.get(), nameOf(subject).get());
    X509_set_issuer_name(cert.get(), nameOf(issuer).get());
    EXPECT_EQ(ASN1_TIME_set_string(X509_getm_notBefore(cert.get()), notBefore), 1) << notBefore;
    EXPECT_EQ(ASN1_TIME_set_string(X509_getm_notAfter(cert.get()), notAfter), 1) << notAfter;
    X509_set_pubkey(cert.get(), testKey());
    EXPECT_GT(X509_sign(cert.get(), testKey(), EVP_sha256()), 0);
    return cert;
}

// Standard output of a shell command.
inline std::string shell(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

}  // namespace mirvotest
