// The signer's PKCS#12 credentials and the signer filter.
#include "cPkcs12.hpp"

#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "cLog.hpp"
#include "cMessages.hpp"
#include "cSafeFile.hpp"
#include "cSecret.hpp"
#include "cX509.hpp"

namespace {

// The password's bytes taken as Latin-1 and written as UTF-8: the key derivation of older files
// took each password byte as one character, while OpenSSL 3 decodes the password as UTF-8. At most
// two bytes a byte, into a secret of that room.
std::unique_ptr<cSecret> latin1ToUtf8(const char* pass) {
    auto out = std::make_unique<cSecret>(2 * strlen(pass));
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(pass); *p; ++p) {
        if (*p < 0x80) {
            out->push_back(static_cast<char>(*p));
        } else {
            out->push_back(static_cast<char>(0xC0 | (*p >> 6)));
            out->push_back(static_cast<char>(0x80 | (*p & 0x3F)));
        }
    }
    return out;
}

bool hasNonAscii(const char* pass) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(pass); *p; ++p)
        if (*p >= 0x80) return true;
    return false;
}

// The pieces of text between two "//" marks.
std::vector<std::string> splitConditions(const std::string& filter) {
    std::vector<std::string> out;
    size_t mark = filter.find("//");
    while (mark != std::string::npos) {
        size_t next = filter.find("//", mark + 2);
        if (next == std::string::npos) break;
        out.push_back(filter.substr(mark + 2, next - mark - 2));
        mark = next;
    }
    return out;
}

std::string firstValue(const std::string& text, const std::string& key, char sep) {
    size_t pos = text.find(key);
    if (key.empty() || pos == std::string::npos) return std::string();
    size_t start = pos + key.size();
    size_t end = text.find(sep, start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

void logValue(const char* format, const std::string& key, const std::string& value) {
    const cLog::Writer debug = mirvoLog().debug();
    if (!debug) return;
    std::string name(format);
    size_t at = name.find("%s");
    if (at != std::string::npos) name.replace(at, 2, key);
    debug.writeValue(name, value);
}

void allValues(const std::string& text, const std::string& key, char sep, std::set<std::string>& names,
               const char* logName) {
    if (key.empty()) return;
    size_t from = 0;
    for (;;) {
        size_t pos = text.find(key, from);
        if (pos == std::string::npos) return;
        size_t start = pos + key.size();
        size_t end = text.find(sep, start);
        std::string value = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        logValue(logName, key, value);
        names.insert(std::move(value));
        if (end == std::string::npos) return;
        from = end + 1;
    }
}

struct NameRules {
    const char *c, *o, *ou, *cn;                  // filter keys
    const char *missC, *missO, *missOU, *missCN;  // messages
    bool cnContained;                             // S_CN is contained, I_CN must be equal
    const char* endLine;
};

const NameRules kSubject = {"S_C=",
                            "S_O=",
                            "S_OU=",
                            "S_CN=",
                            msg::FILTER_MISS_S_C,
                            msg::FILTER_MISS_S_O,
                            msg::FILTER_MISS_S_OU,
                            msg::FILTER_MISS_S_CN,
                            true,
                            "end cPkcs12::checkFilterByCertSubject()"};
const NameRules kIssuer = {"I_C=",
                           "I_O=",
                           "I_OU=",
                           "I_CN=",
                           msg::FILTER_MISS_I_C,
                           msg::FILTER_MISS_I_O,
                           msg::FILTER_MISS_I_OU,
                           msg::FILTER_MISS_I_CN,
                           false,
                           "end cPkcs12::checkFilterByCertIssuer()"};

}  // namespace

cPkcs12::~cPkcs12() = default;

int cPkcs12::loadPfxFile(const char* folder, const char* fileName, const char* passwd) {
    cLog& log = mirvoLog();
    mirvoOpenSslInit();
    OsslErrorScope errors;
    int rc = MIRVO_OK;
    if (folder == nullptr) {
        log.error().write(msg::PARAM_FILEPATH_NULL);
        rc = MIRVO_PARAM_ERROR;
    } else if (*folder == '\0') {
        log.error().write(msg::PARAM_FILEPATH_EMPTY);
        rc = MIRVO_PARAM_ERROR;
    } else if (fileName == nullptr) {
        log.error().write(msg::PARAM_FILENAME_NULL);
        rc = MIRVO_PARAM_ERROR;
    } else if (*fileName == '\0') {
        log.error().write(msg::PARAM_FILENAME_EMPTY);
        rc = MIRVO_PARAM_ERROR;
    } else {
        const std::string path = std::string(folder) + "/" + fileName;
        // Opened once, for the existence test and the read: a regular file only (a FIFO or a
        // device would block the reader, a folder reads as nothing), unreadable otherwise.
        cSafeFile file = cSafeFile::openRead(path.c_str(), cSafeFile::Links::follow);
        if (!file) {
            log.error().writeValue(msg::PFX_FILE_NOT_FOUND, path);
            rc = MIRVO_PFX_FILE_ERROR;
        } else if (passwd == nullptr) {
            log.error().write(msg::PARAM_PFXPASSWD_NULL);
            rc = MIRVO_PARAM_ERROR;
        } else if (*passwd == '\0') {
            log.error().write(msg::PARAM_PFXPASSWD_EMPTY);
            rc = MIRVO_PARAM_ERROR;
        } else {
            FILE* stream = file.intoStream("rb");
            ossl_ptr<BIO> bio(stream ? BIO_new_fp(stream, BIO_CLOSE) : nullptr);
            if (stream && !bio) fclose(stream);
            rc = bio ? loadPfxBio(bio.get(), passwd) : MIRVO_PFX_FILE_ERROR;
        }
    }
    log.debug().writeInt("end cPkcs12::loadPfxFile()", rc);
    return rc;
}

int cPkcs12::loadPfxBio(BIO* bio, const char* passwd) {
    mirvoOpenSslInit();
    OsslErrorScope errors;
    if (bio == nullptr) return MIRVO_PFX_FILE_ERROR;
    pkcs12_.reset(d2i_PKCS12_bio(bio, nullptr));
    if (!pkcs12_) return MIRVO_PFX_FILE_ERROR;
    if (passwd == nullptr || *passwd == '\0') return MIRVO_PARAM_ERROR;
    // The MAC with the password as given, then once with its bytes re-encoded from Latin-1. The
    // password is used where it lies; the re-encoded copy is a secret of its own (cSecret.hpp).
    const char* pass = passwd;
    bool macOk = PKCS12_verify_mac(pkcs12_.get(), pass, static_cast<int>(strlen(pass))) == 1;
    std::unique_ptr<cSecret> reencoded;
    if (!macOk && hasNonAscii(passwd)) {
        reencoded = latin1ToUtf8(passwd);
        pass = reencoded->c_str();
        macOk = PKCS12_verify_mac(pkcs12_.get(), pass, static_cast<int>(reencoded->size())) == 1;
    }
    if (!macOk) return MIRVO_PFX_PASSWORD_ERROR;
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    STACK_OF(X509)* cas = nullptr;
    if (PKCS12_parse(pkcs12_.get(), pass, &key, &cert, &cas) != 1) return MIRVO_PFX_PASSWORD_ERROR;
    setCredentials(ossl_ptr<EVP_PKEY>(key), ossl_ptr<X509>(cert), X509StackPtr(cas));
    // A container without a key or without a certificate cannot sign: refused like a bad parse.
    if (!privateKey_ || !certificate_) {
        setCredentials(nullptr, nullptr, nullptr);
        return MIRVO_PFX_PASSWORD_ERROR;
    }
    return MIRVO_OK;
}

void cPkcs12::setCredentials(ossl_ptr<EVP_PKEY> key, ossl_ptr<X509> cert, X509StackPtr cas) {
    privateKey_ = std::move(key);
    certificate_ = std::move(cert);
    authorityCerts_ = std::move(cas);
    // An empty list is no list: the signer then completes the chain from the chain files.
    if (authorityCerts_ && sk_X509_num(authorityCerts_.get()) <= 0) authorityCerts_.reset();
}

int cPkcs12::checkCertValid() { return checkCertValidAt(localTimeText()); }

cPkcs12::Validity cPkcs12::validityAt(const std::string& now) const {
    Validity v;
    if (!certificate_) return v;
    v.notBefore = asn1TimeToString(X509_get0_notBefore(certificate_.get()));
    v.notAfter = asn1TimeToString(X509_get0_notAfter(certificate_.get()));
    if (strncmp(now.c_str(), v.notBefore.c_str(), 14) < 0) {
        v.code = MIRVO_CERT_NOT_YET_VALID;
    } else if (strncmp(now.c_str(), v.notAfter.c_str(), 14) <= 0) {
        v.code = MIRVO_OK;
    } else {
        v.code = MIRVO_CERT_EXPIRED;
    }
    return v;
}

int cPkcs12::checkCertValidAt(const std::string& now) {
    cLog& log = mirvoLog();
    const Validity v = validityAt(now);
    if (certificate_) {
        log.debug().writeValue(msg::CERT_NOT_BEFORE, v.notBefore);
        log.debug().writeValue(msg::CERT_NOT_AFTER, v.notAfter);
    }
    if (v.code == MIRVO_CERT_NOT_YET_VALID) log.error().write(msg::CERT_NOT_YET_VALID);
    if (v.code == MIRVO_CERT_EXPIRED) log.error().write(msg::CERT_EXPIRED);
    log.debug().writeInt("end cPkcs12::checkCertValid()", v.code);
    return v.code;
}

int cPkcs12::checkSignerFilter(const char* filter) {
    cLog& log = mirvoLog();
    int rc = MIRVO_OK;
    if (!certificate_) {
        rc = MIRVO_NO_CERT;
    } else if (filter != nullptr) {
        log.param().writeValue("signerFilter", filter);
        if (*filter != '\0') {
            const std::vector<std::string> conditions = splitConditions(filter);
            log.debug().writeInt(msg::FILTER_COUNT, static_cast<int32_t>(conditions.size()));
            const std::string subject = x509NameOneline(X509_get_subject_name(certificate_.get()));
            const std::string issuer = x509NameOneline(X509_get_issuer_name(certificate_.get()));
            rc = MIRVO_NO_CERT;
            for (const std::string& condition : conditions) {
                if (checkFilterByCertSubject(condition, subject) &&
                    checkFilterByCertIssuer(condition, issuer)) {
                    rc = MIRVO_OK;
                    break;
                }
            }
        }
    }
    log.debug().writeInt("end cPkcs12::checkSignerFilter()", rc);
    return rc;
}

namespace {

bool checkName(cPkcs12& self, const std::string& condition, const std::string& name, const NameRules& rules,
               bool logName) {
    cLog& log = mirvoLog();
    log.param().writeValue(msg::FILTER_CONDITION, condition);
    bool result = true;
    if (!condition.empty()) {
        if (logName) log.param().writeValue(msg::FILTER_SUBJECT, name);
        const std::string wantC = self.parseFilterName(condition, rules.c);
        std::set<std::string> wantO, wantOU;
        self.parseFilterNames(condition, rules.o, wantO);
        self.parseFilterNames(condition, rules.ou, wantOU);
        const std::string wantCN = self.parseFilterName(condition, rules.cn);
        const std::string haveC = self.parseCertDistingName(name, "C=");
        std::set<std::string> haveO, haveOU;
        self.parseCertDistingNames(name, "O=", haveO);
        self.parseCertDistingNames(name, "OU=", haveOU);
        const std::string haveCN = self.parseCertDistingName(name, "CN=");
        const char* miss = nullptr;
        std::string missing;
        if (!wantC.empty() && wantC != haveC) {
            miss = rules.missC;
            missing = wantC;
        }
        for (auto it = wantO.begin(); miss == nullptr && it != wantO.end(); ++it) {
            if (haveO.count(*it) == 0) {
                miss = rules.missO;
                missing = *it;
            }
        }
        for (auto it = wantOU.begin(); miss == nullptr && it != wantOU.end(); ++it) {
            if (haveOU.count(*it) == 0) {
                miss = rules.missOU;
                missing = *it;
            }
        }
        if (miss == nullptr && !wantCN.empty()) {
            bool holds = rules.cnContained ? haveCN.find(wantCN) != std::string::npos : haveCN == wantCN;
            if (!holds) {
                miss = rules.missCN;
                missing = wantCN;
            }
        }
        if (miss != nullptr) {
            log.error().writeValue(miss, missing);
            result = false;
        }
    }
    log.debug().writeBool(rules.endLine, result ? 1 : 0);
    return result;
}

}  // namespace

bool cPkcs12::checkFilterByCertSubject(const std::string& condition, const std::string& subject) {
    return checkName(*this, condition, subject, kSubject, true);
}

bool cPkcs12::checkFilterByCertIssuer(const std::string& condition, const std::string& issuer) {
    return checkName(*this, condition, issuer, kIssuer, false);
}

std::string cPkcs12::parseFilterName(const std::string& condition, const std::string& key) {
    std::string value = firstValue(condition, key, ',');
    if (!key.empty() && condition.find(key) != std::string::npos)
        logValue("cPkcs12::parseFilterName(%s)", key, value);
    return value;
}

void cPkcs12::parseFilterNames(const std::string& condition, const std::string& key,
                               std::set<std::string>& names) {
    allValues(condition, key, ',', names, "cPkcs12::parseFilterNames(%s)");
}

std::string cPkcs12::parseCertDistingName(const std::string& name, const std::string& key) {
    std::string value = firstValue(name, key, '/');
    if (!key.empty() && name.find(key) != std::string::npos)
        logValue("cPkcs12::parseCertDistingName(%s)", key, value);
    return value;
}

void cPkcs12::parseCertDistingNames(const std::string& name, const std::string& key,
                                    std::set<std::string>& names) {
    allValues(name, key, '/', names, "cPkcs12::parseCertDistingNames(%s)");
}
