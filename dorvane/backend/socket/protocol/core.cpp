// dorvane.backend.socket.protocol.core: the protocol core's names STATUS_CODE, HEADER, HEADER_SIZE
// and gen_header, the factory of header-field dictionaries.
#include "pyglue.hpp"

namespace py = pybind11;

namespace {

const pyglue::Name kIpConvert{"ip_convert"};

// Every call returns a new dictionary of the thirteen header fields in wire order; only ip4 is
// converted (through the module's ip_convert, read at each call), and ret is always 0.
py::dict gen_header(py::object net_length, py::object bEncrypt, py::object bCompress, py::object bContinue,
                    py::object bHts, py::object nDecompressLength, py::object nKIVO, py::object nHandle,
                    py::object ip4, py::object person_id, py::object nDecodeLength, py::object nOutHandle) {
    py::object converted = pyglue::global(kIpConvert)(ip4);
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
    py::options options;
    options.disable_function_signatures();

    py::module_ fenrik = py::module_::import("dorvane.backend.socket.protocol.fenrik");
    py::module_ kivo = py::module_::import("dorvane.backend.socket.protocol.kivo");
    m.attr("fenrik") = fenrik;
    m.attr("kivo") = kivo;
    m.attr("ip_convert") = py::module_::import("dorvane.backend.socket.protocol.utils").attr("ip_convert");

    py::object header = kivo.attr("ST_TRADE");
    m.attr("STATUS_CODE") = fenrik.attr("Fenrik");
    m.attr("HEADER") = header;
    m.attr("HEADER_SIZE") = header.attr("sizeof")();
    pyglue::def(m, "gen_header", &gen_header,
                "Return a new header-field dictionary with the given values and the defaults; ip4 is "
                "converted with ip_convert and ret is 0.",
                py::arg("net_length") = 0, py::arg("bEncrypt") = 0, py::arg("bCompress") = 0,
                py::arg("bContinue") = 0, py::arg("bHts") = 1, py::arg("nDecompressLength") = 0,
                py::arg("nKIVO") = 0, py::arg("nHandle") = 666, py::arg("ip4") = "",
                py::arg("person_id") = "", py::arg("nDecodeLength") = 0, py::arg("nOutHandle") = 105);
    pyglue::set_all(m, {"STATUS_CODE", "HEADER", "HEADER_SIZE", "gen_header"});
}
