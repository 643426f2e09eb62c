// One X.509 certificate of the signing library and its fields as text.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <openssl/asn1.h>
#include <openssl/x509.h>

#include "cOssl.hpp"

class cX509 {
public:
    // Takes ownership of a certificate (normally a copy made with X509_dup by the creator).
    explicit cX509(X509* owned) : certificate(owned) {}
    // A new cX509 over a copy (X509_dup) of cert; null when cert is null or the copy fails.
    static std::unique_ptr<cX509> copyOf(const X509* cert);
    ~cX509() = default;
    cX509(const cX509&) = delete;
    cX509& operator=(const cX509&) = delete;

    X509* get() const { return certificate.get(); }

    bool isRoot() const;                // issuer one-line name == subject one-line name
    std::string getIssuerName() const;  // one-line name, at most 511 characters
    std::string getSubjectName() const;
    std::string getSubjectCN() const;  // first commonName, raw stored bytes
    std::string getIssuerCN() const;   // first commonName of the issuer, raw stored bytes
    std::string getSKI() const;        // uppercase hex, "" when absent/undecodable/empty
    std::string getAKI() const;        // keyIdentifier of the AKI, uppercase hex, "" otherwise
    std::vector<std::string> getCrlDistPoints() const;  // URI/DNS/e-mail names and relative names
    std::string getThumbprint() const;                  // SHA-1 of the DER, 40 uppercase hex digits
    std::string getSerialHex() const;  // BN_bn2hex of the serial, "" when it cannot be converted
    std::string getNotBefore() const;  // time texts (asn1TimeToString)
    std::string getNotAfter() const;
    // Key-usage bits: first byte of the bit string plus the second byte shifted left by 8; 0 when
    // the extension is absent or cannot be decoded (0x80 digitalSignature, 0x40 nonRepudiation,
    // 0x04 keyCertSign, 0x02 cRLSign in the first byte).
    int32_t getKeyUsage() const;
    bool hasKeyUsage() const;  // whether a decodable key-usage extension is present

private:
    ossl_ptr<X509> certificate;
};

// "YYYYMMDDhhmmss" of an ASN.1 UTCTime/GeneralizedTime, shifted by +8 hours and normalised as
// local time; "" for a null or malformed time.
std::string asn1TimeToString(const ASN1_TIME* time);

// The local time as "YYYYMMDDhhmmss".
std::string localTimeText();

// The current time as "YYYYMMDDhhmmss" in the clock of asn1TimeToString's texts: UTC+8 wall-clock
// time, whatever the machine's own zone.
std::string taiwanTimeText();

// The hex text (BN_bn2hex) of an ASN.1 integer such as a serial number; "" when it cannot be
// converted (nothing is left on OpenSSL's error queue).
std::string asn1IntegerHex(const ASN1_INTEGER* value);

// The one-line form of a name (X509_NAME_oneline into 512 bytes); "" for none.
std::string x509NameOneline(const X509_NAME* name);
