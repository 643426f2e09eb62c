// Revocation lists of a certificate chain.
#include "cCrl.hpp"

#include <new>
#include <utility>

#include "cLog.hpp"
#include "cMessages.hpp"
#include "cX509.hpp"

cCrlFileEntry::cCrlFileEntry(std::string title_, std::string directory_, std::string fileName_)
    : title(std::move(title_)), directory(std::move(directory_)), fileName(std::move(fileName_)) {}

cCrlFileEntry::~cCrlFileEntry() = default;

// A trailing "/" of the directory is kept: the logged path is exactly what was joined, and the
// file system reads the doubled separator as one.
std::string cCrlFileEntry::path() const {
    if (!fileName.empty() && fileName[0] == '/') return fileName;
    return directory + "/" + fileName;
}

bool cCrlFileEntry::isExpiredAt(const std::string& now, const std::string& nextUpdate) {
    return now.substr(0, 14).compare(nextUpdate.substr(0, 14)) > 0;
}

bool cCrlFileEntry::loadCrl() {
    cLog& log = mirvoLog();
    bool result = false;
    if (fileName.empty()) {
        log.error().write(msg::CRL_FILENAME_UNSET);
    } else {
        const std::string p = path();
        log.debug().writeValue(msg::CRL_FILE_NAME, p);
        if (rawBytes.loadFromFile(p.c_str())) {
            log.debug().writeInt(msg::CRL_FILE_LENGTH, rawBytes.length());
            parseCrl();
        }
        result = true;
    }
    log.debug().writeBool("end cCrlFileEntry::loadCrl()", result);
    return result;
}

bool cCrlFileEntry::parseCrl() {
    cLog& log = mirvoLog();
    OsslErrorScope errors;
    log.debug().writeValue("begin cCrlFileEntry::parseCrl()", title);
    bool result = false;
    if (rawBytes.data() == nullptr || rawBytes.length() <= 0) {
        log.error().write(msg::CRL_NOT_LOADED);
    } else {
        const unsigned char* p = rawBytes.data();
        ossl_ptr<X509_CRL> parsed(d2i_X509_CRL(nullptr, &p, rawBytes.length()));
        if (!parsed) {
            const std::string why = errors.take();
            log.error().writeValue(msg::CRL_PARSE_FAILED, why);
        } else {
            // The previous map refers into the previous CRL: both are replaced, the map first.
            revoked.clear();
            crl = std::move(parsed);

            const std::string now = localTimeText();
            expired = false;
            const std::string next = asn1TimeToString(X509_CRL_get0_nextUpdate(crl.get()));
            log.debug().writeValue(msg::CRL_NEXT_UPDATE, next);
            if (isExpiredAt(now, next)) {
                log.error().write(msg::CRL_EXPIRED);
                expired = true;
            } else {
                log.debug().write(msg::CRL_VALID);
            }

            STACK_OF(X509_REVOKED)* list = X509_CRL_get_REVOKED(crl.get());
            log.debug().writeInt(msg::CRL_REVOKED_COUNT, sk_X509_REVOKED_num(list));
            std::map<std::string, X509_REVOKED*> fresh;
            for (int i = 0; i < sk_X509_REVOKED_num(list); ++i) {
                X509_REVOKED* entry = sk_X509_REVOKED_value(list, i);
                // an earlier entry of the same serial stays
                fresh.emplace(asn1IntegerHex(X509_REVOKED_get0_serialNumber(entry)), entry);
            }
            revoked = std::move(fresh);
            log.debug().writeInt(msg::CRL_REVOKED_COUNT, static_cast<int32_t>(revoked.size()));
            result = true;
        }
    }
    log.debug().writeBool("end cCrlFileEntry::parseCrl()", result);
    return result;
}

cCrlList::cCrlList(std::string chainSki_, std::string directory_)
    : chainSki(std::move(chainSki_)), directory(std::move(directory_)) {}

cCrlList::~cCrlList() = default;

bool cCrlList::addCrlFile(const std::string& title, const std::string& fileName) {
    cLog& log = mirvoLog();
    log.debug().write("begin cCrlList::addCrlFile()");
    log.param().writeValue("title", title);
    log.param().writeValue("fileName", fileName);
    bool result = false;
    if (directory.empty()) {
        log.error().write(msg::CRL_PATH_MISSING);
    } else if (fileName.empty()) {
        log.error().write(msg::CRL_FILENAME_MISSING);
    } else if (files.count(title)) {
        log.error().writeValue(msg::CRL_DUPLICATE, title);
    } else {
        std::unique_ptr<cCrlFileEntry> entry(new (std::nothrow) cCrlFileEntry(title, directory, fileName));
        if (!entry) {
            log.error().write(msg::CRL_ALLOC_FAILED);
        } else {
            entry->loadCrl();
            files.emplace(title, std::move(entry));
            result = true;
        }
    }
    log.debug().writeBool("end cCrlList::addCrlFile()", result);
    return result;
}
