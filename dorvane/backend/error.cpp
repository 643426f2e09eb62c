// dorvane.backend.error: ServerError, the exception of a failed server reply.
#include "pyglue.hpp"

namespace py = pybind11;

namespace {

// ServerError(code, message): text "{} : {}" of code and message, both kept unconverted.
void server_error_init(py::object self, py::object code, py::object message) {
    py::str text = py::str("{} : {}").format(code, message);
    py::reinterpret_borrow<py::object>(PyExc_Exception).attr("__init__")(self, text);
    py::setattr(self, "code", code);
    py::setattr(self, "message", message);
}

}  // namespace

PYBIND11_MODULE(error, m) {
    pyglue::set_module(m);
    py::object base = py::reinterpret_borrow<py::object>(PyExc_Exception);
    pyglue::PlainClass cls(m, "ServerError", py::make_tuple(base),
                           py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type)),
                           "Raise when server responses with an error.");
    cls.def("__init__", &server_error_init, py::arg("code"), py::arg("message"));
    pyglue::set_all(m, {"ServerError"});
}
