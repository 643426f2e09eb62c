// Set-up shared by the libFuzzer targets of the chain-file and revocation-list readers; each target
// is one translation unit that includes this header once.
#pragma once

#include <string>

#include <sanitizer/lsan_interface.h>

#include "cLog.hpp"
#include "cOssl.hpp"

// The library's one-time OpenSSL set-up loads providers that live until the process ends: it runs
// before the first input, with leak checking off, so that only per-input leaks are reported.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    __lsan_disable();
    mirvoOpenSslInit();
    __lsan_enable();
    return 0;
}

// The library's log with every line let through into a fresh pre-open buffer, so the formatting
// code runs for each input and nothing reaches a file.
inline cLog& fuzzLogAll() {
    cLog& log = mirvoLog();
    log.level = 0;
    log.preOpenBuffer.emplace();
    return log;
}
