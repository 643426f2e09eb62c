// Connection: one TCP session with the trading server on an asyncio loop - its attributes, its
// life (connect, reset, disconnect), its four events and its keep-alive.
#pragma once

#include "connect_common.hpp"

namespace dorvane_connect {

// Connection.is_alive(): None without a Socket, else whether its transport is still open.
py::object is_alive(py::handle self);

// Connection._get_handle(): the handle of the next request; advances the counter.
py::object get_handle(py::handle self);

// Creates the class Connection in the module.
void bind_connection(py::module_& m);

}  // namespace dorvane_connect
