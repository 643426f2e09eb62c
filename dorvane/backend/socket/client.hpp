// The session client module's internal declarations, file by file.
#pragma once

#include "pyglue.hpp"

namespace dorvane_client {

namespace py = pybind11;

// ---------------------------------------------------------------------------------------------
// client.cpp: the module. Its own namespace is read at each call so that tests and callers may
// replace its names (log, protocol, Connection, asyncio, os, wraps, EventEmitter).

// The names the module reads and sets (its globals, their attributes, its objects' attributes,
// keywords and events).
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
inline const pyglue::Name __doc__{"__doc__"};
inline const pyglue::Name __qualname__{"__qualname__"};
inline const pyglue::Name _host{"_host"};
inline const pyglue::Name _loop{"_loop"};
inline const pyglue::Name _person_id{"_person_id"};
inline const pyglue::Name _port{"_port"};
inline const pyglue::Name _simulation{"_simulation"};
inline const pyglue::Name activated_vexa{"activated_vexa"};
inline const pyglue::Name add_done_callback{"add_done_callback"};
inline const pyglue::Name api{"api"};
inline const pyglue::Name cancel{"cancel"};
inline const pyglue::Name cancelled{"cancelled"};
inline const pyglue::Name close{"close"};
inline const pyglue::Name conn{"conn"};
inline const pyglue::Name connect{"connect"};
inline const pyglue::Name create_future{"create_future"};
inline const pyglue::Name disconnect{"disconnect"};
inline const pyglue::Name done{"done"};
inline const pyglue::Name event{"event"};
inline const pyglue::Name exception{"exception"};
inline const pyglue::Name get{"get"};
inline const pyglue::Name isLogined{"isLogined"};
inline const pyglue::Name keys{"keys"};
inline const pyglue::Name listeners{"listeners"};
inline const pyglue::Name local_port{"local_port"};
inline const pyglue::Name login_cb{"login_cb"};
inline const pyglue::Name logout_cb{"logout_cb"};
inline const pyglue::Name on{"on"};
inline const pyglue::Name person_id{"person_id"};
inline const pyglue::Name pop{"pop"};
inline const pyglue::Name reconnection{"reconnection"};
inline const pyglue::Name reset{"reset"};
inline const pyglue::Name result{"result"};
inline const pyglue::Name send{"send"};
inline const pyglue::Name set_exception{"set_exception"};
inline const pyglue::Name loop{"loop"};
inline const pyglue::Name cb{"cb"};
inline const pyglue::Name _onData{"_onData"};
inline const pyglue::Name _onError{"_onError"};
inline const pyglue::Name _onConnected{"_onConnected"};
inline const pyglue::Name _onDisconnected{"_onDisconnected"};
inline const pyglue::Name ev_data{"data"};
inline const pyglue::Name ev_error{"error"};
inline const pyglue::Name ev_connected{"connected"};
inline const pyglue::Name ev_disconnected{"disconnected"};
inline const pyglue::Name login{"login"};
inline const pyglue::Name logout{"logout"};
}  // namespace N

using pyglue::call_method;
using pyglue::set_attr;

using pyglue::attr;
using pyglue::global;

// ---------------------------------------------------------------------------------------------
// client_api.cpp: the request wrapper of the session client: `api` turns a request method into a coroutine
// function whose coroutine hands the caller a future of its own, completed from the request's reply once
// the reply has been trimmed to the chosen keys by `filter_key`.

// filter_key(data, *preserve_keys): removes, in place, every key of `data` that equals none of
// `keep`.
void filter_key(py::handle data, const py::args& keep);

// Makes the reply callback's function, once, while the module initialises.
void make_filter(py::module_& m);

// api(*keys, **options): the decorator that wraps a request method.
py::object api(const py::args& keys, const py::kwargs& options);

// api(*keys, **options)(fn): the coroutine function newFn wrapping fn.
py::object decorate(py::tuple keys, py::dict options, py::object fn);

// ---------------------------------------------------------------------------------------------
// client_session.cpp: the session client `Client`: one trading session on one Connection. It opens and
// closes the connection, sends the login and logout requests, tracks the login state and logs the
// connection's events.

// The twelve keys that a login reply keeps.
py::tuple login_keys();

// Builds the class Client in module m.
void bind_client(py::module_& m);

}  // namespace dorvane_client
