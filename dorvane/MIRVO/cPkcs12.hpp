// The signer's credentials from a password-protected PKCS#12 file, and the signer filter.
#pragma once
#include <cstdint>
#include <set>
#include <string>

#include "cCodes.hpp"
#include "cOssl.hpp"

class cPkcs12 {
public:
    cPkcs12() = default;
    ~cPkcs12();
    cPkcs12(const cPkcs12&) = delete;
    cPkcs12& operator=(const cPkcs12&) = delete;

    // The credentials (owned by this object; null until a load succeeds).
    EVP_PKEY* privateKey() const { return privateKey_.get(); }
    X509* certificate() const { return certificate_.get(); }
    // The file's other certificates (owned with the list), or null when it holds none.
    STACK_OF(X509) * authorityCerts() const { return authorityCerts_.get(); }
    // Replaces the credentials with the given ones (an empty list of authority certificates is
    // kept as none). A certificate alone is enough for the validity and filter checks.
    void setCredentials(ossl_ptr<EVP_PKEY> key, ossl_ptr<X509> cert, X509StackPtr cas);

    // Opens "<folder>/<fileName>" with its MAC checked; 0, 1102, 5005 or 5208.
    int loadPfxFile(const char* folder, const char* fileName, const char* passwd);
    // The DER-reading, MAC and parse steps of loadPfxFile over an open stream; 0, 1102 or 5208.
    int loadPfxBio(BIO* bio, const char* passwd);

    // Validity period against the local clock; 0, 5010, 5011 or 5012.
    int checkCertValid();
    // The same against a given 14-digit time text.
    int checkCertValidAt(const std::string& now);

    // The certificate's validity period as time texts (asn1TimeToString) and where a 14-digit time
    // text stands in it, without a log line: code 0 within, 5011 after, 5012 before it, 5010 (and
    // empty texts) without a certificate.
    struct Validity {
        std::string notBefore;
        std::string notAfter;
        int code = MIRVO_NO_CERT;
    };
    Validity validityAt(const std::string& now) const;
    // One condition of the filter must hold; 0 or 5010. A null or empty filter gives 0.
    int checkSignerFilter(const char* filter);

    bool checkFilterByCertSubject(const std::string& condition, const std::string& subject);
    bool checkFilterByCertIssuer(const std::string& condition, const std::string& issuer);

    std::string parseFilterName(const std::string& condition, const std::string& key);
    void parseFilterNames(const std::string& condition, const std::string& key, std::set<std::string>& names);
    std::string parseCertDistingName(const std::string& name, const std::string& key);
    void parseCertDistingNames(const std::string& name, const std::string& key, std::set<std::string>& names);

private:
    ossl_ptr<PKCS12> pkcs12_;        // the parsed container
    ossl_ptr<EVP_PKEY> privateKey_;  // the private key
    ossl_ptr<X509> certificate_;     // the signer certificate
    X509StackPtr authorityCerts_;    // the other certificates, or null
};
