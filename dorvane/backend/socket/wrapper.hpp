// The socket facade module's internal declarations, file by file.
#pragma once

#include "pyglue.hpp"

#include <string>

namespace dorvane_wrapper {

namespace py = pybind11;

// ---------------------------------------------------------------------------------------------
// wrapper.cpp: the module. Its own namespace is read at each call so that tests and programs may
// replace its names (log, client, utils, config, asyncio, threading, time, partial, stop_loop, ...).

// The names the module reads and sets (its globals, their attributes and its objects' attributes).
namespace N {
inline const pyglue::Name log{"log"};
inline const pyglue::Name info{"info"};
inline const pyglue::Name error{"error"};
inline const pyglue::Name partial{"partial"};
inline const pyglue::Name wraps{"wraps"};
inline const pyglue::Name utils{"utils"};
inline const pyglue::Name patchAsyncio{"patchAsyncio"};
inline const pyglue::Name asyncio{"asyncio"};
inline const pyglue::Name new_event_loop{"new_event_loop"};
inline const pyglue::Name threading{"threading"};
inline const pyglue::Name start_loop{"start_loop"};
inline const pyglue::Name _exitCheckfunc{"_exitCheckfunc"};
inline const pyglue::Name config{"config"};
inline const pyglue::Name stop_loop{"stop_loop"};
inline const pyglue::Name connection{"connection"};
inline const pyglue::Name time{"time"};
inline const pyglue::Name sleep{"sleep"};
inline const pyglue::Name _interpreter_shutdown{"_interpreter_shutdown"};
inline const pyglue::Name record{"record"};
inline const pyglue::Name auth{"auth"};
inline const pyglue::Name elide{"elide"};
inline const pyglue::Name get_event_loop{"get_event_loop"};
inline const pyglue::Name client{"client"};
inline const pyglue::Name Client{"Client"};
inline const pyglue::Name run_coroutine_threadsafe{"run_coroutine_threadsafe"};
inline const pyglue::Name QUOTE_HOST{"QUOTE_HOST"};
inline const pyglue::Name ServerError{"ServerError"};
inline const pyglue::Name ConfigParser{"ConfigParser"};
inline const pyglue::Name Path{"Path"};
inline const pyglue::Name Thread{"Thread"};
inline const pyglue::Name Wrapper{"Wrapper"};
inline const pyglue::Name __name__{"__name__"};
inline const pyglue::Name __qualname__{"__qualname__"};
inline const pyglue::Name _auto_update{"_auto_update"};
inline const pyglue::Name _client{"_client"};
inline const pyglue::Name _host{"_host"};
inline const pyglue::Name _loop{"_loop"};
inline const pyglue::Name _port{"_port"};
inline const pyglue::Name _shutdown{"_shutdown"};
inline const pyglue::Name _stop{"_stop"};
inline const pyglue::Name accounts{"accounts"};
inline const pyglue::Name activated_vexa{"activated_vexa"};
inline const pyglue::Name call_soon_threadsafe{"call_soon_threadsafe"};
inline const pyglue::Name config_path{"config_path"};
inline const pyglue::Name configparser{"configparser"};
inline const pyglue::Name connect{"connect"};
inline const pyglue::Name daemon{"daemon"};
inline const pyglue::Name future_account{"future_account"};
inline const pyglue::Name get{"get"};
inline const pyglue::Name init_vexa{"init_vexa"};
inline const pyglue::Name is_alive{"is_alive"};
inline const pyglue::Name join{"join"};
inline const pyglue::Name close{"close"};
inline const pyglue::Name is_closed{"is_closed"};
inline const pyglue::Name login{"login"};
inline const pyglue::Name loginAsync{"loginAsync"};
inline const pyglue::Name logout{"logout"};
inline const pyglue::Name logoutAsync{"logoutAsync"};
inline const pyglue::Name order_id{"order_id"};
inline const pyglue::Name products{"products"};
inline const pyglue::Name read{"read"};
inline const pyglue::Name result{"result"};
inline const pyglue::Name is_running{"is_running"};
inline const pyglue::Name sol_vpn{"sol_vpn"};
inline const pyglue::Name start{"start"};
inline const pyglue::Name stock_account{"stock_account"};
inline const pyglue::Name stop{"stop"};
inline const pyglue::Name done{"done"};
inline const pyglue::Name conn{"conn"};
inline const pyglue::Name cancel{"cancel"};
inline const pyglue::Name _keepalives{"_keepalives"};
inline const pyglue::Name cancelled{"cancelled"};
inline const pyglue::Name exception{"exception"};
inline const pyglue::Name trades{"trades"};
inline const pyglue::Name OrderProps{"OrderProps"};
inline const pyglue::Name subscribe{"subscribe"};
inline const pyglue::Name place_order{"place_order"};
inline const pyglue::Name update_order{"update_order"};
inline const pyglue::Name cancel_order{"cancel_order"};
inline const pyglue::Name update_statusAsync{"update_statusAsync"};
}  // namespace N

using pyglue::call_method;
using pyglue::set_attr;

using pyglue::attr;
using pyglue::global;
using pyglue::truthy;

// Calls `log.<level>(arg)` on the module's logger as it stands now.
void log(PyObject* level, py::handle arg);

// ---------------------------------------------------------------------------------------------
// wrapper_loop.cpp: the facade's loop thread and exit hook: start_loop, stop_loop and _exitCheckfunc.

// Schedules `loop.stop` from any thread; returns at once.
void stop_loop(py::object loop);

// The exit hook: waits, checking once a second, while `thread` lives; a keyboard interrupt during
// the wait stops `loop` instead, and then gives the loop thread at most about a second to end.
// Then runs the interpreter's own shutdown wait (kept in the module global
// `_interpreter_shutdown` at import), so the program's non-daemon threads and the interpreter's
// registered shutdown work still run.
void exit_check(py::object thread, py::object loop);

// Adds start_loop (the target of a loop thread: makes `loop` the thread's current loop and runs it
// until stopped), stop_loop and _exitCheckfunc to the module.
void bind_loop_functions(py::module_& m);

// ---------------------------------------------------------------------------------------------
// wrapper_elide.cpp: the facade's single-runner decorator `elide`: the body of a decorated coroutine
// function runs for at most one call at a time, at most one further call waits its turn, calls arriving
// while one waits are dropped, and no caller gets a result back.

// elide(fn): the coroutine function `wrapper(*args, **kwargs)` that runs `fn` one call at a time,
// passed through the module's `wraps(fn)`. Its job slot and runner flag are made here, once, and
// belong to the returned function (for a method: to its class, shared by every instance).
py::object elide(py::object fn);

// Adds the module function elide.
void bind_elide(py::module_& m);

// ---------------------------------------------------------------------------------------------
// wrapper_session.cpp: login and logout of the socket facade: the coroutines loginAsync / logoutAsync and
// the blocking members login / logout that run them on the facade's loop with a time-out.

py::object login_async(py::object self, py::object person_id, py::object passwd, py::object quote,
                       py::object loop);
py::object logout_async(py::object self, py::object loop);

// Submit the coroutine to the facade's loop and wait at most `timeout` seconds for its end.
py::none login(py::object self, py::object person_id, py::object passwd, py::object quote,
               py::object timeout);
py::none logout(py::object self, py::object timeout);

// ---------------------------------------------------------------------------------------------
// wrapper_members.cpp: the facade's certificate, account and order members: _get_orderId, list_accounts,
// the order methods and their callbacks, update_status / update_statusAsync, the account-report methods
// and activate_vexa.

// Adds the members to the class being built by `cls` in the class's order: _get_orderId, list_accounts,
// place_order, update_order, cancel_order (each passed to `record`, then `auth`), _on_placeorder,
// _on_updateorder, _on_cancelorder, update_status, update_statusAsync (passed to `elide`),
// get_account_margin, get_account_openposition, get_account_settle_profitloss, activate_vexa.
// The decorators are the module's globals as they stand when the class is built.
void bind_members(py::module_& m, pyglue::PlainClass& cls);

// ---------------------------------------------------------------------------------------------
// wrapper_facade.cpp: the class Wrapper: construction (environment, private loop on a daemon thread, exit
// hook, trading-server address), _stop and __del__, with the login members of wrapper_session.

// Builds the class Wrapper in module m, applies the decorators and binds m.Wrapper.
void bind_wrapper(py::module_& m);

}  // namespace dorvane_wrapper
