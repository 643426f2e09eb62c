// dorvane.backend.socket.protocol.kivo: ST_TRADE, the 48-byte big-endian message header.
#include "pyglue.hpp"

namespace py = pybind11;

namespace {

// The names the module reads and sets.
namespace N {
inline const pyglue::Name Int32sb{"Int32sb"};
inline const pyglue::Name Int32ub{"Int32ub"};
inline const pyglue::Name Int8ub{"Int8ub"};
inline const pyglue::Name PS950{"PS950"};
inline const pyglue::Name ST_TRADE{"ST_TRADE"};
inline const pyglue::Name Struct{"Struct"};
}  // namespace N

using pyglue::attr;
using pyglue::call_method;
using pyglue::set_attr;

}  // namespace

PYBIND11_MODULE(kivo, m) {
    pyglue::set_module(m);
    py::object structure = pyglue::import_from("dorv", N::Struct.text());
    py::object i32s = pyglue::import_from("dorv", N::Int32sb.text());
    py::object i8u = pyglue::import_from("dorv", N::Int8ub.text());
    py::object i32u = pyglue::import_from("dorv", N::Int32ub.text());
    py::object ps950 = pyglue::import_from("dorvane.backend.socket.protocol.utils", N::PS950.text());
    // The names taken from the library's modules are the module's own globals too.
    set_attr(m, N::Struct, structure);
    set_attr(m, N::Int32sb, i32s);
    set_attr(m, N::Int8ub, i8u);
    set_attr(m, N::Int32ub, i32u);
    set_attr(m, N::PS950, ps950);

    // Keyword order is wire order.
    py::dict fields;
    fields["net_length"] = i32s;
    fields["bEncrypt"] = i8u;
    fields["bCompress"] = i8u;
    fields["bContinue"] = i8u;
    fields["bHts"] = i8u;
    fields["nDecompressLength"] = i32s;
    fields["nKIVO"] = i32s;
    fields["nHandle"] = i32s;
    fields["ip4"] = i32u;
    fields["person_id"] = ps950(12);
    fields["nDecodeLength"] = i32u;
    fields["nOutHandle"] = i32s;
    fields["ret"] = i32u;

    set_attr(m, N::ST_TRADE, structure(**fields));
    pyglue::set_all(m, {"ST_TRADE"});
}
