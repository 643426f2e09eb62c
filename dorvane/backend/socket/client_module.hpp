// The client module's own namespace, read at each call so that tests and callers may replace its
// names (log, protocol, Connection, asyncio, os, wraps, EventEmitter).
#pragma once

#include "pyglue.hpp"

namespace dorvane_client {

namespace py = pybind11;

// Remembers the module object while it initialises; it lives as long as the process.
inline void set_module(py::module_ m) { pyglue::ThisModule::get().set(m); }

// The module itself (for building function objects inside it).
inline py::module_ module() { return pyglue::ThisModule::get().module(); }

// A global of the module as it stands now; a missing name raises NameError.
inline py::object global(const char* name) { return pyglue::ThisModule::get().global(name); }

}  // namespace dorvane_client
