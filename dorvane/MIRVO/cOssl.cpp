// One-time OpenSSL set-up of the signing library and OpenSSL error texts.
#include "cOssl.hpp"

#include <mutex>

#include <openssl/provider.h>

#include "cLog.hpp"

// The loaded providers stay loaded for the life of the process (kept in globals of external
// linkage, so that they stay reachable for leak checkers however the code is optimised).
OSSL_PROVIDER* g_mirvoLegacyProvider = nullptr;
OSSL_PROVIDER* g_mirvoDefaultProvider = nullptr;

void mirvoOpenSslInit() {
    static std::once_flag once;
    std::call_once(once, [] {
        OPENSSL_init_crypto(0, nullptr);
        // Loading any provider explicitly turns off the automatic "default" one, so both are loaded:
        // "legacy" first for RC2-40 / 3DES PKCS#12 files, then "default" for everything else.
        OsslErrorScope errors;
        g_mirvoLegacyProvider = OSSL_PROVIDER_load(nullptr, "legacy");
        if (g_mirvoLegacyProvider == nullptr) {
            cLog& log = mirvoLog();
            const std::string why = errors.take();
            log.error().writeValue("OSSL_PROVIDER_load(legacy) failed", why);
        }
        g_mirvoDefaultProvider = OSSL_PROVIDER_load(nullptr, "default");
        if (g_mirvoDefaultProvider == nullptr) {
            cLog& log = mirvoLog();
            const std::string why = errors.take();
            log.error().writeValue("OSSL_PROVIDER_load(default) failed", why);
        }
    });
}

std::string osslErrorText(unsigned long code) {
    if (code == 0) return std::string();
    char buf[256];
    ERR_error_string_n(code, buf, sizeof buf);
    return std::string(buf);
}

OsslErrorScope::Entry OsslErrorScope::newest() {
    Entry e;
    e.code = ERR_peek_last_error_all(&e.file, &e.line, &e.func, &e.data, nullptr);
    return e;
}

// An empty queue takes no mark (ERR_set_mark fails); popping to a mark then empties the queue, which
// held only this operation's errors.
OsslErrorScope::OsslErrorScope() : before_(newest()) { ERR_set_mark(); }

std::string OsslErrorScope::take() {
    std::string text;
    if (before_.code == 0) {
        text = osslErrorText(ERR_peek_error());
    } else if (!(newest() == before_)) {
        text = osslErrorText(ERR_peek_last_error());
    }
    // Back to the mark, and marked again for what the operation does next.
    ERR_pop_to_mark();
    ERR_set_mark();
    return text;
}

bool mirvoLegacyProviderLoaded() {
    mirvoOpenSslInit();
    return g_mirvoLegacyProvider != nullptr;
}
