// What the HTTP back end's modules share: the reply convention (a reply succeeded when its
// "success" text equals "true" ignoring case) and the small Python semantics their code reads
// replies and arguments with.
#pragma once

#include "pyglue.hpp"

namespace dorvane_http {

namespace py = pybind11;

// The names these helpers read, shared by every HTTP module.
namespace reply_names {
inline const pyglue::Name get{"get"};
inline const pyglue::Name lower{"lower"};
}  // namespace reply_names

// `value == text`, with the interpreter's errors.
inline bool text_equals(py::handle value, const char* text) {
    int equal = pyglue::require(PyObject_RichCompareBool(value.ptr(), py::str(text).ptr(), Py_EQ));
    return equal == 1;
}

// reply.get("success", "").lower() == "true", with the interpreter's errors.
inline bool reply_succeeded(py::handle reply) {
    namespace R = reply_names;
    return text_equals(pyglue::call_method(pyglue::call_method(reply, R::get, "success", ""), R::lower),
                       "true");
}

// getattr(obj, name, None): only a missing attribute (AttributeError) becomes None; any other
// error of the look-up propagates.
inline py::object attr_or_none(py::handle obj, py::handle name) {
    return pyglue::attr_or(obj, name.ptr(), py::none());
}

// A new plain dict made from `value` as `dict(value)` makes it: a dict is copied shallowly,
// anything else goes through the dict constructor (a mapping or an iterable of pairs). None is
// refused with the text the interpreter gives for `**None`.
inline py::dict plain_copy(py::handle value) {
    if (value.is_none()) pyglue::raise(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
    PyObject* copy =
        pyglue::require(PyDict_CheckExact(value.ptr())
                            ? PyDict_Copy(value.ptr())
                            : PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), value.ptr()));
    return py::reinterpret_steal<py::dict>(copy);
}

}  // namespace dorvane_http
