// The connection module's internal declarations, file by file: Connection, one TCP session with
// the trading server on an asyncio loop, and Socket, the stream protocol of its TCP connection.
#pragma once

#include "pyglue.hpp"

#include <cstddef>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace dorvane_connect {

namespace py = pybind11;

// ---------------------------------------------------------------------------------------------
// connect.cpp: the module, the names it reads and sets, and logging.

// Largest message body the client accepts on the wire: a hostile length must not make it
// allocate without limit.
inline constexpr Py_ssize_t kMaxBody = 64 * 1024 * 1024;

// Largest reply body after decompression. The replies this protocol has are small: a login or
// logout reply is one JSON object of about a dozen short texts (well under 4 KiB), a stock order
// reply one fixed record of a few hundred bytes, a keep-alive reply empty. 4 MiB leaves a
// thousandfold room above them, while a body that inflates further (a zlib bomb) is refused
// before it is parsed, and its decompression never allocates past this bound.
inline constexpr Py_ssize_t kMaxInflated = 4 * 1024 * 1024;

// Bounds of `unsolicited`, the replies that match no request: the most recent kMaxUnsolicited
// replies are kept, and fewer when their bodies pass kMaxUnsolicitedBytes, so a server that keeps
// sending them cannot grow the client without limit.
inline constexpr Py_ssize_t kMaxUnsolicited = 1000;
inline constexpr Py_ssize_t kMaxUnsolicitedBytes = 4 * 1024 * 1024;

// The names of every attribute, method, event and global the module touches.
namespace N {
inline const pyglue::Name transport{"transport"};
inline const pyglue::Name connection{"connection"};
inline const pyglue::Name header{"header"};
inline const pyglue::Name header_size{"header_size"};
inline const pyglue::Name event{"event"};
inline const pyglue::Name _state{"_state"};
inline const pyglue::Name host{"host"};
inline const pyglue::Name port{"port"};
inline const pyglue::Name _person_id{"_person_id"};
inline const pyglue::Name _loop{"_loop"};
inline const pyglue::Name _ping_duration{"_ping_duration"};
inline const pyglue::Name local_port{"local_port"};
inline const pyglue::Name ip4{"ip4"};
inline const pyglue::Name proto{"proto"};
inline const pyglue::Name nHandle{"nHandle"};
inline const pyglue::Name payload{"payload"};
inline const pyglue::Name decompress_length{"decompress_length"};
inline const pyglue::Name person_id{"person_id"};
inline const pyglue::Name req_map{"req_map"};
inline const pyglue::Name _req_kivo{"_req_kivo"};
inline const pyglue::Name _keepalives{"_keepalives"};
inline const pyglue::Name add{"add"};
inline const pyglue::Name discard{"discard"};
inline const pyglue::Name current_task{"current_task"};
inline const pyglue::Name get_coro{"get_coro"};
inline const pyglue::Name _get_running_loop{"_get_running_loop"};
inline const pyglue::Name _socket{"_socket"};
inline const pyglue::Name unsolicited{"unsolicited"};
inline const pyglue::Name _unsolicited_bytes{"_unsolicited_bytes"};
inline const pyglue::Name _unsolicited_dropped{"_unsolicited_dropped"};
inline const pyglue::Name _unsolicited_count{"_unsolicited_count"};
inline const pyglue::Name popleft{"popleft"};
inline const pyglue::Name msg{"msg"};
inline const pyglue::Name warning{"warning"};
inline const pyglue::Name _connecting{"_connecting"};
inline const pyglue::Name _connect_attempt{"_connect_attempt"};
inline const pyglue::Name remove_done_callback{"remove_done_callback"};
inline const pyglue::Name HEADER{"HEADER"};
inline const pyglue::Name HEADER_SIZE{"HEADER_SIZE"};
inline const pyglue::Name STATUS_CODE{"STATUS_CODE"};
inline const pyglue::Name gen_header{"gen_header"};
inline const pyglue::Name ip_convert{"ip_convert"};
inline const pyglue::Name kivo_map{"kivo_map"};
inline const pyglue::Name success{"success"};
inline const pyglue::Name code{"code"};
inline const pyglue::Name net_length{"net_length"};
inline const pyglue::Name ret{"ret"};
inline const pyglue::Name bCompress{"bCompress"};
inline const pyglue::Name nKIVO{"nKIVO"};
inline const pyglue::Name nDecompressLength{"nDecompressLength"};
inline const pyglue::Name zlib{"zlib"};
inline const pyglue::Name asyncio{"asyncio"};
inline const pyglue::Name deque{"deque"};
inline const pyglue::Name EventEmitter{"EventEmitter"};
inline const pyglue::Name protocol{"protocol"};
inline const pyglue::Name ServerError{"ServerError"};
inline const pyglue::Name log{"log"};
inline const pyglue::Name Socket{"Socket"};
inline const pyglue::Name emit{"emit"};
inline const pyglue::Name _call_handlers{"_call_handlers"};
inline const pyglue::Name _emit_run{"_emit_run"};
inline const pyglue::Name _emit_handle_potential_error{"_emit_handle_potential_error"};
inline const pyglue::Name _events{"_events"};
inline const pyglue::Name _lock{"_lock"};
inline const pyglue::Name values{"values"};
inline const pyglue::Name on{"on"};
inline const pyglue::Name remove_all_listeners{"remove_all_listeners"};
inline const pyglue::Name create_future{"create_future"};
inline const pyglue::Name add_done_callback{"add_done_callback"};
inline const pyglue::Name set_result{"set_result"};
inline const pyglue::Name set_exception{"set_exception"};
inline const pyglue::Name done{"done"};
inline const pyglue::Name cancelled{"cancelled"};
inline const pyglue::Name cancel{"cancel"};
inline const pyglue::Name get_loop{"get_loop"};
inline const pyglue::Name exception{"exception"};
inline const pyglue::Name result{"result"};
inline const pyglue::Name write{"write"};
inline const pyglue::Name close{"close"};
inline const pyglue::Name abort{"abort"};
inline const pyglue::Name is_closing{"is_closing"};
inline const pyglue::Name is_closed{"is_closed"};
inline const pyglue::Name get_extra_info{"get_extra_info"};
inline const pyglue::Name is_alive{"is_alive"};
inline const pyglue::Name send{"send"};
inline const pyglue::Name reset{"reset"};
inline const pyglue::Name data_received{"data_received"};
inline const pyglue::Name _onError{"_onError"};
inline const pyglue::Name _onConnectionCreated{"_onConnectionCreated"};
inline const pyglue::Name compress{"compress"};
inline const pyglue::Name decompress{"decompress"};
inline const pyglue::Name decompressobj{"decompressobj"};
inline const pyglue::Name unconsumed_tail{"unconsumed_tail"};
inline const pyglue::Name eof{"eof"};
inline const pyglue::Name build{"build"};
inline const pyglue::Name parse{"parse"};
inline const pyglue::Name get{"get"};
inline const pyglue::Name pop{"pop"};
inline const pyglue::Name append{"append"};
inline const pyglue::Name error{"error"};
inline const pyglue::Name debug{"debug"};
inline const pyglue::Name sleep{"sleep"};
inline const pyglue::Name run_coroutine_threadsafe{"run_coroutine_threadsafe"};
inline const pyglue::Name get_event_loop{"get_event_loop"};
inline const pyglue::Name create_connection{"create_connection"};
inline const pyglue::Name create_task{"create_task"};
inline const pyglue::Name ev_data{"data"};
inline const pyglue::Name ev_error{"error"};
inline const pyglue::Name ev_connected{"connected"};
inline const pyglue::Name ev_disconnected{"disconnected"};
}  // namespace N

using pyglue::attr;
using pyglue::call_method;
using pyglue::global;
using pyglue::set_attr;
using pyglue::truthy;
using pyglue::unpack2;

// A contiguous read-only view of a bytes-like object, released on scope exit.
class BufferView {
public:
    explicit BufferView(py::handle obj) {
        pyglue::require(PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_SIMPLE));
    }
    // The view holds a reference to its object: released only where the glue's release may (a
    // frame unwound by a thread that the exiting interpreter ends leaves it to the interpreter).
    ~BufferView() {
        if (pyglue::may_release()) PyBuffer_Release(&view_);
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    const char* data() const { return static_cast<const char*>(view_.buf); }
    Py_ssize_t size() const { return view_.len; }

private:
    Py_buffer view_;
};

// builtins.<type>(text)
py::object make_error(PyObject* type, const std::string& text);

// log.error(value) / log.debug(text) of the module's logger, looked up at each call.
void log_error(py::handle value);
void log_debug(py::handle text);

// ---------------------------------------------------------------------------------------------
// connect_emit.cpp: Emitter, the emission on the connection's and the sockets' event emitters.
//
// pyee's emit runs four Python methods per event (emit, _call_handlers, _emit_run and, with no
// listener, _emit_handle_potential_error), which cost more than the listener they call. When the
// emitter is one this module knows, Emitter does the same steps itself: a copy of the event's
// listeners in subscription order, each called with the arguments in turn (an exception of one
// leaves the emission, as in pyee), and for "error" with nobody listening the emitted exception
// raised (PyeeException for a value that is no Exception). It knows an emitter when
//   - its class is pyee's EventEmitter itself, and the class's emission methods are still the
//     ones pyee defined when this module was loaded (checked through the class's version tag);
//   - nothing set on the instance stands in for them;
//   - its `_events` is a dict, the event's table an OrderedDict, and its `_lock` pyee's lock,
//     not held (an emission on another thread's lock waits in pyee);
// and hands anything else to the emitter's own emit.
class Emitter {
public:
    // Called once at module load with pyee's EventEmitter.
    static void init(py::handle emitter_class);

    // emitter.emit(event) or emitter.emit(event, arg) (an empty `arg` for none): whether any
    // listener was called.
    static bool emit(py::handle emitter, PyObject* event, py::handle arg = py::handle());

    // The listeners of `event` as the emission would call them, when the emitter is one Emitter
    // knows (true): None for none, the listener itself for one, else a list. False otherwise.
    static bool snapshot(py::handle emitter, PyObject* event, py::object& listeners);

private:
    static bool class_intact();

    static inline bool known_ = false;
    static inline PyTypeObject* type_ = nullptr;
    static inline PyObject* functions_[4] = {};
    static inline unsigned int version_ = 0;
    static inline PyObject* lock_type_ = nullptr;
    static inline PyObject* unhandled_type_ = nullptr;
};

// emitter.emit(name, *args) whose failures never leave the caller: a listener's exception is
// logged; "error" with nobody listening (the emitter raises the emitted exception itself) is
// dropped, because the failure has already reached its future. BaseExceptions that are not
// Exceptions (interrupts) still propagate.
void emit_quietly(py::handle emitter, PyObject* event, py::handle arg);

// Runs `emission` (of `event` with `arg`) with emit_quietly's treatment of its failures.
template <class Emission>
void run_quietly(PyObject* event, py::handle arg, Emission&& emission) {
    try {
        emission();
    } catch (py::error_already_set& e) {
        py::object raised = pyglue::keep_exception(e);
        if (event == N::ev_error && raised.is(arg)) return;
        log_error(raised);
    }
}

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
    // The header's fields (wire order: the layout in connect_header.cpp).
    static constexpr int kFieldCount = 13;

    // Called once at module load with the protocol package's header structure.
    static void init(py::handle structure);

    // structure.build(fields)
    static py::object build(py::handle structure, py::handle fields);
    // The same for the dict of the thirteen `values` in wire order (made only when the structure
    // builds it).
    static py::object build_fields(py::handle structure, PyObject* const* values);
    // That dict, and the interned name of the field at `index` in wire order.
    static py::dict fields_dict(PyObject* const* values);
    static PyObject* name(int index);

    // `parse` is the structure's bound parse method as read by the caller; `data` holds `size`
    // bytes, all of which are given to parse.
    static py::object parse(py::handle parse, const char* data, Py_ssize_t size);

    // header.<name> of a parsed header: an item read for the known record type, else getattr.
    static py::object field(py::handle header, PyObject* name);

    // Whether parse(data[:size]) is a record the native codec makes itself (the known structure's
    // own parse, 48 bytes, a text that decodes): the fields can then be read from the bytes.
    static bool readable(py::handle parse, const char* data, Py_ssize_t size);
    // Of 48 readable bytes: the record parse makes of them, one field's value, the body length.
    static py::object record(const unsigned char* data);
    static py::object raw_field(const unsigned char* data, PyObject* name);
    static long long raw_net_length(const unsigned char* data);

    static bool enabled() { return enabled_; }

private:
    static bool is_own_method(py::handle method, PyObject* function);
    static bool self_check();
    // Native forms: null (no error set) where the value is not one the native path takes.
    static PyObject* build_native(PyObject* fields);
    static PyObject* build_values(PyObject* const* values);
    static PyObject* parse_native(const unsigned char* data);

    static inline bool enabled_ = false;
    static inline PyObject* structure_ = nullptr;    // the known structure
    static inline PyObject* build_fn_ = nullptr;     // the facility's build function
    static inline PyObject* parse_fn_ = nullptr;     // the facility's parse function
    static inline PyObject* record_type_ = nullptr;  // the type of the facility's parsed records
};

// A reply's parsed header as the reply path reads it: either a record of the header structure,
// or the 48 bytes that the native codec reads, whose record is made only when something keeps it
// (a reply that matches no request). Either gives the same field values.
class ReplyHeader {
public:
    explicit ReplyHeader(py::object record) : record_(std::move(record)) {}
    explicit ReplyHeader(const char* raw) : native_(true) { std::memcpy(raw_, raw, sizeof raw_); }

    py::object field(PyObject* name) const {
        return native_ ? HeaderCodec::raw_field(raw_, name) : HeaderCodec::field(record_, name);
    }
    py::object record() {
        if (!record_) record_ = HeaderCodec::record(raw_);
        return record_;
    }

private:
    py::object record_;
    bool native_ = false;
    unsigned char raw_[HeaderCodec::kSize] = {};
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
            if (bytes_.capacity() > kKeep)
                std::vector<char>().swap(bytes_);
            else
                bytes_.clear();
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
                        py::object compress, py::object cb, py::object loop, const py::kwargs& kwargs);

// Connection._send(nKIVO, person_id, payload, compress=True, cb=None, loop=None, **kwargs)
py::object send_payload(py::object self, py::object nKIVO, py::object person_id, py::object payload,
                        py::object compress, py::object cb, py::object loop, const py::kwargs& kwargs);

// Connection._build(nKIVO, body): the builder's pair (header mapping, payload).
py::object build_body(py::object self, py::object nKIVO, py::object body);

// HeaderFields: gen_header's work for a request, done by the connection itself while the
// protocol package's gen_header is the protocol core's own function. That function fills a new
// dict of the thirteen fields in wire order from its keywords and defaults, with ip4 converted by
// the core's ip_convert (read at each call) and ret 0, which the connection then completes; here
// the thirteen values are filled in place, the same way, and the dict is made only when the header
// structure needs it. At load, the defaults are proved against gen_header's own dict; a keyword
// gen_header does not take leaves the request to it (and its error).
class HeaderFields {
public:
    // Called once at module load with the protocol core module.
    static void init(py::handle core);
    static bool is_own(py::handle gen_header) { return enabled_ && gen_header.ptr() == gen_header_; }
    // The header bytes; false (nothing done) when a keyword is not one gen_header fills.
    static bool build(py::handle proto, py::handle nKIVO, py::handle person_id, py::handle ip4,
                      py::handle nHandle, py::handle payload, py::handle decompress_length, py::dict kwargs,
                      py::object& out);

private:
    static inline bool enabled_ = false;
    static inline PyObject* gen_header_ = nullptr;
    static inline PyObject* core_ = nullptr;  // the core module, whose ip_convert is read
};

// Connection._build_header(nKIVO, person_id, nHandle, payload, decompress_length=0, **kwargs)
py::object build_header(py::object self, py::object nKIVO, py::object person_id, py::object nHandle,
                        py::object payload, py::object decompress_length, const py::kwargs& kwargs);

// Makes the request side's constants; called once at module load.
void init_requests();

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

// The same for a reply whose header is at hand: what data_received does after the unpacking.
void answer_reply(py::handle self, ReplyHeader& header, py::object msg);

// Whether `listener` is a Connection's own data_received bound to its instance (the method the
// connection wires to its Socket's "data"), which the Socket then calls through answer_reply.
bool is_reply_handler(py::handle listener);
void set_reply_handler(py::handle function);

// Connection._parse(nKIVO, msg)
py::object parse_reply(py::object self, py::object nKIVO, py::object msg);

// zlib.decompress(body), refusing output beyond kMaxInflated and truncated streams.
py::object inflate(py::handle body);

// Fails every future still pending in `req_map` with `exc` and empties the map.
void fail_pending(py::handle req_map, py::handle exc);

// Files a written request: its future under its handle in `req_map`, its request code under the
// same handle in `_req_kivo`, so that the reply can be checked to answer that request.
void file_request(py::handle self, py::handle handle, py::handle nKIVO, py::handle fut);

// Takes the request filed under `handle` out when its future is still `fut` (a request nobody
// waits for any more): its late reply then counts as unmatched. Returns whether it was there.
bool withdraw_request(py::handle self, py::handle handle, py::handle fut);

}  // namespace dorvane_connect
