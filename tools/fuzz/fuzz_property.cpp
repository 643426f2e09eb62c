// libFuzzer target: the properties parser and its getters, the signer-filter text parsers, and the
// hex / base64 encoders, on hostile bytes.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "cChars.hpp"
#include "cLog.hpp"
#include "cOssl.hpp"
#include "cPkcs12.hpp"
#include "cProperty.hpp"

// The library's one-time OpenSSL set-up (providers that live to process end) runs before the
// first input, so that per-input leak checks do not count it.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    mirvoOpenSslInit();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    cLog& log = mirvoLog();
    log.level = 0;  // every line is formatted, then dropped below
    const std::string text(reinterpret_cast<const char*>(data), size);

    cProperty p;
    p.parse(text.c_str());
    for (const auto& entry : p.properties) {
        p.getProperty(entry.first.c_str());
        p.getPropertyInt(entry.first.c_str());
        p.getPropertyBool(entry.first.c_str());
    }
    p.getProperty("PFX.signerFilter");
    p.getPropertyInt("PKCS7.addCert");
    p.getPropertyBool("PKCS7.addPlainText");

    // The first half as a signer-filter condition, the second as a one-line name.
    const std::string condition = text.substr(0, size / 2), name = text.substr(size / 2);
    cPkcs12 pkcs12;
    pkcs12.checkFilterByCertSubject(condition, name);
    pkcs12.checkFilterByCertIssuer(condition, name);
    std::set<std::string> values;
    pkcs12.parseFilterNames(condition, "S_O=", values);
    pkcs12.parseCertDistingNames(name, "OU=", values);
    pkcs12.checkSignerFilter(text.c_str());  // no certificate: 5010 without reading the text

    cChars chars;
    chars.toHex(data, static_cast<int32_t>(size));
    chars.base64Encode(data, static_cast<int32_t>(size));
    equalsIgnoreCase(condition.c_str(), name.c_str());

    if (log.preOpenBuffer) log.preOpenBuffer->clear();
    return 0;
}
