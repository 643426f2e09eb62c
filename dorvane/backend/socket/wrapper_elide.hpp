// The facade's single-runner decorator `elide`: the body of a decorated coroutine function runs for
// at most one call at a time, at most one further call waits its turn, calls arriving while one
// waits are dropped, and no caller gets a result back.
#pragma once

#include "pyglue.hpp"

namespace dorvane_wrapper {

namespace py = pybind11;

// elide(fn): the coroutine function `wrapper(*args, **kwargs)` that runs `fn` one call at a time,
// passed through the module's `wraps(fn)`. Its job slot and runner flag are made here, once, and
// belong to the returned function (for a method: to its class, shared by every instance).
py::object elide(py::object fn);

// Adds the module function elide.
void bind_elide(py::module_& m);

}  // namespace dorvane_wrapper
