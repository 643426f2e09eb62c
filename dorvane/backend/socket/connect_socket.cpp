#include "connect.hpp"

#include <string>

namespace dorvane_connect {

namespace {

const char* const kCapsule = "dorvane.backend.socket.connect.SocketState";

py::object new_state() {
    auto* state = new SocketState();
    PyObject* cap = PyCapsule_New(state, kCapsule, [](PyObject* c) {
        delete static_cast<SocketState*>(PyCapsule_GetPointer(c, kCapsule));
    });
    if (!cap) {
        delete state;
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(cap);
}

void socket_init(py::object self, py::object connection) {
    set_attr(self, N::transport, py::none());
    set_attr(self, N::connection, connection);
    py::object proto = attr(connection, N::proto);
    set_attr(self, N::header, attr(proto, N::HEADER));
    set_attr(self, N::header_size, attr(proto, N::HEADER_SIZE));
    set_attr(self, N::_state, new_state());  // holds the receive buffer `_data`
    set_attr(self, N::event, global(N::EventEmitter)());
}

void connection_made(py::object self, py::object transport) { set_attr(self, N::transport, transport); }

void connection_lost(py::object self, py::object exc) { socket_lost(self, exc); }

// The stream cannot be framed any further: fail every pending request with the reason, close the
// transport and run the lost-connection path with the reason as its error.
void stream_broken(py::handle self, SocketState& state, const std::string& reason) {
    state.broken = true;
    state.frames.clear();
    py::object exc = make_error(PyExc_ConnectionError, "Invalid message from the trading server: " + reason +
                                                           "; the connection is closed.");
    py::object conn = attr(self, N::connection);
    if (attr(conn, N::_socket).is(self)) fail_pending(attr(conn, N::req_map), exc);
    py::object transport = attr(self, N::transport);
    if (!transport.is_none()) call_method(transport, N::abort);
    socket_lost(self, exc);
}

// Emits "data" with (parsed header, body). When the one listener is a Connection's own
// data_received, the Socket hands it the reply directly, without the pair and, for a native
// header, without its record. A failing listener must not stop the framing of the messages
// behind this one.
void publish(py::handle emitter, ReplyHeader& header, py::object body) {
    py::object listeners;
    if (Emitter::snapshot(emitter, N::ev_data, listeners) && is_reply_handler(listeners)) {
        py::handle connection = PyMethod_GET_SELF(listeners.ptr());
        run_quietly(N::ev_data, py::handle(), [&] { answer_reply(connection, header, body); });
        return;
    }
    py::tuple message = py::make_tuple(header.record(), body);
    emit_quietly(emitter, N::ev_data, message);
}

void data_received(py::object self, py::object data) {
    py::object keep;
    SocketState& state = socket_state(self, keep);
    if (state.lost || state.broken) return;
    {
        BufferView view(data);
        state.frames.append(view.data(), static_cast<std::size_t>(view.size()));
    }
    py::object header_struct = attr(self, N::header);
    Py_ssize_t header_size = py::cast<Py_ssize_t>(attr(self, N::header_size));
    if (header_size <= 0) throw py::value_error("header_size must be positive");
    py::object parse = attr(header_struct, N::parse);
    py::object emitter = attr(self, N::event);

    FrameBuffer& frames = state.frames;
    while (!state.lost && !state.broken && frames.size() >= static_cast<std::size_t>(header_size)) {
        // A header the native codec reads is parsed into a record only when one is handed on.
        const bool native = HeaderCodec::readable(parse, frames.data(), header_size);
        py::object header;
        long long length = 0;
        try {
            if (native) {
                length = HeaderCodec::raw_net_length(reinterpret_cast<const unsigned char*>(frames.data()));
            } else {
                header = HeaderCodec::parse(parse, frames.data(), header_size);
                py::object net_length = HeaderCodec::field(header, N::net_length);
                length = pyglue::checked(PyLong_AsLongLong(net_length.ptr()));
            }
        } catch (py::error_already_set& e) {
            py::object why = pyglue::keep_exception(e);
            stream_broken(self, state,
                          "unreadable message header (" + py::str(why).cast<std::string>() + ")");
            return;
        }
        if (length < 0) {
            stream_broken(self, state, "negative body length " + std::to_string(length));
            return;
        }
        if (length > kMaxBody) {
            stream_broken(self, state,
                          "body length " + std::to_string(length) + " exceeds the limit of " +
                              std::to_string(kMaxBody) + " bytes");
            return;
        }
        std::size_t end = static_cast<std::size_t>(header_size) + static_cast<std::size_t>(length);
        if (frames.size() < end) return;  // incomplete: the header is parsed again next time
        py::bytes body(frames.data() + header_size, static_cast<Py_ssize_t>(length));
        ReplyHeader reply = native ? ReplyHeader(frames.data()) : ReplyHeader(header);
        frames.consume(end);
        publish(emitter, reply, body);
    }
}

py::bytes data_get(py::object self) {
    py::object keep;
    SocketState& state = socket_state(self, keep);
    return py::bytes(state.frames.data(), static_cast<Py_ssize_t>(state.frames.size()));
}

void data_set(py::object self, py::object value) {
    py::object keep;
    SocketState& state = socket_state(self, keep);
    BufferView view(value);
    state.frames.assign(view.data(), static_cast<std::size_t>(view.size()));
}

}  // namespace

SocketState& socket_state(py::handle sock, py::object& keep) {
    keep = attr(sock, N::_state);
    return *static_cast<SocketState*>(pyglue::require(PyCapsule_GetPointer(keep.ptr(), kCapsule)));
}

void socket_lost(py::handle sock, py::handle exc) {
    py::object keep;
    SocketState& state = socket_state(sock, keep);
    if (state.lost) return;
    state.lost = true;
    state.frames.clear();  // an incomplete message goes with its connection

    // A Socket that its connection no longer holds (a later connection replaced it) must not
    // reset the live connection.
    py::object current = attr(attr(sock, N::connection), N::_socket);
    bool superseded = !current.is_none() && !current.is(sock);
    py::object emitter = attr(sock, N::event);
    if (!exc.is_none() && truthy(exc)) {
        if (!superseded) {
            // The reset below must happen even when nobody listens to "error" any more.
            emit_quietly(emitter, N::ev_error, exc);
        }
        log_debug(py::str(exc));
    }
    if (!superseded) Emitter::emit(emitter, N::ev_disconnected);
    log_debug(py::str("disconnected"));
}

void bind_socket(py::module_& m) {
    py::object base = pyglue::import_from("asyncio", "Protocol");
    pyglue::PlainClass cls(m, "Socket", py::make_tuple(base));
    cls.def("__init__", &socket_init, py::arg("connection"));
    cls.def("connection_made", &connection_made, py::arg("transport"));
    cls.def("connection_lost", &connection_lost, py::arg("exc"));
    cls.def("data_received", &data_received, py::arg("data"));
    py::object getter = cls.method("_data", &data_get);
    py::object setter = cls.method("_data", &data_set, py::arg("value"));
    py::object prop = pyglue::import_from("builtins", "property")(
        getter, setter, py::none(), "receive buffer: bytes not yet cut into messages");
    cls.set("_data", prop);
}

}  // namespace dorvane_connect
