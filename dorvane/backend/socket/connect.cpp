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
    run_quietly(event, arg, [&] { Emitter::emit(emitter, event, arg); });
}

}  // namespace dorvane_connect

namespace py = pybind11;

PYBIND11_MODULE(connect, m) {
    pyglue::set_module(m);
    namespace N = dorvane_connect::N;
    using pyglue::attr;
    using pyglue::set_attr;

    set_attr(m, N::zlib, pyglue::import_module("zlib"));
    set_attr(m, N::asyncio, pyglue::import_module("asyncio"));
    set_attr(m, N::deque, pyglue::import_from("collections", "deque"));
    set_attr(m, N::EventEmitter, pyglue::import_from("pyee", "EventEmitter"));
    set_attr(m, N::protocol, pyglue::import_from("dorvane.backend.socket", "protocol"));
    set_attr(m, N::ServerError, pyglue::import_from("dorvane.backend.error", "ServerError"));
    set_attr(m, N::log, pyglue::import_from("dorvane.backend.utils", "log"));

    dorvane_connect::Emitter::init(attr(m, N::EventEmitter));
    dorvane_connect::HeaderCodec::init(attr(attr(m, N::protocol), N::HEADER));
    // After the codec, whose field names it uses.
    dorvane_connect::HeaderFields::init(pyglue::import_module("dorvane.backend.socket.protocol.core"));
    dorvane_connect::init_requests();
    dorvane_connect::bind_connection(m);
    dorvane_connect::bind_socket(m);
}
