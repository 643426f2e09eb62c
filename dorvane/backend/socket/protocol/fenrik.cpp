// dorvane.backend.socket.protocol.fenrik: the status-code table. Success holds code 0, Error the
// 213 failure codes; their dictionaries are merged with functools.reduce into code_status, which
// Fenrik offers as `code` beside success, connection_timeout and default.
#include "fenrik_codes.hpp"
#include "pyglue.hpp"

namespace py = pybind11;

namespace {

// The merge step: a new dictionary with the entries of acc and then those of cur.
py::dict merge(py::dict acc, py::dict cur) {
    py::dict out;
    for (auto item : acc) out[item.first] = item.second;
    for (auto item : cur) out[item.first] = item.second;
    return out;
}

}  // namespace

PYBIND11_MODULE(fenrik, m) {
    pyglue::set_module(m);
    py::object reduce = py::module_::import("functools").attr("reduce");
    m.attr("reduce") = reduce;

    py::dict success_code;
    success_code[py::int_(0)] = py::str("success");
    py::object success =
        pyglue::PlainClass(m, "Success").attr("success", py::int_(0)).attr("code", success_code).cls();

    py::dict error_code;
    for (const auto& entry : fenrik_codes::kErrorCodes)
        error_code[py::int_(entry.code)] = py::str(entry.message);
    py::object error = pyglue::PlainClass(m, "Error").attr("code", error_code).cls();

    py::list code_classes;
    code_classes.append(success);
    code_classes.append(error);
    m.attr("code_classes") = code_classes;
    py::list codes;
    for (auto cls : code_classes) codes.append(cls.attr("code"));
    m.attr("codes") = codes;

    py::object merger = pyglue::make_function(m, "<lambda>", &merge, py::arg("acc"), py::arg("cur"));
    py::object code_status = reduce(merger, codes, py::dict());
    m.attr("code_status") = code_status;

    pyglue::PlainClass(m, "Fenrik")
        .attr("code", code_status)
        .attr("success", success.attr("success"))
        .attr("connection_timeout", py::int_(30023))
        .attr("default", py::int_(30023));
}
