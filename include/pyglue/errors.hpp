// Raising, clean-up on failure that lets a forced unwind pass, and the C boundary.
//
// Part of the Python glue: reached only through pyglue.hpp, which includes the parts in order.
#pragma once

#include <cxxabi.h>
#include <string>
#include <type_traits>

namespace PYGLUE_HIDDEN pyglue {

namespace py = pybind11;

// The result of a C API call that reports failure with null or -1 (an error set): the value
// itself, or the error raised to the pybind11 boundary. Written around the call:
//     py::object d = py::reinterpret_steal<py::object>(require(PyDict_New()));
//     require(PyDict_SetItem(d.ptr(), key, value));
template <class T>
T* require(T* result) {
    if (!result) throw py::error_already_set();
    return result;
}
inline int require(int result) {
    if (result < 0) throw py::error_already_set();
    return result;
}
inline Py_ssize_t require(Py_ssize_t result) {
    if (result < 0) throw py::error_already_set();
    return result;
}

// The result of a C API call whose null or -1 may also be a value (a dict look-up that finds
// nothing, PyLong_AsLong of -1): the value itself, or the error raised when one is set.
template <class T>
T checked(T result) {
    if constexpr (std::is_pointer_v<T>) {
        if (!result && PyErr_Occurred()) throw py::error_already_set();
    } else {
        if (result == static_cast<T>(-1) && PyErr_Occurred()) throw py::error_already_set();
    }
    return result;
}

// Raises the error that a C API call left set, if any.
inline void raise_if_error() {
    if (PyErr_Occurred()) throw py::error_already_set();
}

// A new reference from a C API call, owned; the error raised when it failed.
inline py::object steal(PyObject* result) { return py::reinterpret_steal<py::object>(require(result)); }

// Raise an exception instance (or class) and unwind to the pybind11 boundary.
[[noreturn]] inline void raise(py::handle exc) {
    if (PyExceptionInstance_Check(exc.ptr())) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    } else {
        PyErr_SetNone(exc.ptr());
    }
    throw py::error_already_set();
}

// Raise `type(message)`.
[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

// Handlers that must let a forced unwind (a thread ended by the interpreter at exit) pass name
// abi::__forced_unwind. That unwind is no C++ exception object: the handler's reference binds to
// null, which the undefined-behaviour sanitizer reports (and a sanitized run then fails, at random,
// whenever a daemon thread is ended inside the modules). The functions that hold such a handler are
// therefore small, built without that check, and call out to everything else, which keeps it.
#define PYGLUE_LETS_FORCED_UNWIND_PASS __attribute__((no_sanitize_undefined))

// Runs body() and returns what it returns. When it throws, a forced unwind goes on untouched, and
// any other exception runs cleanup() (which may touch Python) and then goes on. Code that cleans up
// on failure writes this instead of a `catch (...)`.
template <class Body, class Cleanup>
PYGLUE_LETS_FORCED_UNWIND_PASS decltype(auto) on_failure(Body&& body, Cleanup&& cleanup) {
    try {
        return std::forward<Body>(body)();
    } catch (abi::__forced_unwind&) {
        throw;  // the thread is ending: touch nothing
    } catch (...) {
        std::forward<Cleanup>(cleanup)();
        throw;
    }
}

// Runs body() as one level of the interpreter's recursion count (Py_EnterRecursiveCall), for a
// step that calls on into another object of its kind (a coroutine that sends into, throws into or
// closes the one it awaits): past sys.getrecursionlimit() it raises RecursionError, as a chain of
// `async def` coroutines does, where the C stack would otherwise overflow. The count goes back on
// a failure too; a forced unwind leaves it (the thread is ending).
template <class Body>
auto recursion_counted(Body&& body) {
    if (Py_EnterRecursiveCall("")) throw py::error_already_set();  // the count is already restored
    auto leave = [] { Py_LeaveRecursiveCall(); };
    if constexpr (std::is_void_v<std::invoke_result_t<Body>>) {
        on_failure(std::forward<Body>(body), leave);
        leave();
    } else {
        auto result = on_failure(std::forward<Body>(body), leave);
        leave();
        return result;
    }
}

// The error set now as a normalised instance, its traceback attached; clears the error indicator.
inline py::object take_error() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return py::reinterpret_steal<py::object>(value);
}

// The exception currently unwinding as a normalised instance; clears the error indicator.
// The caught error is emptied here, while this thread holds the lock: its release needs the lock,
// and if it stayed with `e` until the end of the catch block, a call into Python made by the
// handler that ends the thread (interpreter exit) would release it from the unwind and end the
// process instead. Do not rethrow `e` afterwards; raise the returned object.
inline py::object fetch_exception(py::error_already_set& e) {
    py::error_already_set consumed = std::move(e);
    consumed.restore();
    return take_error();
}

// True when `exc` (an exception instance or class) is of the interpreter's Exception kind, not only
// a BaseException.
inline bool is_exception(py::handle exc) {
    return PyErr_GivenExceptionMatches(exc.ptr(), PyExc_Exception) != 0;
}

// `exc` when it is an instance of Exception; anything else (an interrupt, an exit, a cancellation,
// a coroutine's close) is raised again at once. The one way code here keeps an ordinary failure to
// hand on (to a future, a log, a handler) while letting every other exception through:
//     catch (py::error_already_set& e) { py::object why = pyglue::keep_exception(e); ... }
inline py::object keep_exception(py::object exc) {
    if (!is_exception(exc)) raise(exc);
    return exc;
}

// The caught error, emptied as fetch_exception does, when it is an Exception; anything else is
// raised again.
inline py::object keep_exception(py::error_already_set& e) { return keep_exception(fetch_exception(e)); }

// An exception class derived from `base`, with a docstring.
inline py::object new_exception(py::module_& m, const char* name, const char* doc,
                                PyObject* base = PyExc_Exception) {
    std::string qualified = std::string(PyModule_GetName(m.ptr())) + "." + name;
    PyObject* cls = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base, nullptr);
    if (!cls) throw py::error_already_set();
    py::object result = py::reinterpret_steal<py::object>(cls);
    m.attr(name) = result;
    return result;
}

// Hands the exception instance `exc` to the interpreter's unraisable hook, about `obj`. The hook
// may run Python: no caught pybind11 error may be alive across this call (its destructor takes the
// lock, which ends the process if the thread is ended inside the hook); empty it first with
// fetch_exception.
inline void write_unraisable(py::handle exc, py::handle obj) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    PyErr_WriteUnraisable(obj.ptr());
}

// Sets the Python exception for the C++ exception being handled, as pybind11's own boundary does.
// A forced unwind (a thread ended by the interpreter at exit) goes on untouched.
PYGLUE_LETS_FORCED_UNWIND_PASS inline void translate_current_exception() {
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (...) {
        if (compat::translate_registered()) return;
        PyErr_SetString(PyExc_SystemError, "unhandled C++ exception");
    }
}

// Runs `f` at the C boundary (a slot or vectorcall the interpreter calls) and returns what it
// returns: a C++ exception becomes the Python exception and null, a forced unwind goes on.
template <class F>
PyObject* boundary(F&& f) {
    try {
        return f();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

}  // namespace pyglue
