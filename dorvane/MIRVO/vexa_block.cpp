// The signature block of gen_vexa.
#include "vexa_block.hpp"

#include <string>

namespace vexa {

py::object format_text(py::handle value, const char* spec) {
  py::object text = py::reinterpret_steal<py::object>(PyObject_Format(value.ptr(), py::str(spec).ptr()));
  if (!text) throw py::error_already_set();
  return text;
}

namespace {

// The "{}" form of a value (format(value, spec)) encoded as the block is, UTF-8; a text that
// cannot be encoded fails with its encoding error.
std::string formatted(py::handle value, const char* spec = "") {
  return format_text(value, spec).attr("encode")("utf8").cast<std::string>();
}

py::object length_of(py::handle value) {
  Py_ssize_t n = PyObject_Length(value.ptr());
  if (n < 0) throw py::error_already_set();
  return py::int_(n);
}

}  // namespace

py::bytes signature_block(py::object quoted, py::object user_id) {
  // The arguments in the order the format takes them: the lengths before the texts.
  py::object quotedLength = length_of(quoted);
  py::object userLength = length_of(user_id);
  std::string block = "0000";
  block += formatted(quotedLength, "04d");
  block += formatted(quoted);
  block += "0000";
  block += formatted(userLength, "04d");
  std::string user = formatted(user_id);
  block += user;
  block += user;
  return py::bytes(block);
}

}  // namespace vexa
