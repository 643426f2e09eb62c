// Shared helpers of the chain and revocation-list tests: the fixtures of
// tests/support/make_chains.sh, their fixed SKIs and certificates, properties from text.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cLog.hpp"
#include "cOssl.hpp"
#include "cProperty.hpp"
#include "mirvo_test_support.hpp"

#ifndef DORVANE_SOURCE_DIR
#error "DORVANE_SOURCE_DIR must name the repository root"
#endif

namespace chaintest {

struct NameFree {
    void operator()(X509_NAME* n) const { X509_NAME_free(n); }
};
using NamePtr = std::unique_ptr<X509_NAME, NameFree>;

using mirvotest::LogCapture;
using mirvotest::makeTempDir;
using mirvotest::readFile;
using mirvotest::removeTree;
using mirvotest::writeFile;

// Lines left in the log's memory buffer would be printed at exit: drop them instead.
inline const int kQuietExit = (std::atexit([] { mirvoLog().preOpenBuffer.reset(); }), 0);

// The fixture folder: the one ctest's setup test made for this run (MIRVO_CHAIN_DIR, used when
// ctest gives the fixture environment), else a set made once for this process and removed at exit.
inline const std::string& fixtures() {
    static const std::string dir = [] {
#ifdef MIRVO_CHAIN_DIR
        const char* underCtest = std::getenv("MIRVO_PKI_DIR");
        if (underCtest && *underCtest && std::ifstream(MIRVO_CHAIN_DIR "/skis.txt"))
            return std::string(MIRVO_CHAIN_DIR);
#endif
        std::string d = makeTempDir("dorvane-chains");
        const std::string cmd = std::string("sh '") + DORVANE_SOURCE_DIR +
                                "/tests/support/make_chains.sh' '" + d + "' >/dev/null 2>&1";
        if (d.empty() || std::system(cmd.c_str()) != 0) {
            ADD_FAILURE() << "make_chains.sh failed";
        }
        static std::string forCleanup;
        forCleanup = d;
        std::atexit([] { removeTree(forCleanup); });
        return d;
    }();
    return dir;
}

inline std::string p7bDir() { return fixtures() + "/p7b"; }
inline std::string crlDir() { return fixtures() + "/crl"; }

// The fixed SKIs of the fixture hierarchy, by certificate name (R, I1, I2, X, J2, A, B).
inline std::string ski(const std::string& name) {
    std::ifstream in(fixtures() + "/skis.txt");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, name.size() + 1, name + "=") == 0) return line.substr(name.size() + 1);
    ADD_FAILURE() << "no SKI " << name;
    return std::string();
}

// A DER certificate of the fixtures' certs/ folder.
inline ossl_ptr<X509> loadCert(const std::string& name) {
    const std::string der = readFile(fixtures() + "/certs/" + name + ".der");
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    return ossl_ptr<X509>(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

// Properties parsed from text.
inline std::unique_ptr<cProperty> props(const std::string& text) {
    auto p = std::make_unique<cProperty>();
    p->parse(text.c_str());
    return p;
}

}  // namespace chaintest
