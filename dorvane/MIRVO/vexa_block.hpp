// The signature block of gen_vexa.
#pragma once
#include "pyglue.hpp"

namespace vexa {

namespace py = pybind11;

// format(value, spec): the "{}" form of a value for an empty spec.
py::object format_text(py::handle value, const char* spec = "");

// "0000{:04d}{}0000{:04d}{}{}" filled with len(quoted), quoted, len(user_id), user_id, user_id,
// encoded as UTF-8. The lengths are the interpreter's len() and the fields its "{}" form.
py::bytes signature_block(py::object quoted, py::object user_id);

}  // namespace vexa
