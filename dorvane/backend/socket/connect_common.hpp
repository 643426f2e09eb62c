// Shared pieces of the connection module: interned attribute names, the module's own globals
// (read at each use, so tests may replace them), small attribute helpers and logging.
#pragma once

#include "pyglue.hpp"

#include <cstddef>

namespace dorvane_connect {

namespace py = pybind11;

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

}  // namespace dorvane_connect
