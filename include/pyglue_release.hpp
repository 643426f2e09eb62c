// Reference release that stays safe while the interpreter finalises.
//
// The build puts this header first in every translation unit of the extension modules (-include,
// see CMakeLists.txt), and pyglue.hpp includes it before pybind11. It redefines Py_DECREF and
// Py_XDECREF, so that everything expanded after it releases through pyglue::release: py::object,
// pybind11's argument casters and call collectors (handle::dec_ref calls Py_XDECREF), the glue's
// own types, Py_CLEAR / Py_SETREF and plain Py_DECREF in the modules' code.
//
// Why: the interpreter ends a thread other than the finalising one with pthread_exit when that
// thread tries to take the interpreter lock after finalisation has begun (a daemon thread: the
// facade's loop thread, the messaging binding's delivery thread, a program's own thread). The
// forced unwind runs the C++ destructors of every frame on that thread, without the lock, while
// the main thread tears the interpreter down. A release there would touch objects and memory that
// the interpreter is freeing at the same time. pyglue::release therefore releases only when the
// interpreter is not finalising (the common, cheap test) or when the calling thread is the one
// that holds the lock; otherwise the reference is left to the dying interpreter, which is about
// to free everything anyway.
#pragma once

#if defined(PYBIND11_VERSION_MAJOR)
#error "pyglue_release.hpp must come before any pybind11 header: include pyglue.hpp first"
#endif

#include <Python.h>

// The glue's symbols stay inside each extension module (a macro, so that formatters read the line
// as the namespace it opens). Clang, which builds the fuzz targets, takes the attribute on a
// namespace only in the standard form.
#if defined(__clang__)
#define PYGLUE_HIDDEN [[gnu::visibility("hidden")]]
#else
#define PYGLUE_HIDDEN __attribute__((visibility("hidden")))
#endif

namespace PYGLUE_HIDDEN pyglue {

// True when the calling thread may release a reference now. Outside finalisation that is every
// caller (every release made then comes from a thread that holds the lock). During finalisation only
// the thread that holds the lock may: the thread that is finalising, or none. Late in
// finalisation the interpreter drops its per-thread records, and then no thread may, which also
// covers releases made by static destructors after the interpreter has gone.
namespace compat {  // include/pyglue/compat_cpython.hpp, included at the end of this header
[[gnu::always_inline]] inline bool is_finalizing();
inline PyThreadState* thread_state_or_null();
}  // namespace compat

inline bool may_release() {
    if (!compat::is_finalizing()) return true;
    PyThreadState* holder = compat::thread_state_or_null();
    return holder != nullptr && holder == PyGILState_GetThisThreadState();
}

// The release of `op` once finalisation has begun: made only by the thread that may (above). Out
// of line and marked cold, so that the release every caller inlines is the finalisation test and
// the interpreter's own decrement.
// The interpreter's own inline release (the parentheses skip the macro).
[[gnu::always_inline]] inline void decref(PyObject* op) {
#if defined(Py_REF_DEBUG)
    (Py_DECREF)(__FILE__, __LINE__, op);
#else
    (Py_DECREF)(op);
#endif
}

[[gnu::noinline, gnu::cold]] inline void release_while_finalizing(PyObject* op) {
    if (may_release()) decref(op);
}

[[gnu::always_inline]] inline void release(PyObject* op) {
    if (__builtin_expect(compat::is_finalizing(), 0)) {
        release_while_finalizing(op);
        return;
    }
    decref(op);
}

[[gnu::always_inline]] inline void release_nullable(PyObject* op) {
    if (op != nullptr) release(op);
}

}  // namespace pyglue

#undef Py_DECREF
#undef Py_XDECREF
#define Py_DECREF(op) ::pyglue::release(_PyObject_CAST(op))
#define Py_XDECREF(op) ::pyglue::release_nullable(_PyObject_CAST(op))

// The interpreter's private calls, after the release macros so that what they release goes
// through pyglue::release too.
#include "pyglue/compat_cpython.hpp"
