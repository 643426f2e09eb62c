// Opening the signing library's files and folders.
#include "cSafeFile.hpp"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t kFileMode = 0600;
constexpr mode_t kFolderMode = 0700;

int closeKeepingErrno(int fd) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
}

}  // namespace

cSafeFile::~cSafeFile() {
    if (fd_ >= 0) close(fd_);
}

cSafeFile::cSafeFile(cSafeFile&& other) noexcept
    : fd_(other.fd_), refusal_(other.refusal_), error_(other.error_) {
    other.fd_ = -1;
}

cSafeFile& cSafeFile::operator=(cSafeFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) close(fd_);
        fd_ = other.fd_;
        refusal_ = other.refusal_;
        error_ = other.error_;
        other.fd_ = -1;
    }
    return *this;
}

const char* cSafeFile::why() const {
    switch (refusal_) {
    case Refusal::none:
        return "";
    case Refusal::link:
        return "it is a symbolic link, which is not followed";
    case Refusal::notRegular:
        return "it is not a regular file";
    case Refusal::notFolder:
        return "it is not a folder";
    case Refusal::failed:
        break;
    }
    return strerror(error_);
}

cSafeFile cSafeFile::refused(Refusal why, int error) {
    cSafeFile f;
    f.refusal_ = why;
    f.error_ = error;
    return f;
}

cSafeFile cSafeFile::classify(int folder, const char* name, int error, bool wantFolder) {
    struct stat st;
    if (fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return refused(Refusal::failed, error);
    if (S_ISLNK(st.st_mode)) return refused(Refusal::link, ELOOP);
    if (wantFolder && !S_ISDIR(st.st_mode)) return refused(Refusal::notFolder, ENOTDIR);
    if (!wantFolder && !S_ISREG(st.st_mode))
        return refused(Refusal::notRegular, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    return refused(Refusal::failed, error);
}

cSafeFile cSafeFile::openRead(const char* path, Links links) {
    if (path == nullptr || *path == '\0') return refused(Refusal::failed, ENOENT);
    const bool follow = links == Links::follow;
    // A name that is no regular file is refused before it is opened: opening a device may act.
    struct stat st;
    if ((follow ? stat(path, &st) : lstat(path, &st)) != 0) return refused(Refusal::failed, errno);
    if (!follow && S_ISLNK(st.st_mode)) return refused(Refusal::link, ELOOP);
    if (!S_ISREG(st.st_mode)) return refused(Refusal::notRegular, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);

    // The name may change in between: opened non-blocking and checked again on the descriptor. The
    // flag stays: it has no effect on a regular file.
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (follow ? 0 : O_NOFOLLOW);
    cSafeFile f;
    f.fd_ = open(path, flags);
    if (f.fd_ < 0)
        return errno == ELOOP && !follow ? refused(Refusal::link, ELOOP) : refused(Refusal::failed, errno);
    if (fstat(f.fd_, &st) != 0) return refused(Refusal::failed, errno);
    if (!S_ISREG(st.st_mode)) return refused(Refusal::notRegular, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    return f;
}

cSafeFile cSafeFile::openWrite(int folder, const char* name, Write how) {
    if (name == nullptr || *name == '\0') return refused(Refusal::failed, ENOENT);
    const int flags =
        O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | (how == Write::append ? O_APPEND : 0);
    cSafeFile f;
    // A name that exists is opened as it is (the log's case: one call a line) and emptied only once
    // it is known to be a regular file. A missing one is created here, owner-only whatever the
    // umask; O_EXCL never follows a link, dangling or not, and fails when the name appeared since.
    for (int attempt = 0; attempt < 3; ++attempt) {
        f.fd_ = openat(folder, name, flags);
        if (f.fd_ >= 0) break;
        if (errno != ENOENT) return classify(folder, name, errno, false);
        f.fd_ = openat(folder, name, flags | O_CREAT | O_EXCL, kFileMode);
        if (f.fd_ >= 0) {
            fchmod(f.fd_, kFileMode);
            return f;
        }
        if (errno != EEXIST) return classify(folder, name, errno, false);
    }
    if (f.fd_ < 0) return refused(Refusal::failed, ENOENT);
    struct stat st;
    if (fstat(f.fd_, &st) != 0) return refused(Refusal::failed, errno);
    if (!S_ISREG(st.st_mode)) return refused(Refusal::notRegular, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    if (how == Write::truncate && ftruncate(f.fd_, 0) != 0) return refused(Refusal::failed, errno);
    return f;
}

cSafeFile cSafeFile::openFolder(const std::string& path, bool make) {
    if (path.empty()) return refused(Refusal::failed, ENOENT);
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW;
    cSafeFile at;  // the level reached so far; none: the working folder
    if (path[0] == '/') {
        at.fd_ = open("/", flags);
        if (at.fd_ < 0) return refused(Refusal::failed, errno);
    }
    size_t begin = 0;
    while (begin <= path.size()) {
        size_t end = path.find('/', begin);
        if (end == std::string::npos) end = path.size();
        const std::string level = path.substr(begin, end - begin);
        begin = end + 1;
        if (level.empty() || level == ".") continue;
        const int parent = at ? at.fd_ : AT_FDCWD;
        cSafeFile next;
        next.fd_ = openat(parent, level.c_str(), flags);
        if (next.fd_ < 0 && errno == ENOENT && make) {
            if (mkdirat(parent, level.c_str(), kFolderMode) == 0) {
                next.fd_ = openat(parent, level.c_str(), flags);
                if (next.fd_ >= 0) fchmod(next.fd_, kFolderMode);
            } else if (errno == EEXIST) {
                next.fd_ = openat(parent, level.c_str(), flags);
            } else {
                return refused(Refusal::failed, errno);
            }
        }
        if (next.fd_ < 0) return classify(parent, level.c_str(), errno, true);
        at = std::move(next);
    }
    if (!at) {
        // The path names the working folder itself ("." or "./").
        at.fd_ = open(".", flags);
        if (at.fd_ < 0) return refused(Refusal::failed, errno);
    }
    return at;
}

bool cSafeFile::isRegularEntry(int folder, const char* name) {
    struct stat st;
    return fstatat(folder, name, &st, 0) == 0 && S_ISREG(st.st_mode);
}

FILE* cSafeFile::intoStream(const char* mode) {
    if (fd_ < 0) return nullptr;
    FILE* stream = fdopen(fd_, mode);
    if (stream == nullptr) fd_ = closeKeepingErrno(fd_);
    fd_ = -1;
    return stream;
}

bool cSafeFile::writeAll(const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd_, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}
