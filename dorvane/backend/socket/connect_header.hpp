// HeaderCodec: builds and parses message headers for the connection, natively while the protocol
// package's header structure is the one it exported when this module was loaded.
//
// The structure facility interprets its structure in Python on every call, which costs most of a
// request's time. The codec writes and reads the 48 bytes itself when all of these hold:
//   - the structure is the object the protocol package exported at load (an identity check),
//     and its build/parse are still the facility's own methods (not replaced);
//   - at load, the native bytes and records equalled the structure's own over samples that reach
//     every field's edges (so the layout is the known one);
//   - the value at hand is one the native path accepts (an exact dict holding every field, integers
//     in range, a person id that encodes to at most 12 bytes; 48 bytes whose text decodes).
// Anything else is handed to the structure itself, so results and errors stay the facility's.
// A parsed header is the facility's record type, with the thirteen fields in wire order.
#pragma once

#include "connect_common.hpp"

namespace dorvane_connect {

class HeaderCodec {
public:
    static constexpr Py_ssize_t kSize = 48;

    // Called once at module load with the protocol package's header structure.
    static void init(py::handle structure);

    // structure.build(fields)
    static py::object build(py::handle structure, py::handle fields);

    // `parse` is the structure's bound parse method as read by the caller; `data` holds `size`
    // bytes, all of which are given to parse.
    static py::object parse(py::handle parse, const char* data, Py_ssize_t size);

    // header.<name> of a parsed header: an item read for the known record type, else getattr.
    static py::object field(py::handle header, PyObject* name);

    static bool enabled() { return enabled_; }

private:
    static bool is_own_method(py::handle method, PyObject* function);
    static bool self_check();
    // Native forms: null (no error set) where the value is not one the native path takes.
    static PyObject* build_native(PyObject* fields);
    static PyObject* parse_native(const unsigned char* data);

    static inline bool enabled_ = false;
    static inline PyObject* structure_ = nullptr;  // the known structure
    static inline PyObject* build_fn_ = nullptr;   // the facility's build function
    static inline PyObject* parse_fn_ = nullptr;   // the facility's parse function
    static inline PyObject* record_type_ = nullptr;  // the type of the facility's parsed records
};

}  // namespace dorvane_connect
