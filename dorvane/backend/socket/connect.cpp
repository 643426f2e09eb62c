// dorvane.backend.socket.connect: Connection, one TCP session with the trading server on an
// asyncio loop (framing, compression, request handles, reply matching, keep-alive, events), and
// Socket, the stream protocol of its TCP connection.
#include "connect_common.hpp"
#include "connect_connection.hpp"
#include "connect_header.hpp"
#include "connect_socket.hpp"

namespace py = pybind11;

PYBIND11_MODULE(connect, m) {
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

    dorvane_connect::init_names(m);
    dorvane_connect::HeaderCodec::init(m.attr("protocol").attr("HEADER"));
    dorvane_connect::bind_connection(m);
    dorvane_connect::bind_socket(m);
}
