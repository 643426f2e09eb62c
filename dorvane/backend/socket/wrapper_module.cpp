#include "wrapper_module.hpp"

#include <dlfcn.h>

namespace dorvane_wrapper {

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

std::string module_folder() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&module_folder), &info) || !info.dli_fname)
        pyglue::raise(PyExc_ImportError, "cannot locate the facade module's file");
    std::string path = info.dli_fname;
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool truthy(py::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

void log(const char* level, py::handle arg) { global("log").attr(level)(arg); }

}  // namespace dorvane_wrapper
