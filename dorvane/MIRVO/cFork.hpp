// The signing library's process-wide state across fork(). A child starts with one thread, the one
// that forked, and a copy of the parent's memory: a lock held by any other thread stays held for
// good, and state that the parent is still using (its buffered log lines) is the parent's, not the
// child's. Python's multiprocessing children go on running the library, so the child must find
// every such piece usable:
//  - cForkAware: an object that knows which thread holds it; a child handler releases in the child
//    what a thread other than the forking one held (cForkSafeMutex, cFolderLock);
//  - cForkGate: fork() waits while a thread is inside one of the library's OpenSSL sections, so that
//    OpenSSL's own locks (a key's blinding lock, the provider store) are never inherited held;
//  - cFork::generation(): state that cannot be reset from a child handler (it would allocate)
//    compares the generation it was made in and adopts itself on first use in a child.
#pragma once
#include <pthread.h>

#include <atomic>
#include <cstdint>

namespace cFork {

// The number of forks from the process that loaded the library to this one: 0 there, one more in
// each generation of children.
uint32_t generation();

}  // namespace cFork

// Base of the objects the child handler visits: each is held by at most one thread at a time, and
// in a child whose forking thread did not hold it, abandonInChild() gives up what the holder had.
// An object lives in static or heap memory (or on the stack of the only thread that may fork while
// it lives): a child keeps every object listed, and there the stacks of the threads that did not
// fork are free memory, which the child's next threads take for their own.
class cForkAware {
public:
    cForkAware(const cForkAware&) = delete;
    cForkAware& operator=(const cForkAware&) = delete;

protected:
    cForkAware() = default;
    virtual ~cForkAware();

    // Enters the object into the child handler's list / takes it out. A derived class enrols at the
    // end of its constructor and withdraws first in its destructor, so that the handler never calls
    // abandonInChild() on an object that is only partly made.
    void enroll();
    void withdraw();

    // The calling thread now holds the object / no thread holds it.
    void markHeld();
    void markFree();

    // Runs in the child handler (one thread, async-signal-safe calls only) when a thread other than
    // the forking one held the object at the fork.
    virtual void abandonInChild() = 0;

private:
    friend struct cForkRegistry;
    std::atomic<bool> held_{false};
    pthread_t holder_{};
    bool enrolled_ = false;
    cForkAware* prev_ = nullptr;
    cForkAware* next_ = nullptr;
};

// A mutex that a forked child finds free, unless the forking thread itself held it (then that
// thread still holds it and releases it as usual). Meets the standard Lockable requirements.
class cForkSafeMutex : public cForkAware {
public:
    cForkSafeMutex() { enroll(); }
    ~cForkSafeMutex() override;

    void lock();
    bool try_lock();
    void unlock();

private:
    void abandonInChild() override;

    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
};

// One of the library's sections that call OpenSSL on shared objects (keys, certificates, the
// provider store). While any thread is inside one, a fork() of the process waits for it to end.
// Sections nest on one thread. A section never waits for the interpreter lock or for any lock that
// a forking thread may hold, so the wait always ends.
class cForkGate {
public:
    cForkGate();
    ~cForkGate();
    cForkGate(const cForkGate&) = delete;
    cForkGate& operator=(const cForkGate&) = delete;
};
