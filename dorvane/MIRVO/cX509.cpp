// Certificate fields as text.
#include "cX509.hpp"

#include <cstdio>
#include <ctime>

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include "cChars.hpp"
#include "cOssl.hpp"

namespace {

std::string hexOf(const unsigned char* bytes, int count) {
    cChars hex;
    if (!hex.toHex(bytes, count)) return std::string();
    return hex.str();
}

std::string stringBytes(const ASN1_STRING* s) {
    if (s == nullptr) return std::string();
    const unsigned char* d = ASN1_STRING_get0_data(s);
    int n = ASN1_STRING_length(s);
    if (d == nullptr || n <= 0) return std::string();
    return std::string(reinterpret_cast<const char*>(d), static_cast<size_t>(n));
}

std::string firstCN(const X509_NAME* name) {
    if (name == nullptr) return std::string();
    int idx = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (idx < 0) return std::string();
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, idx);
    if (entry == nullptr) return std::string();
    return stringBytes(X509_NAME_ENTRY_get_data(entry));
}

// The first extension of that NID decoded by its own method, or null. A failed decoding leaves
// nothing on OpenSSL's error queue, so that no later line reports it as its own error.
void* decodeExtension(const X509* cert, int nid) {
    int idx = X509_get_ext_by_NID(cert, nid, -1);
    if (idx < 0) return nullptr;
    X509_EXTENSION* ext = X509_get_ext(cert, idx);
    if (ext == nullptr) return nullptr;
    OsslErrorScope errors;
    return X509V3_EXT_d2i(ext);
}

// X509_get_ext_d2i without leaving a failed decoding on the error queue.
void* extD2i(const X509* cert, int nid) {
    OsslErrorScope errors;
    return X509_get_ext_d2i(cert, nid, nullptr, nullptr);
}

// The decoded key-usage extension, or null when it is absent or cannot be decoded.
ossl_ptr<ASN1_BIT_STRING> keyUsageOf(const X509* cert) {
    return ossl_ptr<ASN1_BIT_STRING>(static_cast<ASN1_BIT_STRING*>(extD2i(cert, NID_key_usage)));
}

// A broken-down time as "YYYYMMDDhhmmss".
std::string timeText(const struct tm& t) {
    char buf[64];
    snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
             t.tm_hour, t.tm_min, t.tm_sec);
    return buf;
}

// Two decimal digits at p as a number.
int two(const unsigned char* p) { return (p[0] - '0') * 10 + (p[1] - '0'); }

}  // namespace

std::unique_ptr<cX509> cX509::copyOf(const X509* cert) {
    if (cert == nullptr) return nullptr;
    X509* dup = X509_dup(cert);
    if (dup == nullptr) return nullptr;
    return std::make_unique<cX509>(dup);
}

std::string x509NameOneline(const X509_NAME* name) {
    if (name == nullptr) return std::string();
    char buf[512];
    if (X509_NAME_oneline(name, buf, sizeof buf) == nullptr) return std::string();
    return std::string(buf);
}

bool cX509::isRoot() const {
    if (certificate == nullptr) return false;
    return getIssuerName() == getSubjectName();
}

std::string cX509::getIssuerName() const {
    return certificate ? x509NameOneline(X509_get_issuer_name(certificate.get())) : std::string();
}

std::string cX509::getSubjectName() const {
    return certificate ? x509NameOneline(X509_get_subject_name(certificate.get())) : std::string();
}

std::string cX509::getSubjectCN() const {
    return certificate ? firstCN(X509_get_subject_name(certificate.get())) : std::string();
}

std::string cX509::getIssuerCN() const {
    return certificate ? firstCN(X509_get_issuer_name(certificate.get())) : std::string();
}

std::string cX509::getSKI() const {
    if (certificate == nullptr) return std::string();
    ossl_ptr<ASN1_OCTET_STRING> ski(
        static_cast<ASN1_OCTET_STRING*>(decodeExtension(certificate.get(), NID_subject_key_identifier)));
    if (!ski) return std::string();
    const unsigned char* d = ASN1_STRING_get0_data(ski.get());
    int n = ASN1_STRING_length(ski.get());
    return d != nullptr && n > 0 ? hexOf(d, n) : std::string();
}

std::string cX509::getAKI() const {
    if (certificate == nullptr) return std::string();
    ossl_ptr<AUTHORITY_KEYID> aki(
        static_cast<AUTHORITY_KEYID*>(decodeExtension(certificate.get(), NID_authority_key_identifier)));
    if (!aki || aki->keyid == nullptr) return std::string();
    const unsigned char* d = ASN1_STRING_get0_data(aki->keyid);
    int n = ASN1_STRING_length(aki->keyid);
    return d != nullptr && n > 0 ? hexOf(d, n) : std::string();
}

std::vector<std::string> cX509::getCrlDistPoints() const {
    std::vector<std::string> out;
    if (certificate == nullptr) return out;
    ossl_ptr<CRL_DIST_POINTS> points(
        static_cast<CRL_DIST_POINTS*>(extD2i(certificate.get(), NID_crl_distribution_points)));
    if (!points) return out;
    for (int i = 0; i < sk_DIST_POINT_num(points.get()); ++i) {
        const DIST_POINT* point = sk_DIST_POINT_value(points.get(), i);
        if (point == nullptr || point->distpoint == nullptr) continue;
        const DIST_POINT_NAME* name = point->distpoint;
        if (name->type == 0 && name->name.fullname != nullptr) {
            for (int j = 0; j < sk_GENERAL_NAME_num(name->name.fullname); ++j) {
                const GENERAL_NAME* gen = sk_GENERAL_NAME_value(name->name.fullname, j);
                // Only the string forms carry text; a directory name or other form is skipped.
                if (gen != nullptr &&
                    (gen->type == GEN_URI || gen->type == GEN_DNS || gen->type == GEN_EMAIL))
                    out.push_back(stringBytes(gen->d.ia5));
            }
        } else if (name->type == 1 && name->name.relativename != nullptr) {
            for (int j = 0; j < sk_X509_NAME_ENTRY_num(name->name.relativename); ++j) {
                const X509_NAME_ENTRY* entry = sk_X509_NAME_ENTRY_value(name->name.relativename, j);
                if (entry != nullptr) out.push_back(stringBytes(X509_NAME_ENTRY_get_data(entry)));
            }
        }
    }
    return out;
}

std::string cX509::getThumbprint() const {
    if (certificate == nullptr) return std::string();
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    OsslErrorScope errors;
    if (X509_digest(certificate.get(), EVP_sha1(), md, &n) != 1 || n == 0) return std::string();
    return hexOf(md, static_cast<int>(n));
}

std::string cX509::getSerialHex() const {
    if (certificate == nullptr) return std::string();
    return asn1IntegerHex(X509_get0_serialNumber(certificate.get()));
}

std::string asn1IntegerHex(const ASN1_INTEGER* value) {
    if (value == nullptr) return std::string();
    OsslErrorScope errors;
    ossl_ptr<BIGNUM> bn(ASN1_INTEGER_to_BN(value, nullptr));
    char* text = bn ? BN_bn2hex(bn.get()) : nullptr;
    if (text == nullptr) return std::string();
    std::string out(text);
    OPENSSL_free(text);
    return out;
}

std::string cX509::getNotBefore() const {
    return certificate ? asn1TimeToString(X509_get0_notBefore(certificate.get())) : std::string();
}

std::string cX509::getNotAfter() const {
    return certificate ? asn1TimeToString(X509_get0_notAfter(certificate.get())) : std::string();
}

int32_t cX509::getKeyUsage() const {
    if (certificate == nullptr) return 0;
    // Decoded here: X509_get_key_usage reports every bit when the extension is absent.
    ossl_ptr<ASN1_BIT_STRING> bits = keyUsageOf(certificate.get());
    if (!bits) return 0;
    const unsigned char* d = ASN1_STRING_get0_data(bits.get());
    int n = ASN1_STRING_length(bits.get());
    int32_t value = 0;
    if (d != nullptr && n > 0) value = d[0];
    if (d != nullptr && n > 1) value |= static_cast<int32_t>(d[1]) << 8;
    return value;
}

bool cX509::hasKeyUsage() const {
    if (certificate == nullptr) return false;
    return keyUsageOf(certificate.get()) != nullptr;
}

std::string localTimeText() {
    time_t now = ::time(nullptr);
    struct tm t {};
    localtime_r(&now, &t);
    return timeText(t);
}

std::string taiwanTimeText() {
    constexpr time_t kTaiwanOffset = 8 * 60 * 60;
    const time_t shifted = ::time(nullptr) + kTaiwanOffset;
    struct tm t {};
    gmtime_r(&shifted, &t);
    return timeText(t);
}

std::string asn1TimeToString(const ASN1_TIME* time) {
    if (time == nullptr) return std::string();
    const int type = ASN1_STRING_type(time);
    const unsigned char* d = ASN1_STRING_get0_data(time);
    const int n = ASN1_STRING_length(time);
    int yearDigits;
    if (type == V_ASN1_UTCTIME)
        yearDigits = 2;
    else if (type == V_ASN1_GENERALIZEDTIME)
        yearDigits = 4;
    else
        return std::string();
    // The fixed positions are read only after the length and the digits have been checked.
    if (d == nullptr || n < yearDigits + 10) return std::string();
    for (int i = 0; i < yearDigits + 10; ++i)
        if (d[i] < '0' || d[i] > '9') return std::string();
    int year;
    if (yearDigits == 2) {
        int yy = two(d);
        year = yy < 70 ? 2000 + yy : 1900 + yy;
    } else {
        year = two(d) * 100 + two(d + 2);
    }
    const unsigned char* f = d + yearDigits;
    int month = two(f), day = two(f + 2), hour = two(f + 4), minute = two(f + 6), second = two(f + 8);
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return std::string();
    // UTC to UTC+8 wall-clock time, normalised as local time with the current daylight-saving flag.
    time_t now = ::time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour + 8;
    tm.tm_min = minute;
    tm.tm_sec = second;
    mktime(&tm);
    return timeText(tm);
}
