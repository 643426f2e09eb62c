// libFuzzer target: the network input parser of the connection module - Socket.data_received,
// which cuts the received stream into messages, and the native header codec behind it - on
// hostile bytes, checked against the protocol's own header structure.
//
// The target embeds the interpreter and links the connection module's sources (instrumented); the
// module is initialised directly and put in sys.modules under its package name, and everything
// else (the protocol package, construct, pyee) is imported from PYTHONPATH as usual.
//
// Each input is one byte choosing how the stream is cut into arrivals, then the stream. For every
// input the target checks, against a reference splitter that reads each header with the
// structure's own parse:
//   - the messages emitted are exactly the reference's (count, header fields and their types,
//     bodies), whatever the cut;
//   - a stream the reference cannot frame (an unreadable header, a negative or oversized body
//     length) ends the Socket's framing there, without an exception;
//   - the native build of each parsed header gives the structure's own bytes, or refuses where
//     the structure refuses.
// Any difference, or an exception out of data_received, aborts with a report.
#include "connect.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" PyObject* PyInit_connect();

namespace {

namespace py = pybind11;

const char* const kFields[13] = {"net_length",        "bEncrypt",   "bCompress", "bContinue", "bHts",
                                 "nDecompressLength", "nKIVO",      "nHandle",   "ip4",       "person_id",
                                 "nDecodeLength",     "nOutHandle", "ret"};

py::object* g_module;
py::object* g_connection;
py::object* g_header;

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "fuzz_frames: %s\n", why.c_str());
    if (PyErr_Occurred()) PyErr_Print();
    std::abort();
}

[[noreturn]] void fail_python(const std::string& where, py::error_already_set& e) {
    e.restore();
    fail(where);
}

// The outcome of the structure's own parse of one 48-byte header: the record, or null when it
// refuses the bytes.
py::object reference_parse(const char* data) {
    try {
        return g_header->attr("parse")(py::bytes(data, dorvane_connect::HeaderCodec::kSize));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) fail_python("interrupt in the reference parse", e);
        return py::object();
    }
}

struct Message {
    py::object header;
    std::string body;
};

// The reference splitter: whole messages from the front of the stream, until an incomplete one
// or one that cannot be framed (then `broken`).
std::vector<Message> reference_split(const std::string& stream, bool& broken) {
    std::vector<Message> out;
    broken = false;
    std::size_t pos = 0;
    const std::size_t size = dorvane_connect::HeaderCodec::kSize;
    while (stream.size() - pos >= size) {
        py::object header = reference_parse(stream.data() + pos);
        if (!header) {
            broken = true;
            break;
        }
        long long length = py::cast<long long>(header[py::str("net_length")]);
        if (length < 0 || length > dorvane_connect::kMaxBody) {
            broken = true;
            break;
        }
        if (stream.size() - pos - size < static_cast<std::size_t>(length)) break;
        out.push_back({header, stream.substr(pos + size, static_cast<std::size_t>(length))});
        pos += size + static_cast<std::size_t>(length);
    }
    return out;
}

bool same(py::handle a, py::handle b) { return a.get_type().is(b.get_type()) && a.equal(b); }

// The native build of the fields of `record` equals the structure's build (or both refuse).
void check_build(py::handle record) {
    py::dict fields;
    for (const char* name : kFields) fields[name] = record[py::str(name)];
    py::object ours, theirs;
    try {
        theirs = g_header->attr("build")(fields);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) fail_python("interrupt in the reference build", e);
    }
    try {
        ours = dorvane_connect::HeaderCodec::build(*g_header, fields);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) fail_python("interrupt in the native build", e);
    }
    if (static_cast<bool>(ours) != static_cast<bool>(theirs) || (ours && !ours.equal(theirs)))
        fail("native build differs from the structure's build");
}

void run_one(const uint8_t* data, size_t size) {
    if (size == 0) return;
    // The first byte cuts the stream: 0 gives one arrival; otherwise arrivals of 1 to 97 bytes,
    // varied by a small generator seeded with it.
    unsigned cut = data[0];
    std::string stream(reinterpret_cast<const char*>(data + 1), size - 1);

    py::object sock = g_module->attr("Socket")(*g_connection);
    py::list got, errors;
    py::object on = sock.attr("event").attr("on");
    on("data", py::arg("f") = got.attr("append"));
    on("error", py::arg("f") = errors.attr("append"));

    std::size_t pos = 0;
    unsigned state = cut * 2654435761u + 1;
    while (pos < stream.size() || (pos == 0 && stream.empty())) {
        std::size_t n = stream.size() - pos;
        if (cut != 0) {
            state = state * 1103515245u + 12345u;
            n = std::min<std::size_t>(n, 1 + (state >> 16) % 97);
        }
        try {
            sock.attr("data_received")(py::bytes(stream.data() + pos, n));
        } catch (py::error_already_set& e) {
            fail_python("exception out of Socket.data_received", e);
        }
        pos += n;
        if (n == 0) break;
    }

    bool broken = false;
    std::vector<Message> expected = reference_split(stream, broken);
    if (static_cast<std::size_t>(py::len(got)) != expected.size())
        fail("message count " + std::to_string(py::len(got)) + " != " + std::to_string(expected.size()));
    if (broken != (py::len(errors) > 0)) fail(broken ? "unframeable stream not reported" : "spurious error");
    for (std::size_t i = 0; i < expected.size(); ++i) {
        py::tuple message = got[i];
        py::object header = message[0];
        py::bytes body = message[1];
        if (std::string(body) != expected[i].body) fail("body of message " + std::to_string(i) + " differs");
        for (const char* name : kFields) {
            py::object ours = dorvane_connect::HeaderCodec::field(header, py::str(name).ptr());
            if (!same(ours, expected[i].header[py::str(name)]))
                fail(std::string("field ") + name + " of message " + std::to_string(i) + " differs");
        }
        check_build(expected[i].header);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Py_InitializeEx(0);
    PyObject* module = PyInit_connect();
    if (!module) fail("the connection module did not initialise");
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    if (PyDict_SetItemString(modules, "dorvane.backend.socket.connect", module) < 0) fail("sys.modules");
    try {
        g_module = new py::object(py::reinterpret_steal<py::object>(module));
        if (!dorvane_connect::HeaderCodec::enabled()) fail("the native header codec is off");
        py::object loop = pyglue::import_from("asyncio", "new_event_loop")();
        g_connection =
            new py::object(g_module->attr("Connection")("127.0.0.1", 1, "FUZZ", py::arg("loop") = loop));
        g_header = new py::object(pyglue::import_from("dorvane.backend.socket.protocol", "HEADER"));
    } catch (py::error_already_set& e) {
        fail_python("set-up", e);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    run_one(data, size);
    return 0;
}
