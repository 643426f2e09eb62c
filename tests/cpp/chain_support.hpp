// Shared helpers of the chain and revocation-list tests: fixtures made once per test process by
// tests/support/make_chains.sh, a capture of the signing log, properties from text.
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

#ifndef DORVANE_SOURCE_DIR
#error "DORVANE_SOURCE_DIR must name the repository root"
#endif

namespace chaintest {

struct NameFree {
  void operator()(X509_NAME* n) const { X509_NAME_free(n); }
};
using NamePtr = std::unique_ptr<X509_NAME, NameFree>;

inline std::string makeTempDir(const char* stem) {
  std::string pattern = std::string("/tmp/") + stem + "-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) return std::string();
  return buf.data();
}

inline void removeTree(const std::string& dir) {
  if (dir.size() > 5 && dir.compare(0, 5, "/tmp/") == 0) {
    const std::string cmd = "rm -rf '" + dir + "'";
    if (std::system(cmd.c_str()) != 0) {
    }
  }
}

// The fixture folder (made once, removed at process exit).
inline const std::string& fixtures() {
  static const std::string dir = [] {
    std::string d = makeTempDir("dorvane-chains");
    const std::string cmd = std::string("sh '") + DORVANE_SOURCE_DIR + "/tests/support/make_chains.sh' '" + d +
                            "' >/dev/null 2>&1";
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

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
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

// Captures the process-wide signing log in memory for the life of the object.
class LogCapture {
 public:
  explicit LogCapture(int32_t level = 0) {
    cLog& log = mirvoLog();
    savedLevel_ = log.level;
    savedPrefix_ = log.filePrefix;
    log.filePrefix.clear();
    log.preOpenBuffer = std::make_unique<std::string>();
    log.level = level;
  }
  ~LogCapture() {
    cLog& log = mirvoLog();
    log.level = savedLevel_;
    log.filePrefix = savedPrefix_;
    log.preOpenBuffer = std::make_unique<std::string>();  // nothing left to print at exit
  }
  std::string text() const {
    const cLog& log = mirvoLog();
    return log.preOpenBuffer ? *log.preOpenBuffer : std::string();
  }
  bool has(const std::string& part) const { return text().find(part) != std::string::npos; }
  // Number of lines holding the text.
  int count(const std::string& part) const {
    const std::string t = text();
    int n = 0;
    for (size_t at = t.find(part); at != std::string::npos; at = t.find(part, at + part.size())) ++n;
    return n;
  }
  void clear() { mirvoLog().preOpenBuffer = std::make_unique<std::string>(); }

 private:
  int32_t savedLevel_ = 0;
  std::string savedPrefix_;
};

}  // namespace chaintest
