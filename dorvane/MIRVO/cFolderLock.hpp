// An exclusive advisory lock on a folder (flock on a descriptor of the folder itself), that
// serialises across processes the work on a fixed file name in that folder. Locking the folder
// makes no lock file, so nothing is left behind; the lock goes with the descriptor when a process
// ends in any way.
#pragma once
#include <chrono>

#include "cFork.hpp"

class cFolderLock : public cForkAware {
public:
    enum class State {
        held,      // this object holds the folder's lock
        busy,      // another holder kept it for the whole wait; lock() may be called again
        unlocked,  // the folder cannot be opened or its file system does not lock: nothing is held
    };

    cFolderLock() { enroll(); }
    ~cFolderLock() override;

    // Takes the lock of the folder, waiting at most `wait` for other holders (none: one try). The
    // wait is bounded because anyone who can read the folder can hold its lock for ever.
    State lock(const char* folder, std::chrono::milliseconds wait = std::chrono::milliseconds(0));
    // Gives the lock back (explicitly: a forked child may share the descriptor) and closes it. In
    // a child forked while this process held it, only closes the child's copy: the lock is the
    // parent's holder's to give back.
    void unlock();

private:
    // In a child, the holder was another thread of the parent: the descriptor is closed without
    // unlocking, since the lock belongs to the parent's holder, who gives it back.
    void abandonInChild() override;
    // Closes the descriptor of a lock not taken.
    void closeUnheld();

    int fd_ = -1;
    uint32_t lockedIn_ = 0;  // the fork generation the lock was taken in
};
