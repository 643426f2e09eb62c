// The session client module's internal declarations, file by file.
#pragma once

#include "pyglue.hpp"

namespace dorvane_client {

namespace py = pybind11;

// ---------------------------------------------------------------------------------------------
// client.cpp: the client module's own namespace, read at each call so that tests and callers may replace
// its names (log, protocol, Connection, asyncio, os, wraps, EventEmitter).

// Remembers the module object while it initialises; it lives as long as the process.
inline void set_module(py::module_ m) { pyglue::ThisModule::get().set(m); }

// The module itself (for building function objects inside it).
inline py::module_ module() { return pyglue::ThisModule::get().module(); }

// A global of the module as it stands now; a missing name raises NameError.
inline py::object global(const char* name) { return pyglue::ThisModule::get().global(name); }

// ---------------------------------------------------------------------------------------------
// client_api.cpp: the request wrapper of the session client: `api` turns a request method into a coroutine
// function whose coroutine hands the caller a future of its own, completed from the request's reply once
// the reply has been trimmed to the chosen keys by `filter_key`.

// Removes, in place, every key of `data` that equals none of `keep`.
void filter_key(py::handle data, py::handle keep);

// api(*keys, **options): the decorator that wraps a request method.
py::object api(py::tuple keys, py::dict options);

// decorator(fn) of api(*keys, **options): the coroutine function newFn wrapping fn.
py::object decorate(py::object fn, py::tuple keys, py::dict options);

// ---------------------------------------------------------------------------------------------
// client_session.cpp: the session client `Client`: one trading session on one Connection. It opens and
// closes the connection, sends the login and logout requests, tracks the login state and logs the
// connection's events.

// The twelve keys that a login reply keeps.
py::tuple login_keys();

// Builds the class Client in module m.
void bind_client(py::module_& m);

}  // namespace dorvane_client
