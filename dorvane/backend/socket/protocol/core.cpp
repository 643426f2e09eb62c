// dorvane.backend.socket.protocol.core: the protocol core's names STATUS_CODE, HEADER, HEADER_SIZE
// and gen_header, the factory of header-field dictionaries.
#include "pyglue.hpp"

#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

// The names the module reads and sets.
namespace N {
inline const pyglue::Name Fenrik{"Fenrik"};
inline const pyglue::Name HEADER{"HEADER"};
inline const pyglue::Name HEADER_SIZE{"HEADER_SIZE"};
inline const pyglue::Name STATUS_CODE{"STATUS_CODE"};
inline const pyglue::Name ip_convert{"ip_convert"};
inline const pyglue::Name ST_TRADE{"ST_TRADE"};
inline const pyglue::Name fenrik{"fenrik"};
inline const pyglue::Name kivo{"kivo"};
inline const pyglue::Name sizeof_{"sizeof"};
inline const pyglue::Name net_length{"net_length"};
inline const pyglue::Name bEncrypt{"bEncrypt"};
inline const pyglue::Name bCompress{"bCompress"};
inline const pyglue::Name bContinue{"bContinue"};
inline const pyglue::Name bHts{"bHts"};
inline const pyglue::Name nDecompressLength{"nDecompressLength"};
inline const pyglue::Name nKIVO{"nKIVO"};
inline const pyglue::Name nHandle{"nHandle"};
inline const pyglue::Name ip4{"ip4"};
inline const pyglue::Name person_id{"person_id"};
inline const pyglue::Name nDecodeLength{"nDecodeLength"};
inline const pyglue::Name nOutHandle{"nOutHandle"};
inline const pyglue::Name ret{"ret"};
}  // namespace N

using pyglue::attr;
using pyglue::call_method;
using pyglue::set_attr;

// The header-field dictionary: the thirteen fields in wire order, ret always 0.
pyglue::RecordShape header_shape;

const pyglue::Name* const kHeaderKeys[] = {
    &N::net_length,        &N::bEncrypt,   &N::bCompress, &N::bContinue, &N::bHts,
    &N::nDecompressLength, &N::nKIVO,      &N::nHandle,   &N::ip4,       &N::person_id,
    &N::nDecodeLength,     &N::nOutHandle, &N::ret};

void define_header_shape() {
    std::vector<std::pair<PyObject*, PyObject*>> fields;
    for (const pyglue::Name* key : kHeaderKeys) fields.emplace_back(key->ptr(), nullptr);
    fields.back().second = pyglue::require(PyLong_FromLong(0));  // kept for the life of the process
    header_shape.define(fields);
}

// Every call returns a new dictionary of the thirteen header fields in wire order; only ip4 is
// converted (through the module's ip_convert, read at each call), and ret is always 0. The
// arguments are borrowed: the call holds them.
py::object gen_header(py::handle net_length, py::handle bEncrypt, py::handle bCompress, py::handle bContinue,
                      py::handle bHts, py::handle nDecompressLength, py::handle nKIVO, py::handle nHandle,
                      py::handle ip4, py::handle person_id, py::handle nDecodeLength, py::handle nOutHandle) {
    py::object convert = pyglue::global(N::ip_convert);
    py::object converted = pyglue::steal(PyObject_CallOneArg(convert.ptr(), ip4.ptr()));
    PyObject* const values[] = {
        net_length.ptr(),        bEncrypt.ptr(),   bCompress.ptr(), bContinue.ptr(), bHts.ptr(),
        nDecompressLength.ptr(), nKIVO.ptr(),      nHandle.ptr(),   converted.ptr(), person_id.ptr(),
        nDecodeLength.ptr(),     nOutHandle.ptr(), nullptr};
    return pyglue::steal(header_shape.make(values));
}

}  // namespace

PYBIND11_MODULE(core, m) {
    pyglue::set_module(m);
    define_header_shape();

    py::object fenrik = pyglue::import_from("dorvane.backend.socket.protocol", "fenrik");
    py::object kivo = pyglue::import_from("dorvane.backend.socket.protocol", "kivo");
    set_attr(m, N::fenrik, fenrik);
    set_attr(m, N::kivo, kivo);
    set_attr(m, N::ip_convert, pyglue::import_from("dorvane.backend.socket.protocol.utils", "ip_convert"));

    py::object header = attr(kivo, N::ST_TRADE);
    set_attr(m, N::STATUS_CODE, attr(fenrik, N::Fenrik));
    set_attr(m, N::HEADER, header);
    set_attr(m, N::HEADER_SIZE, call_method(header, N::sizeof_));
    pyglue::def(m, "gen_header", &gen_header,
                "Return a new header-field dictionary with the given values and the defaults; ip4 is "
                "converted with ip_convert and ret is 0.",
                py::arg("net_length") = 0, py::arg("bEncrypt") = 0, py::arg("bCompress") = 0,
                py::arg("bContinue") = 0, py::arg("bHts") = 1, py::arg("nDecompressLength") = 0,
                py::arg("nKIVO") = 0, py::arg("nHandle") = 666, py::arg("ip4") = "",
                py::arg("person_id") = "", py::arg("nDecodeLength") = 0, py::arg("nOutHandle") = 105);
    pyglue::set_all(m, {"STATUS_CODE", "HEADER", "HEADER_SIZE", "gen_header"});
}
