#include "connect_pending.hpp"

namespace dorvane_connect {

void settle_result(py::handle fut, py::handle value) { pyglue::settle_result(fut, value); }

void settle_exception(py::handle fut, py::handle exc) { pyglue::settle_exception(fut, exc); }

void fail_pending(py::handle req_map, py::handle exc) {
    if (!PyDict_Check(req_map.ptr())) return;
    PyObject* values = PyDict_Values(req_map.ptr());
    if (!values) throw py::error_already_set();
    py::list futures = py::reinterpret_steal<py::list>(values);
    PyDict_Clear(req_map.ptr());
    // Each future is failed on its own: one that cannot be (its loop is closed) is reported to
    // its loop and the others are still failed.
    for (py::handle fut : futures) settle_exception(fut, exc);
}

py::object retrieve_callback() {
    static PyObject* cb = nullptr;
    if (!cb) {
        py::object f = pyglue::make_function(
            module(), "Connection.ping_aliveAsync.<locals>.retrieve",
            [](py::object fut) {
                if (!truthy(call_method(fut, N.cancelled))) call_method(fut, N.exception);
            },
            py::arg("fut"));
        cb = f.release().ptr();
    }
    return py::reinterpret_borrow<py::object>(cb);
}

}  // namespace dorvane_connect
