// The facade module's own namespace, read at each call so that tests and programs may replace its
// names (log, client, utils, config, asyncio, threading, time, partial, stop_loop, ...).
#pragma once

#include "pyglue.hpp"

#include <string>

namespace dorvane_wrapper {

namespace py = pybind11;

// Remembers the module object while it initialises; it lives as long as the process, so the
// look-ups below still work while the interpreter releases objects at exit.
inline void set_module(py::module_ m) { pyglue::ThisModule::get().set(m); }

inline py::module_ module() { return pyglue::ThisModule::get().module(); }

// A global of the module as it stands now; a missing name raises NameError.
inline py::object global(const char* name) { return pyglue::ThisModule::get().global(name); }

// The folder of the module's shared library (its __file__ is not set yet while it initialises).
inline std::string module_folder() { return pyglue::ThisModule::folder(); }

using pyglue::truthy;

// Calls `log.<level>(arg)` on the module's logger as it stands now.
void log(const char* level, py::handle arg);

}  // namespace dorvane_wrapper
