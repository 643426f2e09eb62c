// The error-code file cError.h and the signing error VexaError raised from its entries.
#pragma once
#include "pyglue.hpp"

namespace vexa {

namespace py = pybind11;

// Reads "<folder>/cError.h" (UTF-8, CR LF lines): {code: {"error_msg": message, "error": name}}
// from every line that begins with "#define". folder is anything with joinpath.
py::dict read_error_code_dict(py::object folder);

// Raises VexaError("{name} {code} {message}") from the entry of code; a code without an entry
// gives " {code} ". exception is the VexaError class to raise.
[[noreturn]] void raise_error(py::object exception, py::object code, py::object error_code_dict);

}  // namespace vexa
