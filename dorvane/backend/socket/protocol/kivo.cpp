// dorvane.backend.socket.protocol.kivo: ST_TRADE, the 48-byte big-endian message header.
#include "pyglue.hpp"

namespace py = pybind11;

PYBIND11_MODULE(kivo, m) {
    pyglue::set_module(m);
    py::module_ dorv = py::module_::import("dorv");
    py::object i32s = dorv.attr("Int32sb");
    py::object i32u = dorv.attr("Int32ub");
    py::object i8u = dorv.attr("Int8ub");
    py::object ps950 = py::module_::import("dorvane.backend.socket.protocol.utils").attr("PS950");
    // The names taken from the library's modules are the module's own globals too.
    m.attr("Struct") = dorv.attr("Struct");
    m.attr("Int32sb") = i32s;
    m.attr("Int8ub") = i8u;
    m.attr("Int32ub") = i32u;
    m.attr("PS950") = ps950;

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

    m.attr("ST_TRADE") = dorv.attr("Struct")(**fields);
    pyglue::set_all(m, {"ST_TRADE"});
}
