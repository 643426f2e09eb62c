#include "connect_common.hpp"

namespace dorvane_connect {

Names N;

namespace {
PyObject* intern(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw py::error_already_set();
    return s;  // kept for the life of the process
}
}  // namespace

void init_names(py::module_ m) {
    pyglue::ThisModule::get().set(m);
#define DORVANE_CONNECT_INIT(n) N.n = intern(#n);
    DORVANE_CONNECT_NAMES(DORVANE_CONNECT_INIT)
#undef DORVANE_CONNECT_INIT
    N.ev_data = intern("data");
    N.ev_error = intern("error");
    N.ev_connected = intern("connected");
    N.ev_disconnected = intern("disconnected");
}

py::handle module() { return pyglue::ThisModule::get().module(); }

py::object global(PyObject* name) { return get(module(), name); }

py::object make_error(PyObject* type, const std::string& text) {
    return py::reinterpret_borrow<py::object>(type)(py::str(text));
}

void log_error(py::handle value) { call_method(global(N.log), N.error, value); }

void log_debug(py::handle text) { call_method(global(N.log), N.debug, text); }

void emit_quietly(py::handle emitter, PyObject* event, py::handle arg) {
    try {
        call_method(emitter, N.emit, py::handle(event), arg);
    } catch (py::error_already_set& e) {
        py::object raised = pyglue::fetch_exception(e);
        if (!is_exception(raised)) pyglue::raise(raised);
        if (event == N.ev_error && raised.is(arg)) return;
        log_error(raised);
    }
}

}  // namespace dorvane_connect
