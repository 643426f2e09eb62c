// Small pieces of Python semantics: dropping references in ordinary code, truth, number text, unpacking,
// awaitability.
//
// Part of the Python glue: reached only through pyglue.hpp, which includes the parts in order.
#pragma once

#include <string>
#include <utility>

namespace PYGLUE_HIDDEN pyglue {

namespace py = pybind11;

// Releases `obj` now, in ordinary code, and leaves it empty. A reference whose release may run a
// program's own finaliser (a callback's result, a callback, an argument the program passed) is
// dropped with this at the end of the entry point that holds it, never left to a destructor: the
// finaliser may give up the interpreter lock (sleep, close a file) just as the interpreter starts
// to finalise, and a thread ended then inside a destructor ends the process (std::terminate),
// where in ordinary code the forced unwind simply goes on. An assignment over a held reference
// releases it too, and pybind11's move assignment is noexcept: drop the old value first.
inline void drop(py::object& obj) {
    PyObject* p = obj.release().ptr();
    Py_XDECREF(p);
}
inline void drop(py::object&& obj) { drop(obj); }

// Runs body(), the release of `self` (a glue type's tp_dealloc, `dealloc`), untracked and through
// the interpreter's trashcan: a release nested too deep inside others (an object that holds the
// next link of a long chain: a coroutine awaiting the next, a decorated function) is put off until
// the outer one ends, so releasing a chain of any depth does not overflow the C stack.
template <class Body>
void release_in_trashcan(PyObject* self, destructor dealloc, Body&& body) {
    PyObject_GC_UnTrack(self);
    // clang-format off
    Py_TRASHCAN_BEGIN(self, dealloc)
        body();
    Py_TRASHCAN_END
    // clang-format on
}

// Small Python semantics.

// `bool(value)`, with the interpreter's errors.
inline bool truthy(py::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// The text of `value` in fixed point with `decimals` digits after the point, exactly as the
// interpreter's "{:.<decimals>f}" gives it (correctly rounded from the exact binary value, ties to
// even). The interpreter's own conversion is used because the C library's ("%f", strtod, streams)
// follows the process's LC_NUMERIC, which a program may set to a decimal-comma locale.
inline std::string fixed_text(double value, int decimals) {
    char* text = PyOS_double_to_string(value, 'f', decimals, 0, nullptr);
    if (!text) throw py::error_already_set();
    std::string out(text);
    PyMem_Free(text);
    return out;
}

// `a, b = value`, with the interpreter's own unpacking errors.
inline std::pair<py::object, py::object> unpack2(py::handle value) {
    PyObject* v = value.ptr();
    if (PyTuple_CheckExact(v) && PyTuple_GET_SIZE(v) == 2) {
        return {py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(v, 0)),
                py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(v, 1))};
    }
    PyObject* it = PyObject_GetIter(v);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            raise(PyExc_TypeError,
                  std::string("cannot unpack non-iterable ") + Py_TYPE(value.ptr())->tp_name + " object");
        }
        throw py::error_already_set();
    }
    py::object iter = py::reinterpret_steal<py::object>(it);
    py::object items[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* item = PyIter_Next(iter.ptr());
        if (!item) {
            if (PyErr_Occurred()) throw py::error_already_set();
            raise(PyExc_ValueError,
                  "not enough values to unpack (expected 2, got " + std::to_string(i) + ")");
        }
        items[i] = py::reinterpret_steal<py::object>(item);
    }
    PyObject* extra = PyIter_Next(iter.ptr());
    if (extra) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return {std::move(items[0]), std::move(items[1])};
}

// A generator made by a types.coroutine function (generator-based coroutines): the one kind of
// generator that `await` takes, as the interpreter marks it with CO_ITERABLE_COROUTINE.
inline bool is_generator_coroutine(py::handle x) {
    if (!PyGen_CheckExact(x.ptr())) return false;
    PyObject* code = PyObject_GetAttrString(x.ptr(), "gi_code");
    if (!code) throw py::error_already_set();
    bool marked =
        PyCode_Check(code) && (reinterpret_cast<PyCodeObject*>(code)->co_flags & CO_ITERABLE_COROUTINE);
    Py_DECREF(code);
    return marked;
}

// `await x` accepts an object with __await__ or a types.coroutine generator; anything else fails with the
// interpreter's own TypeError.
inline void require_awaitable(py::handle x) {
    PyAsyncMethods* as = Py_TYPE(x.ptr())->tp_as_async;
    if ((as && as->am_await) || is_generator_coroutine(x)) return;
    PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                 Py_TYPE(x.ptr())->tp_name);
    throw py::error_already_set();
}

}  // namespace pyglue
