// dorvane.backend.socket.protocol.core: the protocol core's names STATUS_CODE, HEADER, HEADER_SIZE
// and gen_header, the factory of header-field dictionaries.
#include "pyglue.hpp"

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
}  // namespace N

using pyglue::attr;
using pyglue::call_method;
using pyglue::set_attr;

// Every call returns a new dictionary of the thirteen header fields in wire order; only ip4 is
// converted (through the module's ip_convert, read at each call), and ret is always 0.
py::dict gen_header(py::object net_length, py::object bEncrypt, py::object bCompress, py::object bContinue,
                    py::object bHts, py::object nDecompressLength, py::object nKIVO, py::object nHandle,
                    py::object ip4, py::object person_id, py::object nDecodeLength, py::object nOutHandle) {
    py::object converted = pyglue::global(N::ip_convert)(ip4);
    py::dict header;
    header["net_length"] = net_length;
    header["bEncrypt"] = bEncrypt;
    header["bCompress"] = bCompress;
    header["bContinue"] = bContinue;
    header["bHts"] = bHts;
    header["nDecompressLength"] = nDecompressLength;
    header["nKIVO"] = nKIVO;
    header["nHandle"] = nHandle;
    header["ip4"] = converted;
    header["person_id"] = person_id;
    header["nDecodeLength"] = nDecodeLength;
    header["nOutHandle"] = nOutHandle;
    header["ret"] = 0;
    return header;
}

}  // namespace

PYBIND11_MODULE(core, m) {
    pyglue::set_module(m);

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
