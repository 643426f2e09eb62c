// An exclusive advisory lock on a folder.
#include "cFolderLock.hpp"

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

cFolderLock::~cFolderLock() {
    withdraw();
    unlock();
}

cFolderLock::State cFolderLock::lock(const char* folder, bool wait) {
    if (fd_ < 0) {
        fd_ = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0) return State::unlocked;
    }
    for (;;) {
        if (flock(fd_, LOCK_EX | (wait ? 0 : LOCK_NB)) == 0) {
            markHeld();
            return State::held;
        }
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK && !wait) return State::busy;
        close(fd_);
        fd_ = -1;
        return State::unlocked;
    }
}

void cFolderLock::unlock() {
    if (fd_ < 0) return;
    flock(fd_, LOCK_UN);
    markFree();
    close(fd_);
    fd_ = -1;
}

void cFolderLock::abandonInChild() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}
