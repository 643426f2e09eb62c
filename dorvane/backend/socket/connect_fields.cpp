#include "connect.hpp"

namespace dorvane_connect {

namespace {

constexpr int kFieldCount = HeaderCodec::kFieldCount;
constexpr int kNetLength = 0, kCompress = 2, kDecompressLength = 5, kKivo = 6, kHandle = 7, kIp4 = 8,
              kPersonId = 9, kRet = 12;

// gen_header's defaults in wire order (ip4 before its conversion; ret is no keyword).
PyObject* g_defaults[kFieldCount] = {};

int field_index(PyObject* key) {
    for (int i = 0; i < kFieldCount; ++i) {
        PyObject* name = HeaderCodec::name(i);
        if (key == name) return i;
    }
    for (int i = 0; i < kFieldCount; ++i) {
        if (PyUnicode_Check(key) && PyUnicode_Compare(key, HeaderCodec::name(i)) == 0) return i;
    }
    PyErr_Clear();
    return -1;
}

// The core's ip_convert as its gen_header reads it (a module global, at each call); null when
// the core has none (gen_header then fails its own way).
PyObject* ip_convert_of(PyObject* core) {
    PyObject* globals = PyModule_GetDict(core);  // borrowed
    PyObject* fn = globals ? PyDict_GetItemWithError(globals, N::ip_convert) : nullptr;
    if (!fn) PyErr_Clear();
    return fn;
}

// The dict gen_header gives for nKIVO, person_id and ip4 (the rest defaults), made the way
// HeaderFields fills the values.
py::dict own_dict(PyObject* core, py::handle nKIVO, py::handle person_id, py::handle ip4) {
    py::object values[kFieldCount];
    for (int i = 0; i < kFieldCount; ++i) values[i] = py::reinterpret_borrow<py::object>(g_defaults[i]);
    values[kKivo] = py::reinterpret_borrow<py::object>(nKIVO);
    values[kPersonId] = py::reinterpret_borrow<py::object>(person_id);
    PyObject* convert = pyglue::require(ip_convert_of(core));
    values[kIp4] = pyglue::steal(PyObject_CallOneArg(convert, ip4.ptr()));
    PyObject* raw[kFieldCount];
    for (int i = 0; i < kFieldCount; ++i) raw[i] = values[i].ptr();
    return HeaderCodec::fields_dict(raw);
}

// Same keys in the same order, equal values of the same types.
bool same_dict(py::handle a, py::handle b) {
    py::list ia = pyglue::steal(PySequence_List(pyglue::steal(PyDict_Items(a.ptr())).ptr()));
    py::list ib = pyglue::steal(PySequence_List(pyglue::steal(PyDict_Items(b.ptr())).ptr()));
    if (!ia.equal(ib)) return false;
    for (py::size_t i = 0; i < ia.size(); ++i) {
        if (!ia[i].cast<py::tuple>()[1].get_type().is(ib[i].cast<py::tuple>()[1].get_type())) return false;
    }
    return true;
}

}  // namespace

void HeaderFields::init(py::handle core) {
    enabled_ = false;
    try {
        const long defaults[kFieldCount] = {0, 0, 0, 0, 1, 0, 0, 666, 0, 0, 0, 105, 0};
        for (int i = 0; i < kFieldCount; ++i) {
            if (!g_defaults[i]) g_defaults[i] = pyglue::require(PyLong_FromLong(defaults[i]));
        }
        Py_SETREF(g_defaults[kIp4], pyglue::require(PyUnicode_FromString("")));
        Py_SETREF(g_defaults[kPersonId], pyglue::require(PyUnicode_FromString("")));
        py::object gen = attr(core, N::gen_header);
        core_ = core.inc_ref().ptr();
        gen_header_ = gen.inc_ref().ptr();
        // The proof: gen_header's own dicts for sample requests equal the ones made here.
        const char* const persons[] = {"", "A123456789"};
        const char* const addresses[] = {"", "127.0.0.1", "10.20.30.40"};
        for (const char* person : persons) {
            for (const char* address : addresses) {
                py::str p(person), a(address);
                py::int_ kivo(7);
                py::object theirs =
                    gen(py::arg("nKIVO") = kivo, py::arg("person_id") = p, py::arg("ip4") = a);
                if (!PyDict_CheckExact(theirs.ptr()) || !same_dict(theirs, own_dict(core_, kivo, p, a)))
                    return;
            }
        }
        enabled_ = true;
    } catch (py::error_already_set& e) {
        // gen_header does all the work; an interrupt still ends the import.
        pyglue::drop(pyglue::keep_exception(e));
    }
}

bool HeaderFields::build(py::handle proto, py::handle nKIVO, py::handle person_id, py::handle ip4,
                         py::handle nHandle, py::handle payload, py::handle decompress_length,
                         py::dict kwargs, py::object& out) {
    PyObject* values[kFieldCount];
    for (int i = 0; i < kFieldCount; ++i) values[i] = g_defaults[i];
    for (auto item : kwargs) {
        int index = field_index(item.first.ptr());
        if (index < 0 || index == kRet) return false;
        values[index] = item.second.ptr();  // kwargs holds it
    }
    PyObject* convert = ip_convert_of(core_);
    if (!convert) return false;
    values[kKivo] = nKIVO.ptr();
    values[kPersonId] = person_id.ptr();
    py::object converted = pyglue::steal(PyObject_CallOneArg(convert, ip4.ptr()));
    values[kIp4] = converted.ptr();

    Py_ssize_t length = pyglue::require(PyObject_Size(payload.ptr()));
    py::object net_length = pyglue::steal(PyLong_FromSsize_t(length));
    values[kHandle] = nHandle.ptr();
    values[kNetLength] = net_length.ptr();
    values[kDecompressLength] = decompress_length.ptr();
    py::int_ one(1);
    int above = pyglue::require(PyObject_RichCompareBool(decompress_length.ptr(), g_defaults[kRet], Py_GT));
    if (above) values[kCompress] = one.ptr();
    out = HeaderCodec::build_fields(attr(proto, N::HEADER), values);
    return true;
}

}  // namespace dorvane_connect
