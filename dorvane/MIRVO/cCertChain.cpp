// Certificate-authority chains of the signing library.
#include "cCertChain.hpp"

#include <dirent.h>

#include <cstdio>
#include <cstring>

#include "cChars.hpp"
#include "cFile.hpp"
#include "cLog.hpp"
#include "cMessages.hpp"
#include "cProperty.hpp"
#include "cSafeFile.hpp"

namespace {

// Fills the one "%s" of a message with a value.
std::string fill(const char* pattern, const std::string& value) {
    std::string text(pattern);
    const size_t at = text.find("%s");
    if (at != std::string::npos) text.replace(at, 2, value);
    return text;
}

std::string slotText(const char* format, int slot) {
    char buf[32];
    snprintf(buf, sizeof buf, format, slot);
    return buf;
}

// Folder and name joined with "/".
std::string joinPath(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

// A chain file opened for reading, or null when it cannot be opened or is no regular file.
ossl_ptr<BIO> openChainFile(const std::string& path) {
    FILE* f = cFile::openRegular(path.c_str());
    if (!f) return nullptr;
    ossl_ptr<BIO> bio(BIO_new_fp(f, BIO_CLOSE));
    if (!bio) fclose(f);
    return bio;
}

// The verification error text that this OpenSSL gives for a code.
std::string verifyErrorText(int code) {
    const char* text = X509_verify_cert_error_string(code);
    return text ? text : "";
}

}  // namespace

bool listP7bFiles(const std::string& folder, std::vector<std::string>& names) {
    if (folder.empty()) return false;
    DIR* dir = opendir(folder.c_str());
    if (!dir) return false;
    while (struct dirent* e = readdir(dir)) {
        const size_t n = strlen(e->d_name);
        if (n >= 4 && equalsIgnoreCase(e->d_name + n - 4, ".p7b") &&
            cSafeFile::isRegularEntry(dirfd(dir), e->d_name))
            names.emplace_back(e->d_name);
    }
    closedir(dir);
    return true;
}

// ---------------------------------------------------------------------------------------------
// cCertChainEntry

cCertChainEntry::cCertChainEntry(const std::string& slotKey_, const std::string& configuredSki_, PKCS7* p7,
                                 const cProperty* props)
    : slotKey(slotKey_), configuredSki(configuredSki_) {
    if (!p7) return;
    OsslErrorScope errors;
    content.reset(PKCS7_dup(p7));
    if (!content) return;
    crlList =
        std::make_unique<cCrlList>(configuredSki, props ? props->getProperty("CRL.path") : std::string());
    if (selfVerify()) loaded = loadCrlList(props);
}

cCertChainEntry::~cCertChainEntry() = default;

STACK_OF(X509) * cCertChainEntry::certificates() const {
    if (!content || !PKCS7_type_is_signed(content.get()) || !content->d.sign) return nullptr;
    return content->d.sign->cert;
}

bool cCertChainEntry::selfVerify() {
    cLog& log = mirvoLog();
    OsslErrorScope errors;
    log.debug().write("begin cCertChainEntry::selfVerify()");
    bool result = false;
    STACK_OF(X509)* certs = certificates();
    const int count = sk_X509_num(certs);
    if (count > 0) store.reset(X509_STORE_new());  // replaces an earlier store
    if (count <= 0) {
        // nothing to verify
    } else if (!store) {
        log.error().write(msg::STORE_NEW_FAILED);
    } else {
        subjects.clear();
        skiMap.clear();
        // A certificate listed twice is reported on the error queue and changes nothing.
        for (int i = 0; i < count; ++i) X509_STORE_add_cert(store.get(), sk_X509_value(certs, i));

        int roots = 0, verified = 0, endEntities = 0;
        X509* lastEndEntity = nullptr;
        for (int i = 0; i < count; ++i) {
            X509* cert = sk_X509_value(certs, i);
            std::unique_ptr<cX509> x = cX509::copyOf(cert);
            if (!x) continue;  // cannot be read: never counts as verified
            const int32_t keyUsage = x->getKeyUsage();
            bool endEntity = false;
            if (x->isRoot()) {
                ++roots;
                log.writeDebugValue(msg::DUMP_ROOT, x->getSerialHex());
            } else if (keyUsage & 0x06) {  // keyCertSign or cRLSign
                log.writeDebugValue(msg::DUMP_CA, x->getSerialHex());
            } else {
                endEntity = true;
                ++endEntities;
                lastEndEntity = cert;
                log.writeDebugValue(msg::DUMP_EE, x->getSerialHex());
            }
            // The certificate's fields, each read only when the lines pass.
            if (const cLog::Writer debug = log.debug()) {
                debug.writeValue(msg::DUMP_SUBJECT_CN, x->getSubjectCN());
                debug.writeValue(msg::DUMP_ISSUER_CN, x->getIssuerCN());
                debug.writeValue(msg::DUMP_NOT_BEFORE, x->getNotBefore());
                debug.writeValue(msg::DUMP_NOT_AFTER, x->getNotAfter());
                debug.writeValue(msg::DUMP_THUMBPRINT, x->getThumbprint());
                debug.writeValue(msg::DUMP_SKI, x->getSKI());
                debug.writeValue(msg::DUMP_AKI, x->getAKI());
                debug.writeInt(msg::DUMP_KEY_USAGE, keyUsage);
            }
            if (endEntity) {
                if (const cLog::Writer debug = log.debug()) {
                    for (const std::string& point : x->getCrlDistPoints())
                        debug.writeValue("\t|\t|--- CrlDP", point);
                    debug.write(msg::DUMP_NOT_VERIFIED);
                }
                continue;
            }
            ossl_ptr<X509_STORE_CTX> ctx(X509_STORE_CTX_new());
            if (!ctx || X509_STORE_CTX_init(ctx.get(), store.get(), cert, nullptr) != 1) continue;
            if (X509_verify_cert(ctx.get()) == 1) {
                ++verified;
                subjects.insert(x->getSubjectName());
                const std::string ski = x->getSKI();
                if (!ski.empty() && !skiMap.count(ski)) skiMap.emplace(ski, std::move(x));
                log.debug().write(msg::DUMP_VERIFIED);
            } else if (const cLog::Writer error = log.error()) {
                error.writeValue(msg::DUMP_VERIFY_FAILED,
                                 verifyErrorText(X509_STORE_CTX_get_error(ctx.get())));
            }
        }
        if (lastEndEntity) verifyCert(lastEndEntity);  // for the log only
        if (roots == 0) {
            log.error().write(msg::NO_ROOT_CERT);
        } else {
            result = verified == count - endEntities;
        }
    }
    log.info().writeBool("end cCertChainEntry::selfVerify()", result);
    return result;
}

int32_t cCertChainEntry::verifyCert(X509* cert) {
    OsslErrorScope errors;
    cLog& log = mirvoLog();
    log.debug().write("begin cCertChainEntry::verifyCert()");
    int32_t code = -1;
    if (!store) {
        log.error().write(msg::STORE_MISSING);
    } else if (cert) {
        log.writeDebugValue(msg::VERIFY_SUBJECT, x509NameOneline(X509_get_subject_name(cert)));
        if (!hasSubject(X509_get_issuer_name(cert))) {
            log.error().write(msg::NOT_SAME_CHAIN);
        } else {
            ossl_ptr<X509_STORE_CTX> ctx(X509_STORE_CTX_new());
            if (!ctx || X509_STORE_CTX_init(ctx.get(), store.get(), cert, nullptr) != 1) {
                log.error().write(msg::STORE_CTX_INIT_FAILED);
            } else {
                code = X509_verify_cert(ctx.get()) == 1 ? 0 : X509_STORE_CTX_get_error(ctx.get());
            }
        }
    }
    log.debug().writeInt("end cCertChainEntry::verifyCert()", code);
    return code;
}

bool cCertChainEntry::hasSubject(const X509_NAME* name) const {
    if (!name) return false;
    const std::string text = x509NameOneline(name);
    return !text.empty() && subjects.count(text) > 0;
}

bool cCertChainEntry::loadCrlList(const cProperty* props) {
    cLog& log = mirvoLog();
    log.debug().write("begin cCertChainEntry::loadCrlList()");
    bool result = false;
    if (!crlList) {
        // no list to fill
    } else if (!props) {
        log.error().write(msg::PARAM_PROPERTY_NULL);
    } else {
        int count = 0;
        for (int k = 0; k < 5; ++k) {
            const std::string title = slotText("crlFile%d", k);
            const std::string key = slotKey + "." + title;
            const std::string value = props->getProperty(key.c_str());
            if (!value.empty() && crlList->addCrlFile(title, value)) ++count;
        }
        log.info().writeInt(msg::CRL_FILE_COUNT, count);
        result = true;
    }
    log.info().write("end cCertChainEntry::loadCrlList()");
    return result;
}

// ---------------------------------------------------------------------------------------------
// cCertChainList

cCertChainList::~cCertChainList() = default;

cCertChainList::SlotResult cCertChainList::loadChainSlot(int slot, const std::string& configuredSki, BIO* bio,
                                                         const cProperty* props) {
    cLog& log = mirvoLog();
    OsslErrorScope errors;
    ossl_ptr<PKCS7> p7(bio ? d2i_PKCS7_bio(bio, nullptr) : nullptr);
    // Not a SignedData with certificates: rejected without a message of its own.
    if (!p7 || !PKCS7_type_is_signed(p7.get()) || !p7->d.sign || sk_X509_num(p7->d.sign->cert) <= 0)
        return SlotResult::Rejected;

    auto entry = std::make_unique<cCertChainEntry>(slotText("P7B%d", slot), configuredSki, p7.get(), props);
    if (!entry->loaded) {
        log.error().write(msg::CHAIN_DISCARDED);
        return SlotResult::Rejected;
    }
    if (!configuredSki.empty() && entry->skiMap.count(configuredSki)) {
        chains.emplace(configuredSki, std::move(entry));  // a chain filed earlier under this SKI stays
        if (const cLog::Writer info = log.info())
            info.write(fill(msg::P7B_LOADED, slotText("P7B%d.name", slot)));
        return SlotResult::Accepted;
    }
    log.error().writeValue(msg::CHAIN_SKI_MISMATCH, configuredSki);
    log.error().write(msg::CHAIN_DISCARDED);
    return SlotResult::Rejected;
}

bool cCertChainList::loadCertChainFiles(const cProperty* props) {
    cLog& log = mirvoLog();
    OsslErrorScope errors;
    log.info().write("begin cCertChainList::loadCertChainFiles()");
    bool result = false;
    std::vector<std::string> listed;
    if (!props) {
        log.error().write(msg::PARAM_PROPERTY_NULL);
    } else if (folder = props->getProperty("P7B.path"), folder.empty()) {
        log.error().write(msg::P7B_PATH_MISSING);
    } else if (!listP7bFiles(folder, listed)) {
        log.error().write(msg::P7B_PATH_UNREADABLE);
    } else {
        int opened = 0, accepted = 0;
        for (int slot = 0; slot < 10; ++slot) {
            const std::string nameKey = slotText("P7B%d.name", slot);
            const std::string ski = props->getProperty(slotText("P7B%d.SKI", slot).c_str());
            const std::string name = props->getProperty(nameKey.c_str());
            if (name.empty()) continue;
            const std::string* match = nullptr;
            for (const std::string& candidate : listed) {
                if (equalsIgnoreCase(candidate.c_str(), name.c_str())) {
                    match = &candidate;
                    break;
                }
            }
            if (!match) continue;
            if (const cLog::Writer info = log.info()) info.writeValue(fill(msg::P7B_LOADING, nameKey), name);
            ossl_ptr<BIO> file = openChainFile(joinPath(folder, *match));
            if (!file) continue;
            ++opened;
            if (loadChainSlot(slot, ski, file.get(), props) == SlotResult::Accepted) ++accepted;
        }
        result = accepted == opened;
    }
    log.info().writeBool("end cCertChainList::loadCertChainFiles()", result);
    return result;
}

X509RefStackPtr cCertChainList::prepareCertChain(const X509* signer) const {
    OsslErrorScope errors;
    cLog& log = mirvoLog();
    X509RefStackPtr list;
    std::unique_ptr<cX509> signerCopy = signer ? cX509::copyOf(signer) : nullptr;
    const std::string signerAki = signerCopy ? signerCopy->getAKI() : std::string();
    auto chain = signerAki.empty() ? chains.end() : chains.find(signerAki);
    if (chain != chains.end()) list.reset(sk_X509_new_null());
    if (list) {
        const cCertChainEntry& entry = *chain->second;
        std::set<const cX509*> taken;
        std::string aki = signerAki;
        // Each step takes a certificate not taken before, so the walk ends within the size of the map
        // even when the identifiers form a loop.
        while (!aki.empty()) {
            auto found = entry.skiMap.find(aki);
            if (found == entry.skiMap.end() || !taken.insert(found->second.get()).second) break;
            const cX509& cert = *found->second;
            log.writeDebugValue(msg::CHAIN_FOUND_SUBJECT, cert.getSubjectName());
            aki = cert.getAKI();
            if (sk_X509_insert(list.get(), cert.get(), 0) <= 0) break;
            if (cert.isRoot()) {
                log.debug().write(msg::CHAIN_ROOT_FOUND);
                break;
            }
        }
    }
    log.debug().writeInt(msg::CHAIN_COUNT, list ? sk_X509_num(list.get()) : 0);
    return list;
}

cCertChainList& mirvoChainList() {
    // Made after OpenSSL's set-up, so that it is destroyed before OpenSSL's own clean-up at exit.
    mirvoOpenSslInit();
    static cCertChainList list;
    return list;
}
