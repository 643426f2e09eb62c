// The session client module's internal declarations, file by file.
#pragma once

#include "pyglue.hpp"

namespace dorvane_client {

namespace py = pybind11;

// ---------------------------------------------------------------------------------------------
// client.cpp: the module. Its own namespace is read at each call so that tests and callers may
// replace its names (log, protocol, Connection, asyncio, os, wraps, EventEmitter).

// The names the module reads at each call (its globals and their attributes), interned once.
namespace N {
inline const pyglue::Name asyncio{"asyncio"};
inline const pyglue::Name CancelledError{"CancelledError"};
inline const pyglue::Name get_event_loop{"get_event_loop"};
inline const pyglue::Name wraps{"wraps"};
inline const pyglue::Name os{"os"};
inline const pyglue::Name getpid{"getpid"};
inline const pyglue::Name protocol{"protocol"};
inline const pyglue::Name login_in{"login_in"};
inline const pyglue::Name logout_in{"logout_in"};
inline const pyglue::Name log{"log"};
inline const pyglue::Name error{"error"};
inline const pyglue::Name info{"info"};
inline const pyglue::Name EventEmitter{"EventEmitter"};
inline const pyglue::Name Connection{"Connection"};
}  // namespace N

using pyglue::attr;
using pyglue::global;

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
