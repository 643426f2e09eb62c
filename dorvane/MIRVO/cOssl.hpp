// OpenSSL ownership helpers and the library's one-time OpenSSL set-up.
#pragma once
#include <memory>
#include <string>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

// Frees any OpenSSL object through its own free function.
struct OsslFree {
    void operator()(BIO* p) const { BIO_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(X509_CRL* p) const { X509_CRL_free(p); }
    void operator()(X509_NAME* p) const { X509_NAME_free(p); }
    void operator()(X509_STORE* p) const { X509_STORE_free(p); }
    void operator()(X509_STORE_CTX* p) const { X509_STORE_CTX_free(p); }
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
    void operator()(EVP_MD* p) const { EVP_MD_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(PKCS12* p) const { PKCS12_free(p); }
    void operator()(PKCS7* p) const { PKCS7_free(p); }
    void operator()(BIGNUM* p) const { BN_free(p); }
    void operator()(ASN1_STRING* p) const { ASN1_STRING_free(p); }  // also octet and bit strings
    void operator()(AUTHORITY_KEYID* p) const { AUTHORITY_KEYID_free(p); }
    void operator()(CRL_DIST_POINTS* p) const { CRL_DIST_POINTS_free(p); }
};
template <class T>
using ossl_ptr = std::unique_ptr<T, OsslFree>;

// A reference of its own to a certificate (X509_up_ref); null for null.
inline ossl_ptr<X509> x509Ref(X509* cert) {
    if (cert != nullptr && X509_up_ref(cert) != 1) return nullptr;
    return ossl_ptr<X509>(cert);
}

// The DER of an object through its OpenSSL encoder (i2d_...) into out, replaced; false when it
// cannot be encoded.
template <class T>
bool derOf(int (*i2d)(const T*, unsigned char**), const T* object, std::string& out) {
    int size = object ? i2d(object, nullptr) : -1;
    if (size <= 0) return false;
    out.resize(static_cast<size_t>(size));
    unsigned char* p = reinterpret_cast<unsigned char*>(&out[0]);
    return i2d(object, &p) == size;
}

// A chain of streams (as PKCS7_dataInit returns it): frees every stream of the chain.
struct BioChainFree {
    void operator()(BIO* p) const { BIO_free_all(p); }
};
using BioChainPtr = std::unique_ptr<BIO, BioChainFree>;

// A list that owns its certificates: frees each certificate, then the list.
struct X509StackFree {
    void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackFree>;

// A list that only refers to certificates owned elsewhere: frees the list alone.
struct X509RefStackFree {
    void operator()(STACK_OF(X509) * s) const { sk_X509_free(s); }
};
using X509RefStackPtr = std::unique_ptr<STACK_OF(X509), X509RefStackFree>;

// One-time OpenSSL set-up of the process: loads the "legacy" provider (RC2-40 PKCS#12 files) and
// then the "default" provider. A legacy provider that cannot load is logged and passed over.
// Safe to call any number of times from any caller; only the first call acts.
void mirvoOpenSslInit();
// Whether the "legacy" provider is loaded (after the set-up, which it runs first).
bool mirvoLegacyProviderLoaded();

// OpenSSL's full text for an error code taken from the error queue ("" for 0).
std::string osslErrorText(unsigned long code);

// The calling thread's OpenSSL error queue, which the program and the interpreter's own ssl module
// share, around one operation of the library: the scope marks the queue when it opens and drops
// what was added above the mark when it closes (what the operation's failed calls raised goes with
// it, read or not), so the errors queued before it stay as they were and no failure of the
// operation is ever read as another's. Every operation that calls OpenSSL holds one; scopes nest.
// The queue holds 16 entries: when an operation adds enough to push the mark out of it, the close
// empties the whole queue.
class OsslErrorScope {
public:
    OsslErrorScope();
    ~OsslErrorScope() { ERR_pop_to_mark(); }
    OsslErrorScope(const OsslErrorScope&) = delete;
    OsslErrorScope& operator=(const OsslErrorScope&) = delete;

    // Drops what the operation added so far and gives OpenSSL's text for one of those errors ("" when
    // it added none), for the log line of the failure: the earliest, which the failed call raised
    // first, when the queue was empty as the scope opened; otherwise the latest (the queue can be
    // read only from its ends, and its oldest entries are the caller's).
    std::string take();

private:
    // The newest entry queued before the scope opened, to tell whether the operation added one.
    struct Entry {
        unsigned long code = 0;
        const char* file = nullptr;
        int line = 0;
        const char* func = nullptr;
        const char* data = nullptr;
        bool operator==(const Entry& o) const {
            return code == o.code && file == o.file && line == o.line && func == o.func && data == o.data;
        }
    };
    static Entry newest();

    Entry before_;  // code 0 when the queue was empty
};
