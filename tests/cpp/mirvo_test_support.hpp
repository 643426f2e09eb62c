// Shared helpers of the signing-library tests: the PKCS#12 fixture folder, a capture of the
// process-wide signing log, temporary folders and small file helpers.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <chrono>
#include <csignal>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cLog.hpp"

#ifndef DORVANE_SOURCE_DIR
#error "DORVANE_SOURCE_DIR must name the repository root"
#endif

namespace mirvotest {

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

// A temporary folder removed at the end of the scope.
struct TempDir {
    std::string path = makeTempDir("mirvo-test");
    ~TempDir() { removeTree(path); }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// The folder of tests/support/make_pki.py's fixtures: MIRVO_PKI_DIR when ctest gives it, else a
// set made once for this process in a temporary folder.
inline const std::string& pkiDir() {
    static const std::string dir = [] {
        const char* env = std::getenv("MIRVO_PKI_DIR");
        if (env && *env) return std::string(env);
        static std::string made = makeTempDir("mirvo-pki");
        const std::string cmd =
            "/usr/bin/python3 '" DORVANE_SOURCE_DIR "/tests/support/make_pki.py' '" + made + "'";
        if (made.empty() || std::system(cmd.c_str()) != 0) ADD_FAILURE() << "make_pki.py failed";
        std::atexit([] { removeTree(made); });
        return made;
    }();
    return dir;
}

inline std::string pki(const std::string& name) { return pkiDir() + "/" + name; }

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

// What waitWithin() gives for a child that did not end in time (it is killed) or did not exit.
constexpr int kHung = -2;
constexpr int kKilled = -1;

// Waits up to `seconds` for a forked child: its exit code, kKilled when a signal ended it, or kHung
// when it was still running (then it is killed and reaped).
inline int waitWithin(pid_t child, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : kKilled;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return kHung;
        }
        usleep(1000);
    }
}

inline bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Puts the process-wide log into its just-loaded state (given level, no file, a fresh buffer) for
// the life of the capture; text() is what reached the buffer.
struct LogCapture {
    explicit LogCapture(int32_t level = 0) { reset(level); }
    ~LogCapture() { reset(0); }
    static void reset(int32_t level) {
        cLog& log = mirvoLog();
        log.level = level;
        log.folderCreated = 0;
        log.filePrefix.clear();
        log.preOpenBuffer.emplace();
    }
    std::string text() const {
        cLog& log = mirvoLog();
        return log.preOpenBuffer ? *log.preOpenBuffer : std::string();
    }
    bool has(const std::string& piece) const { return text().find(piece) != std::string::npos; }
    int count(const std::string& piece) const {
        int n = 0;
        const std::string t = text();
        for (size_t at = t.find(piece); at != std::string::npos; at = t.find(piece, at + 1)) ++n;
        return n;
    }
};

}  // namespace mirvotest
