// The session client `Client`: one trading session on one Connection. It opens and closes the
// connection, sends the login and logout requests, tracks the login state and logs the
// connection's events.
#pragma once

#include "pyglue.hpp"

namespace dorvane_client {

namespace py = pybind11;

// The twelve keys that a login reply keeps.
py::tuple login_keys();

// Builds the class Client in module m.
void bind_client(py::module_& m);

}  // namespace dorvane_client
