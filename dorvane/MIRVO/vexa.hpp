// The signing module's internal declarations, file by file.
#pragma once

#include "pyglue.hpp"
// vexa_properties.cpp: without Python, so the signing library's C++ tests compile it too.
#include "vexa_properties.hpp"

#include <string>
#include <utility>

namespace vexa {

namespace py = pybind11;

// The names the module reads and sets (its globals, their attributes and its objects' attributes).
namespace N {
inline const pyglue::Name __file__{"__file__"};
inline const pyglue::Name raise_error{"raise_error"};
inline const pyglue::Name read_error_code_dict{"read_error_code_dict"};
inline const pyglue::Name VexaError{"VexaError"};
inline const pyglue::Name get_sign{"get_sign"};
inline const pyglue::Name quote{"quote"};
inline const pyglue::Name close{"close"};
inline const pyglue::Name decode{"decode"};
inline const pyglue::Name encode{"encode"};
inline const pyglue::Name get{"get"};
inline const pyglue::Name joinpath{"joinpath"};
inline const pyglue::Name name{"name"};
inline const pyglue::Name parent{"parent"};
inline const pyglue::Name read{"read"};
}  // namespace N

using pyglue::attr;
using pyglue::call_method;
using pyglue::global;
using pyglue::set_attr;

// Calls body(), then file.close() whether or not body raised. A Python error of body is taken out
// of its catch block before the close (the glue's rule for threads) and raised again after it.
template <class Body>
void then_close(py::handle file, Body&& body) {
    py::object failure;
    try {
        std::forward<Body>(body)();
    } catch (py::error_already_set& e) {
        failure = pyglue::fetch_exception(e);
    }
    call_method(file, N::close);
    if (failure) pyglue::raise(failure);
}

// ---------------------------------------------------------------------------------------------
// vexa.cpp: the signature block of gen_vexa.

// format(value, spec): the "{}" form of a value for an empty spec.
py::object format_text(py::handle value, const char* format_spec = "");

// "0000{:04d}{}0000{:04d}{}{}" filled with len(quoted), quoted, len(user_id), user_id, user_id,
// encoded as UTF-8. The lengths are the interpreter's len() and the fields its "{}" form.
py::bytes signature_block(py::object quoted, py::object user_id);

// ---------------------------------------------------------------------------------------------
// vexa_errors.cpp: the error-code file cError.h and the signing error VexaError raised from its entries.

// Reads "<folder>/cError.h" (UTF-8, CR LF lines): {code: {"error_msg": message, "error": name}}
// from every line that begins with "#define". folder is anything with joinpath.
py::dict read_error_code_dict(py::object folder);

// Raises VexaError("{name} {code} {message}") from the entry of code; a code without an entry
// gives " {code} ". exception is the VexaError class to raise.
[[noreturn]] void raise_error(py::object exception, py::object code, py::object error_code_dict);

}  // namespace vexa
