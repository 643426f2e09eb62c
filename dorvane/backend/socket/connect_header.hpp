// HeaderCodec: builds and parses message headers with the protocol package's header structure,
// through the structure facility's compiled form of it when that is safe.
//
// The facility interprets a structure field by field on every call, which costs most of a
// request's time. It can also compile a structure into a specialised builder and parser of its
// own. The codec uses that compiled form only when the structure is the one the protocol package
// exported when this module was loaded, its build/parse are the facility's own methods (not
// replaced), and a check at load time found the compiled form's bytes and records equal to the
// structure's. When the compiled form refuses a value, the structure itself is called, so errors
// stay exactly the facility's.
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

    // `parse` is the structure's bound parse method as read by the caller; `data` holds kSize
    // bytes or more (only the first `size` are given to parse).
    static py::object parse(py::handle parse, const char* data, Py_ssize_t size);

    static bool enabled() { return enabled_; }

private:
    static bool is_own_method(py::handle method, PyObject* function);
    static bool self_check();

    static inline bool enabled_ = false;
    static inline PyObject* structure_ = nullptr;   // the known structure
    static inline PyObject* build_fn_ = nullptr;    // the facility's build function
    static inline PyObject* parse_fn_ = nullptr;    // the facility's parse function
    static inline PyObject* compiled_build_ = nullptr;  // the compiled form's bound build
    static inline PyObject* compiled_parse_ = nullptr;  // the compiled form's bound parse
};

}  // namespace dorvane_connect
