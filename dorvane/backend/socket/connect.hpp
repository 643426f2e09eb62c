// The connection module's internal declarations, file by file: Connection, one TCP session with
// the trading server on an asyncio loop, and Socket, the stream protocol of its TCP connection.
#pragma once

#include "pyglue.hpp"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace dorvane_connect {

namespace py = pybind11;

// ---------------------------------------------------------------------------------------------
// connect.cpp: the module, its interned names, its globals (read at each use, so tests may
// replace them), small attribute helpers and logging.

inline constexpr const char* kModule = "dorvane.backend.socket.connect";

// Largest message body (and largest decompressed reply body) the client accepts: a hostile
// length must not make it allocate without limit.
inline constexpr Py_ssize_t kMaxBody = 64 * 1024 * 1024;

// Interned names of every attribute, method, event and global the module touches (kept in rows
// by hand: the formatter staircases a list of macro calls).
// clang-format off
#define DORVANE_CONNECT_NAMES(X)                                                                    \
    X(transport) X(connection) X(header) X(header_size) X(event) X(_state)                          \
    X(host) X(port) X(_person_id) X(_loop) X(_ping_duration) X(local_port) X(ip4) X(proto)          \
    X(nHandle) X(req_map) X(_socket) X(unsolicited) X(_connecting)                                  \
    X(HEADER) X(HEADER_SIZE) X(STATUS_CODE) X(gen_header) X(kivo_map) X(success) X(code)            \
    X(net_length) X(ret) X(bCompress) X(nKIVO) X(nDecompressLength)                                 \
    X(zlib) X(asyncio) X(deque) X(EventEmitter) X(protocol) X(ServerError) X(log) X(Socket)         \
    X(emit) X(on) X(remove_all_listeners) X(create_future) X(add_done_callback) X(set_result)      \
    X(set_exception) X(done) X(cancelled) X(exception) X(result) X(write) X(close) X(abort)         \
    X(is_closing) X(get_extra_info) X(is_alive) X(send) X(reset) X(data_received) X(_onError)      \
    X(_onConnectionCreated) X(compress) X(decompress) X(decompressobj) X(unconsumed_tail) X(eof)    \
    X(build) X(parse) X(get) X(pop) X(append) X(error) X(debug) X(sleep) X(ensure_future)          \
    X(run_coroutine_threadsafe) X(get_event_loop) X(create_connection)
// clang-format on

struct Names {
#define DORVANE_CONNECT_FIELD(n) PyObject* n = nullptr;
    DORVANE_CONNECT_NAMES(DORVANE_CONNECT_FIELD)
#undef DORVANE_CONNECT_FIELD
    PyObject* ev_data = nullptr;          // "data"
    PyObject* ev_error = nullptr;         // "error"
    PyObject* ev_connected = nullptr;     // "connected"
    PyObject* ev_disconnected = nullptr;  // "disconnected"
};

// Filled once by the module's initialisation; the strings live as long as the process.
extern Names N;
void init_names(py::module_ m);

// The module object itself (for its globals).
py::handle module();

// A global of this module, read now.
py::object global(PyObject* name);

inline py::object get(py::handle obj, PyObject* name) {
    PyObject* r = PyObject_GetAttr(obj.ptr(), name);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

inline void set(py::handle obj, PyObject* name, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name, value.ptr()) < 0) throw py::error_already_set();
}

using pyglue::truthy;

// obj.name(args...)
template <class... Args>
py::object call_method(py::handle obj, PyObject* name, Args&&... args) {
    return get(obj, name)(std::forward<Args>(args)...);
}

using pyglue::unpack2;

// A contiguous read-only view of a bytes-like object, released on scope exit.
class BufferView {
public:
    explicit BufferView(py::handle obj) {
        if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_SIMPLE) < 0) throw py::error_already_set();
    }
    ~BufferView() { PyBuffer_Release(&view_); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    const char* data() const { return static_cast<const char*>(view_.buf); }
    Py_ssize_t size() const { return view_.len; }

private:
    Py_buffer view_;
};

// True when `exc` is an instance of Exception (not only BaseException).
inline bool is_exception(py::handle exc) {
    int r = PyObject_IsInstance(exc.ptr(), PyExc_Exception);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// builtins.<type>(text)
py::object make_error(PyObject* type, const std::string& text);

// log.error(value) / log.debug(text) of the module's logger, looked up at each call.
void log_error(py::handle value);
void log_debug(py::handle text);

// emitter.emit(name, *args) whose failures never leave the caller: a listener's exception is
// logged; "error" with nobody listening (the emitter raises the emitted exception itself) is
// dropped, because the failure has already reached its future. BaseExceptions that are not
// Exceptions (interrupts) still propagate.
void emit_quietly(py::handle emitter, PyObject* event, py::handle arg);

// ---------------------------------------------------------------------------------------------
// connect_header.cpp: HeaderCodec builds and parses message headers for the connection, natively
// while the protocol package's header structure is the one it exported when this module was
// loaded.
//
// The structure facility interprets its structure in Python on every call, which costs most of a
// request's time. The codec writes and reads the 48 bytes itself when all of these hold:
//   - the structure is the object the protocol package exported at load (an identity check),
//     and its build/parse are still the facility's own methods (not replaced);
//   - at load, the native bytes and records equalled the structure's own over samples that reach
//     every field's edges (so the layout is the known one);
//   - the value at hand is one the native path accepts (an exact dict holding every field, integers
//     in range, a person id that encodes to at most 12 bytes; 48 bytes whose text decodes).
// Anything else is handed to the structure itself, so results and errors stay the facility's.
// A parsed header is the facility's record type, with the thirteen fields in wire order.

class HeaderCodec {
public:
    static constexpr Py_ssize_t kSize = 48;

    // Called once at module load with the protocol package's header structure.
    static void init(py::handle structure);

    // structure.build(fields)
    static py::object build(py::handle structure, py::handle fields);

    // `parse` is the structure's bound parse method as read by the caller; `data` holds `size`
    // bytes, all of which are given to parse.
    static py::object parse(py::handle parse, const char* data, Py_ssize_t size);

    // header.<name> of a parsed header: an item read for the known record type, else getattr.
    static py::object field(py::handle header, PyObject* name);

    static bool enabled() { return enabled_; }

private:
    static bool is_own_method(py::handle method, PyObject* function);
    static bool self_check();
    // Native forms: null (no error set) where the value is not one the native path takes.
    static PyObject* build_native(PyObject* fields);
    static PyObject* parse_native(const unsigned char* data);

    static inline bool enabled_ = false;
    static inline PyObject* structure_ = nullptr;    // the known structure
    static inline PyObject* build_fn_ = nullptr;     // the facility's build function
    static inline PyObject* parse_fn_ = nullptr;     // the facility's parse function
    static inline PyObject* record_type_ = nullptr;  // the type of the facility's parsed records
};

// ---------------------------------------------------------------------------------------------
// connect_socket.cpp: Socket, the asyncio stream protocol of one TCP connection. It cuts the
// received stream into messages (48-byte header, then net_length body bytes) and publishes them,
// with the loss of its transport, on an emitter of its own.

// The receive buffer of one TCP connection. Bytes are appended as they arrive and whole messages
// are consumed from the front; the front is reclaimed lazily, so a message that arrives in many
// pieces costs amortised linear time instead of one copy of the buffer per piece.
class FrameBuffer {
public:
    void append(const char* data, std::size_t n) {
        if (start_ > 0 && start_ * 2 >= bytes_.size()) {
            bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(start_));
            start_ = 0;
        }
        bytes_.insert(bytes_.end(), data, data + n);
    }

    // Unread bytes.
    std::size_t size() const { return bytes_.size() - start_; }
    const char* data() const { return bytes_.data() + start_; }

    // Drops the first n unread bytes (n <= size()).
    void consume(std::size_t n) {
        start_ += n;
        if (start_ >= bytes_.size()) {
            // Empty again: keep a small allocation for the next arrival, give a large one back.
            if (bytes_.capacity() > kKeep) std::vector<char>().swap(bytes_);
            else bytes_.clear();
            start_ = 0;
        }
    }

    void assign(const char* data, std::size_t n) {
        clear();
        bytes_.assign(data, data + n);
    }

    void clear() {
        std::vector<char>().swap(bytes_);
        start_ = 0;
    }

private:
    static constexpr std::size_t kKeep = 1 << 20;
    std::vector<char> bytes_;
    std::size_t start_ = 0;
};

// C++ state of one Socket, kept in its instance under `_state`.
struct SocketState {
    FrameBuffer frames;
    bool lost = false;    // the lost-connection path has run (it runs once)
    bool broken = false;  // the stream can no longer be trusted; further bytes are ignored
};

// The state of a Socket; its owner capsule is returned in `keep` so it outlives the caller's use.
SocketState& socket_state(py::handle sock, py::object& keep);

// The lost-connection path of a Socket, run once whoever comes first: the transport's
// connection_lost, Connection.disconnect, or a protocol error of the stream.
void socket_lost(py::handle sock, py::handle exc);

// Creates the class Socket(asyncio.Protocol) in the module.
void bind_socket(py::module_& m);

// ---------------------------------------------------------------------------------------------
// connect_connection.cpp: Connection, one TCP session with the trading server on an asyncio loop
// - its attributes, its life (connect, reset, disconnect), its four events and its keep-alive.

// Connection.is_alive(): None without a Socket, else whether its transport is still open.
py::object is_alive(py::handle self);

// Connection._get_handle(): the handle of the next request; advances the counter.
py::object get_handle(py::handle self);

// Creates the class Connection in the module.
void bind_connection(py::module_& m);

// ---------------------------------------------------------------------------------------------
// connect_request.cpp: the request side of a Connection - turning a request body into its
// payload, the payload into a (possibly compressed) body, completing and building the header,
// writing header and body in one piece and filing the request's future under its handle.

// Connection.send(nKIVO, person_id, data, compress=True, cb=None, loop=None, **kwargs)
py::object send_request(py::object self, py::object nKIVO, py::object person_id, py::object data,
                        py::object compress, py::object cb, py::object loop, py::dict kwargs);

// Connection._send(nKIVO, person_id, payload, compress=True, cb=None, loop=None, **kwargs)
py::object send_payload(py::object self, py::object nKIVO, py::object person_id, py::object payload,
                        py::object compress, py::object cb, py::object loop, py::dict kwargs);

// Connection._build(nKIVO, body): the builder's pair (header mapping, payload).
py::object build_body(py::object self, py::object nKIVO, py::object body);

// Connection._build_header(nKIVO, person_id, nHandle, payload, decompress_length=0, **kwargs)
py::object build_header(py::object self, py::object nKIVO, py::object person_id, py::object nHandle,
                        py::object payload, py::object decompress_length, py::dict kwargs);

// The (builder, parser) pair that proto.kivo_map holds for a request code, (None, None) if none.
std::pair<py::object, py::object> kivo_entry(py::handle self, py::handle nKIVO);

// ---------------------------------------------------------------------------------------------
// connect_reply.cpp: the reply side of a Connection - matching a reply to its pending request by
// handle, checking the return code, decompressing (bounded) and parsing the body, settling the
// request's future, and keeping replies that match nothing. Pending requests live in `req_map`
// (request handle -> future); their futures are settled never twice, never after their awaiter
// cancelled them, and one that cannot be settled (its loop is closed) is reported to its loop's
// exception handler while the caller goes on.

// Connection.data_received(data), data = (parsed header, body). No exception of the reply path
// leaves it: a reply that cannot be read fails its own request.
void handle_reply(py::object self, py::object data);

// Connection._parse(nKIVO, msg)
py::object parse_reply(py::object self, py::object nKIVO, py::object msg);

// zlib.decompress(body), refusing output beyond kMaxBody and truncated streams.
py::object inflate(py::handle body);

// Fails every future still pending in `req_map` with `exc` and empties the map.
void fail_pending(py::handle req_map, py::handle exc);

}  // namespace dorvane_connect
