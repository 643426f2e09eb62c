#include "client_module.hpp"

namespace dorvane_client {

namespace {
// A strong reference, never released: the module stays loaded until the interpreter ends.
PyObject* g_module = nullptr;
}  // namespace

void set_module(py::module_ m) {
    Py_XDECREF(g_module);
    g_module = m.inc_ref().ptr();
}

py::module_ module() { return py::reinterpret_borrow<py::module_>(g_module); }

py::object global(const char* name) {
    PyObject* dict = PyModule_GetDict(g_module);  // borrowed
    PyObject* value = PyDict_GetItemString(dict, name);  // borrowed
    if (!value) pyglue::raise(PyExc_NameError, std::string("name '") + name + "' is not defined");
    return py::reinterpret_borrow<py::object>(value);
}

}  // namespace dorvane_client
