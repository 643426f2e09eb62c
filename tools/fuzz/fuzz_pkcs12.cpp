// libFuzzer target: the PKCS#12 loader over hostile container bytes (with the fixtures' password,
// so real containers get through the MAC check and the parse), then the certificate tests and
// field readers on whatever certificate came out.
#include <cstddef>
#include <cstdint>

#include "cLog.hpp"
#include "cOssl.hpp"
#include "cPkcs12.hpp"
#include "cX509.hpp"

// The library's one-time OpenSSL set-up (providers that live to process end) runs before the
// first input, so that per-input leak checks do not count it.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    mirvoOpenSslInit();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    cLog& log = mirvoLog();
    log.level = 0;
    if (size > (1 << 20)) return 0;
    ossl_ptr<BIO> bio(BIO_new_mem_buf(data, static_cast<int>(size)));
    cPkcs12 p;
    if (p.loadPfxBio(bio.get(), "Test1234!") == 0) {
        p.checkCertValid();
        p.checkSignerFilter("//S_C=TW,S_O=Test Bank,S_OU=Dept A,S_CN=Wang//I_CN=x,I_O=y//");
        std::unique_ptr<cX509> cert = cX509::copyOf(p.certificate());
        if (cert) {
            cert->getSKI();
            cert->getAKI();
            cert->getCrlDistPoints();
            cert->getKeyUsage();
            cert->getThumbprint();
        }
    }
    ERR_clear_error();
    if (log.preOpenBuffer) log.preOpenBuffer->clear();
    return 0;
}
