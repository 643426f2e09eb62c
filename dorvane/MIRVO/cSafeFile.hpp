// Opening the signing library's files and folders. The library writes its properties file and its
// log in the working folder, which other local users may be able to read or write, and reads
// files whose names come from outside. So every open here:
// - never follows a symbolic link at a name the library creates (the properties file, every level
//   of the log folder, the daily log file), so a planted link cannot redirect a write;
// - refuses what is not a regular file (a FIFO, a device, a folder) without blocking: the name is
//   opened non-blocking and checked with fstat, so a FIFO never stops the calling thread;
// - closes on exec;
// - creates folders 0700 and files 0600 whatever the umask, and leaves the mode of a file that
//   exists already as it is.
#pragma once
#include <sys/types.h>

#include <cstdio>
#include <string>

class cSafeFile {
public:
    // Whether the last name of a path may be a symbolic link. The caller's own files (the PKCS#12
    // file, chain files, revocation lists) may be links the user made; names the library creates in
    // the working folder may not.
    enum class Links { follow, refuse };
    // Why an open was refused.
    enum class Refusal { none, link, notRegular, notFolder, failed };
    enum class Write { truncate, append };

    cSafeFile() = default;
    ~cSafeFile();
    cSafeFile(cSafeFile&& other) noexcept;
    cSafeFile& operator=(cSafeFile&& other) noexcept;
    cSafeFile(const cSafeFile&) = delete;
    cSafeFile& operator=(const cSafeFile&) = delete;

    explicit operator bool() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Gives the descriptor up without closing it (it is no longer this object's to close).
    void forget() { fd_ = -1; }
    Refusal refusal() const { return refusal_; }
    int error() const { return error_; }  // errno of the failure (ELOOP for a link)
    // Why the open was refused, in words ("" when it was not).
    const char* why() const;

    // The regular file at path opened for reading.
    static cSafeFile openRead(const char* path, Links links);
    // The regular file name in the folder (a descriptor, or AT_FDCWD) opened for writing without
    // following a link: created 0600 when missing, else emptied (truncate) or appended to.
    static cSafeFile openWrite(int folder, const char* name, Write how);
    // The folder at path, every "/" level opened without following a link; with make, missing
    // levels are created 0700. An existing level must be a folder.
    static cSafeFile openFolder(const std::string& path, bool make);
    // Whether the entry name of the folder (a descriptor) is a regular file, links followed.
    static bool isRegularEntry(int folder, const char* name);

    // A stdio stream over the descriptor, which then belongs to the stream; null on failure (the
    // descriptor is closed then too).
    FILE* intoStream(const char* mode);
    // Writes every byte; false on a write error.
    bool writeAll(const void* data, size_t size);

private:
    static cSafeFile refused(Refusal why, int error);
    // The refusal for a name that could not be opened: what the name is, told without following it.
    static cSafeFile classify(int folder, const char* name, int error, bool wantFolder);

    int fd_ = -1;
    Refusal refusal_ = Refusal::none;
    int error_ = 0;
};
