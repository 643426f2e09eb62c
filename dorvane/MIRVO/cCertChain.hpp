// Certificate-authority chains that the signer may attach to a signature: one chain per ".p7b"
// file (DER PKCS#7 SignedData) of the chain folder, self-verified against its own certificates
// and filed under its configured subject key identifier.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "cCrl.hpp"
#include "cOssl.hpp"
#include "cX509.hpp"

class cProperty;

// Appends the names (no paths) of the folder's regular files (links to regular files included)
// whose name ends in ".p7b" in any case, in the order the file system gives; a folder or a FIFO of
// such a name is no chain file. False for an empty folder text or a folder that cannot be read.
bool listP7bFiles(const std::string& folder, std::vector<std::string>& names);

class cCertChainEntry {
public:
    // Copies its inputs (the PKCS#7 with PKCS7_dup), creates the revocation-list set, self-verifies
    // and loads the revocation lists; `loaded` tells the outcome. p7 and props may be null.
    cCertChainEntry(const std::string& slotKey, const std::string& configuredSki, PKCS7* p7,
                    const cProperty* props);
    ~cCertChainEntry();
    cCertChainEntry(const cCertChainEntry&) = delete;
    cCertChainEntry& operator=(const cCertChainEntry&) = delete;

    bool loaded = false;
    std::string slotKey;                                   // "P7B%d"
    std::string configuredSki;                             // the slot's "P7B%d.SKI"
    ossl_ptr<PKCS7> content;                               // own copy of the file's PKCS#7
    ossl_ptr<X509_STORE> store;                            // built by selfVerify
    std::set<std::string> subjects;                        // one-line subjects of verified CA certs
    std::map<std::string, std::unique_ptr<cX509>> skiMap;  // SKI hex -> verified CA certificate
    std::unique_ptr<cCrlList> crlList;

    // The SignedData's certificate list (null when there is none).
    STACK_OF(X509) * certificates() const;
    // Verifies every root and certificate-authority certificate against the chain's own
    // certificates; true when all of them verified and there is a root.
    bool selfVerify();
    // 0 verified, a positive X509_V_ERR_* code, or -1 when no verification took place.
    int32_t verifyCert(X509* cert);
    // Whether the name's one-line text is one of the verified subjects.
    bool hasSubject(const X509_NAME* name) const;
    // Fills the revocation lists from "<slot key>.crlFile0".."crlFile4"; true when the list exists
    // and properties were given.
    bool loadCrlList(const cProperty* props);
};

class cCertChainList {
public:
    cCertChainList() = default;
    ~cCertChainList();
    cCertChainList(const cCertChainList&) = delete;
    cCertChainList& operator=(const cCertChainList&) = delete;

    std::string folder;                                              // "P7B.path" of the latest load
    std::map<std::string, std::unique_ptr<cCertChainEntry>> chains;  // by configured SKI

    // Loads the chains of slots P7B0..P7B9 into the map; true when every configured file that could
    // be opened was accepted (also when none was).
    bool loadCertChainFiles(const cProperty* props);

    enum class SlotResult { Rejected, Accepted };
    // Reads one DER PKCS#7 from bio and, when it is a SignedData with certificates, builds and files
    // its chain entry (the steps of one opened slot of loadCertChainFiles).
    SlotResult loadChainSlot(int slot, const std::string& configuredSki, BIO* bio, const cProperty* props);

    // The chain of the signer certificate, from the top (root) down to its direct issuer, found by
    // following authority key identifiers in the chain filed under the signer's AKI. The list
    // refers to certificates owned by the chain entries (it frees only itself). Null when
    // no chain is filed under the signer's AKI. The walk ends at a root, a missing link, or a
    // certificate already taken.
    X509RefStackPtr prepareCertChain(const X509* signer) const;
};

// The process-wide chain list of the signing library.
cCertChainList& mirvoChainList();
