// dorvane.backend.socket.connect: Connection, one TCP session with the trading server on an
// asyncio loop (framing, compression, request handles, reply matching, keep-alive, events), and
// Socket, the stream protocol of its TCP connection.
#include "connect.hpp"

namespace dorvane_connect {

py::object make_error(PyObject* type, const std::string& text) {
    return py::reinterpret_borrow<py::object>(type)(py::str(text));
}

void log_error(py::handle value) { call_method(global(N::log), N::error, value); }

void log_debug(py::handle text) { call_method(global(N::log), N::debug, text); }

void emit_quietly(py::handle emitter, PyObject* event, py::handle arg) {
    try {
        call_method(emitter, N::emit, py::handle(event), arg);
    } catch (py::error_already_set& e) {
        py::object raised = pyglue::fetch_exception(e);
        if (!is_exception(raised)) pyglue::raise(raised);
        if (event == N::ev_error && raised.is(arg)) return;
        log_error(raised);
    }
}

}  // namespace dorvane_connect

namespace py = pybind11;

PYBIND11_MODULE(connect, m) {
    pyglue::set_module(m);
    py::options options;
    options.disable_function_signatures();

    m.attr("zlib") = py::module_::import("zlib");
    m.attr("asyncio") = py::module_::import("asyncio");
    m.attr("deque") = py::module_::import("collections").attr("deque");
    m.attr("EventEmitter") = py::module_::import("pyee").attr("EventEmitter");
    py::module_::import("dorvane.backend.socket.protocol");
    m.attr("protocol") = py::module_::import("dorvane.backend.socket").attr("protocol");
    m.attr("ServerError") = py::module_::import("dorvane.backend.error").attr("ServerError");
    m.attr("log") = py::module_::import("dorvane.backend.utils").attr("log");

    dorvane_connect::HeaderCodec::init(m.attr("protocol").attr("HEADER"));
    dorvane_connect::bind_connection(m);
    dorvane_connect::bind_socket(m);
}
