// libFuzzer target: a CRL file's bytes through the revocation-list parser (DER reading, the
// next-update check, the map of revoked serials), parsed twice so the replacement path runs too.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz_setup.hpp"
#include "cCrl.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzLogAll();
    if (size > 0x7fffffff) return 0;

    cCrlFileEntry entry("crlFile0", "/nonexistent", "fuzz.crl");
    entry.rawBytes.assign(data, static_cast<int32_t>(size));
    entry.parseCrl();
    entry.parseCrl();
    for (const auto& kv : entry.revoked) (void)X509_REVOKED_get0_serialNumber(kv.second);
    return 0;
}
