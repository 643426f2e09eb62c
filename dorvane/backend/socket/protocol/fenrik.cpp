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

py::object plain_class(py::module_& m, const char* name, py::dict ns) {
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = name;
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    return type(name, py::tuple(), ns);
}

}  // namespace

PYBIND11_MODULE(fenrik, m) {
    py::object reduce = py::module_::import("functools").attr("reduce");
    m.attr("reduce") = reduce;

    py::dict success_code;
    success_code[py::int_(0)] = py::str("success");
    py::dict success_ns;
    success_ns["success"] = 0;
    success_ns["code"] = success_code;
    py::object success = plain_class(m, "Success", success_ns);
    m.attr("Success") = success;

    py::dict error_code;
    for (const auto& entry : fenrik_codes::kErrorCodes)
        error_code[py::int_(entry.code)] = py::str(entry.message);
    py::dict error_ns;
    error_ns["code"] = error_code;
    py::object error = plain_class(m, "Error", error_ns);
    m.attr("Error") = error;

    py::list code_classes;
    code_classes.append(success);
    code_classes.append(error);
    m.attr("code_classes") = code_classes;
    py::list codes;
    for (auto cls : code_classes) codes.append(cls.attr("code"));
    m.attr("codes") = codes;

    py::object merger = py::cpp_function(&merge, py::name("<lambda>"), py::arg("acc"), py::arg("cur"));
    py::object code_status = reduce(merger, codes, py::dict());
    m.attr("code_status") = code_status;

    py::dict fenrik_ns;
    fenrik_ns["code"] = code_status;
    fenrik_ns["success"] = success.attr("success");
    fenrik_ns["connection_timeout"] = 30023;
    fenrik_ns["default"] = 30023;
    m.attr("Fenrik") = plain_class(m, "Fenrik", fenrik_ns);
}
