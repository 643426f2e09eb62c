// dorvane.backend.error: ServerError, the exception of a failed server reply.
#include "pyglue.hpp"

namespace py = pybind11;

namespace {

// The names the module reads and sets.
namespace N {
inline const pyglue::Name __init__{"__init__"};
inline const pyglue::Name code{"code"};
inline const pyglue::Name message{"message"};
}  // namespace N

using pyglue::call_method;
using pyglue::set_attr;

// ServerError(code, message): text "{} : {}" of code and message, both kept unconverted.
void server_error_init(py::object self, py::object code, py::object message) {
    py::str text = py::str("{} : {}").format(code, message);
    call_method(py::handle(PyExc_Exception), N::__init__, self, text);
    set_attr(self, N::code, code);
    set_attr(self, N::message, message);
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
