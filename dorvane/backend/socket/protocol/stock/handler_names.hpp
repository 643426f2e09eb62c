// Names of the handler module that are read at each call: its own globals (the library modules it
// bound at import, and its functions, which callers may replace).
#pragma once

#include "pyglue.hpp"

namespace handler {

namespace py = pybind11;

inline constexpr const char* kModule = "dorvane.backend.socket.protocol.stock.handler";

// The handler module's global `name`, read now.
inline py::object global(const char* name) { return pyglue::global(kModule, name); }

// Raises AssertionError without a message, as a failed `assert` does.
[[noreturn]] inline void fail_bound() {
    PyErr_SetNone(PyExc_AssertionError);
    throw py::error_already_set();
}

}  // namespace handler
