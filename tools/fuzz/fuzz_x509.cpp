// libFuzzer target: the certificate-field readers over hostile DER certificates, and the time text
// over hostile UTCTime / GeneralizedTime contents.
#include <cstddef>
#include <cstdint>

#include "cOssl.hpp"
#include "cX509.hpp"

// The library's one-time OpenSSL set-up (providers that live to process end) runs before the
// first input, so that per-input leak checks do not count it.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    mirvoOpenSslInit();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const unsigned char* p = data;
    X509* raw = d2i_X509(nullptr, &p, static_cast<long>(size));
    if (raw != nullptr) {
        cX509 cert(raw);
        cert.isRoot();
        cert.getIssuerName();
        cert.getSubjectName();
        cert.getSubjectCN();
        cert.getIssuerCN();
        cert.getSKI();
        cert.getAKI();
        cert.getCrlDistPoints();
        cert.getThumbprint();
        cert.getSerialHex();
        cert.getNotBefore();
        cert.getNotAfter();
        cert.getKeyUsage();
        cert.hasKeyUsage();
    }
    for (int type : {V_ASN1_UTCTIME, V_ASN1_GENERALIZEDTIME}) {
        ossl_ptr<ASN1_STRING> t(ASN1_STRING_type_new(type));
        if (t && size < 64 && ASN1_STRING_set(t.get(), data, static_cast<int>(size)) == 1)
            asn1TimeToString(t.get());
    }
    ERR_clear_error();
    return 0;
}
