// DER PKCS#7 SignedData for one RSA signer, assembled from parts encoded once: the parts that do
// not change between signatures (algorithm identifiers, issuer and serial number, certificate) are
// encoded when the maker is built, by OpenSSL's own encoders from a SignedData set up with the same
// calls as the general builder, so each signature only digests the content, signs the digest and
// writes the lengths around the content and the signature value.
#pragma once
#include <cstddef>
#include <memory>
#include <mutex>  // std::lock_guard
#include <string>
#include <vector>

#include "cFork.hpp"
#include "cOssl.hpp"

class cSignedDataMaker {
public:
    // What a SignedData of this form holds: the digest, whether the signer certificate is included
    // and whether the content is attached. No signed attributes, no other certificates.
    struct Form {
        const EVP_MD* md = nullptr;
        bool addCert = false;
        bool attached = true;
        bool operator==(const Form& o) const {
            return md == o.md && addCert == o.addCert && attached == o.attached;
        }
    };

    // A maker for the certificate and RSA key (PKCS#1 v1.5 signatures); null when the key is not a
    // plain RSA key or a part cannot be encoded. Keeps references of its own to both.
    static std::unique_ptr<cSignedDataMaker> make(X509* cert, EVP_PKEY* key, const Form& form);
    ~cSignedDataMaker();
    cSignedDataMaker(const cSignedDataMaker&) = delete;
    cSignedDataMaker& operator=(const cSignedDataMaker&) = delete;

    // Whether this maker signs with these very objects in this form. The references it keeps hold
    // the objects alive, so an equal address is the same object.
    bool serves(X509* cert, EVP_PKEY* key, const Form& form) const {
        return cert == cert_.get() && key == key_.get() && form == form_;
    }

    // Signs count bytes into der (replaced); false on a failure, the OpenSSL error queue left as it
    // was made. Any number of threads may sign at once: each signature takes a signing context of
    // its own from the maker's idle ones (or a new one) and gives it back afterwards.
    bool sign(const unsigned char* data, size_t count, std::string& der);

private:
    // A digest and a signing context of the maker's key, used by one signature at a time.
    struct Worker {
        ossl_ptr<EVP_MD_CTX> digest;
        ossl_ptr<EVP_PKEY_CTX> signing;
        std::vector<unsigned char> signature;  // room for the key's signature
    };

    cSignedDataMaker() = default;
    bool encodeParts();
    std::unique_ptr<Worker> takeWorker();
    void giveBack(std::unique_ptr<Worker> worker);

    ossl_ptr<X509> cert_;
    ossl_ptr<EVP_PKEY> key_;
    Form form_;
    ossl_ptr<EVP_MD> md_;      // the digest, fetched once
    size_t signatureMax_ = 0;  // the key's signature size

    // The encoded parts, in the order they appear.
    std::string signedOid_;     // OBJECT IDENTIFIER signedData
    std::string version_;       // SignedData version
    std::string digestAlgs_;    // SET OF the digest's AlgorithmIdentifier
    std::string dataOid_;       // OBJECT IDENTIFIER data
    std::string certificates_;  // [0] the signer certificate, or empty
    std::string signerHead_;    // SignerInfo version, issuer and serial, digest algorithm
    std::string signatureAlg_;  // SignerInfo signature algorithm

    cForkSafeMutex idleMutex_;  // a forked child finds it free (a signing thread may hold it)
    std::vector<std::unique_ptr<Worker>> idle_;
};
