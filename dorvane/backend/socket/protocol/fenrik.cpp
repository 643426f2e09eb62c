// dorvane.backend.socket.protocol.fenrik: the status-code table. Success holds code 0, Error the
// 213 failure codes; their dictionaries are merged with functools.reduce into code_status, which
// Fenrik offers as `code` beside success, connection_timeout and default.
#include "fenrik_codes.hpp"
#include "pyglue.hpp"

namespace py = pybind11;

namespace {

// The names the module reads and sets.
namespace N {
inline const pyglue::Name code{"code"};
inline const pyglue::Name code_classes{"code_classes"};
inline const pyglue::Name code_status{"code_status"};
inline const pyglue::Name codes{"codes"};
inline const pyglue::Name reduce{"reduce"};
inline const pyglue::Name success{"success"};
inline const pyglue::Name connection_timeout{"connection_timeout"};
inline const pyglue::Name default_{"default"};
}  // namespace N

using pyglue::attr;
using pyglue::set_attr;

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
    py::object reduce = pyglue::import_from("functools", "reduce");
    set_attr(m, N::reduce, reduce);

    py::dict success_code;
    success_code[py::int_(0)] = py::str("success");
    py::object success = pyglue::PlainClass(m, "Success").cls();
    set_attr(success, N::success, py::int_(0));
    set_attr(success, N::code, success_code);

    py::dict error_code;
    for (const auto& entry : fenrik_codes::kErrorCodes)
        error_code[py::int_(entry.code)] = py::str(entry.message);
    py::object error = pyglue::PlainClass(m, "Error").cls();
    set_attr(error, N::code, error_code);

    py::list code_classes;
    code_classes.append(success);
    code_classes.append(error);
    set_attr(m, N::code_classes, code_classes);
    py::list codes;
    for (auto cls : code_classes) codes.append(attr(cls, N::code));
    set_attr(m, N::codes, codes);

    py::object merger = pyglue::make_function(m, "<lambda>", &merge, py::arg("acc"), py::arg("cur"));
    py::object code_status = reduce(merger, codes, py::dict());
    set_attr(m, N::code_status, code_status);

    py::object fenrik = pyglue::PlainClass(m, "Fenrik").cls();
    set_attr(fenrik, N::code, code_status);
    set_attr(fenrik, N::success, attr(success, N::success));
    set_attr(fenrik, N::connection_timeout, py::int_(30023));
    set_attr(fenrik, N::default_, py::int_(30023));
}
