// The HTTP back end's reply convention, shared by the modules that read its replies: a reply
// succeeded when its "success" text equals "true" ignoring case.
#pragma once

#include "pyglue.hpp"

namespace dorvane_http {

namespace py = pybind11;

// reply.get("success", "").lower() == "true", with the interpreter's errors.
inline bool reply_succeeded(py::handle reply) {
    py::object flag = reply.attr("get")("success", "").attr("lower")();
    int equal = PyObject_RichCompareBool(flag.ptr(), py::str("true").ptr(), Py_EQ);
    if (equal < 0) throw py::error_already_set();
    return equal == 1;
}

}  // namespace dorvane_http
