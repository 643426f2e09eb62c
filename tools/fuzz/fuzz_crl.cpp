// libFuzzer target: a CRL file's bytes through the revocation-list parser (DER reading, the
// next-update check, the map of revoked serials), parsed twice so the replacement path runs too.
#include <cstddef>
#include <cstdint>
#include <memory>

#include <sanitizer/lsan_interface.h>

#include "cCrl.hpp"
#include "cLog.hpp"

// The library's one-time OpenSSL set-up loads providers that live until the process ends: it runs
// before the first input, with leak checking off, so that only per-input leaks are reported.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  __lsan_disable();
  mirvoOpenSslInit();
  __lsan_enable();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  cLog& log = mirvoLog();
  log.level = 0;
  log.preOpenBuffer = std::make_unique<std::string>();
  if (size > 0x7fffffff) return 0;

  cCrlFileEntry entry("crlFile0", "/nonexistent", "fuzz.crl");
  entry.rawBytes.assign(data, static_cast<int32_t>(size));
  entry.parseCrl();
  entry.parseCrl();
  for (const auto& kv : entry.revoked) (void)X509_REVOKED_get0_serialNumber(kv.second);
  return 0;
}
