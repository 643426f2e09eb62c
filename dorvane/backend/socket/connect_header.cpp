#include "connect_header.hpp"

namespace dorvane_connect {

namespace {

const char* const kNames[13] = {"net_length", "bEncrypt", "bCompress", "bContinue", "bHts",
                                "nDecompressLength", "nKIVO", "nHandle", "ip4", "person_id",
                                "nDecodeLength", "nOutHandle", "ret"};

// Calls `fn(arg)`; null with the error cleared when it raises.
PyObject* call_quietly(PyObject* fn, PyObject* arg) {
    PyObject* out = PyObject_CallOneArg(fn, arg);
    if (!out) PyErr_Clear();
    return out;
}

}  // namespace

bool HeaderCodec::is_own_method(py::handle method, PyObject* function) {
    return PyMethod_Check(method.ptr()) && PyMethod_GET_FUNCTION(method.ptr()) == function &&
           PyMethod_GET_SELF(method.ptr()) == structure_;
}

py::object HeaderCodec::build(py::handle structure, py::handle fields) {
    py::object method = get(structure, N.build);
    if (enabled_ && structure.ptr() == structure_ && is_own_method(method, build_fn_)) {
        if (PyObject* out = call_quietly(compiled_build_, fields.ptr()))
            return py::reinterpret_steal<py::object>(out);
    }
    return method(fields);
}

py::object HeaderCodec::parse(py::handle parse, const char* data, Py_ssize_t size) {
    py::bytes raw(data, size);
    if (enabled_ && size == kSize && is_own_method(parse, parse_fn_)) {
        if (PyObject* out = call_quietly(compiled_parse_, raw.ptr()))
            return py::reinterpret_steal<py::object>(out);
    }
    return py::reinterpret_borrow<py::object>(parse)(raw);
}

// The compiled form must give the structure's bytes and records (same record type, field values
// and value types) over samples that reach every field's edges.
bool HeaderCodec::self_check() {
    py::object structure = py::reinterpret_borrow<py::object>(structure_);
    py::object facility_build = get(structure, N.build);
    py::object facility_parse = get(structure, N.parse);
    py::object compiled_build = py::reinterpret_borrow<py::object>(compiled_build_);
    py::object compiled_parse = py::reinterpret_borrow<py::object>(compiled_parse_);
    struct Sample {
        long long a, b, c;
        const char* text;
    };
    const Sample samples[] = {
        {0, 0, 0, ""},
        {1, 255, 105, "A123456789"},
        {-1, 7, 4294967295LL, "\xe4\xb8\xad\xe6\x96\x87"},  // two Big5 characters
        {2147483647LL, 1, 2130706433, "ABCDEFGHIJKL"},
        {-2147483647LL - 1, 128, 666, "a\xe5\x8f\xb0"},
    };
    for (const Sample& s : samples) {
        py::dict fields;
        for (const char* name : kNames) fields[name] = py::int_(0);
        fields["net_length"] = s.a;
        fields["bEncrypt"] = s.b % 256;
        fields["bContinue"] = (s.b * 7) % 256;
        fields["nDecompressLength"] = -s.a / 2;
        fields["nHandle"] = s.a;
        fields["ip4"] = s.c;
        fields["person_id"] = py::str(s.text);
        fields["nDecodeLength"] = s.c;
        fields["nOutHandle"] = s.a;
        fields["ret"] = s.c;
        py::object expected = facility_build(fields);
        py::object ours = compiled_build(fields);
        if (!expected.equal(ours) || py::len(ours) != static_cast<size_t>(kSize)) return false;
        py::object record = facility_parse(ours);
        py::object mine = compiled_parse(ours);
        // The compiled record omits the structure's internal "_io" entry; the fields are the same.
        if (!record.get_type().is(mine.get_type())) return false;
        for (const char* name : kNames) {
            py::object a = record[name], b = mine[name];
            if (!a.equal(b) || !a.get_type().is(b.get_type())) return false;
        }
    }
    return true;
}

void HeaderCodec::init(py::handle structure) {
    enabled_ = false;
    try {
        py::object build = get(structure, N.build);
        py::object parse = get(structure, N.parse);
        if (!PyMethod_Check(build.ptr()) || !PyMethod_Check(parse.ptr()) ||
            !py::hasattr(structure, "compile"))
            return;
        py::object compiled = structure.attr("compile")();
        structure_ = structure.inc_ref().ptr();
        build_fn_ = py::handle(PyMethod_GET_FUNCTION(build.ptr())).inc_ref().ptr();
        parse_fn_ = py::handle(PyMethod_GET_FUNCTION(parse.ptr())).inc_ref().ptr();
        compiled_build_ = py::object(compiled.attr("build")).release().ptr();
        compiled_parse_ = py::object(compiled.attr("parse")).release().ptr();
        enabled_ = self_check();
    } catch (py::error_already_set&) {
        enabled_ = false;  // the structure does all the work
    }
}

}  // namespace dorvane_connect
