// DER PKCS#7 SignedData for one RSA signer, assembled from parts encoded once.
#include "cSignedData.hpp"

#include <climits>
#include <cstring>
#include <utility>

#include <openssl/rsa.h>

namespace {

// Bytes taken by a DER length (short form below 0x80, else 0x8N and N bytes).
size_t lengthSize(size_t n) {
    size_t size = 1;
    if (n >= 0x80) {
        for (; n > 0; n >>= 8) ++size;
    }
    return size;
}

// Bytes taken by a DER element with content of n bytes.
size_t elementSize(size_t n) { return 1 + lengthSize(n) + n; }

// Writes an element's tag and length at p; returns the end.
unsigned char* putHead(unsigned char* p, unsigned char tag, size_t n) {
    *p++ = tag;
    if (n < 0x80) {
        *p++ = static_cast<unsigned char>(n);
        return p;
    }
    size_t bytes = lengthSize(n) - 1;
    *p++ = static_cast<unsigned char>(0x80 | bytes);
    for (size_t i = bytes; i > 0; --i) *p++ = static_cast<unsigned char>(n >> (8 * (i - 1)));
    return p;
}

unsigned char* put(unsigned char* p, const std::string& bytes) {
    memcpy(p, bytes.data(), bytes.size());
    return p + bytes.size();
}

unsigned char* put(unsigned char* p, const unsigned char* bytes, size_t count) {
    memcpy(p, bytes, count);
    return p + count;
}

// An element of the tag around encoded content.
std::string wrap(unsigned char tag, const std::string& content) {
    std::string out(elementSize(content.size()) - content.size(), '\0');
    putHead(reinterpret_cast<unsigned char*>(&out[0]), tag, content.size());
    return out + content;
}

constexpr unsigned char kSequence = 0x30;
constexpr unsigned char kSet = 0x31;
constexpr unsigned char kOctetString = 0x04;
constexpr unsigned char kContext0 = 0xA0;  // [0], constructed

}  // namespace

cSignedDataMaker::~cSignedDataMaker() = default;

std::unique_ptr<cSignedDataMaker> cSignedDataMaker::make(X509* cert, EVP_PKEY* key, const Form& form) {
    cForkGate inOpenSsl;
    if (!cert || !key || !form.md || !EVP_PKEY_is_a(key, "RSA")) return nullptr;
    std::unique_ptr<cSignedDataMaker> maker(new cSignedDataMaker());
    maker->cert_ = x509Ref(cert);
    if (!maker->cert_ || EVP_PKEY_up_ref(key) != 1) return nullptr;
    maker->key_.reset(key);
    maker->form_ = form;
    maker->md_.reset(EVP_MD_fetch(nullptr, EVP_MD_get0_name(form.md), nullptr));
    const int signatureMax = EVP_PKEY_get_size(key);
    if (!maker->md_ || signatureMax <= 0) return nullptr;
    maker->signatureMax_ = static_cast<size_t>(signatureMax);
    if (!maker->encodeParts()) return nullptr;
    // One signing context is made here, so that a failure to make one shows now.
    std::unique_ptr<Worker> worker = maker->takeWorker();
    if (!worker) return nullptr;
    maker->giveBack(std::move(worker));
    return maker;
}

bool cSignedDataMaker::encodeParts() {
    // A SignedData set up by the same calls as the general builder: the parts come from it.
    ossl_ptr<PKCS7> p7(PKCS7_new());
    if (!p7 || !PKCS7_set_type(p7.get(), NID_pkcs7_signed)) return false;
    PKCS7_SIGNER_INFO* si = PKCS7_add_signature(p7.get(), cert_.get(), key_.get(), form_.md);
    if (!si) return false;
    const PKCS7_SIGNED* sd = p7->d.sign;
    // One signer, one digest algorithm: the set holds that one element.
    if (sk_X509_ALGOR_num(sd->md_algs) != 1 || sk_PKCS7_SIGNER_INFO_num(sd->signer_info) != 1) return false;

    std::string algorithm, version, issuerAndSerial, digestAlg;
    if (!derOf(i2d_ASN1_OBJECT, p7->type, signedOid_) || !derOf(i2d_ASN1_INTEGER, sd->version, version_) ||
        !derOf(i2d_X509_ALGOR, sk_X509_ALGOR_value(sd->md_algs, 0), algorithm) ||
        !derOf(i2d_ASN1_OBJECT, OBJ_nid2obj(NID_pkcs7_data), dataOid_) ||
        !derOf(i2d_ASN1_INTEGER, si->version, version) ||
        !derOf(i2d_PKCS7_ISSUER_AND_SERIAL, si->issuer_and_serial, issuerAndSerial) ||
        !derOf(i2d_X509_ALGOR, si->digest_alg, digestAlg) ||
        !derOf(i2d_X509_ALGOR, si->digest_enc_alg, signatureAlg_))
        return false;
    digestAlgs_ = wrap(kSet, algorithm);
    signerHead_ = version + issuerAndSerial + digestAlg;
    if (form_.addCert) {
        std::string certificate;
        if (!derOf(i2d_X509, cert_.get(), certificate)) return false;
        certificates_ = wrap(kContext0, certificate);
    }
    return true;
}

std::unique_ptr<cSignedDataMaker::Worker> cSignedDataMaker::takeWorker() {
    {
        std::lock_guard<cForkSafeMutex> hold(idleMutex_);
        if (!idle_.empty()) {
            std::unique_ptr<Worker> worker = std::move(idle_.back());
            idle_.pop_back();
            return worker;
        }
    }
    auto worker = std::make_unique<Worker>();
    worker->digest.reset(EVP_MD_CTX_new());
    worker->signing.reset(EVP_PKEY_CTX_new_from_pkey(nullptr, key_.get(), nullptr));
    if (!worker->digest || !worker->signing || EVP_PKEY_sign_init(worker->signing.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(worker->signing.get(), RSA_PKCS1_PADDING) <= 0 ||
        EVP_PKEY_CTX_set_signature_md(worker->signing.get(), md_.get()) <= 0)
        return nullptr;
    worker->signature.resize(signatureMax_);
    return worker;
}

void cSignedDataMaker::giveBack(std::unique_ptr<Worker> worker) {
    std::lock_guard<cForkSafeMutex> hold(idleMutex_);
    idle_.push_back(std::move(worker));
}

bool cSignedDataMaker::sign(const unsigned char* data, size_t count, std::string& der) {
    if (!data || count == 0) return false;
    cForkGate inOpenSsl;
    std::unique_ptr<Worker> worker = takeWorker();
    if (!worker) return false;

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    size_t signatureLength = worker->signature.size();
    if (EVP_DigestInit_ex2(worker->digest.get(), md_.get(), nullptr) != 1 ||
        EVP_DigestUpdate(worker->digest.get(), data, count) != 1 ||
        EVP_DigestFinal_ex(worker->digest.get(), digest, &digestLength) != 1 ||
        EVP_PKEY_sign(worker->signing.get(), worker->signature.data(), &signatureLength, digest,
                      digestLength) <= 0) {
        return false;  // the worker goes with its state unknown
    }

    // Sizes from the inside out.
    const size_t signerInfo = signerHead_.size() + signatureAlg_.size() + elementSize(signatureLength);
    const size_t signerInfos = elementSize(signerInfo);
    const size_t content = form_.attached ? elementSize(elementSize(count)) : 0;
    const size_t contentInfo = dataOid_.size() + content;
    const size_t signedData = version_.size() + digestAlgs_.size() + elementSize(contentInfo) +
                              certificates_.size() + elementSize(signerInfos);
    const size_t outer = signedOid_.size() + elementSize(elementSize(signedData));
    const size_t total = elementSize(outer);
    if (total > static_cast<size_t>(INT_MAX)) {
        giveBack(std::move(worker));
        return false;
    }

    der.resize(total);
    unsigned char* p = reinterpret_cast<unsigned char*>(&der[0]);
    p = putHead(p, kSequence, outer);
    p = put(p, signedOid_);
    p = putHead(p, kContext0, elementSize(signedData));
    p = putHead(p, kSequence, signedData);
    p = put(p, version_);
    p = put(p, digestAlgs_);
    p = putHead(p, kSequence, contentInfo);
    p = put(p, dataOid_);
    if (form_.attached) {
        p = putHead(p, kContext0, elementSize(count));
        p = putHead(p, kOctetString, count);
        p = put(p, data, count);
    }
    p = put(p, certificates_);
    p = putHead(p, kSet, signerInfos);
    p = putHead(p, kSequence, signerInfo);
    p = put(p, signerHead_);
    p = put(p, signatureAlg_);
    p = putHead(p, kOctetString, signatureLength);
    p = put(p, worker->signature.data(), signatureLength);
    giveBack(std::move(worker));
    return p == reinterpret_cast<unsigned char*>(&der[0]) + total;
}
