// Signatures per second of MIRVOSign::SignPkcs7 at each log level, beside the raw RSA private-key
// operation on the same key, in one process. Built and run by bench/sign.py against the signing
// library of a CMake build folder: sign_levels PKI_DIR PASSWORD SECONDS (working folder: a
// temporary folder, where it writes p7Sign.properties and the log); with LEVEL, only that level.
// Rates are per CPU second of the process.
#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "MIRVOSign.hpp"

namespace {

// CPU seconds of this process (user and system: the log's file calls count), so that a busy
// machine does not distort the rates; `openssl speed` divides by CPU time too.
double cpuSeconds() {
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

template <class F>
double rate(F f, double seconds) {
    for (int i = 0; i < 20; ++i) f();
    long n = 0;
    double start = cpuSeconds();
    double elapsed;
    do {
        for (int i = 0; i < 50; ++i) f();
        n += 50;
        elapsed = cpuSeconds() - start;
    } while (elapsed < seconds);
    return n / elapsed;
}

bool activate(const char* pki, const char* password, const char* level) {
    FILE* f = fopen("p7Sign.properties", "w");
    if (!f) return false;
    fprintf(
        f,
        "LOG.path = logs\nLOG.file = vexa.log\nLOG.level = %s\nPFX.path = %s\nPFX.file = user_modern.pfx\n"
        "PKCS7.digest = SHA256\nPKCS7.addCert = 1\nPKCS7.addPlainText = true\nPKCS7.addTimestamp = false\n",
        level, pki);
    fclose(f);
    return MIRVOSignInitial(password) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        fprintf(stderr, "usage: sign_levels PKI_DIR PASSWORD SECONDS [LEVEL]\n");
        return 2;
    }
    const double seconds = atof(argv[3]);
    // A typical order text of about 200 bytes (ASCII, so that it is Big5 as it stands).
    std::string text;
    while (text.size() < 200) text += "ACTNO=9801234567&STOCK=2330&BS=B&PRICE=585.00&QTY=1000&";
    text.resize(200);

    if (!activate(argv[1], argv[2], "OFF")) return 1;
    MIRVOSign& signer = mirvoSigner();
    EVP_PKEY* key = signer.pkcs12->privateKey();
    unsigned char digest[32] = {1, 2, 3};
    unsigned char sig[512];
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    EVP_PKEY_sign_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
    // Short rounds, each kind in turn, the best of each kept: a busy machine slows some rounds.
    const int rounds = 5;
    const char* levels[] = {"OFF", "INFO", "DEBUG"};
    double raw = 0, best[3] = {0, 0, 0};
    for (int round = 0; round < rounds; ++round) {
        raw = std::max(raw, rate(
                                [&] {
                                    size_t len = sizeof sig;
                                    EVP_PKEY_sign(ctx, sig, &len, digest, sizeof digest);
                                },
                                seconds / rounds));
        for (int i = 0; i < 3; ++i) {
            if (argc == 5 && strcmp(levels[i], argv[4]) != 0) continue;
            if (!activate(argv[1], argv[2], levels[i])) return 1;
            best[i] = std::max(best[i], rate([&] { signer.SignPkcs7(text.c_str()); }, seconds / rounds));
        }
    }
    EVP_PKEY_CTX_free(ctx);
    printf("raw RSA sign, same key         %10.1f sign/s\n", raw);
    for (int i = 0; i < 3; ++i) {
        if (best[i] > 0) printf("SignPkcs7, log level %-6s    %10.1f sign/s\n", levels[i], best[i]);
    }
    return 0;
}
