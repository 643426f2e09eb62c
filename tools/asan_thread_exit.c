/* Preloaded into the sanitized test run after the sanitizer runtimes (tools/sanitize_tests.sh).
 *
 * When the interpreter finalises while a daemon thread still runs, that thread is ended with
 * pthread_exit the next time it asks for the interpreter lock, and pthread_exit unwinds its stack
 * with a forced unwind. The sanitizer unpoisons the stack for an exception (it intercepts the
 * throw) and for longjmp, but not for this unwind: the redzones of the sanitized frames that the
 * unwind leaves stay poisoned, and the unwinder's own frames, written below the landing pads into
 * that memory, are then reported as a stack-buffer-overflow on the exiting thread (a false
 * report, often cut short as the process exits). Unpoisoning the thread's stack first, as the
 * compiler does before any call that does not return, removes it; the thread ends as before. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>

void __asan_handle_no_return(void);

void pthread_exit(void* value) {
    void (*real_exit)(void*) = (void (*)(void*))dlsym(RTLD_NEXT, "pthread_exit");
    __asan_handle_no_return();
    real_exit(value);
    __builtin_unreachable();
}
