// The signing library's process-wide state across fork().
#include "cFork.hpp"

namespace {

std::atomic<uint32_t> g_generation{0};

// The library's sections in OpenSSL. Writers are preferred, so that a fork waiting for the
// sections in flight is not kept waiting by new ones; a thread therefore takes it for reading only
// at its outermost section (a nested read would wait behind a waiting fork).
pthread_rwlock_t g_gate;
thread_local int t_gateDepth = 0;
// Whether this thread took the gate for its fork (prepare to parent or child handler).
thread_local bool t_gateTakenForFork = false;

void initGate() {
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&g_gate, &attr);
    pthread_rwlockattr_destroy(&attr);
}

void beforeFork();
void inParent();
void inChild();

// Sets up the gate and registers the fork handlers, once, before the first object or section.
void installHandlers() {
    static const int installed = [] {
        initGate();
        return pthread_atfork(beforeFork, inParent, inChild);
    }();
    (void)installed;
}

// The handlers are in place from the moment the library is loaded.
const bool g_installedAtLoad = (installHandlers(), true);

}  // namespace

// Every cForkAware object, for the child handler. Its lock is held only to link and unlink (and by
// the forking thread from the prepare handler to the parent or child handler).
struct cForkRegistry {
    static pthread_mutex_t mutex;
    static cForkAware* head;

    static void add(cForkAware* object) {
        pthread_mutex_lock(&mutex);
        object->prev_ = nullptr;
        object->next_ = head;
        if (head) head->prev_ = object;
        head = object;
        pthread_mutex_unlock(&mutex);
    }

    static void remove(cForkAware* object) {
        pthread_mutex_lock(&mutex);
        if (object->prev_) object->prev_->next_ = object->next_;
        if (object->next_) object->next_->prev_ = object->prev_;
        if (head == object) head = object->next_;
        pthread_mutex_unlock(&mutex);
    }

    // In the child: every object not held by the forking thread gives up what its holder had.
    static void abandonInChild() {
        const pthread_t self = pthread_self();
        for (cForkAware* p = head; p != nullptr; p = p->next_) {
            if (p->held_.load(std::memory_order_acquire) && pthread_equal(p->holder_, self)) continue;
            p->abandonInChild();
            p->held_.store(false, std::memory_order_relaxed);
        }
        pthread_mutex_unlock(&mutex);  // taken by the forking thread in the prepare handler
    }
};

pthread_mutex_t cForkRegistry::mutex = PTHREAD_MUTEX_INITIALIZER;
cForkAware* cForkRegistry::head = nullptr;

namespace {

void beforeFork() {
    if (t_gateDepth == 0) {
        pthread_rwlock_wrlock(&g_gate);
        t_gateTakenForFork = true;
    }
    pthread_mutex_lock(&cForkRegistry::mutex);
}

void inParent() {
    pthread_mutex_unlock(&cForkRegistry::mutex);
    if (t_gateTakenForFork) {
        t_gateTakenForFork = false;
        pthread_rwlock_unlock(&g_gate);
    }
}

void inChild() {
    g_generation.fetch_add(1, std::memory_order_relaxed);
    t_gateTakenForFork = false;
    initGate();
    if (t_gateDepth > 0) pthread_rwlock_rdlock(&g_gate);  // the forking thread was inside a section
    cForkRegistry::abandonInChild();
}

}  // namespace

uint32_t cFork::generation() { return g_generation.load(std::memory_order_relaxed); }

cForkAware::~cForkAware() { withdraw(); }

void cForkAware::enroll() {
    installHandlers();
    cForkRegistry::add(this);
    enrolled_ = true;
}

void cForkAware::withdraw() {
    if (!enrolled_) return;
    cForkRegistry::remove(this);
    enrolled_ = false;
}

void cForkAware::markHeld() {
    holder_ = pthread_self();
    held_.store(true, std::memory_order_release);
}

void cForkAware::markFree() { held_.store(false, std::memory_order_release); }

cForkSafeMutex::~cForkSafeMutex() {
    withdraw();
    pthread_mutex_destroy(&mutex_);
}

void cForkSafeMutex::lock() {
    pthread_mutex_lock(&mutex_);
    markHeld();
}

bool cForkSafeMutex::try_lock() {
    if (pthread_mutex_trylock(&mutex_) != 0) return false;
    markHeld();
    return true;
}

void cForkSafeMutex::unlock() {
    markFree();
    pthread_mutex_unlock(&mutex_);
}

// The holder does not exist in the child: a fresh, free mutex in its place.
void cForkSafeMutex::abandonInChild() { pthread_mutex_init(&mutex_, nullptr); }

cForkGate::cForkGate() {
    installHandlers();
    if (t_gateDepth++ == 0) pthread_rwlock_rdlock(&g_gate);
}

cForkGate::~cForkGate() {
    if (--t_gateDepth == 0) pthread_rwlock_unlock(&g_gate);
}
