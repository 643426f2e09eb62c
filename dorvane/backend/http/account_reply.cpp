#include "account_reply.hpp"

namespace dorvane_account {

py::object get(py::handle mapping, const char* key, py::object fallback) {
    return mapping.attr("get")(py::str(key), std::move(fallback));
}

bool Reply::succeeded() const { return dorvane_http::reply_succeeded(reply_); }

py::object Reply::result() const { return get(reply_, "result", py::dict()); }

py::object Reply::message() const { return get(result(), "msg", py::str("")); }

py::dict plain_copy(py::handle value) {
    if (value.is_none())
        pyglue::raise(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
    if (Py_TYPE(value.ptr()) == &PyDict_Type) {
        PyObject* copy = PyDict_Copy(value.ptr());
        if (!copy) throw py::error_already_set();
        return py::reinterpret_steal<py::dict>(copy);
    }
    py::object dict_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyDict_Type));
    return py::reinterpret_steal<py::dict>(dict_type(value).release());
}

}  // namespace dorvane_account
