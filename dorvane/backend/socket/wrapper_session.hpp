// Login and logout of the socket facade: the coroutines loginAsync / logoutAsync and the blocking
// members login / logout that run them on the facade's loop with a time-out.
#pragma once

#include "pyglue.hpp"

namespace dorvane_wrapper {

namespace py = pybind11;

py::object login_async(py::object self, py::object person_id, py::object passwd, py::object quote,
                       py::object loop);
py::object logout_async(py::object self, py::object loop);

// Submit the coroutine to the facade's loop and wait at most `timeout` seconds for its end.
py::none login(py::object self, py::object person_id, py::object passwd, py::object quote,
               py::object timeout);
py::none logout(py::object self, py::object timeout);

}  // namespace dorvane_wrapper
