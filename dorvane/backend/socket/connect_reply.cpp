#include "connect.hpp"

#include <algorithm>
#include <string>

namespace dorvane_connect {

namespace {

// The function object of Connection.data_received (set when the class is made).
PyObject* g_reply_handler = nullptr;

// Deflate expands at most about 1032:1, so a body up to this size cannot inflate past
// kMaxInflated and is decompressed in one call.
constexpr Py_ssize_t kSafeCompressed = kMaxInflated / 1032;

// `a == b` (identity first, as the interpreter's containers compare).
bool equals(py::handle a, py::handle b) {
    int r = pyglue::require(PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ));
    return r == 1;
}

Py_ssize_t size_of(py::handle obj) {
    Py_ssize_t n = pyglue::require(PyObject_Size(obj.ptr()));
    return n;
}

// A non-negative count kept in an attribute of the connection; 0 when it is absent or not one.
Py_ssize_t count_attr(py::handle self, PyObject* name) {
    PyObject* value = PyObject_GetAttr(self.ptr(), name);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        return 0;
    }
    Py_ssize_t n = PyLong_Check(value) ? PyLong_AsSsize_t(value) : 0;
    Py_DECREF(value);
    if (n == -1 && PyErr_Occurred()) PyErr_Clear();
    return n < 0 ? 0 : n;
}

// The body size of a kept reply as this module stored it; 0 for anything else.
Py_ssize_t kept_size(py::handle kept) {
    if (!PyDict_Check(kept.ptr())) return 0;
    PyObject* msg = PyDict_GetItemWithError(kept.ptr(), N::msg);  // borrowed
    if (!msg) {
        PyErr_Clear();
        return 0;
    }
    Py_ssize_t n = PyObject_Size(msg);
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    return n;
}

// The body bytes of every reply kept in `queue`.
Py_ssize_t kept_bytes(py::handle queue) {
    Py_ssize_t total = 0;
    for (py::handle kept : queue) total += kept_size(kept);
    return total;
}

// Appends {"header": header, "msg": msg} to `unsolicited`, first dropping the oldest kept replies
// while the queue holds kMaxUnsolicited replies, or while the kept bodies and this one would
// exceed kMaxUnsolicitedBytes (the newest reply is always kept). The first drop after a reset is
// logged at warning level, once; `_unsolicited_dropped` counts the drops since the reset and
// `_unsolicited_bytes` the body bytes held, for the `_unsolicited_count` replies this function
// left in the queue: a queue that others changed since (a program may take replies from it) has
// its bytes counted again, so the bound never drops replies for bytes no longer held.
void keep_unsolicited(py::handle self, py::handle header, py::handle msg) {
    py::object queue = attr(self, N::unsolicited);
    Py_ssize_t size = size_of(msg);
    Py_ssize_t held = count_attr(self, N::_unsolicited_bytes);
    Py_ssize_t dropped = count_attr(self, N::_unsolicited_dropped);
    const Py_ssize_t before = dropped;
    Py_ssize_t count = size_of(queue);
    if (count != count_attr(self, N::_unsolicited_count)) held = kept_bytes(queue);
    while (count > 0 && (count >= kMaxUnsolicited || held + size > kMaxUnsolicitedBytes)) {
        py::object old = call_method(queue, N::popleft);
        --count;
        ++dropped;
        held = count == 0 ? 0 : std::max<Py_ssize_t>(0, held - kept_size(old));
    }
    py::dict kept;
    kept[py::handle(N::header)] = header;
    kept[py::handle(N::msg)] = msg;
    call_method(queue, N::append, kept);
    set_attr(self, N::_unsolicited_bytes, py::int_(held + size));
    set_attr(self, N::_unsolicited_count, py::int_(count + 1));
    if (dropped == before) return;
    set_attr(self, N::_unsolicited_dropped, py::int_(dropped));
    if (before == 0) {
        py::str text("Unmatched replies exceed {} kept or {} bytes of bodies: dropping the oldest.");
        call_method(global(N::log), N::warning, text.format(kMaxUnsolicited, kMaxUnsolicitedBytes));
    }
}

// mapping.pop(key, None); for a dict, without the method call.
py::object pop_or_none(py::handle mapping, py::handle key) {
    if (!PyDict_CheckExact(mapping.ptr())) return call_method(mapping, N::pop, key, py::none());
    PyObject* found = PyDict_GetItemWithError(mapping.ptr(), key.ptr());  // borrowed
    if (!found) {
        pyglue::raise_if_error();
        return py::none();
    }
    py::object value = py::reinterpret_borrow<py::object>(found);
    pyglue::require(PyDict_DelItem(mapping.ptr(), key.ptr()));
    return value;
}

// Takes the request code filed under `handle` out of `_req_kivo`; None when there is none (a
// future that something other than the request side filed).
py::object taken_code(py::handle self, py::handle handle) {
    py::object codes = pyglue::attr_or(self, N::_req_kivo, py::none());
    if (!PyDict_Check(codes.ptr())) return py::none();
    return pop_or_none(codes, handle);
}

}  // namespace

void set_reply_handler(py::handle function) { g_reply_handler = function.inc_ref().ptr(); }

py::object inflate(py::handle body) {
    py::object zlib = global(N::zlib);
    Py_ssize_t size = pyglue::require(PyObject_Size(body.ptr()));
    if (size <= kSafeCompressed) return call_method(zlib, N::decompress, body);

    // The stream grows its output as it inflates and stops one byte past the bound, so a bomb
    // costs at most the bound.
    py::object stream = call_method(zlib, N::decompressobj);
    py::object out = call_method(stream, N::decompress, body, py::int_(kMaxInflated + 1));
    Py_ssize_t made = pyglue::require(PyObject_Size(out.ptr()));
    if (made > kMaxInflated || truthy(attr(stream, N::unconsumed_tail))) {
        pyglue::raise(PyExc_ValueError, "decompressed reply body exceeds the limit of " +
                                            std::to_string(kMaxInflated) + " bytes");
    }
    if (!truthy(attr(stream, N::eof))) {
        pyglue::raise(attr(zlib, N::error).ptr(),
                      "Error -5 while decompressing data: incomplete or truncated stream");
    }
    return out;
}

py::object parse_reply(py::object self, py::object nKIVO, py::object msg) {
    py::object parser = kivo_entry(self, nKIVO).second;
    if (truthy(parser)) return parser(msg);
    return msg;
}

void file_request(py::handle self, py::handle handle, py::handle nKIVO, py::handle fut) {
    py::object req_map = attr(self, N::req_map);
    pyglue::require(PyObject_SetItem(req_map.ptr(), handle.ptr(), fut.ptr()));
    py::object codes = pyglue::attr_or(self, N::_req_kivo, py::none());
    if (PyDict_Check(codes.ptr())) pyglue::require(PyDict_SetItem(codes.ptr(), handle.ptr(), nKIVO.ptr()));
}

bool withdraw_request(py::handle self, py::handle handle, py::handle fut) {
    py::object req_map = attr(self, N::req_map);
    if (!call_method(req_map, N::get, handle).is(fut)) return false;
    call_method(req_map, N::pop, handle);
    taken_code(self, handle);
    return true;
}

void handle_reply(py::object self, py::object data) {
    auto [record, msg] = unpack2(data);
    ReplyHeader header(record);
    answer_reply(self, header, msg);
}

bool is_reply_handler(py::handle listener) {
    return g_reply_handler && PyMethod_Check(listener.ptr()) &&
           PyMethod_GET_FUNCTION(listener.ptr()) == g_reply_handler;
}

void answer_reply(py::handle self, ReplyHeader& header, py::object msg) {
    py::object handle = header.field(N::nHandle);
    py::object req_map = attr(self, N::req_map);
    py::object fut = pop_or_none(req_map, handle);
    if (fut.is_none()) {
        keep_unsolicited(self, header.record(), msg);
        return;
    }
    py::object asked = taken_code(self, handle);

    py::object emitter = attr(self, N::event);
    bool skip = false;  // a future its awaiter has cancelled is not settled (nor its reply parsed)
    py::object result;
    try {
        // A reply answers the request filed under its handle only under that request's code:
        // anything else is not its answer, and is neither decompressed nor handed to a parser.
        py::object replied = header.field(N::nKIVO);
        if (!asked.is_none() && !equals(replied, asked)) {
            py::str text(
                "reply under request code {} does not answer request {} of code {}; its body is not read");
            py::object exc =
                make_error(PyExc_ValueError, text.format(replied, handle, asked).cast<std::string>());
            pyglue::settle_exception(fut, exc);
            emit_quietly(emitter, N::ev_error, exc);
            return;
        }
        py::object status = attr(attr(self, N::proto), N::STATUS_CODE);
        py::object ret = header.field(N::ret);
        if (!equals(ret, attr(status, N::success))) {
            py::object message = call_method(attr(status, N::code), N::get, ret);
            py::object exc = global(N::ServerError)(ret, message);
            pyglue::settle_exception(fut, exc);
            emit_quietly(emitter, N::ev_error, exc);
            return;
        }
        skip = truthy(call_method(fut, N::done));
        if (equals(header.field(N::bCompress), py::int_(1))) msg = inflate(msg);
        if (!skip) result = parse_reply(py::reinterpret_borrow<py::object>(self), replied, msg);
    } catch (py::error_already_set& e) {
        // A reply that cannot be read fails its own request, and only it.
        py::object why = pyglue::keep_exception(e);
        pyglue::settle_exception(fut, why);
        return;
    }
    if (!skip) pyglue::settle_result(fut, result);
    emit_quietly(emitter, N::ev_data, msg);
}

void fail_pending(py::handle req_map, py::handle exc) {
    if (!PyDict_Check(req_map.ptr())) return;
    PyObject* values = pyglue::require(PyDict_Values(req_map.ptr()));
    py::list futures = py::reinterpret_steal<py::list>(values);
    PyDict_Clear(req_map.ptr());
    // Each future is failed on its own: one that cannot be (its loop is closed) is reported to
    // its loop and the others are still failed.
    for (py::handle fut : futures) pyglue::settle_exception(fut, exc);
}

}  // namespace dorvane_connect
