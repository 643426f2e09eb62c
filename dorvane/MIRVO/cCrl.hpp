// Revocation lists of one certificate chain: up to five DER CRL files named in the properties,
// each read whole, checked against its next update and turned into a map of revoked serials.
#pragma once
#include <map>
#include <memory>
#include <string>

#include "cFile.hpp"
#include "cOssl.hpp"

class cCrlFileEntry {
public:
    // title "crlFile0".."crlFile4", the list's directory and the configured file name
    cCrlFileEntry(std::string title, std::string directory, std::string fileName);
    ~cCrlFileEntry();
    cCrlFileEntry(const cCrlFileEntry&) = delete;
    cCrlFileEntry& operator=(const cCrlFileEntry&) = delete;

    std::string title;
    std::string directory;
    std::string fileName;
    cFile rawBytes;          // the file's bytes
    bool expired = false;    // set when the parsed CRL's next update has passed
    ossl_ptr<X509_CRL> crl;  // the decoded CRL
    // serial text (BN_bn2hex) -> revoked entry; the entries belong to crl, so the map is always
    // replaced together with it (and, declared after it, destroyed before it)
    std::map<std::string, X509_REVOKED*> revoked;

    // The file's path: the name itself when it begins with "/", else directory + "/" + name.
    std::string path() const;
    // Reads the file and parses it; true whenever a file name is set (read and parse may fail).
    bool loadCrl();
    // Decodes rawBytes as one DER CRL, checks its next update and rebuilds the revoked map; true
    // when a CRL was decoded. A failure keeps the previous CRL, map and expired flag.
    bool parseCrl();

    // Whether a CRL with the given next-update text has expired at the 14-digit time `now`: true
    // when now's first 14 characters compare greater (so an empty next update has expired).
    static bool isExpiredAt(const std::string& now, const std::string& nextUpdate);
};

class cCrlList {
public:
    cCrlList(std::string chainSki, std::string directory);
    ~cCrlList();
    cCrlList(const cCrlList&) = delete;
    cCrlList& operator=(const cCrlList&) = delete;

    std::string chainSki;                                         // the owning chain's configured SKI
    std::string directory;                                        // "CRL.path"
    std::map<std::string, std::unique_ptr<cCrlFileEntry>> files;  // by title

    // Adds the file under its title and reads it; true when the entry was filed.
    bool addCrlFile(const std::string& title, const std::string& fileName);
};
