// An exclusive advisory lock on a folder.
#include "cFolderLock.hpp"

#include <algorithm>
#include <cerrno>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

cFolderLock::~cFolderLock() {
    withdraw();
    unlock();
}

cFolderLock::State cFolderLock::lock(const char* folder, std::chrono::milliseconds wait) {
    if (fd_ < 0) {
        fd_ = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0) return State::unlocked;
    }
    // Tried again every few milliseconds until the deadline: flock itself cannot wait for a time.
    constexpr std::chrono::milliseconds kRetry(5);
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
            lockedIn_ = cFork::generation();
            markHeld();
            return State::held;
        }
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) {
            closeUnheld();
            return State::unlocked;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            // Nothing is held: the next call opens the folder it names again (the working folder
            // may be another by then).
            closeUnheld();
            return State::busy;
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kRetry, deadline - now));
    }
}

void cFolderLock::closeUnheld() {
    close(fd_);
    fd_ = -1;
}

void cFolderLock::unlock() {
    if (fd_ < 0) return;
    // A forked child shares the parent's lock (one open file description): giving it back there
    // would free the folder under the parent's holder, so the child only closes its descriptor.
    if (lockedIn_ == cFork::generation()) flock(fd_, LOCK_UN);
    markFree();
    close(fd_);
    fd_ = -1;
}

void cFolderLock::abandonInChild() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}
