// libFuzzer target: a chain file's bytes through the chain loader (DER PKCS#7 reading, the
// self-verification with its certificate dump, the revocation-list set-up) and the chain walk for
// every certificate of the file.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz_setup.hpp"
#include "cCertChain.hpp"
#include "cProperty.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzLogAll();  // every line passes, so the dump code runs too

    cProperty props;
    props.parse("CRL.path = /nonexistent\nP7B0.crlFile0 = none.crl\n");

    ossl_ptr<BIO> bio(BIO_new_mem_buf(data, static_cast<int>(size)));
    ossl_ptr<PKCS7> p7(d2i_PKCS7_bio(bio.get(), nullptr));
    STACK_OF(X509)* certs = p7 && PKCS7_type_is_signed(p7.get()) && p7->d.sign ? p7->d.sign->cert : nullptr;

    // The configured SKI: that of the file's last certificate, so well-formed chains can be accepted.
    std::string ski;
    if (sk_X509_num(certs) > 0) {
        std::unique_ptr<cX509> last = cX509::copyOf(sk_X509_value(certs, sk_X509_num(certs) - 1));
        if (last) ski = last->getSKI();
    }

    cCertChainList list;
    ossl_ptr<BIO> again(BIO_new_mem_buf(data, static_cast<int>(size)));
    list.loadChainSlot(0, ski, again.get(), &props);
    for (int i = 0; i < sk_X509_num(certs); ++i) {
        X509RefStackPtr chain(list.prepareCertChain(sk_X509_value(certs, i)));
    }
    for (const auto& kv : list.chains) {
        for (int i = 0; i < sk_X509_num(certs); ++i) kv.second->verifyCert(sk_X509_value(certs, i));
    }
    ERR_clear_error();
    return 0;
}
