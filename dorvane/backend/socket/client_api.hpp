// The request wrapper of the session client: `api` turns a request method into a coroutine
// function whose coroutine hands the caller a future of its own, completed from the request's
// reply once the reply has been trimmed to the chosen keys by `filter_key`.
#pragma once

#include "pyglue.hpp"

namespace dorvane_client {

namespace py = pybind11;

// Removes, in place, every key of `data` that equals none of `keep`.
void filter_key(py::handle data, py::handle keep);

// api(*keys, **options): the decorator that wraps a request method.
py::object api(py::tuple keys, py::dict options);

// decorator(fn) of api(*keys, **options): the coroutine function newFn wrapping fn.
py::object decorate(py::object fn, py::tuple keys, py::dict options);

}  // namespace dorvane_client
