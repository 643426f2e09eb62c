#include "connect.hpp"

#include <cstring>

namespace dorvane_connect {

namespace {

enum class Kind { S32, U8, U32, Text };

struct Field {
    const char* name;
    Py_ssize_t offset;
    Kind kind;
};

// The header's wire layout, in wire order.
constexpr int kFieldCount = HeaderCodec::kFieldCount;
constexpr Field kFields[kFieldCount] = {
    {"net_length", 0, Kind::S32},
    {"bEncrypt", 4, Kind::U8},
    {"bCompress", 5, Kind::U8},
    {"bContinue", 6, Kind::U8},
    {"bHts", 7, Kind::U8},
    {"nDecompressLength", 8, Kind::S32},
    {"nKIVO", 12, Kind::S32},
    {"nHandle", 16, Kind::S32},
    {"ip4", 20, Kind::U32},
    {"person_id", 24, Kind::Text},
    {"nDecodeLength", 36, Kind::U32},
    {"nOutHandle", 40, Kind::S32},
    {"ret", 44, Kind::U32},
};
constexpr Py_ssize_t kTextSize = 12;
constexpr const char* kTextEncoding = "cp950";

// Interned field names, in wire order (they live as long as the process).
PyObject* g_names[kFieldCount] = {};

void put_be32(unsigned char* p, unsigned long v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

unsigned long get_be32(const unsigned char* p) {
    return (static_cast<unsigned long>(p[0]) << 24) | (static_cast<unsigned long>(p[1]) << 16) |
           (static_cast<unsigned long>(p[2]) << 8) | static_cast<unsigned long>(p[3]);
}

// The integer of `v` when it is an int in [lo, hi]; false (no error set) otherwise.
bool int_in_range(PyObject* v, long long lo, long long hi, long long& out) {
    if (!PyLong_Check(v)) return false;
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow || (x == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    if (x < lo || x > hi) return false;
    out = x;
    return true;
}

// Writes the 12-byte code-page-950 text field; false (no error set) when the text is not exact
// str or does not encode into 12 bytes.
bool put_text(unsigned char* p, PyObject* v) {
    if (!PyUnicode_CheckExact(v)) return false;
    const char* bytes;
    Py_ssize_t n;
    PyObject* encoded = nullptr;
    if (PyUnicode_IS_ASCII(v)) {  // code page 950 leaves ASCII as it is
        bytes = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(v));
        n = PyUnicode_GET_LENGTH(v);
    } else {
        encoded = PyUnicode_AsEncodedString(v, kTextEncoding, "strict");
        if (!encoded) {
            PyErr_Clear();
            return false;
        }
        bytes = PyBytes_AS_STRING(encoded);
        n = PyBytes_GET_SIZE(encoded);
    }
    bool fits = n <= kTextSize;
    if (fits) {
        std::memcpy(p, bytes, static_cast<std::size_t>(n));
        std::memset(p + n, 0, static_cast<std::size_t>(kTextSize - n));
    }
    Py_XDECREF(encoded);
    return fits;
}

// The text field read back: trailing NULs removed, then decoded; null (no error set) when the
// bytes do not decode.
PyObject* get_text(const unsigned char* p) {
    Py_ssize_t n = kTextSize;
    while (n > 0 && p[n - 1] == 0) --n;
    bool ascii = true;
    for (Py_ssize_t i = 0; i < n; ++i) ascii = ascii && p[i] < 0x80;
    const char* s = reinterpret_cast<const char*>(p);
    PyObject* text =
        ascii ? PyUnicode_DecodeASCII(s, n, "strict") : PyUnicode_Decode(s, n, kTextEncoding, "strict");
    if (!text) PyErr_Clear();
    return text;
}

}  // namespace

bool HeaderCodec::is_own_method(py::handle method, PyObject* function) {
    return PyMethod_Check(method.ptr()) && PyMethod_GET_FUNCTION(method.ptr()) == function &&
           PyMethod_GET_SELF(method.ptr()) == structure_;
}

PyObject* HeaderCodec::build_native(PyObject* fields) {
    if (!PyDict_CheckExact(fields)) return nullptr;
    PyObject* values[kFieldCount];
    for (int i = 0; i < kFieldCount; ++i) {
        values[i] = PyDict_GetItemWithError(fields, g_names[i]);  // borrowed
        if (!values[i]) {
            PyErr_Clear();
            return nullptr;
        }
    }
    return build_values(values);
}

PyObject* HeaderCodec::build_values(PyObject* const* values) {
    unsigned char raw[kSize];
    for (int i = 0; i < kFieldCount; ++i) {
        PyObject* v = values[i];
        unsigned char* p = raw + kFields[i].offset;
        long long x = 0;
        switch (kFields[i].kind) {
        case Kind::S32:
            if (!int_in_range(v, -2147483648LL, 2147483647LL, x)) return nullptr;
            put_be32(p, static_cast<unsigned long>(x) & 0xFFFFFFFFUL);
            break;
        case Kind::U32:
            if (!int_in_range(v, 0, 4294967295LL, x)) return nullptr;
            put_be32(p, static_cast<unsigned long>(x));
            break;
        case Kind::U8:
            if (!int_in_range(v, 0, 255, x)) return nullptr;
            *p = static_cast<unsigned char>(x);
            break;
        case Kind::Text:
            if (!put_text(p, v)) return nullptr;
            break;
        }
    }
    return pyglue::require(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(raw), kSize));
}

PyObject* HeaderCodec::parse_native(const unsigned char* data) {
    PyObject* values[kFieldCount] = {};
    // A text that does not decode leaves the record to the structure (no error set); a failed
    // allocation stops with its error set. Either way the values made so far are released below.
    bool ok = true;
    for (int i = 0; i < kFieldCount && ok; ++i) {
        const unsigned char* p = data + kFields[i].offset;
        switch (kFields[i].kind) {
        case Kind::S32:
            values[i] = PyLong_FromLong(static_cast<long>(static_cast<int32_t>(get_be32(p))));
            break;
        case Kind::U32:
            values[i] = PyLong_FromUnsignedLong(get_be32(p));
            break;
        case Kind::U8:
            values[i] = PyLong_FromLong(*p);
            break;
        case Kind::Text:
            values[i] = get_text(p);
            break;
        }
        ok = values[i] != nullptr;
    }
    PyObject* record = ok ? PyObject_CallNoArgs(record_type_) : nullptr;
    for (int i = 0; record && i < kFieldCount; ++i) {
        if (PyObject_SetItem(record, g_names[i], values[i]) < 0) Py_CLEAR(record);
    }
    for (PyObject* v : values) Py_XDECREF(v);
    return pyglue::checked(record);
}

py::object HeaderCodec::build(py::handle structure, py::handle fields) {
    py::object method = attr(structure, N::build);
    if (enabled_ && structure.ptr() == structure_ && is_own_method(method, build_fn_)) {
        if (PyObject* out = build_native(fields.ptr())) return py::reinterpret_steal<py::object>(out);
    }
    return method(fields);
}

py::object HeaderCodec::build_fields(py::handle structure, PyObject* const* values) {
    py::object method = attr(structure, N::build);
    if (enabled_ && structure.ptr() == structure_ && is_own_method(method, build_fn_)) {
        if (PyObject* out = build_values(values)) return py::reinterpret_steal<py::object>(out);
    }
    return method(fields_dict(values));
}

py::dict HeaderCodec::fields_dict(PyObject* const* values) {
    py::dict fields;
    for (int i = 0; i < kFieldCount; ++i)
        pyglue::require(PyDict_SetItem(fields.ptr(), g_names[i], values[i]));
    return fields;
}

PyObject* HeaderCodec::name(int index) { return g_names[index]; }

py::object HeaderCodec::parse(py::handle parse, const char* data, Py_ssize_t size) {
    if (enabled_ && size == kSize && is_own_method(parse, parse_fn_)) {
        if (PyObject* out = parse_native(reinterpret_cast<const unsigned char*>(data)))
            return py::reinterpret_steal<py::object>(out);
    }
    return py::reinterpret_borrow<py::object>(parse)(py::bytes(data, size));
}

py::object HeaderCodec::field(py::handle header, PyObject* name) {
    if (enabled_ && Py_TYPE(header.ptr()) == reinterpret_cast<PyTypeObject*>(record_type_)) {
        if (PyObject* v = PyDict_GetItemWithError(header.ptr(), name))
            return py::reinterpret_borrow<py::object>(v);
        pyglue::raise_if_error();
    }
    return attr(header, name);
}

bool HeaderCodec::readable(py::handle parse, const char* data, Py_ssize_t size) {
    if (!enabled_ || size != kSize || !is_own_method(parse, parse_fn_)) return false;
    const unsigned char* text = reinterpret_cast<const unsigned char*>(data) + kFields[9].offset;
    bool ascii = true;
    for (Py_ssize_t i = 0; i < kTextSize; ++i) ascii = ascii && text[i] < 0x80;
    if (ascii) return true;
    PyObject* decoded = get_text(text);  // a text that does not decode goes to the structure
    Py_XDECREF(decoded);
    return decoded != nullptr;
}

py::object HeaderCodec::record(const unsigned char* data) {
    PyObject* made = parse_native(data);
    if (!made) {
        pyglue::raise_if_error();  // a failed allocation
        pyglue::raise(PyExc_ValueError, "unreadable message header");
    }
    return py::reinterpret_steal<py::object>(made);
}

py::object HeaderCodec::raw_field(const unsigned char* data, PyObject* name) {
    for (int i = 0; i < kFieldCount; ++i) {
        if (g_names[i] != name) continue;
        const unsigned char* p = data + kFields[i].offset;
        switch (kFields[i].kind) {
        case Kind::S32:
            return pyglue::steal(PyLong_FromLong(static_cast<long>(static_cast<int32_t>(get_be32(p)))));
        case Kind::U32:
            return pyglue::steal(PyLong_FromUnsignedLong(get_be32(p)));
        case Kind::U8:
            return pyglue::steal(PyLong_FromLong(*p));
        case Kind::Text:
            return py::reinterpret_steal<py::object>(pyglue::require(get_text(p)));
        }
    }
    return attr(record(data), name);
}

long long HeaderCodec::raw_net_length(const unsigned char* data) {
    return static_cast<int32_t>(get_be32(data + kFields[0].offset));
}

namespace {

constexpr int kRows = 5;
constexpr int kFirstDistinctRow = 3;

// The value of `field` in self-check row `row`. Rows 0 to 2 put every field at an edge of its
// range (bottom, top, and -1 / 2^31 / 128, where signedness shows). Rows 3 and 4 give every field
// a value that no other field has and that reads differently in the other byte order, so two
// fields of one format that traded places, or a field of the other byte order, cannot give the
// same bytes; row 4 makes the signed fields negative and the unsigned ones 2^31 or more, which
// only the right signedness takes.
constexpr long long sample_value(int row, int field) {
    const Kind kind = kFields[field].kind;
    const long long d = (field + 1) * 0x01020305LL;
    switch (row) {
    case 0:
        return kind == Kind::S32 ? -2147483647LL - 1 : 0;
    case 1:
        return kind == Kind::S32 ? 2147483647LL : kind == Kind::U32 ? 4294967295LL : 255;
    case 2:
        return kind == Kind::S32 ? -1 : kind == Kind::U32 ? 2147483648LL : 128;
    case 3:
        return kind == Kind::U8 ? (field * 17 + 1) % 256 : d;
    default:
        return kind == Kind::U8 ? (field * 17 + 101) % 256 : kind == Kind::S32 ? -d : d + 2147483648LL;
    }
}

// The distinct rows are what they claim: no two fields share a value, and no 32-bit value reads
// the same in the other byte order. Checked when compiling (below).
constexpr bool distinct_rows_hold() {
    for (int row = kFirstDistinctRow; row < kRows; ++row) {
        for (int i = 0; i < kFieldCount; ++i) {
            if (kFields[i].kind == Kind::Text) continue;
            const long long v = sample_value(row, i);
            const unsigned long u = static_cast<unsigned long>(v) & 0xFFFFFFFFUL;
            const unsigned long swapped =
                ((u & 0xFF) << 24) | ((u & 0xFF00) << 8) | ((u >> 8) & 0xFF00) | (u >> 24);
            if (kFields[i].kind != Kind::U8 && swapped == u) return false;
            for (int j = 0; j < i; ++j) {
                if (kFields[j].kind != Kind::Text && sample_value(row, j) == v) return false;
            }
        }
    }
    return true;
}
static_assert(distinct_rows_hold(),
              "the distinct self-check rows must tell every field and byte order apart");

// Texts of the person id field: empty, ASCII, full width, Big5 characters, and the euro sign,
// which code page 950 encodes and Big5 does not.
const char* const kSampleTexts[] = {
    "",
    "A123456789",
    "ABCDEFGHIJKL",
    "\xe4\xb8\xad\xe6\x96\x87",                                                  // two Big5 characters
    "a\xe5\x8f\xb0",                                                             // ASCII and Big5
    "\xe5\x8f\xb0\xe7\xa9\x8d\xe9\x9b\xbb\xe8\x82\xa1\xe4\xbb\xbd\xe6\x9c\x89",  // 12 bytes of Big5
    "\xe2\x82\xac",                                                              // the euro sign
    "A\xe2\x82\xac\xe5\x8f\xb0",                                                 // ASCII, euro, Big5
};

}  // namespace

// The native forms must give the structure's bytes and records (same record type, field values
// and value types, field order) over samples that reach every field's edges and tell every field,
// byte order, signedness and text encoding apart.
bool HeaderCodec::self_check() {
    py::object structure = py::reinterpret_borrow<py::object>(structure_);
    py::object facility_build = attr(structure, N::build);
    py::object facility_parse = attr(structure, N::parse);
    constexpr int kTexts = static_cast<int>(sizeof kSampleTexts / sizeof kSampleTexts[0]);
    // Every row with every text would prove no more: each row meets the texts in turn, and each
    // distinct row is tried with several texts.
    for (int k = 0; k < kRows * 2 || k < kTexts; ++k) {
        const int row = k % kRows;
        py::dict fields;
        for (int i = 0; i < kFieldCount; ++i) {
            if (kFields[i].kind == Kind::Text)
                fields[g_names[i]] = py::str(kSampleTexts[k % kTexts]);
            else
                fields[g_names[i]] = py::int_(sample_value(row, i));
        }
        py::object expected = facility_build(fields);
        PyObject* made = build_native(fields.ptr());
        if (!made) return false;
        py::object ours = py::reinterpret_steal<py::object>(made);
        if (!expected.equal(ours)) return false;
        py::object record = facility_parse(ours);
        if (!record_type_)
            record_type_ = py::handle(reinterpret_cast<PyObject*>(Py_TYPE(record.ptr()))).inc_ref().ptr();
        PyObject* parsed =
            parse_native(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(ours.ptr())));
        if (!parsed) return false;
        py::object mine = py::reinterpret_steal<py::object>(parsed);
        if (!record.get_type().is(mine.get_type()) || !PyDict_Check(mine.ptr())) return false;
        // The facility's record also keeps its internal "_io" entry; the fields are the same.
        for (PyObject* name : g_names) {
            py::object a = record[name], b = mine[name];
            if (!a.equal(b) || !a.get_type().is(b.get_type())) return false;
            if (!field(mine, name).is(b)) return false;
        }
    }
    return true;
}

void HeaderCodec::init(py::handle structure) {
    enabled_ = false;
    try {
        for (int i = 0; i < kFieldCount; ++i) {
            if (!g_names[i]) g_names[i] = pyglue::require(PyUnicode_InternFromString(kFields[i].name));
        }
        py::object build = attr(structure, N::build);
        py::object parse = attr(structure, N::parse);
        if (!PyMethod_Check(build.ptr()) || !PyMethod_Check(parse.ptr())) return;
        structure_ = structure.inc_ref().ptr();
        build_fn_ = py::handle(PyMethod_GET_FUNCTION(build.ptr())).inc_ref().ptr();
        parse_fn_ = py::handle(PyMethod_GET_FUNCTION(parse.ptr())).inc_ref().ptr();
        enabled_ = self_check();
    } catch (py::error_already_set& e) {
        pyglue::keep_exception(e);
        enabled_ = false;  // the structure does all the work
    }
}

}  // namespace dorvane_connect
