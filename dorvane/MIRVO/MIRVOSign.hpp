// The signing library's process-wide signer: reads the signing properties, sets up the log and the
// certificate chains, loads the user's PKCS#12 file, and signs Big5 text as one-line base64 DER
// PKCS#7 SignedData.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "cBytes.hpp"
#include "cCodes.hpp"
#include "cFork.hpp"
#include "cOssl.hpp"
#include "cPkcs12.hpp"

class cSignedDataMaker;

// The signing properties file that initial() reads, relative to the working directory.
inline constexpr const char* kMirvoPropertiesFile = "p7Sign.properties";

class MIRVOSign {
public:
    // Performs OpenSSL's one-time set-up of the process.
    MIRVOSign();
    // Releases the PKCS#12 object and the signer filter.
    ~MIRVOSign();
    MIRVOSign(const MIRVOSign&) = delete;
    MIRVOSign& operator=(const MIRVOSign&) = delete;

    // Reads "p7Sign.properties" in the working directory, sets the log level and log file, loads the chains
    // while none is loaded, loads the PKCS#12 file with the password (or "PFX.pswd" when the password is null
    // or empty) and, when it loads, takes it with the signing options of these properties; a failed
    // activation keeps the earlier certificate and its options. Returns the code, also kept as
    // lastError.
    int32_t initial(const char* passwd);

    // Signs the zero-terminated Big5 text (the bytes up to its terminating zero). 0, 5005, 5010,
    // 5901 or a code of SignPkcs7Bin.
    int32_t SignPkcs7(const char* plain);
    // Signs count bytes as they are: 0, 5002, 5005, 5061, 5204 or the signer filter's code. Every
    // call first drops the last signature; only a success leaves one.
    int32_t SignPkcs7Bin(const unsigned char* data, int32_t count);

    // Converts the text from "BIG5" to the target encoding into out; true on success.
    bool convertUniCodeStringToAny(const char* text, const char* target, cBytes* out);

    bool loaded = false;                       // a PKCS#12 file has been loaded (never reset)
    std::optional<std::string> digestName;     // "PKCS7.digest": "SHA1" or "SHA256" sign
    std::optional<std::string> signerFilter;   // "PFX.signerFilter"
    int32_t addCertLevel = 1;                  // 0: no certificate, 1: signer, 2+: signer and chain
    bool addTimestamp = false;                 // content-type and signing-time signed attributes
    bool addPlainText = true;                  // content attached (false: detached signature)
    std::unique_ptr<cPkcs12> pkcs12;           // credentials of the latest successful load
    bool checkValid = false;                   // validity check before signing (nothing sets it)
    bool checkKeyUsage = false;                // key-usage check before signing (nothing sets it)
    ossl_ptr<X509> lastSignerCert;             // certificate of the last signature (a reference of its own)
    std::optional<std::string> lastSignature;  // base64 of the last signature's DER, or none
    int32_t lastError = 0;                     // code of the latest operation

private:
    // The checks that checkValid and checkKeyUsage switch on; 0 when signing may go on.
    int32_t checkBeforeSign();
    // Builds the DER SignedData of data into der; 0 or a code.
    int32_t buildSignedData(BIO* in, std::string& der);
    // The same SignedData, byte for byte, made by a maker of the current credentials and options
    // when they are of its form (RSA key, no signed attributes, at most the signer certificate);
    // false when they are not or a step failed (its errors left to the caller's error scope).
    bool signWithMaker(const unsigned char* data, int32_t count, std::string& der);

    cForkSafeMutex makerMutex_;                // guards maker_
    std::shared_ptr<cSignedDataMaker> maker_;  // the maker of the latest signature of its form
};

// The process-wide signer (constructed when the signing library is loaded).
MIRVOSign& mirvoSigner();

// Initialises the process-wide signer from "p7Sign.properties" and the password.
int32_t MIRVOSignInitial(const char* passwd);
