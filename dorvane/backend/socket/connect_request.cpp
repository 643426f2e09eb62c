#include "connect.hpp"

#include <cstring>

namespace dorvane_connect {

namespace {

[[noreturn]] void raise_twice(const char* function, const char* argument) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, argument);
    throw py::error_already_set();
}

py::object empty_bytes() { return py::reinterpret_steal<py::object>(PyBytes_FromStringAndSize("", 0)); }

// Whether the keyword `name` was given.
bool given(const py::kwargs& kwargs, PyObject* name) {
    if (PyDict_GET_SIZE(kwargs.ptr()) == 0) return false;
    return pyglue::require(PyDict_Contains(kwargs.ptr(), name)) == 1;
}

// The (None, None) that a request code without an entry gives: one tuple of constants, as the
// interpreter's own constant would be, made at module load (init_requests).
PyObject* g_no_entry = nullptr;

py::object no_entry() { return py::reinterpret_borrow<py::object>(g_no_entry); }

}  // namespace

void init_requests() {
    if (!g_no_entry) g_no_entry = pyglue::require(PyTuple_Pack(2, Py_None, Py_None));
}

std::pair<py::object, py::object> kivo_entry(py::handle self, py::handle nKIVO) {
    py::object table = attr(attr(self, N::proto), N::kivo_map);
    py::object pair;
    if (PyDict_CheckExact(table.ptr())) {
        // dict.get itself, without the method call (an exact dict's get cannot be replaced).
        PyObject* found = PyDict_GetItemWithError(table.ptr(), nKIVO.ptr());  // borrowed
        if (!found) pyglue::raise_if_error();
        pair = found ? py::reinterpret_borrow<py::object>(found) : no_entry();
    } else {
        pair = call_method(table, N::get, nKIVO, no_entry());
    }
    return unpack2(pair);
}

py::object build_body(py::object self, py::object nKIVO, py::object body) {
    py::object builder = kivo_entry(self, nKIVO).first;
    if (!truthy(builder)) {
        pyglue::raise(PyExc_Exception,
                      py::str("KIVO[{}] handler is not exist.").format(nKIVO).cast<std::string>());
    }
    py::dict fields;
    pyglue::require(PyDict_Update(fields.ptr(), body.ptr()));
    PyObject* r = pyglue::require(PyObject_Call(builder.ptr(), py::tuple().ptr(), fields.ptr()));
    return py::reinterpret_steal<py::object>(r);
}

py::object build_header(py::object self, py::object nKIVO, py::object person_id, py::object nHandle,
                        py::object payload, py::object decompress_length, const py::kwargs& kwargs) {
    py::object ip4 = attr(self, N::ip4);
    // gen_header's keywords: made as a dict only for gen_header itself, and at once when the
    // caller added keywords, so that one given twice fails before anything else is read.
    auto keywords = [&] {
        py::dict fields;
        fields[py::handle(N::nKIVO)] = nKIVO;
        fields[py::handle(N::person_id)] = person_id;
        fields[py::handle(N::ip4)] = ip4;
        for (auto item : kwargs) {
            int taken = pyglue::require(PyDict_Contains(fields.ptr(), item.first.ptr()));
            if (taken) {
                PyErr_Format(PyExc_TypeError, "gen_header() got multiple values for keyword argument '%S'",
                             item.first.ptr());
                throw py::error_already_set();
            }
            fields[item.first] = item.second;
        }
        return fields;
    };
    const bool added = PyDict_GET_SIZE(kwargs.ptr()) != 0;
    py::dict fields;
    if (added) fields = keywords();
    py::object proto = attr(self, N::proto);
    py::object gen_header = attr(proto, N::gen_header);
    if (HeaderFields::is_own(gen_header)) {
        py::object built;
        if (HeaderFields::build(proto, nKIVO, person_id, ip4, nHandle, payload, decompress_length, kwargs,
                                built))
            return built;
    }
    if (!added) fields = keywords();
    PyObject* made = pyglue::require(PyObject_Call(gen_header.ptr(), py::tuple().ptr(), fields.ptr()));
    py::object header = py::reinterpret_steal<py::object>(made);

    Py_ssize_t length = pyglue::require(PyObject_Size(payload.ptr()));
    header[py::handle(N::nHandle)] = nHandle;
    header[py::handle(N::net_length)] = py::int_(length);
    header[py::handle(N::nDecompressLength)] = decompress_length;
    int above = pyglue::require(PyObject_RichCompareBool(decompress_length.ptr(), py::int_(0).ptr(), Py_GT));
    if (above) header[py::handle(N::bCompress)] = py::int_(1);
    return HeaderCodec::build(attr(proto, N::HEADER), header);
}

py::object send_payload(py::object self, py::object nKIVO, py::object person_id, py::object payload,
                        py::object compress, py::object cb, py::object loop, const py::kwargs& kwargs) {
    if (loop.is_none()) loop = attr(self, N::_loop);

    if (!truthy(is_alive(self))) {
        // Refused before anything is written: the future carries the failure.
        py::object fut = call_method(loop, N::create_future);
        if (truthy(cb)) call_method(fut, N::add_done_callback, cb);
        call_method(fut, N::set_exception, make_error(PyExc_Exception, "Please login first."));
        return fut;
    }

    py::object handle = get_handle(self);
    for (const pyglue::Name* name : {&N::nHandle, &N::decompress_length, &N::payload}) {
        if (given(kwargs, *name)) raise_twice("_build_header", name->text());
    }
    py::object body;
    py::object header;
    {
        BufferView plain(payload);  // a payload that is not bytes-like fails here
        if (compress.ptr() == Py_True && plain.size() > 0) {
            body = call_method(global(N::zlib), N::compress, payload);
            header = build_header(self, nKIVO, person_id, handle, body, py::int_(plain.size()), kwargs);
        } else {
            // Uncompressed, and an empty payload is an empty body even when compression was asked
            // for (a zlib stream of nothing would go out flagged as uncompressed).
            body = PyBytes_Check(payload.ptr()) ? payload
                                                : py::reinterpret_steal<py::object>(
                                                      PyBytes_FromStringAndSize(plain.data(), plain.size()));
            header = build_header(self, nKIVO, person_id, handle, body, py::int_(0), kwargs);
        }
    }

    // Header and body in one write.
    py::object message;
    {
        BufferView h(header), b(body);
        PyObject* joined = pyglue::require(PyBytes_FromStringAndSize(nullptr, h.size() + b.size()));
        message = py::reinterpret_steal<py::object>(joined);
        char* out = PyBytes_AS_STRING(joined);
        std::memcpy(out, h.data(), static_cast<std::size_t>(h.size()));
        if (b.size()) std::memcpy(out + h.size(), b.data(), static_cast<std::size_t>(b.size()));
    }

    // The future exists only once the request could be made, so a request that fails to build
    // leaves no future behind.
    py::object fut = call_method(loop, N::create_future);
    if (truthy(cb)) call_method(fut, N::add_done_callback, cb);
    try {
        call_method(attr(attr(self, N::_socket), N::transport), N::write, message);
    } catch (py::error_already_set& e) {
        py::object why = pyglue::keep_exception(e);
        call_method(fut, N::set_exception, why);
        return fut;
    }
    file_request(self, handle, nKIVO, fut);
    return fut;
}

py::object send_request(py::object self, py::object nKIVO, py::object person_id, py::object data,
                        py::object compress, py::object cb, py::object loop, const py::kwargs& kwargs) {
    if (loop.is_none()) loop = attr(self, N::_loop);
    if (given(kwargs, N::payload)) raise_twice("_send", "payload");
    py::object payload;
    PyObject* d = data.ptr();
    if (PyDict_Check(d)) {
        payload = unpack2(build_body(self, nKIVO, data)).second;
    } else if (PyBytes_Check(d)) {
        payload = data;
    } else if (data.is_none()) {
        payload = empty_bytes();
    } else if (PyObject_CheckBuffer(d)) {
        PyObject* copy = pyglue::require(PyBytes_FromObject(d));
        payload = py::reinterpret_steal<py::object>(copy);
    } else {
        PyErr_Format(PyExc_TypeError, "request body must be a dict, a bytes-like object or None, not %.200s",
                     Py_TYPE(d)->tp_name);
        throw py::error_already_set();
    }
    return send_payload(self, nKIVO, person_id, payload, compress, cb, loop, kwargs);
}

}  // namespace dorvane_connect
