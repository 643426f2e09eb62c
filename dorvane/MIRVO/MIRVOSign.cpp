// The process-wide signer of the signing library.
#include "MIRVOSign.hpp"

#include <iconv.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "cCertChain.hpp"
#include "cChars.hpp"
#include "cFile.hpp"
#include "cLog.hpp"
#include "cMessages.hpp"
#include "cProperty.hpp"
#include "cSecret.hpp"
#include "cSignedData.hpp"
#include "cX509.hpp"

namespace {

constexpr const char* kTextEncoding = "BIG5";  // the encoding of the text handed to SignPkcs7
constexpr const char* kSignEncoding = "BIG5";  // the encoding of the bytes that are signed

// The digest of a digest name; "SHA1" and "SHA256" only, case and length exact.
const EVP_MD* digestByName(const std::optional<std::string>& name) {
    if (!name) return nullptr;
    if (*name == "SHA1") return EVP_sha1();
    if (*name == "SHA256") return EVP_sha256();
    return nullptr;
}

// Nothing checks the certificate's validity before signing, so an expired or not yet valid one
// signs; the WARN line at its activation says so and names its validity period. The period's texts
// are Taiwan time, so the moment they are compared with is too: the machine's local time would
// misjudge a certificate by the zone's distance from UTC+8.
void warnOutsideValidity(cLog& log, const cPkcs12& credentials) {
    const cLog::Writer warn = log.warn();
    if (!warn) return;
    const std::string now = taiwanTimeText();
    const cPkcs12::Validity v = credentials.validityAt(now);
    const char* state = v.code == MIRVO_CERT_EXPIRED         ? "certificate expired"
                        : v.code == MIRVO_CERT_NOT_YET_VALID ? "certificate not yet valid"
                                                             : nullptr;
    if (state == nullptr) return;
    warn.write(std::string(state) + ": valid from " + v.notBefore + " to " + v.notAfter + " (now " + now +
               "); it signs as before");
}

// A failed step of the SignedData building: the code and its ERROR number line.
int32_t signFailed(cLog& log, int32_t code) {
    log.error().writeInt(msg::SIGN_FAILED, code);
    return code;
}

// The conversion descriptor of the calling thread for one target encoding, opened at the thread's
// first conversion and kept for its life: opening one loads and sets up the converter, which
// costs more than converting an order text. iconv requires that a descriptor be used by one
// thread at a time, so each thread has its own. A forked child has the forking thread's descriptor,
// which no other thread used and which is set back to its initial state before every use.
class ThreadConverter {
public:
    // The descriptor, in its initial state; (iconv_t)-1 when it cannot be opened.
    static iconv_t get(const char* target) {
        thread_local ThreadConverter converter;
        return converter.open(target);
    }

    ~ThreadConverter() { close(); }

private:
    static iconv_t none() { return reinterpret_cast<iconv_t>(-1); }

    iconv_t open(const char* target) {
        if (cd_ != none() && target_ == target) {
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // back to the initial shift state
            return cd_;
        }
        close();
        cd_ = iconv_open(target, kTextEncoding);
        if (cd_ != none()) target_ = target;
        return cd_;
    }

    void close() {
        if (cd_ != none()) iconv_close(cd_);
        cd_ = none();
        target_.clear();
    }

    iconv_t cd_ = none();
    std::string target_;
};

}  // namespace

MIRVOSign::MIRVOSign() { mirvoOpenSslInit(); }

MIRVOSign::~MIRVOSign() = default;

int32_t MIRVOSign::initial(const char* passwd) {
    cForkGate inOpenSsl;
    OsslErrorScope errors;
    cLog& log = mirvoLog();
    log.write(cLog::INFO_COL, "");
    lastError = MIRVO_OK;

    // The properties are always read from "p7Sign.properties" in the working directory.
    cProperty props;
    if (!props.loadFromFile(kMirvoPropertiesFile)) {
        lastError = MIRVO_PROPERTY_READ_ERROR;
        log.error().write(msg::PROPERTY_READ_FAILED);
    } else {
        log.setLevel(props.getProperty("LOG.level").c_str());
        // Read one after the other: the log shows LOG.path before LOG.file.
        const std::string logPath = props.getProperty("LOG.path");
        const std::string logFile = props.getProperty("LOG.file");
        cFile::createFolder(logPath.c_str(), logFile.c_str());

        cCertChainList& chains = mirvoChainList();
        if (chains.chains.empty()) chains.loadCertChainFiles(&props);

        // The signing options go with the certificate they were read with: they take effect only
        // when its PKCS#12 file loads, so a failed activation leaves the earlier certificate
        // signing as it did (a cut or altered file must not make it sign detached, without its
        // certificate, or under another filter).
        std::string digest = props.getProperty("PKCS7.digest");
        const int32_t newAddCertLevel = props.getPropertyInt("PKCS7.addCert");
        const bool newAddTimestamp = props.getPropertyBool("PKCS7.addTimestamp");
        const bool newAddPlainText = props.getPropertyBool("PKCS7.addPlainText");
        std::string filter = props.getProperty("PFX.signerFilter");

        std::string pfxPath = props.getProperty("PFX.path");
        std::string pfxFile = props.getProperty("PFX.file");
        // The password handed over is used where it lies; one from the properties is moved into a
        // secret of its own (cSecret.hpp) and its other copy wiped.
        const char* password = passwd;
        std::unique_ptr<cSecret> fromProperties;
        if (!password || !*password) {
            std::string value = props.getProperty("PFX.pswd");
            fromProperties = std::make_unique<cSecret>(value.data(), value.size());
            if (!value.empty()) OPENSSL_cleanse(&value[0], value.size());
            password = fromProperties->c_str();
        }
        if (!*password) {
            lastError = MIRVO_PARAM_ERROR;
        } else {
            auto fresh = std::make_unique<cPkcs12>();
            lastError = fresh->loadPfxFile(pfxPath.c_str(), pfxFile.c_str(), password);
            if (lastError != MIRVO_OK) {
                fresh.reset();
                log.error().write(msg::PFX_READ_FAILED);
            } else {
                // The last signature was made with the credentials being replaced.
                lastSignerCert.reset();
                {
                    std::lock_guard<cForkSafeMutex> hold(makerMutex_);
                    maker_.reset();
                }
                pkcs12 = std::move(fresh);
                loaded = true;
                if (!digest.empty()) digestName = std::move(digest);
                addCertLevel = newAddCertLevel;
                addTimestamp = newAddTimestamp;
                addPlainText = newAddPlainText;
                if (!filter.empty()) signerFilter = std::move(filter);
                warnOutsideValidity(log, *pkcs12);
            }
        }
    }

    log.info().write("end MIRVOSign::MIRVOSign()");
    return lastError;
}

bool MIRVOSign::convertUniCodeStringToAny(const char* text, const char* target, cBytes* out) {
    if (!text || !*text || !out) return false;
    out->release();
    cLog& log = mirvoLog();

    size_t length = strlen(text);
    // The output area is 2 x length + 100 bytes and its count a signed 32-bit number.
    if (length > (static_cast<size_t>(INT32_MAX) - 100) / 2) return false;

    iconv_t cd = ThreadConverter::get(target);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        log.error().write(msg::ICONV_OPEN_FAILED);
        return false;
    }
    size_t area = 2 * length + 100;
    char* buffer = static_cast<char*>(malloc(area));
    if (!buffer) {
        log.error().write(msg::ALLOC_FAILED);
        return false;
    }

    char* in = const_cast<char*>(text);
    size_t inLeft = length;
    char* outPtr = buffer;
    size_t outLeft = area;
    size_t result = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    size_t written = area - outLeft;
    bool ok = false;
    if (result != static_cast<size_t>(-1) && written > 0 && written < area) {
        ok = out->assign(buffer, static_cast<int32_t>(written));
    }
    free(buffer);
    return ok;
}

int32_t MIRVOSign::SignPkcs7(const char* plain) {
    cForkGate inOpenSsl;
    cLog& log = mirvoLog();
    log.info().write("begin MIRVOSign::SignPkcs7()");
    lastError = MIRVO_OK;

    if (!pkcs12) {
        log.error().write(msg::PFX_LOAD_ERROR);
        return lastError = MIRVO_NO_CERT;
    }
    if (!plain) {
        log.error().write(msg::PARAM_PLAIN_NULL);
        return lastError = MIRVO_PARAM_ERROR;
    }
    if (!*plain) {
        log.error().write(msg::PARAM_PLAIN_EMPTY);
        return lastError = MIRVO_PARAM_ERROR;
    }

    cBytes converted;
    if (!convertUniCodeStringToAny(plain, kSignEncoding, &converted)) {
        log.error().write(msg::CONVERT_BIG5_FAILED);
        return lastError = MIRVO_ICONV_ERROR;
    }
    log.debug().writeHex("convertUniCodeStringToAny(BIG5)", converted.data(), converted.length());

    lastError = SignPkcs7Bin(converted.data(), converted.length());
    return lastError;
}

int32_t MIRVOSign::checkBeforeSign() {
    cLog& log = mirvoLog();
    if (checkValid) {
        int32_t code = pkcs12->checkCertValid();
        if (code != MIRVO_OK) {
            log.error().writeInt(msg::CERT_VALID_FAILED, code);
            return code;
        }
    }
    if (checkKeyUsage) {
        int32_t code = MIRVO_OK;
        std::unique_ptr<cX509> cert = cX509::copyOf(pkcs12->certificate());
        if (!cert) {
            code = MIRVO_NO_CERT;
        } else if (cert->hasKeyUsage()) {
            int32_t bits = cert->getKeyUsage();
            log.debug().writeInt(msg::KEY_USAGE, bits);
            // digitalSignature or nonRepudiation; a certificate without the extension may sign.
            code = (bits & 0x80) || (bits & 0x40) ? MIRVO_OK : MIRVO_KEY_USAGE_ERROR;
        }
        log.debug().writeInt("end cPkcs12::checkKeyUsageForSign()", code);
        if (code != MIRVO_OK) {
            log.error().writeInt(msg::KEY_USAGE_FAILED, code);
            return code;
        }
    }
    return MIRVO_OK;
}

int32_t MIRVOSign::buildSignedData(BIO* in, std::string& der) {
    cLog& log = mirvoLog();
    X509* cert = pkcs12->certificate();
    EVP_PKEY* key = pkcs12->privateKey();
    if (!cert || !key) {
        log.error().write(msg::PFX_NOT_LOADED);
        return MIRVO_PFX_NOT_LOADED;
    }

    // The chain: the PKCS#12 file's own authority certificates, else the configured chain that
    // issued the certificate (a list of references that this call frees).
    STACK_OF(X509)* chain = nullptr;
    X509RefStackPtr prepared;
    if (addCertLevel >= 2) {
        STACK_OF(X509)* own = pkcs12->authorityCerts();
        if (own && sk_X509_num(own) > 0) {
            chain = own;
        } else {
            prepared = mirvoChainList().prepareCertChain(cert);
            chain = prepared.get();
        }
    }

    ossl_ptr<PKCS7> p7(PKCS7_new());
    if (!p7) return MIRVO_MEMORY_ERROR;
    if (!PKCS7_set_type(p7.get(), NID_pkcs7_signed)) return MIRVO_MEMORY_ERROR;

    const EVP_MD* md = digestByName(digestName);
    if (!md) {
        log.error().writeInt(msg::SIGN_DIGEST_ERROR, 0);
        return MIRVO_SIGN_ERROR;
    }

    PKCS7_SIGNER_INFO* si = PKCS7_add_signature(p7.get(), cert, key, md);
    if (!si) return signFailed(log, MIRVO_SIGN_ERROR);

    if (addCertLevel > 0) {
        if (!PKCS7_add_certificate(p7.get(), cert)) return signFailed(log, MIRVO_SIGN_ERROR);
        if (addCertLevel > 1 && chain) {
            for (int i = sk_X509_num(chain) - 1; i >= 0; --i) {
                if (!PKCS7_add_certificate(p7.get(), sk_X509_value(chain, i)))
                    return signFailed(log, MIRVO_SIGN_ERROR);
            }
        }
    }

    if (addTimestamp) {
        if (!PKCS7_add_attrib_content_type(si, nullptr)) return signFailed(log, MIRVO_SIGN_ERROR);
        if (!PKCS7_add0_attrib_signing_time(si, nullptr)) return signFailed(log, MIRVO_SIGN_ERROR);
    }

    if (!PKCS7_content_new(p7.get(), NID_pkcs7_data)) return MIRVO_MEMORY_ERROR;
    PKCS7_ctrl(p7.get(), PKCS7_OP_SET_DETACHED_SIGNATURE, addPlainText ? 0 : 1, nullptr);

    BioChainPtr p7bio(PKCS7_dataInit(p7.get(), nullptr));
    if (!p7bio) return MIRVO_MEMORY_ERROR;
    bool copied = SMIME_crlf_copy(in, p7bio.get(), PKCS7_BINARY) == 1;
    bool finished = copied && PKCS7_dataFinal(p7.get(), p7bio.get()) == 1;
    p7bio.reset();
    if (!finished) return signFailed(log, MIRVO_SIGN_ERROR);

    if (!derOf(i2d_PKCS7, p7.get(), der)) return signFailed(log, MIRVO_SIGN_ERROR);
    return MIRVO_OK;
}

bool MIRVOSign::signWithMaker(const unsigned char* data, int32_t count, std::string& der) {
    if (addTimestamp || addCertLevel > 1) return false;
    X509* cert = pkcs12->certificate();
    EVP_PKEY* key = pkcs12->privateKey();
    cSignedDataMaker::Form form;
    form.md = digestByName(digestName);
    form.addCert = addCertLevel > 0;
    form.attached = addPlainText;
    if (!cert || !key || !form.md) return false;

    std::shared_ptr<cSignedDataMaker> maker;
    {
        std::lock_guard<cForkSafeMutex> hold(makerMutex_);
        if (!maker_ || !maker_->serves(cert, key, form)) maker_ = cSignedDataMaker::make(cert, key, form);
        maker = maker_;
    }
    // A failed maker leaves its errors to the caller's scope; the general builder then tries.
    return maker && maker->sign(data, static_cast<size_t>(count), der);
}

int32_t MIRVOSign::SignPkcs7Bin(const unsigned char* data, int32_t count) {
    cForkGate inOpenSsl;
    OsslErrorScope errors;
    cLog& log = mirvoLog();
    log.info().write("begin MIRVOSign::SignPkcs7Bin()");
    lastError = MIRVO_OK;
    lastSignature.reset();

    ossl_ptr<BIO> in;
    if (!data) {
        log.error().write(msg::PARAM_DATA_NULL);
        lastError = MIRVO_PARAM_ERROR;
    } else if (count <= 0) {
        log.error().write(msg::PARAM_DATALEN);
        lastError = MIRVO_PARAM_ERROR;
    } else if (!(in.reset(BIO_new_mem_buf(data, count)), in)) {
        lastError = MIRVO_MEMORY_ERROR;
    } else if (!pkcs12) {
        log.error().write(msg::PFX_NOT_LOADED);
        lastError = MIRVO_PFX_NOT_LOADED;
    } else if ((lastError = checkBeforeSign()) != MIRVO_OK) {
        // the check wrote its own line
    } else if (signerFilter && !signerFilter->empty() &&
               (lastError = pkcs12->checkSignerFilter(signerFilter->c_str())) != MIRVO_OK) {
        log.error().writeInt(msg::SIGNER_FILTER_FAILED, lastError);
    } else {
        std::string der;
        lastError = signWithMaker(data, count, der) ? MIRVO_OK : buildSignedData(in.get(), der);
        if (lastError == MIRVO_OK) {
            std::string base64;
            if (!base64EncodeTo(reinterpret_cast<const unsigned char*>(der.data()),
                                static_cast<int32_t>(der.size()), base64)) {
                lastError = signFailed(log, MIRVO_SIGN_ERROR);
            } else {
                log.debug().writeHex(msg::SIGN_VALUE, reinterpret_cast<const unsigned char*>(der.data()),
                                     static_cast<int32_t>(der.size()));
                lastSignature = std::move(base64);
                log.debug().writeValue(msg::SIGN_VALUE_BASE64, *lastSignature);
                lastError = MIRVO_OK;
                lastSignerCert = x509Ref(pkcs12->certificate());
            }
        }
    }

    log.info().writeInt("end MIRVOSign::SignPkcs7Bin()", lastError);
    return lastError;
}

MIRVOSign& mirvoSigner() {
    // Made after OpenSSL's set-up and after the log and the chain list, so that it is destroyed
    // before them and before OpenSSL's own clean-up at exit.
    mirvoOpenSslInit();
    mirvoLog();
    mirvoChainList();
    static MIRVOSign signer;
    return signer;
}

int32_t MIRVOSignInitial(const char* passwd) { return mirvoSigner().initial(passwd); }
