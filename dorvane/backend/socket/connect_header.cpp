#include "connect_header.hpp"

#include <cstdint>
#include <cstring>

namespace dorvane_connect {

namespace {

enum class Kind { I32, U8, U32, Text12 };

struct Field {
    const char* name;
    Kind kind;
};

// Wire order, big-endian, no gaps: 48 bytes.
constexpr Field kFields[13] = {
    {"net_length", Kind::I32}, {"bEncrypt", Kind::U8},          {"bCompress", Kind::U8},
    {"bContinue", Kind::U8},   {"bHts", Kind::U8},              {"nDecompressLength", Kind::I32},
    {"nKIVO", Kind::I32},      {"nHandle", Kind::I32},          {"ip4", Kind::U32},
    {"person_id", Kind::Text12}, {"nDecodeLength", Kind::U32},  {"nOutHandle", Kind::I32},
    {"ret", Kind::U32},
};

constexpr Py_ssize_t kTextWidth = 12;

void put32(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

std::uint32_t get32(const unsigned char* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           std::uint32_t(p[3]);
}

}  // namespace

bool HeaderCodec::is_own_method(py::handle method, PyObject* function) {
    return PyMethod_Check(method.ptr()) && PyMethod_GET_FUNCTION(method.ptr()) == function &&
           PyMethod_GET_SELF(method.ptr()) == structure_;
}

bool HeaderCodec::fast_build(py::handle fields, py::object& out) {
    if (!PyDict_CheckExact(fields.ptr())) return false;
    unsigned char wire[kSize];
    unsigned char* p = wire;
    for (int i = 0; i < 13; ++i) {
        PyObject* v = PyDict_GetItemWithError(fields.ptr(), names_[i]);
        if (!v) {
            PyErr_Clear();
            return false;
        }
        if (kFields[i].kind == Kind::Text12) {
            if (!PyUnicode_Check(v)) return false;
            PyObject* encoded = PyUnicode_AsEncodedString(v, "cp950", "strict");
            if (!encoded) {
                PyErr_Clear();
                return false;
            }
            Py_ssize_t n = PyBytes_GET_SIZE(encoded);
            if (n > kTextWidth) {
                Py_DECREF(encoded);
                return false;
            }
            std::memcpy(p, PyBytes_AS_STRING(encoded), static_cast<std::size_t>(n));
            std::memset(p + n, 0, static_cast<std::size_t>(kTextWidth - n));
            Py_DECREF(encoded);
            p += kTextWidth;
            continue;
        }
        if (!PyLong_Check(v)) return false;
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow || (x == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        switch (kFields[i].kind) {
        case Kind::U8:
            if (x < 0 || x > 0xFF) return false;
            *p++ = static_cast<unsigned char>(x);
            break;
        case Kind::I32:
            if (x < INT32_MIN || x > INT32_MAX) return false;
            put32(p, static_cast<std::uint32_t>(static_cast<std::int32_t>(x)));
            p += 4;
            break;
        case Kind::U32:
            if (x < 0 || x > 0xFFFFFFFFLL) return false;
            put32(p, static_cast<std::uint32_t>(x));
            p += 4;
            break;
        case Kind::Text12:
            break;
        }
    }
    out = py::bytes(reinterpret_cast<const char*>(wire), kSize);
    return true;
}

bool HeaderCodec::fast_parse(const char* data, py::object& out) {
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    PyObject* values[13] = {};
    auto release = [&] {
        for (PyObject*& v : values) Py_CLEAR(v);
    };
    for (int i = 0; i < 13; ++i) {
        switch (kFields[i].kind) {
        case Kind::U8:
            values[i] = PyLong_FromLong(*p++);
            break;
        case Kind::I32:
            values[i] = PyLong_FromLong(static_cast<std::int32_t>(get32(p)));
            p += 4;
            break;
        case Kind::U32:
            values[i] = PyLong_FromUnsignedLong(get32(p));
            p += 4;
            break;
        case Kind::Text12: {
            Py_ssize_t n = kTextWidth;
            while (n > 0 && p[n - 1] == 0) --n;  // the fill is stripped from the end only
            values[i] = PyUnicode_Decode(reinterpret_cast<const char*>(p), n, "cp950", "strict");
            p += kTextWidth;
            break;
        }
        }
        if (!values[i]) {
            PyErr_Clear();
            release();
            return false;
        }
    }
    PyObject* record = PyObject_CallNoArgs(container_);
    if (!record) {
        release();
        throw py::error_already_set();
    }
    py::object result = py::reinterpret_steal<py::object>(record);
    // The record carries the stream it was read from, at its end, as the facility's records do.
    py::object stream = py::reinterpret_borrow<py::object>(bytes_io_)(py::bytes(data, kSize));
    stream.attr("seek")(kSize);
    bool ok = PyObject_SetItem(record, N._io, stream.ptr()) == 0;
    for (int i = 0; ok && i < 13; ++i) ok = PyObject_SetItem(record, names_[i], values[i]) == 0;
    release();
    if (!ok) throw py::error_already_set();
    out = result;
    return true;
}

py::object HeaderCodec::build(py::handle structure, py::handle fields) {
    py::object method = get(structure, N.build);
    if (enabled_ && structure.ptr() == structure_ && is_own_method(method, build_fn_)) {
        py::object out;
        if (fast_build(fields, out)) return out;
    }
    return method(fields);
}

py::object HeaderCodec::parse(py::handle parse, const char* data, Py_ssize_t size) {
    if (enabled_ && size == kSize && is_own_method(parse, parse_fn_)) {
        py::object out;
        if (fast_parse(data, out)) return out;
    }
    return py::reinterpret_borrow<py::object>(parse)(py::bytes(data, size));
}

bool HeaderCodec::self_check() {
    py::object structure = py::reinterpret_borrow<py::object>(structure_);
    py::object facility_build = get(structure, N.build);
    py::object facility_parse = get(structure, N.parse);
    py::dict base;
    for (int i = 0; i < 13; ++i) base[names_[i]] = py::int_(0);
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
        py::dict fields(base);
        fields[names_[0]] = s.a;
        fields[names_[1]] = s.b % 256;
        fields[names_[3]] = (s.b * 7) % 256;
        fields[names_[5]] = -s.a / 2;
        fields[names_[7]] = s.a;
        fields[names_[8]] = s.c;
        fields[names_[9]] = py::str(s.text);
        fields[names_[10]] = s.c;
        fields[names_[11]] = s.a;
        fields[names_[12]] = s.c;
        py::object expected = facility_build(fields);
        py::object ours;
        if (!fast_build(fields, ours) || !expected.equal(ours)) return false;
        std::string wire = ours.cast<std::string>();
        if (static_cast<Py_ssize_t>(wire.size()) != kSize) return false;
        py::object record = facility_parse(ours);
        py::object mine;
        if (!fast_parse(wire.data(), mine)) return false;
        py::list keys_expected = py::list(record.attr("keys")());
        py::list keys_mine = py::list(mine.attr("keys")());
        if (!keys_expected.equal(keys_mine) || !record.get_type().is(mine.get_type())) return false;
        for (int i = 0; i < 13; ++i) {
            py::object a = record[names_[i]], b = mine[names_[i]];
            if (!a.equal(b) || !a.get_type().is(b.get_type())) return false;
        }
        py::object io_a = record[py::handle(N._io)], io_b = mine[py::handle(N._io)];
        if (!io_a.attr("getvalue")().equal(io_b.attr("getvalue")()) ||
            !io_a.attr("tell")().equal(io_b.attr("tell")()))
            return false;
    }
    return true;
}

void HeaderCodec::init(py::handle structure) {
    enabled_ = false;
    for (int i = 0; i < 13; ++i) {
        names_[i] = PyUnicode_InternFromString(kFields[i].name);
        if (!names_[i]) throw py::error_already_set();
    }
    try {
        py::object build = get(structure, N.build);
        py::object parse = get(structure, N.parse);
        if (!PyMethod_Check(build.ptr()) || !PyMethod_Check(parse.ptr())) return;
        structure_ = structure.inc_ref().ptr();
        build_fn_ = py::handle(PyMethod_GET_FUNCTION(build.ptr())).inc_ref().ptr();
        parse_fn_ = py::handle(PyMethod_GET_FUNCTION(parse.ptr())).inc_ref().ptr();
        bytes_io_ = pyglue::lookup("io", "BytesIO").release().ptr();
        // The record type is whatever the facility's parse gives for a sample.
        py::dict sample;
        for (int i = 0; i < 13; ++i) sample[names_[i]] = py::int_(0);
        sample[names_[9]] = py::str("");
        py::object record = parse(build(sample));
        container_ = record.get_type().inc_ref().ptr();
        enabled_ = self_check();
    } catch (py::error_already_set&) {
        enabled_ = false;  // the facility does all the work
    }
}

}  // namespace dorvane_connect
